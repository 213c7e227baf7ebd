// Message ids and files, the known-message record and knownmessages.dat.
#include "store/knownmsgU.h"
#include "store/msgfilesU.h"
#include "store/msgsU.h"

#include "core/commonsU.h"
#include "core/mailmsgU.h"
#include "core/streamU.h"
#include "tests/support/testenv.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace bm {
namespace {

// Points the data folder at a fresh temporary folder for one test.
class DataFolderTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("XDG_DATA_HOME");
        oldXdg_ = old ? old : "";
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
    }
    void TearDown() override { setenv("XDG_DATA_HOME", oldXdg_.c_str(), 1); }

    test::TempDir dir_;
    std::string oldXdg_;
};

// --- Ids and files ------------------------------------------------------------

struct IdCase {
    const char* name;
    std::string uidl;
    std::string id;
};

class MessageIdTest : public testing::TestWithParam<IdCase> {};

TEST_P(MessageIdTest, Makes)
{
    EXPECT_EQ(MakeMessageId(GetParam().uidl), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(
    Store, MessageIdTest,
    testing::Values(IdCase{"Plain", "1234abc", "1234abc"},
                    IdCase{"CutTo80", std::string(80, 'a') + "bcdef", std::string(80, 'a')},
                    IdCase{"SlashAndColon", "a/b:c", "a_b_c"},
                    IdCase{"AllUnsafe", "\\/:*?\"<>|", "_________"},
                    IdCase{"Trimmed", "  id 1\t ", "id 1"},
                    IdCase{"CutNotInsideUtf8", std::string(79, 'a') + "\xC3\xA9", std::string(79, 'a')}),
    [](const auto& info) { return std::string(info.param.name); });

// The ids of one listing: unique, and each the same whatever else is listed.
struct MailboxIdsCase {
    const char* name;
    std::vector<std::string> uidls;
    std::vector<std::string> ids;
};

class MailboxIdsTest : public testing::TestWithParam<MailboxIdsCase> {};

TEST_P(MailboxIdsTest, Assigns)
{
    EXPECT_EQ(MakeMailboxIds(GetParam().uidls), GetParam().ids);
}

const std::string kLong85 = std::string(85, 'L');

INSTANTIATE_TEST_SUITE_P(
    Store, MailboxIdsTest,
    testing::Values(
        MailboxIdsCase{"Ordinary", {"1", "2", "a/b"}, {"1", "2", "a_b"}},
        MailboxIdsCase{"EmptyAndRepeatedByContent", {"", " ", "x", "x", "y"}, {"", "", "", "", "y"}},
        MailboxIdsCase{"CollidingOnceSafe", {"a/b", "a:b", "a_b"},
                       {MakeHashedMessageId("a/b"), MakeHashedMessageId("a:b"), MakeHashedMessageId("a_b")}},
        MailboxIdsCase{"LongerThan80", {kLong85 + "1", "short"}, {MakeHashedMessageId(kLong85 + "1"), "short"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MailboxIds, HashedAndContentIdsAreDistinctBoundedAndStable)
{
    const std::string a = MakeHashedMessageId(kLong85 + "a");
    const std::string b = MakeHashedMessageId(kLong85 + "b");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), kMessageIdLength);
    EXPECT_EQ(a, MakeHashedMessageId("  " + kLong85 + "a ")) << "trimmed like MakeMessageId";
    EXPECT_EQ(a.substr(0, 64), std::string(63, 'L') + "-");
    EXPECT_EQ(MakeHashedMessageId("a/b"), "a_b-" + MD5Hex("a/b").substr(0, 16));
    EXPECT_NE(MakeContentMessageId("", "one"), MakeContentMessageId("", "two"));
    EXPECT_EQ(MakeContentMessageId("x", "one"), MakeContentMessageId("x", "one"));
    EXPECT_NE(MakeContentMessageId("x", "one"), MakeContentMessageId("y", "one"));
}

TEST(KnownRecord, FindByAccountTellsAlikeIdsOfTwoAccountsApart)
{
    TMessageList list;
    auto first = std::make_unique<TKnownMessage>();
    first->SetAccount("Home");
    first->SetId("1");
    auto second = std::make_unique<TKnownMessage>();
    second->SetAccount(std::string(90, 'W')); // cut to 80 in the record
    second->SetId("1");
    TKnownMessage* home = list.Add(std::move(first));
    TKnownMessage* work = list.Add(std::move(second));
    EXPECT_EQ(FindKnownMessage(list, "Home", "1"), home);
    EXPECT_EQ(FindKnownMessage(list, std::string(90, 'W'), "1"), work);
    EXPECT_EQ(FindKnownMessage(list, "Other", "1"), nullptr);
    EXPECT_EQ(FindKnownMessage(list, "Home", "2"), nullptr);
}

TEST_F(DataFolderTest, WholeMessageFileEndsInTheDotLine)
{
    TMailMessage m;
    m.Subject = "s";
    m.Body = {"text"};
    SaveMessageFile("Work", "whole", false, m);
    EXPECT_TRUE(IsWholeMessageFile(MessageFilePath("Work", "whole", false)));
    const auto cut = MessageFilePath("Work", "cut", false);
    test::WriteFileBytes(cut, "Subject: s\r\n\r\ntext\r\n");
    EXPECT_FALSE(IsWholeMessageFile(cut));
    EXPECT_FALSE(IsWholeMessageFile(MessageFilePath("Work", "missing", false)));
    test::WriteFileBytes(MessageFilePath("Work", "empty", false), ".\r\n");
    EXPECT_TRUE(IsWholeMessageFile(MessageFilePath("Work", "empty", false)));
}

TEST_F(DataFolderTest, PathsOfInboxAndQuarantine)
{
    auto inbox = MessageFilePath("Work", "id1", false);
    auto bad = MessageFilePath("Work", "id1", true);
    EXPECT_EQ(inbox, GetDataFolder() / "Work" / "id1.msg");
    EXPECT_EQ(bad, GetDataFolder() / "Work" / "Bad" / "id1.msg");
    EXPECT_TRUE(std::filesystem::is_directory(bad.parent_path()));
}

TEST_F(DataFolderTest, AccountNamesThatLeaveTheDataFolderAreRefused)
{
    for (const std::string& name : std::vector<std::string>{"", ".", "..", "a/b", std::string("a\0b", 3)}) {
        try {
            MessageFilePath(name, "id", false);
            ADD_FAILURE() << "accepted " << name;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), ("Invalid account name: " + name).c_str());
        }
    }
}

TMailMessage BuiltMessage()
{
    TMailMessage m;
    m.GetFrom().SetText("Ann <ann@example.org>");
    m.Recipients.SetFromText("bob@example.org");
    m.Subject = "Dots";
    m.Body = {"first", ".", ".leading", "last"};
    return m;
}

TEST_F(DataFolderTest, SavedMessageIsStuffedAndReadsBack)
{
    SaveMessageFile("Work", "m1", true, BuiltMessage());
    auto file = MessageFilePath("Work", "m1", true);
    std::string stored = test::ReadFileBytes(file);
    EXPECT_NE(stored.find("\r\n..\r\n"), std::string::npos);
    EXPECT_NE(stored.find("\r\n..leading\r\n"), std::string::npos);
    ASSERT_GE(stored.size(), 5u);
    EXPECT_EQ(stored.substr(stored.size() - 5), "\r\n.\r\n");
    TMailMessage back;
    back.LoadFromFile(file);
    EXPECT_EQ(back.Body, (std::vector<std::string>{"first", ".", ".leading", "last"}));
    EXPECT_EQ(back.Subject, "Dots");
    // Nothing but the message itself is left in the folder.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(file.parent_path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(DataFolderTest, FailedSaveThrowsNamingTheFileAndLeavesNoTemporary)
{
    auto target = MessageFilePath("Work", "taken", false);
    std::filesystem::create_directories(target); // a folder where the file should go
    try {
        SaveMessageText("Work", "taken", false, "Subject: x\r\n\r\n.\r\n");
        FAIL() << "the save reported success";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(target.string()), std::string::npos) << e.what();
    }
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(target.parent_path()))
        ++entries;
    EXPECT_EQ(entries, 1); // only the folder that was in the way
}

TEST_F(DataFolderTest, ReleaseMovesTheFileAndIgnoresAMissingOne)
{
    SaveMessageText("Work", "m2", true, "Subject: x\r\n\r\nbody\r\n.\r\n");
    ReleaseMessageFile("Work", "m2");
    EXPECT_FALSE(std::filesystem::exists(MessageFilePath("Work", "m2", true)));
    EXPECT_EQ(test::ReadFileBytes(MessageFilePath("Work", "m2", false)), "Subject: x\r\n\r\nbody\r\n.\r\n");
    EXPECT_NO_THROW(ReleaseMessageFile("Work", "missing"));
    EXPECT_NO_THROW(ReleaseMessageFile("..", "m2"));
}

// --- The record ---------------------------------------------------------------

void PutText(std::string& bytes, std::size_t at, const std::string& text)
{
    bytes[at] = static_cast<char>(text.size());
    bytes.replace(at + 1, text.size(), text);
}

std::unique_ptr<TKnownMessage> SampleRecord(const std::string& id)
{
    auto r = std::make_unique<TKnownMessage>();
    r->SetLegacyFilterFlag(true);
    r->SetDeleteVerdict(true);
    r->SetSizeText("1.21kb");
    r->SetDateText("01/12/2026 08:30:00");
    r->SetAccount("Work");
    r->SetStatus("Blacklisted");
    r->SetFrom("Ann <ann@example.org>");
    r->SetSubject("Hello");
    r->SetSize(0x01020304);
    r->SetDate(46357.5);
    r->SetSeen(true);
    r->SetId(id);
    r->SetBlacklisted(true);
    r->SetWhitelisted(false);
    r->SetToBeDeleted(true);
    r->SetKnownBefore(true);
    r->SetQuarantined(true);
    r->TextLines = {"line one", "", "line three"};
    r->AttachmentNames = {"a.pdf"};
    return r;
}

// The 833 bytes of SampleRecord("id-1"), written out by hand at their offsets.
std::string ExpectedSampleBytes()
{
    std::string b(833, '\0');
    b[1] = 1;
    b[2] = 1;
    PutText(b, 3, "1.21kb");
    PutText(b, 24, "01/12/2026 08:30:00");
    PutText(b, 45, "Work");
    PutText(b, 126, "Blacklisted");
    PutText(b, 207, "Ann <ann@example.org>");
    PutText(b, 463, "Hello");
    b.replace(719, 4, "\x04\x03\x02\x01");
    double date = 46357.5;
    unsigned char le[8];
    std::memcpy(le, &date, 8); // the machine is little-endian, as the file is
    b.replace(723, 8, reinterpret_cast<const char*>(le), 8);
    b[731] = 1;
    PutText(b, 732, "id-1");
    b[820] = 1;
    b[830] = 1;
    b[831] = 1;
    b[832] = 1;
    return b;
}

std::string BytesOf(const TKnownMessage& r)
{
    return std::string(reinterpret_cast<const char*>(r.Bytes().data()), kKnownRecordSize);
}

TEST(KnownRecord, FieldsSitAtTheirOffsets)
{
    EXPECT_EQ(BytesOf(*SampleRecord("id-1")), ExpectedSampleBytes());
    auto r = SampleRecord("id-1");
    EXPECT_EQ(r->Size(), 0x01020304);
    EXPECT_EQ(r->Date(), 46357.5);
    EXPECT_EQ(r->Status(), "Blacklisted");
}

TEST(KnownRecord, TextFieldsKeepToCapacityAndUtf8)
{
    TKnownMessage r;
    r.SetStatus("Blacklisted-too-long");
    EXPECT_EQ(r.Status(), "Blacklisted");
    r.SetAccount(std::string(79, 'a') + "\xE2\x82\xAC"); // a euro sign across the edge
    EXPECT_EQ(r.Account(), std::string(79, 'a'));
    EXPECT_EQ(r.Bytes()[45], 79);
    EXPECT_EQ(r.Bytes()[45 + 80], 0); // the cut sequence left nothing behind
    r.SetSubject("x");
    EXPECT_EQ(r.Subject(), "x");
    EXPECT_EQ(r.Bytes()[463 + 2], 0);
}

TEST(KnownRecord, FileImageLayout)
{
    TMessageList list;
    auto r = SampleRecord("id-1");
    r->FilterName = "F1";
    list.Add(std::move(r));
    std::string image = WriteKnownMessages(list);
    std::string expected("S_V_S_1.01\0", 11);
    expected += std::string("\x01\0\0\0", 4);
    expected += ExpectedSampleBytes();
    std::string lines = "line one\r\n\r\nline three\r\n";
    expected += std::string("\x18\0\0\0", 4) + lines;
    expected += std::string("\x07\0\0\0", 4) + "a.pdf\r\n";
    expected += std::string("F1\0", 3);
    EXPECT_EQ(image, expected);
}

TEST(KnownRecord, RoundTripKeepsBytesLinesAndExistingFilter)
{
    TMessageList list;
    auto withKept = SampleRecord("id-1");
    withKept->FilterName = "Kept";
    auto withGone = SampleRecord("id-2");
    withGone->FilterName = "Gone";
    withGone->AttachmentNames.clear();
    list.Add(std::move(withKept));
    list.Add(std::move(withGone));
    auto back = ReadKnownMessages(WriteKnownMessages(list), [](const std::string& n) { return n == "Kept"; });
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(BytesOf(*back[0]), ExpectedSampleBytes());
    EXPECT_EQ(BytesOf(*back[1]), BytesOf(*list.Item(1)));
    EXPECT_EQ(back[0]->TextLines, list.Item(0)->TextLines);
    EXPECT_EQ(back[0]->AttachmentNames, std::vector<std::string>{"a.pdf"});
    EXPECT_TRUE(back[1]->AttachmentNames.empty());
    EXPECT_EQ(back[0]->FilterName, "Kept");
    EXPECT_EQ(back[1]->FilterName, ""); // its filter was deleted meanwhile
}

TEST(KnownRecord, ReferenceFieldsAreNeverTakenFromTheFile)
{
    TMessageList list;
    list.Add(SampleRecord("id-1"));
    std::string image = WriteKnownMessages(list);
    const std::size_t recordAt = 15;
    for (std::size_t at : {813u, 822u, 826u})
        image.replace(recordAt + at, 4, "\xEF\xBE\xAD\xDE");
    auto back = ReadKnownMessages(image, {});
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(BytesOf(*back[0]), ExpectedSampleBytes());
}

struct ImageCase {
    const char* name;
    std::string image;
};

class IgnoredImageTest : public testing::TestWithParam<ImageCase> {};

TEST_P(IgnoredImageTest, GivesNoRecords)
{
    EXPECT_TRUE(ReadKnownMessages(GetParam().image, {}).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Store, IgnoredImageTest,
    testing::Values(ImageCase{"Empty", ""},
                    ImageCase{"Version10NoMarker", std::string("\x01\0\0\0", 4) + std::string(900, 'x')},
                    ImageCase{"OtherVersion", std::string("S_V_S_1.02\0\x01\0\0\0", 15) + std::string(900, '\0')},
                    ImageCase{"CountZero", std::string("S_V_S_1.01\0\0\0\0\0", 15) + std::string(900, '\0')},
                    ImageCase{"CountNegative", std::string("S_V_S_1.01\0\xFF\xFF\xFF\xFF", 15) + std::string(900, '\0')},
                    ImageCase{"CountCutOff", std::string("S_V_S_1.01\0\x01\0", 13)},
                    ImageCase{"HugeCountNoRecords", std::string("S_V_S_1.01\0\xFF\xFF\xFF\x7F", 15)}),
    [](const auto& info) { return std::string(info.param.name); });

// A file cut at every possible length reads up to its end and never past it:
// a record whose 833 bytes are whole is kept, a torn one is dropped.
TEST(KnownRecord, TruncatedFileReadsUpToItsEnd)
{
    TMessageList list;
    auto first = SampleRecord("id-1");
    first->FilterName = "F";
    list.Add(std::move(first));
    list.Add(SampleRecord("id-2"));
    std::string image = WriteKnownMessages(list);
    const std::size_t firstRecordEnd = 15 + 833;
    const std::size_t secondRecordAt = firstRecordEnd + 4 + 24 + 4 + 7 + 2;
    for (std::size_t cut = 0; cut <= image.size(); ++cut) {
        std::string torn = image.substr(0, cut); // its own buffer: a read past it is caught by ASan
        auto back = ReadKnownMessages(torn, [](const std::string&) { return true; });
        std::size_t expected = cut < firstRecordEnd ? 0 : cut < secondRecordAt + 833 ? 1 : 2;
        ASSERT_EQ(back.size(), expected) << "cut at " << cut;
        if (cut >= firstRecordEnd) {
            EXPECT_EQ(BytesOf(*back[0]), ExpectedSampleBytes());
        }
        if (cut == image.size()) {
            EXPECT_EQ(back[0]->FilterName, "F");
        }
    }
}

TEST(KnownRecord, FindComparesOnlyTheIdExactly)
{
    TMessageList list;
    auto other = SampleRecord("Same-Id");
    other->SetAccount("Home");
    auto* added = list.Add(std::move(other));
    EXPECT_EQ(FindKnownMessage(list, "Same-Id"), added);
    EXPECT_EQ(FindKnownMessage(list, "same-id"), nullptr);
    auto clone = CloneKnownMessage(*added);
    EXPECT_EQ(BytesOf(*clone), BytesOf(*added));
    EXPECT_EQ(clone->TextLines, added->TextLines);
    clone->TextLines.push_back("more");
    EXPECT_EQ(added->TextLines.size(), 3u);
}

TEST(KnownRecord, ListIsSafeFromTwoThreads)
{
    TMessageList list;
    std::thread checker([&] {
        for (int i = 0; i < 500; ++i)
            list.Add(SampleRecord("c" + std::to_string(i)));
    });
    int removed = 0;
    while (removed < 500) {
        if (auto* r = list.Item(0); r && list.Remove(r))
            ++removed;
        list.Find("nothing");
    }
    checker.join();
    EXPECT_EQ(list.Count(), 0);
}

// --- knownmessages.dat through the lists ---------------------------------------

TEST_F(DataFolderTest, SaveAndLoadThroughTheLists)
{
    TMessageList inbox;
    TMessageList known;
    // The caller's filter list, as the lookup the load is given.
    std::set<std::string> filters = {"StoreTestFilter"};
    const TFilterExists filterExists = [&filters](const std::string& name) { return filters.count(name) > 0; };

    auto r = SampleRecord("id-1");
    r->FilterName = "StoreTestFilter";
    inbox.Add(std::move(r));
    SaveKnownMessages(inbox);
    EXPECT_TRUE(std::filesystem::exists(GetDataFolder() / "knownmessages.dat"));
    LoadKnownMessages(known, filterExists);
    ASSERT_EQ(known.Count(), 1);
    EXPECT_EQ(BytesOf(*known.Item(0)), ExpectedSampleBytes());
    EXPECT_EQ(known.Item(0)->FilterName, "StoreTestFilter");

    filters.clear();
    LoadKnownMessages(known, filterExists);
    ASSERT_EQ(known.Count(), 1);
    EXPECT_EQ(known.Item(0)->FilterName, "");
}

TEST_F(DataFolderTest, RunWithoutFinishedCheckLeavesTheFileAlone)
{
    TMessageList inbox;
    TMessageList known;
    auto file = GetDataFolder() / "knownmessages.dat";
    test::WriteFileBytes(file, "previous content");
    inbox.Add(SampleRecord("id-1"));
    SetKnownMessagesChanged(false);
    FinishKnownMessages(inbox, known);
    EXPECT_EQ(test::ReadFileBytes(file), "previous content");
    EXPECT_EQ(inbox.Count(), 0);

    inbox.Add(SampleRecord("id-1"));
    SetKnownMessagesChanged(true);
    FinishKnownMessages(inbox, known);
    SetKnownMessagesChanged(false);
    LoadKnownMessages(known, nullptr);
    EXPECT_EQ(known.Count(), 1);
}

TEST_F(DataFolderTest, NoFileGivesAnEmptyList)
{
    TMessageList known;
    known.Add(SampleRecord("stale"));
    LoadKnownMessages(known, nullptr);
    EXPECT_EQ(known.Count(), 0);
}

} // namespace
} // namespace bm
