// filters.xml: its byte layout, reading back, the lenient reading rules
// (any document element, unknown names), the Modified flag, the one-time
// conversion of filters.dat, and an unreadable file that must survive.
#include "config/filtersU.h"

#include "core/streamU.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <functional>

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using F = TRuleField;
using O = TRuleOperation;

const std::string Decl = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";

// Compact picture of a list: name, flags as letters, rules.
std::string Dump(const TFilterList& list)
{
    std::string out;
    for (int i = 0; i < list.Count(); ++i) {
        const TFilter& f = *list.Item(i);
        out += f.Name() + "[";
        out += f.FriendsToo() ? "F" : "-";
        out += f.Legitimate() ? "L" : "-";
        out += f.BlacklistSender() ? "B" : "-";
        out += f.WhitelistSender() ? "W" : "-";
        out += f.Delete() ? "D" : "-";
        out += f.OnlyWhenAllMet() ? "A" : "-";
        out += f.Enabled() ? "E" : "-";
        out += "]";
        for (int r = 0; r < f.Rules().Count(); ++r) {
            const TRule& rule = *f.Rules().Item(r);
            out += "(" + RuleFieldName(rule.Field()) + " " + RuleOperationName(rule.Operation()) +
                   " " + rule.Text() + ")";
        }
        out += ";";
    }
    return out;
}

TEST(FiltersFileTest, WritesTheDocumentLayout)
{
    TempDir dir;
    TFilterList list;
    TFilter* f = list.Add(std::make_unique<TFilter>());
    f->SetName("Spam");
    f->SetDelete(true);
    f->Rules().Add(F::Body, O::ContainsRegExpr, "a]]>b\r\n<tag>");
    list.Add(std::make_unique<TFilter>())->SetEnabled(false);
    list.SaveToFile(dir.path() / "filters.xml");
    EXPECT_FALSE(list.Modified());
    EXPECT_EQ(ReadFileBytes(dir.path() / "filters.xml"),
              Decl +
              "<BadMailReplies>\r\n"
              "\t<Filter>\r\n"
              "\t\t<Name>Spam</Name>\r\n"
              "\t\t<FriendsToo>No</FriendsToo>\r\n"
              "\t\t<Legitimate>No</Legitimate>\r\n"
              "\t\t<BlacklistSender>No</BlacklistSender>\r\n"
              "\t\t<WhitelistSender>No</WhitelistSender>\r\n"
              "\t\t<Delete>Yes</Delete>\r\n"
              "\t\t<OnlyWhenAllMet>Yes</OnlyWhenAllMet>\r\n"
              "\t\t<Enabled>Yes</Enabled>\r\n"
              "\t\t<Rules>\r\n"
              "\t\t\t<Rule>\r\n"
              "\t\t\t\t<Field>body</Field>\r\n"
              "\t\t\t\t<Operation>containsregexpr</Operation>\r\n"
              "\t\t\t\t<Text><![CDATA[a]]]]><![CDATA[>b\r\n<tag>]]></Text>\r\n"
              "\t\t\t</Rule>\r\n"
              "\t\t</Rules>\r\n"
              "\t</Filter>\r\n"
              "\t<Filter>\r\n"
              "\t\t<Name>New filter</Name>\r\n"
              "\t\t<FriendsToo>No</FriendsToo>\r\n"
              "\t\t<Legitimate>No</Legitimate>\r\n"
              "\t\t<BlacklistSender>No</BlacklistSender>\r\n"
              "\t\t<WhitelistSender>No</WhitelistSender>\r\n"
              "\t\t<Delete>No</Delete>\r\n"
              "\t\t<OnlyWhenAllMet>Yes</OnlyWhenAllMet>\r\n"
              "\t\t<Enabled>No</Enabled>\r\n"
              "\t\t<Rules>\r\n"
              "\t\t</Rules>\r\n"
              "\t</Filter>\r\n"
              "</BadMailReplies>\r\n");

    TFilterList reread;
    reread.LoadFromFile(dir.path() / "filters.xml");
    EXPECT_EQ(Dump(reread), "Spam[----DAE](body containsregexpr a]]>b\r\n<tag>);New filter[-----A-];");
    EXPECT_FALSE(reread.Modified());
}

TEST(FiltersFileTest, NamesThatWouldBreakTheFileSurvive)
{
    TempDir dir;
    TFilterList list;
    list.Add(std::make_unique<TFilter>())->SetName("<Spam> & Gr\xC3\xBC\xC3\x9F" "e");
    list.Add(std::make_unique<TFilter>())->SetName("Tab\there");
    list.SaveToFile(dir.path() / "filters.xml");
    TFilterList reread;
    reread.LoadFromFile(dir.path() / "filters.xml");
    ASSERT_EQ(reread.Count(), 2);
    EXPECT_EQ(reread.Item(0)->Name(), "<Spam> & Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(reread.Item(1)->Name(), "Tabhere") << "a plain name keeps the reader's filter";
}

struct ReadCase {
    const char* Name;
    std::string Xml;
    std::string Expected;
};

class FiltersReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(FiltersReadTest, Reads)
{
    TempDir dir;
    WriteFileBytes(dir.path() / "filters.xml", GetParam().Xml);
    TFilterList list;
    list.LoadFromFile(dir.path() / "filters.xml");
    EXPECT_FALSE(list.LoadFailed());
    EXPECT_EQ(Dump(list), GetParam().Expected);
}

std::string OneFilter(const std::string& inner)
{
    return Decl + "<BadMailReplies><Filter>" + inner + "</Filter></BadMailReplies>";
}

const std::string AllFlags =
    "<Name>n</Name><FriendsToo>Yes</FriendsToo><Legitimate>Yes</Legitimate>"
    "<BlacklistSender>Yes</BlacklistSender><WhitelistSender>Yes</WhitelistSender>"
    "<Delete>Yes</Delete><OnlyWhenAllMet>No</OnlyWhenAllMet><Enabled>No</Enabled>";

INSTANTIATE_TEST_SUITE_P(Files, FiltersReadTest, testing::Values(
    ReadCase{"FlagsReadAsStored", OneFilter(AllFlags + "<Rules></Rules>"), "n[FLBWD--];"},
    ReadCase{"FlagIsYesExactly",
             OneFilter("<Name>n</Name><Delete>yes</Delete><Enabled>YES</Enabled><Rules></Rules>"),
             "n[-----A-];"},
    ReadCase{"MissingFlagsKeepDefaults", OneFilter("<Name>n</Name>"), "n[-----AE];"},
    ReadCase{"DocumentElementFilters",
             Decl + "<Filters><Filter><Name>a</Name></Filter><Other><Name>b</Name></Other></Filters>",
             "a[-----AE];b[-----AE];"},
    ReadCase{"UnknownFieldIsSubject",
             OneFilter("<Name>n</Name><Rules><Rule><Field>sender</Field>"
                       "<Operation>IS</Operation><Text><![CDATA[x]]></Text></Rule></Rules>"),
             "n[-----AE](subject is x);"},
    ReadCase{"UnknownOperationIsContains",
             OneFilter("<Name>n</Name><Rules><R><Field>From</Field><Operation>like</Operation>"
                       "<Text>y</Text></R></Rules>"),
             "n[-----AE](from contains y);"},
    ReadCase{"EmptyDocument", Decl + "<BadMailReplies></BadMailReplies>", ""},
    // The earlier 8-bit versions wrote Windows-1252: read as that, kept as
    // UTF-8 (a valid UTF-8 text is left alone).
    ReadCase{"EightBitTextsBecomeUtf8",
             OneFilter("<Name>Caf\xE9</Name><Rules><Rule><Field>body</Field><Operation>containsregexpr</Operation>"
                       "<Text><![CDATA[caf\xE9 \x80]]></Text></Rule></Rules>"),
             "Caf\xC3\xA9[-----AE](body containsregexpr caf\xC3\xA9 \xE2\x82\xAC);"},
    ReadCase{"Utf8TextsStay",
             OneFilter("<Name>n</Name><Rules><Rule><Field>body</Field><Operation>contains</Operation>"
                       "<Text><![CDATA[caf\xC3\xA9]]></Text></Rule></Rules>"),
             "n[-----AE](body contains caf\xC3\xA9);"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(FiltersFileTest, FiltersDocumentIsWrittenBackAsBadMailReplies)
{
    TempDir dir;
    const auto file = dir.path() / "filters.xml";
    WriteFileBytes(file, Decl + "<Filters><Filter><Name>a</Name></Filter></Filters>");
    TFilterList list;
    list.LoadFromFile(file);
    list.SaveToFile(file);
    EXPECT_TRUE(ReadFileBytes(file).starts_with(Decl + "<BadMailReplies>\r\n\t<Filter>\r\n"));
}

TEST(FiltersFileTest, ModifiedOnlyOnRealChanges)
{
    TFilterList list;
    EXPECT_FALSE(list.Modified());
    TFilter* f = list.Add(std::make_unique<TFilter>());
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);

    f->SetName("New filter");
    f->SetEnabled(true);
    f->SetDelete(false);
    EXPECT_FALSE(list.Modified()) << "same values";
    TRule* r = f->Rules().Add(F::Subject, O::Contains, "x");
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);
    r->SetText("x");
    r->SetField(F::Subject);
    r->SetOperation(O::Contains);
    EXPECT_FALSE(list.Modified()) << "same rule values";

    const std::vector<std::function<void()>> changes = {
        [&] { r->SetText("y"); }, [&] { r->SetField(F::Body); },
        [&] { r->SetOperation(O::Is); }, [&] { f->SetName("n"); },
        [&] { f->SetFriendsToo(true); }, [&] { f->SetWhitelistSender(true); },
        [&] { f->SetOnlyWhenAllMet(false); }, [&] { f->SetLegitimate(true); },
        [&] { f->Rules().Delete(0); }, [&] { f->Rules().Clear(); },
        [&] { list.Delete(0); }, [&] { list.Clear(); }};
    for (std::size_t i = 0; i < changes.size(); ++i) {
        list.SetModified(false);
        changes[i]();
        EXPECT_TRUE(list.Modified()) << "change " << i;
    }
}

TEST(FiltersFileTest, MissingFileGivesAnEmptyList)
{
    TempDir dir;
    TFilterList list;
    list.Add(std::make_unique<TFilter>());
    list.LoadFromFile(dir.path() / "filters.xml");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Modified());
    EXPECT_FALSE(list.LoadFailed());
    EXPECT_EQ(TFilterList::DefaultFileName().filename(), "filters.xml");
}

// --- Unreadable file ---------------------------------------------------------------

TEST(FiltersUnreadableTest, KeptUntilTheUserChangesFilters)
{
    TempDir dir;
    const auto file = dir.path() / "filters.xml";
    const std::string broken = Decl + "<BadMailReplies><Filter><Name>mine</Name>";
    WriteFileBytes(file, broken);
    TFilterList list;
    list.LoadFromFile(file);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(list.LoadFailed());
    EXPECT_FALSE(list.Modified());

    list.SaveIfModified(file);
    EXPECT_EQ(ReadFileBytes(file), broken) << "nothing changed";
    list.Add(std::make_unique<TFilter>());
    list.Delete(0);
    list.SaveIfModified(file);
    EXPECT_EQ(ReadFileBytes(file), broken) << "still nothing to put in its place";

    list.Add(std::make_unique<TFilter>())->SetName("new");
    list.SaveIfModified(file);
    EXPECT_EQ(ReadFileBytes(dir.path() / "filters.xml.bak"), broken);
    EXPECT_FALSE(list.LoadFailed());
    TFilterList reread;
    reread.LoadFromFile(file);
    EXPECT_EQ(Dump(reread), "new[-----AE];");
}

// --- Older binary file ---------------------------------------------------------------

void WriteLegacyFilter(TByteWriter& w, const std::string& name, bool legitimate, bool deleteFlag)
{
    WriteZString(w, name);
    WriteBool(w, true);            // FriendsToo
    WriteBool(w, true);            // legacy flag
    WriteZString(w, "legacy text");
    WriteInt32(w, 42);             // legacy integer
    WriteBool(w, legitimate);
    WriteBool(w, true);            // BlacklistSender
    WriteBool(w, false);           // WhitelistSender
    WriteBool(w, deleteFlag);
    WriteBool(w, true);
    WriteBool(w, true);
    WriteBool(w, true);            // legacy flags
    WriteBool(w, false);           // OnlyWhenAllMet
    WriteBool(w, true);            // Enabled
    WriteInt32(w, 2);
    WriteInt32(w, 4);
    WriteInt32(w, 3);
    WriteZString(w, "^Buy");
    WriteInt32(w, 99); // out of range: subject
    WriteInt32(w, -1); // out of range: contains
    WriteZString(w, "x");
}

TEST(FiltersLegacyTest, ConvertedToXmlAndDeleted)
{
    TByteWriter w;
    WriteVersion(w, "1.2");
    WriteZString(w, "Filters");
    WriteInt32(w, 2);
    WriteLegacyFilter(w, "first", false, true);
    WriteLegacyFilter(w, "second", true, true);
    TempDir dir;
    WriteFileBytes(dir.path() / "filters.dat", w.Bytes());
    TFilterList list;
    list.LoadFromFile(dir.path() / "filters.xml");
    const std::string expected =
        "first[F-B-D-E](body containsregexpr ^Buy)(subject contains x);"
        "second[FLB-D-E](body containsregexpr ^Buy)(subject contains x);";
    EXPECT_EQ(Dump(list), expected);
    EXPECT_FALSE(list.Modified());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "filters.dat"));
    TFilterList reread;
    reread.LoadFromFile(dir.path() / "filters.xml");
    EXPECT_EQ(Dump(reread), expected);
}

TEST(FiltersLegacyTest, TruncatedFileKeepsTheWholeFilters)
{
    TByteWriter w;
    WriteVersion(w, "1.2");
    WriteZString(w, "");
    WriteInt32(w, 2);
    WriteLegacyFilter(w, "whole", false, false);
    WriteLegacyFilter(w, "torn", false, false);
    std::string bytes = w.TakeBytes();
    for (std::size_t cut : {bytes.size() - 3, bytes.size() - 12, bytes.size() - 40}) {
        TempDir dir;
        WriteFileBytes(dir.path() / "filters.dat", bytes.substr(0, cut));
        TFilterList list;
        list.LoadFromFile(dir.path() / "filters.xml");
        EXPECT_EQ(Dump(list), "whole[F-B---E](body containsregexpr ^Buy)(subject contains x);")
            << "cut at " << cut;
    }
}

} // namespace
} // namespace bm
