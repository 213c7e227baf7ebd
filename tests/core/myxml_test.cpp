#include "core/myxml.h"

#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using bm::TElementDocXML;
using bm::TMyXML;

const std::string Decl = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";

// Compact picture of a tree: Name[Text] for a text, Name(child,child) for children.
std::string Dump(const TElementDocXML* e)
{
    if (e == nullptr)
        return "<none>";
    std::string out = e->Name;
    if (!e->Text.empty())
        out += "[" + e->Text + "]";
    if (!e->Children.empty()) {
        out += "(";
        for (std::size_t i = 0; i < e->Children.size(); ++i)
            out += (i ? "," : "") + Dump(e->Children[i].get());
        out += ")";
    }
    return out;
}

struct ReadCase {
    const char* name;
    std::string input;
    bool ok;
    std::string tree; // Dump of the document element after reading
};

const ReadCase ReadCases[] = {
    {"Written", Decl + "<A>\r\n\t<B>x</B>\r\n</A>\r\n", true, "A(B[x])"},
    {"NoDeclaration", "<A><B>x</B><C>y</C></A>", true, "A(B[x],C[y])"},
    {"CDataKeepsLineBreaks", "<A><![CDATA[one\r\ntwo]]></A>", true, "A[one\r\ntwo]"},
    {"LineBreaksWithoutCDataVanish", "<A>one\r\ntwo</A>", true, "A[onetwo]"},
    {"CDataOpeningIgnoresCase", "<A><![cdata[<&>]]></A>", true, "A[<&>]"},
    {"CDataKeepsAnyByte", "<A><![CDATA[\xE5\t\x01]]></A>", true, "A[\xE5\t\x01]"},
    {"AdjacentCDataJoin", "<A><![CDATA[a]]]]><![CDATA[>b]]></A>", true, "A[a]]>b]"},
    {"TextAroundCData", "<A>x<![CDATA[\r\n]]>y</A>", true, "A[x\r\ny]"},
    {"ARingLost", "<A>b\xE5r</A>", true, "A[br]"},
    {"ODiaeresisLost", "<A>k\xF6l</A>", true, "A[kl]"},
    {"AAcuteKept", "<A>caf\xE1</A>", true, "A[caf\xE1]"},
    {"TabInTextLost", "<A>a\tb</A>", true, "A[ab]"},
    {"Utf8ARingLostWhole", "<A>b\xC3\xA5r</A>", true, "A[br]"},
    {"Utf8ODiaeresisLostWhole", "<A>k\xC3\xB6l</A>", true, "A[kl]"},
    {"Utf8AAcuteKeptWhole", "<A>caf\xC3\xA1</A>", true, "A[caf\xC3\xA1]"},
    {"Utf8EuroLostWhole", "<A>5\xE2\x82\xAC</A>", true, "A[5]"},
    {"Utf8InCDataKept", "<A><![CDATA[\xE2\x82\xAC\xC3\xA5]]></A>", true, "A[\xE2\x82\xAC\xC3\xA5]"},
    {"LoneLatin1BytesByTheirLetter", "<A>\xC3x\xE1\xA9</A>", true, "A[\xC3x\xE1]"},
    {"Utf8SequenceCutAtEnd", "<A>x</A>\xC3", true, "A[x]"},
    {"FilterAppliesInTags", "<A\t>x</\xF6" "A>", true, "A[x]"},
    {"BlanksKeptInsideText", "<A>  a b  </A>", true, "A[  a b  ]"},
    {"WhiteSpaceBetweenElementsVanishes", "<A>   <B>x</B>   </A>", true, "A(B[x])"},
    {"LaterTextReplaces", "<A>x<B>y</B>z</A>", true, "A[z](B[y])"},
    {"TextBeforeFirstTagIgnored", "junk<A>x</A>", true, "A[x]"},
    {"OnlyDocumentElementSurvives", "<A>x</A><B>y</B>", true, "A[x]"},
    {"TrailingGarbageIgnored", "<A>x</A><unclosed", true, "A[x]"},
    {"EmptyElement", "<A></A>", true, "A"},
    {"ClosingMatchIsCaseSensitive", "<A>x</a>", false, "<none>"},
    {"UnclosedDocumentElement", "<A><B>x</B>", false, "<none>"},
    {"Attributes", "<A x=\"1\"><B>x</B></A>", false, "<none>"},
    {"SelfClosing", "<A><B/></A>", false, "<none>"},
    {"Comment", "<A><!-- note --></A>", false, "<none>"},
    {"CrossedClosing", "<A><B></A></B>", false, "<none>"},
    {"UnterminatedCData", "<A><![CDATA[x</A>", false, "<none>"},
    {"UnterminatedCDataAfterDocument", "<A>x</A><![CDATA[y", true, "A[x]"},
    {"CDataOpeningCutShort", "<A>x</A><![CDA", true, "A[x]"},
    {"Empty", "", false, "<none>"},
    {"DeclarationOnly", Decl, false, "<none>"},
    {"BlanksOnly", "  \r\n\t ", false, "<none>"},
    {"TextOnly", "hello", false, "<none>"},
    {"TruncatedTag", "<A><B>x</B", false, "<none>"},
};

class XmlRead : public testing::TestWithParam<ReadCase> {};

TEST_P(XmlRead, Parses)
{
    TMyXML doc;
    int errors = 0;
    doc.OnXMLError = [&](bm::TSimploXML&) { ++errors; };
    doc.New("Old"); // a failed read must not leave the previous tree behind
    EXPECT_EQ(doc.LoadFromString(GetParam().input), GetParam().ok);
    EXPECT_EQ(Dump(doc.DocumentElement()), GetParam().tree);
    EXPECT_EQ(errors, GetParam().ok ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, XmlRead, testing::ValuesIn(ReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(XmlWrite, FourLinesByteForByte)
{
    TMyXML doc;
    TElementDocXML* a = doc.New("A");
    TMyXML::AddChild(a, "B")->Text = "x";
    EXPECT_EQ(doc.SaveToString(),
              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<A>\r\n\t<B>x</B>\r\n</A>\r\n");
}

TEST(XmlWrite, DeepIndentationAndNoEscaping)
{
    TMyXML doc;
    TElementDocXML* a = doc.New("A");
    TElementDocXML* b = TMyXML::AddChild(a, "B");
    TMyXML::AddTextChild(b, "C", "1 < 2 & 3");
    TMyXML::AddBoolChild(a, "D", false);
    EXPECT_EQ(doc.SaveToString(), Decl + "<A>\r\n\t<B>\r\n\t\t<C>1 < 2 & 3</C>\r\n\t</B>\r\n"
                                         "\t<D>No</D>\r\n</A>\r\n");
}

TEST(XmlWrite, EmptyDocumentIsDeclarationOnly)
{
    TMyXML doc;
    EXPECT_EQ(doc.SaveToString(), Decl);
}

struct RoundTripCase {
    const char* name;
    std::string text;
    bool wrap;
    std::string readBack;
};

const RoundTripCase RoundTripCases[] = {
    {"TwoLinesInCData", "line one\r\nline two", true, "line one\r\nline two"},
    {"TwoLinesUnwrapped", "line one\r\nline two", false, "line oneline two"},
    {"MarkupInCData", "<b>&amp;</b>", true, "<b>&amp;</b>"},
    {"CDataEndInsideText", "a]]>b]]>", true, "a]]>b]]>"},
    {"Latin1InCData", "\xE5\xF6\xE1", true, "\xE5\xF6\xE1"},
    {"Latin1Unwrapped", "\xE5\xF6\xE1", false, "\xE1"},
};

class XmlRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(XmlRoundTrip, ThroughFile)
{
    bm::test::TempDir dir;
    const auto file = dir.path() / "doc.xml";
    TMyXML out;
    TElementDocXML* root = out.New("Root");
    const std::string& text = GetParam().text;
    TMyXML::AddTextChild(root, "T", GetParam().wrap ? TMyXML::CData(text) : text);
    out.SaveToFile(file);

    TMyXML in;
    ASSERT_TRUE(in.LoadFromFile(file));
    EXPECT_EQ(TMyXML::ChildText(in.DocumentElement(), "T"), GetParam().readBack);
}

INSTANTIATE_TEST_SUITE_P(Cases, XmlRoundTrip, testing::ValuesIn(RoundTripCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(XmlFile, MissingEmptyAndFolderFail)
{
    bm::test::TempDir dir;
    bm::test::WriteFileBytes(dir.path() / "empty.xml", "");
    for (const auto& file : {dir.path() / "missing.xml", dir.path() / "empty.xml", dir.path()}) {
        TMyXML doc;
        int errors = 0;
        doc.OnXMLError = [&](bm::TSimploXML&) { ++errors; };
        doc.New("Old");
        EXPECT_FALSE(doc.LoadFromFile(file)) << file;
        EXPECT_EQ(doc.DocumentElement(), nullptr);
        EXPECT_EQ(errors, 1);
    }
}

TEST(XmlFile, SaveReplacesWholeFileAndLeavesNoTemporary)
{
    bm::test::TempDir dir;
    const auto file = dir.path() / "filters.xml";
    bm::test::WriteFileBytes(file, std::string(5000, 'z'));
    TMyXML doc;
    TMyXML::AddTextChild(doc.New("A"), "B", "x");
    doc.SaveToFile(file);
    EXPECT_EQ(bm::test::ReadFileBytes(file), doc.SaveToString());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(XmlFile, SaveThatCannotCreateThrowsAndKeepsNothing)
{
    bm::test::TempDir dir;
    bm::test::WriteFileBytes(dir.path() / "plain", "x");
    const auto file = dir.path() / "plain" / "doc.xml"; // a folder that is a file
    TMyXML doc;
    doc.New("A");
    try {
        doc.SaveToFile(file);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
    }
    EXPECT_EQ(bm::test::ReadFileBytes(dir.path() / "plain"), "x");
}

TEST(XmlLookup, FindChildrenIsExactAndOrdered)
{
    TMyXML doc;
    TElementDocXML* a = doc.New("A");
    TMyXML::AddTextChild(a, "R", "1");
    TMyXML::AddTextChild(a, "r", "x");
    TMyXML::AddTextChild(a, "R", "2");
    const auto found = TMyXML::FindChildren(a, "R");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]->Text, "1");
    EXPECT_EQ(found[1]->Text, "2");
    EXPECT_TRUE(TMyXML::FindChildren(nullptr, "R").empty());
    EXPECT_EQ(TMyXML::ChildText(a, "missing"), "");
}

struct YesCase {
    const char* name;
    std::string firstText;
    bool expected;
};

const YesCase YesCases[] = {
    {"Yes", "Yes", true}, {"No", "No", false},     {"LowerYes", "yes", false},
    {"Blank", " Yes", false}, {"Empty", "", false}, {"One", "1", false},
};

class XmlChildIsYes : public testing::TestWithParam<YesCase> {};

TEST_P(XmlChildIsYes, OnlyFirstChildExactYes)
{
    TMyXML doc;
    TElementDocXML* a = doc.New("A");
    TMyXML::AddTextChild(a, "Flag", GetParam().firstText);
    TMyXML::AddTextChild(a, "Flag", "Yes"); // a later child of the same name does not count
    EXPECT_EQ(TMyXML::ChildIsYes(a, "Flag"), GetParam().expected);
    EXPECT_FALSE(TMyXML::ChildIsYes(a, "Other"));
}

INSTANTIATE_TEST_SUITE_P(Cases, XmlChildIsYes, testing::ValuesIn(YesCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(XmlRobustness, EveryTruncationOfADocumentFailsCleanly)
{
    const std::string whole = Decl + "<A>\r\n\t<B><![CDATA[x\r\ny]]></B>\r\n\t<C>z</C>\r\n</A>\r\n";
    const std::size_t closed = whole.rfind("</A>") + 4;
    for (std::size_t n = 0; n <= whole.size(); ++n) {
        TMyXML doc;
        EXPECT_EQ(doc.LoadFromString(whole.substr(0, n)), n >= closed) << n;
    }
}

TEST(XmlRobustness, NestingIsCapped)
{
    auto nested = [](std::size_t depth) {
        std::string s;
        for (std::size_t i = 0; i < depth; ++i)
            s += "<E>";
        for (std::size_t i = 0; i < depth; ++i)
            s += "</E>";
        return s;
    };
    TMyXML doc;
    EXPECT_TRUE(doc.LoadFromString(nested(bm::TSimploXML::MaxDepth)));
    EXPECT_FALSE(doc.LoadFromString(nested(bm::TSimploXML::MaxDepth + 1)));
    EXPECT_FALSE(doc.LoadFromString(std::string(2'000'000, '<') + "E>"));
    EXPECT_FALSE(doc.LoadFromString(nested(200'000)));
}

} // namespace
