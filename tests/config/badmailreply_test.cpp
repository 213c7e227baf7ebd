// Reply templates: IDs unique within the process, badmailreplies.xml's byte
// layout and reading rules, the Modified flag, and the one-time conversion of
// badmailreplies.dat.
#include "config/badmailreplyU.h"

#include "core/datetimeU.h"
#include "core/streamU.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

const std::string Decl = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";

std::unique_ptr<TBadMailReply> Reply(const std::string& subject, std::vector<std::string> body)
{
    auto r = std::make_unique<TBadMailReply>();
    r->SetSubject(subject);
    r->Body = std::move(body);
    return r;
}

// --- IDs -----------------------------------------------------------------------

TEST(BadMailReplyIdTest, UniqueWithinOneMillisecond)
{
    TScopedTestClock clock(std::chrono::system_clock::time_point(std::chrono::milliseconds(5000)));
    std::set<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
        const TBadMailReply r;
        EXPECT_TRUE(r.ID.starts_with(std::to_string(GetTickCount()) + "_")) << r.ID;
        ids.insert(r.ID);
    }
    EXPECT_EQ(ids.size(), 1000u);
}

TEST(BadMailReplyIdTest, UniqueAcrossThreads)
{
    std::vector<std::vector<std::string>> made(4);
    std::vector<std::thread> threads;
    for (auto& list : made)
        threads.emplace_back([&list] {
            for (int i = 0; i < 500; ++i)
                list.push_back(TBadMailReply().ID);
        });
    for (auto& t : threads)
        t.join();
    std::set<std::string> ids;
    for (const auto& list : made)
        ids.insert(list.begin(), list.end());
    EXPECT_EQ(ids.size(), 2000u);
}

TEST(BadMailReplyIdTest, CopyKeepsTheId)
{
    TBadMailReply r;
    r.SetSubject("s");
    const TBadMailReply copy(r);
    EXPECT_EQ(copy.ID, r.ID);
    EXPECT_EQ(copy.Subject(), "s");
    EXPECT_EQ(copy.Owner(), nullptr);
}

// --- Body lines ------------------------------------------------------------------

struct BodyCase {
    const char* Name;
    std::string Text;
    std::vector<std::string> Lines;
};

class BadMailReplyBodyTest : public testing::TestWithParam<BodyCase> {};

TEST_P(BadMailReplyBodyTest, SplitsAtAnyLineEnd)
{
    TBadMailReply r;
    r.SetBodyText(GetParam().Text);
    EXPECT_EQ(r.Body, GetParam().Lines);
}

INSTANTIATE_TEST_SUITE_P(Texts, BadMailReplyBodyTest, testing::Values(
    BodyCase{"CrLf", "a\r\nb\r\n", {"a", "b"}},
    BodyCase{"Lf", "a\nb", {"a", "b"}},
    BodyCase{"Cr", "a\rb\r", {"a", "b"}},
    BodyCase{"EmptyLinesKept", "a\r\n\r\nb", {"a", "", "b"}},
    BodyCase{"LfCrIsTwoBreaks", "a\n\rb", {"a", "", "b"}},
    BodyCase{"Empty", "", {}}),
    [](const auto& info) { return std::string(info.param.Name); });

// --- File --------------------------------------------------------------------------

TEST(BadMailReplyFileTest, WritesTheDocumentLayoutAndReadsItBack)
{
    TempDir dir;
    TBadMailReplies list;
    auto r = Reply("Please confirm", {"Hello,", "reply to this message."});
    r->Name = "default";
    r->ID = "1234_1";
    list.Add(std::move(r));
    list.SaveToFile(dir.path() / "badmailreplies.xml");
    EXPECT_FALSE(list.Modified());
    EXPECT_EQ(ReadFileBytes(dir.path() / "badmailreplies.xml"),
              Decl +
              "<BadMailReplies>\r\n"
              "\t<BadMailReply>\r\n"
              "\t\t<Name>default</Name>\r\n"
              "\t\t<ID>1234_1</ID>\r\n"
              "\t\t<Subject>Please confirm</Subject>\r\n"
              "\t\t<Body><![CDATA[Hello,\r\nreply to this message.\r\n]]></Body>\r\n"
              "\t</BadMailReply>\r\n"
              "</BadMailReplies>\r\n");

    TBadMailReplies reread;
    reread.LoadFromFile(dir.path() / "badmailreplies.xml");
    ASSERT_EQ(reread.Count(), 1);
    const TBadMailReply& back = *reread.Item(0);
    EXPECT_EQ(back.Name, "default");
    EXPECT_EQ(back.ID, "1234_1");
    EXPECT_EQ(back.Subject(), "Please confirm");
    EXPECT_EQ(back.Body, (std::vector<std::string>{"Hello,", "reply to this message."}));
    EXPECT_EQ(back.Owner(), &reread);
    EXPECT_FALSE(reread.Modified());
}

TEST(BadMailReplyFileTest, EightBitTemplateOfAnEarlierVersionReadsAsUtf8)
{
    TempDir dir;
    WriteFileBytes(dir.path() / "badmailreplies.xml",
                   Decl + "<BadMailReplies><BadMailReply><Name>old</Name><ID>1_1</ID>"
                          "<Subject>Caf\xE9</Subject><Body><![CDATA[Au caf\xE9 \x93ici\x94\r\n]]></Body>"
                          "</BadMailReply></BadMailReplies>");
    TBadMailReplies list;
    list.LoadFromFile(dir.path() / "badmailreplies.xml");
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(0)->Subject(), "Caf\xC3\xA9");
    EXPECT_EQ(list.Item(0)->Body, std::vector<std::string>{"Au caf\xC3\xA9 \xE2\x80\x9Cici\xE2\x80\x9D"});
    EXPECT_FALSE(list.Modified());
}

struct SubjectCase {
    const char* Name;
    std::string Subject;
    std::string ReadBack;
};

class BadMailReplySubjectTest : public testing::TestWithParam<SubjectCase> {};

TEST_P(BadMailReplySubjectTest, SurvivesSaveAndLoad)
{
    TempDir dir;
    TBadMailReplies list;
    list.Add(Reply(GetParam().Subject, {"b"}));
    list.SaveToFile(dir.path() / "r.xml");
    TBadMailReplies reread;
    reread.LoadFromFile(dir.path() / "r.xml");
    ASSERT_EQ(reread.Count(), 1);
    EXPECT_EQ(reread.Item(0)->Subject(), GetParam().ReadBack);
}

INSTANTIATE_TEST_SUITE_P(Subjects, BadMailReplySubjectTest, testing::Values(
    SubjectCase{"Plain", "Your mail", "Your mail"},
    SubjectCase{"TabIsLost", "Your\tmail", "Yourmail"},
    SubjectCase{"AngleBracketKept", "Re: <held mail>", "Re: <held mail>"},
    SubjectCase{"Utf8Kept", "Gr\xC3\xBC\xC3\x9F" "e", "Gr\xC3\xBC\xC3\x9F" "e"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(BadMailReplyFileTest, ChildrenOfAnyNameAreTemplates)
{
    TempDir dir;
    WriteFileBytes(dir.path() / "badmailreplies.xml",
                   Decl + "<BadMailReplies><A><ID>1</ID><Subject>s1</Subject></A>"
                          "<B><Subject>s2</Subject><ID>2</ID><Body>x</Body></B>"
                          "<BadMailReply><Name>n</Name></BadMailReply></BadMailReplies>");
    TBadMailReplies list;
    list.LoadFromFile(dir.path() / "badmailreplies.xml");
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Item(1)->ID, "2");
    EXPECT_EQ(list.Item(1)->Body, std::vector<std::string>{"x"});
    EXPECT_EQ(list.FindByID("1"), list.Item(0));
    EXPECT_EQ(list.FindByID("3"), nullptr);
    const auto copy = list.FindCopyByID("2");
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->Subject(), "s2");
    EXPECT_FALSE(list.FindCopyByID("9"));
}

TEST(BadMailReplyFileTest, MissingOrUnreadableFileGivesAnEmptyList)
{
    TempDir dir;
    TBadMailReplies list;
    list.Add(Reply("s", {"b"}));
    list.LoadFromFile(dir.path() / "badmailreplies.xml");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Modified());

    const std::string broken = Decl + "<BadMailReplies><BadMailReply>";
    WriteFileBytes(dir.path() / "badmailreplies.xml", broken);
    list.LoadFromFile(dir.path() / "badmailreplies.xml");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(ReadFileBytes(dir.path() / "badmailreplies.xml"), broken);
    EXPECT_TRUE(list.LoadFailed());
    EXPECT_EQ(TBadMailReplies::DefaultFileName().filename(), "badmailreplies.xml");

    // The account dialog saves after the user adds a template: the unreadable
    // file is kept beside the new one.
    list.Add(Reply("s", {"b"}));
    list.SaveToFile(dir.path() / "badmailreplies.xml");
    EXPECT_EQ(ReadFileBytes(dir.path() / "badmailreplies.xml.bak"), broken);
    EXPECT_FALSE(list.LoadFailed());
    TBadMailReplies reread;
    reread.LoadFromFile(dir.path() / "badmailreplies.xml");
    EXPECT_EQ(reread.Count(), 1);
}

TEST(BadMailReplyFileTest, ModifiedOnlyOnRealChanges)
{
    TBadMailReplies list;
    TBadMailReply* r = list.Add(Reply("s", {}));
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);
    r->SetSubject("s");
    EXPECT_FALSE(list.Modified());
    r->SetSubject("t");
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);
    list.Delete(3);
    EXPECT_FALSE(list.Modified());
    list.Delete(0);
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);
    list.Clear();
    EXPECT_TRUE(list.Modified());
}

// --- Older binary file ---------------------------------------------------------------

TEST(BadMailReplyLegacyTest, ConvertedToXmlAndDeleted)
{
    TByteWriter w;
    WriteVersion(w, "1.0");
    WriteZString(w, "Replies");
    WriteInt32(w, 2);
    for (const char* id : {"100_1", "200_2"}) {
        WriteZString(w, "name");
        WriteZString(w, id);
        WriteZString(w, std::string("Subject ") + id);
        WriteZString(w, "line one\r\nline two\r\n");
    }
    TempDir dir;
    WriteFileBytes(dir.path() / "badmailreplies.dat", w.Bytes());
    TBadMailReplies list;
    list.LoadFromFile(dir.path() / "badmailreplies.xml");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Item(1)->ID, "200_2");
    EXPECT_EQ(list.Item(1)->Subject(), "Subject 200_2");
    EXPECT_EQ(list.Item(0)->Body, (std::vector<std::string>{"line one", "line two"}));
    EXPECT_FALSE(list.Modified());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "badmailreplies.dat"));

    TBadMailReplies reread;
    reread.LoadFromFile(dir.path() / "badmailreplies.xml");
    ASSERT_EQ(reread.Count(), 2);
    EXPECT_EQ(reread.Item(0)->ID, "100_1");
    EXPECT_EQ(reread.Item(0)->Body, (std::vector<std::string>{"line one", "line two"}));
}

TEST(BadMailReplyLegacyTest, TruncatedFileKeepsTheWholeTemplates)
{
    TByteWriter w;
    WriteVersion(w, "1.0");
    WriteZString(w, "");
    WriteInt32(w, 5);
    WriteZString(w, "n");
    WriteZString(w, "1_1");
    WriteZString(w, "s");
    WriteZString(w, "b");
    WriteZString(w, "torn");
    WriteZString(w, "2_2"); // Subject and Body missing
    TempDir dir;
    WriteFileBytes(dir.path() / "badmailreplies.dat", w.Bytes());
    TBadMailReplies list;
    list.LoadFromFile(dir.path() / "badmailreplies.xml");
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(0)->ID, "1_1");
}

} // namespace
} // namespace bm
