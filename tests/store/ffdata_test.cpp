// The quarantine tables through the main connection: creation, upgrade,
// unique and case-insensitive indexes, identities, the fixed queries and a
// damaged file.
#include "store/ffdatamdl.h"

#include "core/commonsU.h"
#include "core/datetimeU.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace bm {
namespace {

class FFDataTest : public testing::Test {
protected:
    std::filesystem::path DbFile() const { return dir_.path() / "quarantine.db"; }

    TQuarantinedMessage Message(int keyId, const std::string& account = "Work", const std::string& uidl = "u1")
    {
        TQuarantinedMessage row;
        row.KeyID = keyId;
        row.Account = account;
        row.UIDL = uidl;
        row.From = "Spammer <s@example.com>";
        row.Subject = "Offer";
        row.Size = 1234;
        row.Sent = EncodeDateTime({2026, 12, 1, 8, 30, 0, 250});
        return row;
    }

    test::TempDir dir_;
};

TEST_F(FFDataTest, FirstStartCreatesEveryTableEmpty)
{
    TFFData data(DbFile());
    for (const char* table :
         {"QuarantinedMessages", "Quarantine", "QuarantineQueue", "AnsweredRequests", "SentMessages"})
        EXPECT_TRUE(data.Database().TableExists(table)) << table;
    EXPECT_EQ(data.QuarantinedMessageCount(), 0);
    EXPECT_TRUE(data.AllKeys().empty());
    EXPECT_EQ(data.AnsweredRequestCount(), 0);
}

TEST_F(FFDataTest, RowsSurviveReopenWithSubSecondTimes)
{
    TScopedTestClock clock(EncodeDateTime({2026, 12, 10, 9, 15, 42, 123}));
    int id = 0;
    {
        TFFData data(DbFile());
        int key = data.AppendKey("Key1", "a@x.org ", false);
        id = data.AppendQuarantinedMessage(Message(key));
    }
    TFFData data(DbFile());
    auto row = data.FindQuarantinedMessage(id);
    ASSERT_TRUE(row);
    EXPECT_EQ(DecodeDateTime(row->Received), (TDateTimeParts{2026, 12, 10, 9, 15, 42, 123}));
    EXPECT_EQ(DecodeDateTime(row->Sent), (TDateTimeParts{2026, 12, 1, 8, 30, 0, 250}));
    EXPECT_EQ(row->Account, "Work");
    EXPECT_EQ(row->From, "Spammer <s@example.com>");
    EXPECT_EQ(row->Size, 1234);
}

TEST_F(FFDataTest, KeyIsUniqueWithoutRegardToCase)
{
    TFFData data(DbFile());
    data.AppendKey("AbCdEf", "a@x.org ", true);
    try {
        data.AppendKey("abcdef", "b@x.org ", true);
        FAIL() << "a second key differing only in case was accepted";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "UNIQUE constraint failed: Quarantine.Key");
    }
    auto found = data.FindKeyByCode("ABCDEF");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Key, "AbCdEf");
    EXPECT_EQ(found->FromMD5, MD5Hex("a@x.org "));
}

TEST_F(FFDataTest, AnsweredRequestPairIsUnique)
{
    TFFData data(DbFile());
    data.AppendAnsweredRequest("KEY", "a@x.org ");
    data.AppendAnsweredRequest("KEY", "b@x.org "); // same key, other senders
    try {
        data.AppendAnsweredRequest("key", "a@x.org ");
        FAIL() << "the same pair was recorded twice";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "UNIQUE constraint failed: AnsweredRequests.Key, AnsweredRequests.FromMD5");
    }
    EXPECT_EQ(data.AnsweredRequestCount(), 2);
    std::string md5 = MD5Hex("b@x.org ");
    for (char& c : md5)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(data.FindAnsweredRequest("Key", md5));
    EXPECT_FALSE(data.FindAnsweredRequest("KEY", MD5Hex("c@x.org ")));
}

TEST_F(FFDataTest, AccountLookupIgnoresCase)
{
    TFFData data(DbFile());
    data.AppendQueueRow("Work", -1, "m1");
    data.AppendQueueRow("Home", -1, "m2");
    data.AppendQueueRow("WORK", 3, "m3");
    auto rows = data.AcctQueue("work");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].Message, "m1");
    EXPECT_EQ(rows[1].Message, "m3");
    EXPECT_EQ(rows[1].KeyID, 3);
}

TEST_F(FFDataTest, IdentitiesAreNeverReused)
{
    int lastMessage = 0, lastKey = 0, lastQueue = 0;
    {
        TFFData data(DbFile());
        for (int i = 0; i < 3; ++i) {
            lastKey = data.AppendKey("K" + std::to_string(i), "a@x.org ", true);
            lastMessage = data.AppendQuarantinedMessage(Message(lastKey));
            lastQueue = data.AppendQueueRow("Work", lastKey, "m");
        }
        ASSERT_TRUE(data.DeleteQuarantinedMessage(lastMessage));
        ASSERT_TRUE(data.DeleteKey(lastKey));
        ASSERT_TRUE(data.DeleteQueueRow(lastQueue));
        EXPECT_EQ(data.AppendQuarantinedMessage(Message(1)), lastMessage + 1);
        lastMessage += 1;
        ASSERT_TRUE(data.DeleteQuarantinedMessage(lastMessage));
        data.Pack();
    }
    TFFData data(DbFile()); // also across a restart and a compaction
    EXPECT_EQ(data.AppendQuarantinedMessage(Message(1)), lastMessage + 1);
    EXPECT_EQ(data.AppendKey("K9", "a@x.org ", true), lastKey + 1);
    EXPECT_EQ(data.AppendQueueRow("Work", -1, "m"), lastQueue + 1);
}

TEST_F(FFDataTest, DeleteEmptyKeyWaitsForTheLastMessage)
{
    TFFData data(DbFile());
    int key = data.AppendKey("K1", "a@x.org ", true);
    int other = data.AppendKey("K2", "b@x.org ", true);
    int msg = data.AppendQuarantinedMessage(Message(key));
    data.AppendQueueRow("Work", key, "challenge");
    data.AppendQueueRow("Work", -1, "confirmation");

    data.DeleteEmptyKey(key);
    EXPECT_TRUE(data.FindKeyById(key));
    EXPECT_EQ(data.AcctQueue("Work").size(), 2u);

    data.DeleteQuarantinedMessage(msg);
    data.DeleteEmptyKey(key);
    EXPECT_FALSE(data.FindKeyById(key));
    auto queue = data.AcctQueue("Work");
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].KeyID, -1);

    data.DeleteEmptyKey(-1);  // no key: the confirmation stays
    data.DeleteEmptyKey(999); // unknown key: nothing changes
    EXPECT_EQ(data.AcctQueue("Work").size(), 1u);
    EXPECT_TRUE(data.FindKeyById(other)); // a key with no queue row is not touched by another's removal
}

TEST_F(FFDataTest, FindKeyBySendersGivesTheFirstOfEqualDigests)
{
    TFFData data(DbFile());
    EXPECT_EQ(data.FindKeyBySenders("a@x.org "), -1);
    data.AppendKey("K0", "z@x.org ", true);
    int first = data.AppendKey("K1", "a@x.org ", true);
    data.AppendKey("K2", "a@x.org ", false);
    EXPECT_EQ(data.FindKeyBySenders("a@x.org "), first);
    EXPECT_EQ(data.FindKeyBySenders("b@x.org "), -1);
}

TEST_F(FFDataTest, KeysWithSentMessage)
{
    TFFData data(DbFile());
    int sent = data.AppendKey("K1", "a@x.org ", true);
    int pending = data.AppendKey("K2", "b@x.org ", false);
    EXPECT_EQ(data.KeysWithSentMessage(), std::set<int>{sent});
    ASSERT_TRUE(data.MarkChallengeSent(pending));
    EXPECT_EQ(data.KeysWithSentMessage(), (std::set<int>{sent, pending}));
    EXPECT_FALSE(data.MarkChallengeSent(12345));
}

TEST_F(FFDataTest, UpgradeAddsMessageSentAndKeepsRows)
{
    {
        TDatabase old(DbFile());
        old.Exec("CREATE TABLE Quarantine (ID INTEGER PRIMARY KEY AUTOINCREMENT, \"Key\" TEXT,"
                 " FromList TEXT, FromMD5 TEXT, LastMail TEXT);"
                 "INSERT INTO Quarantine (\"Key\", FromList, FromMD5, LastMail) VALUES"
                 " ('Old1', 'a@x.org ', 'MD5A', '2020-01-02 03:04:05.678'),"
                 " ('Old2', 'b@x.org C@y.org ', 'MD5B', '2021-06-07 08:09:10.000');");
    }
    TFFData data(DbFile());
    ASSERT_TRUE(data.Database().ColumnExists("Quarantine", "MessageSent"));
    auto keys = data.AllKeys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].Key, "Old1");
    EXPECT_EQ(keys[0].FromList, "a@x.org ");
    EXPECT_EQ(keys[0].FromMD5, "MD5A");
    EXPECT_EQ(DecodeDateTime(keys[0].LastMail), (TDateTimeParts{2020, 1, 2, 3, 4, 5, 678}));
    EXPECT_EQ(keys[1].FromList, "b@x.org C@y.org ");
    EXPECT_TRUE(keys[0].MessageSent);
    EXPECT_TRUE(keys[1].MessageSent);
    // New keys after the upgrade take their flag as given, and the unique
    // index the old table lacked is in place.
    int fresh = data.AppendKey("New", "d@x.org ", false);
    EXPECT_EQ(data.KeysWithSentMessage(), (std::set<int>{keys[0].ID, keys[1].ID}));
    EXPECT_GT(fresh, keys[1].ID);
    EXPECT_THROW(data.AppendKey("OLD1", "e@x.org ", true), EDatabaseError);
}

TEST_F(FFDataTest, ForeignFileIsRefusedAndLeftInPlace)
{
    std::string foreign(8192, 'x');
    foreign.replace(0, 22, "This is not a database");
    test::WriteFileBytes(DbFile(), foreign);
    try {
        TFFData data(DbFile());
        FAIL() << "a foreign file was opened";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "file is not a database");
    }
    EXPECT_EQ(test::ReadFileBytes(DbFile()), foreign);
}

TEST_F(FFDataTest, DamagedFileIsRefusedAndLeftInPlace)
{
    {
        TFFData data(DbFile());
        TTransaction tx(data.Database());
        for (int i = 0; i < 400; ++i)
            data.AppendQuarantinedMessage(Message(1, "Work", "uidl-" + std::to_string(i)));
        tx.Commit();
        data.Database().Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    std::string bytes = test::ReadFileBytes(DbFile());
    ASSERT_GT(bytes.size(), 4u * 4096);
    // Wreck the b-tree pages after the schema page (page size 4096).
    for (std::size_t i = 4096; i < 4u * 4096; ++i)
        bytes[i] = static_cast<char>(0xA5);
    test::WriteFileBytes(DbFile(), bytes);
    try {
        TFFData data(DbFile());
        FAIL() << "a damaged file was opened";
    } catch (const EDatabaseError& e) {
        EXPECT_FALSE(std::string(e.what()).empty());
        EXPECT_EQ(e.Code(), SQLITE_CORRUPT) << e.what();
    }
    EXPECT_EQ(test::ReadFileBytes(DbFile()), bytes);
}

// The cleaner's cut-off "yyyy-mm-dd hh:nn:ss" against stored times with
// milliseconds: the comparison is that of the date-times.
struct CutOffCase {
    const char* name;
    TDateTimeParts received;
    const char* cutOff;
    bool expired;
};

class CutOffTest : public FFDataTest, public testing::WithParamInterface<CutOffCase> {};

TEST_P(CutOffTest, ComparesAsDateTime)
{
    const auto& c = GetParam();
    TScopedTestClock clock(EncodeDateTime(c.received));
    TFFData data(DbFile());
    int id = data.AppendQuarantinedMessage(Message(1));
    auto old = data.OldMessages(c.cutOff);
    EXPECT_EQ(old.size(), c.expired ? 1u : 0u);
    if (c.expired) {
        EXPECT_EQ(old[0].ID, id);
    }
    EXPECT_EQ(data.OldMessages(c.cutOff, std::string("WORK")).size(), c.expired ? 1u : 0u);
    EXPECT_TRUE(data.OldMessages(c.cutOff, std::string("Home")).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Store, CutOffTest,
    testing::Values(CutOffCase{"HalfSecondAfter", {2026, 12, 10, 10, 0, 0, 500}, "2026-12-10 10:00:00", false},
                    CutOffCase{"ExactlyAt", {2026, 12, 10, 10, 0, 0, 0}, "2026-12-10 10:00:00", false},
                    CutOffCase{"LastMillisecondBefore", {2026, 12, 10, 9, 59, 59, 999}, "2026-12-10 10:00:00", true},
                    CutOffCase{"WithinTheCutOffSecond", {2026, 12, 10, 10, 0, 0, 999}, "2026-12-10 10:00:01", true},
                    CutOffCase{"DayBefore", {2026, 12, 9, 23, 0, 0, 0}, "2026-12-10 00:00:00", true},
                    CutOffCase{"YearAfter", {2027, 1, 1, 0, 0, 0, 0}, "2026-12-31 23:59:59", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FFDataTest, AccountNameWithQuoteIsTakenAsItIs)
{
    TScopedTestClock clock(EncodeDate(2026, 1, 1));
    TFFData data(DbFile());
    data.AppendQuarantinedMessage(Message(1, "O'Brien"));
    data.AppendQuarantinedMessage(Message(1, "x' OR '1'='1"));
    auto old = data.OldMessages("2026-02-01 00:00:00", std::string("O'Brien"));
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(old[0].Account, "O'Brien");
}

TEST_F(FFDataTest, AnsweredRequestsBeforeCutOffGo)
{
    TScopedTestClock clock(EncodeDate(2026, 1, 1));
    TFFData data(DbFile());
    data.AppendAnsweredRequest("Old", "a@x.org ");
    clock.Set(EncodeDate(2026, 1, 3));
    data.AppendAnsweredRequest("New", "a@x.org ");
    EXPECT_EQ(data.DeleteAnsweredRequestsBefore(EncodeDate(2026, 1, 2)), 1);
    EXPECT_FALSE(data.FindAnsweredRequest("Old", MD5Hex("a@x.org ")));
    EXPECT_TRUE(data.FindAnsweredRequest("New", MD5Hex("a@x.org ")));
}

// Field capacities are bytes of UTF-8, cut at a sequence boundary.
struct FitCase {
    const char* name;
    std::string text;
    std::size_t max;
    std::string expected;
};

class FitToFieldTest : public testing::TestWithParam<FitCase> {};

TEST_P(FitToFieldTest, NeverCutsASequence)
{
    EXPECT_EQ(FitToField(GetParam().text, GetParam().max), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Store, FitToFieldTest,
    testing::Values(FitCase{"Short", "abc", 5, "abc"}, FitCase{"Ascii", "abcdef", 4, "abcd"},
                    FitCase{"TwoByteAtEdge", "ab\xC3\xA9", 3, "ab"}, FitCase{"TwoByteFits", "ab\xC3\xA9", 4, "ab\xC3\xA9"},
                    FitCase{"FourByte", "a\xF0\x9F\x98\x80z", 4, "a"},
                    FitCase{"MalformedByteStandsAlone", "ab\xFFz", 3, "ab\xFF"},
                    FitCase{"TornSequence", "ab\xE2\x82", 4, "ab\xE2\x82"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FFDataTest, LongFieldsAreCutToCapacity)
{
    TFFData data(DbFile());
    auto row = Message(1, std::string(79, 'a') + "\xC3\xA9", std::string(85, 'u'));
    row.Subject = std::string(300, 's');
    auto stored = data.FindQuarantinedMessage(data.AppendQuarantinedMessage(row));
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->Account, std::string(79, 'a'));
    EXPECT_EQ(stored->UIDL, std::string(80, 'u'));
    EXPECT_EQ(stored->Subject.size(), 255u);
}

TEST(MessageIdsInTest, TakesEveryBracketedIdInOrder)
{
    struct Case {
        const char* Value;
        std::vector<std::string> Ids;
    } const cases[] = {
        {"<a1@x.org>", {"a1@x.org"}},
        {"<a1@x.org> <b2@y.org>\t<c3@z.org>", {"a1@x.org", "b2@y.org", "c3@z.org"}},
        {"(comment) <a1@x.org> (Bob's message)", {"a1@x.org"}},
        {"a1@x.org", {}},           // not an id without its brackets
        {"<a1@x.org", {}},          // cut short
        {"<> < b2@y.org >", {"b2@y.org"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MessageIdsIn(c.Value), c.Ids) << c.Value;
}

TEST_F(FFDataTest, SentMessagesAreFoundByIdAndKindAndCountedForTheCap)
{
    TScopedTestClock clock(EncodeDateTime({2026, 12, 10, 9, 0, 0, 0}));
    TFFData data(DbFile());
    data.AppendSentMessage("m1@home.example", TSentKind::Relayed, "Work");
    data.AppendSentMessage("c1@home.example", TSentKind::Challenge, "Work", "bob@far.example");
    data.AppendSentMessage("c1@home.example", TSentKind::Challenge, "Work", "ann@far.example");
    data.AppendSentMessage("c2@home.example", TSentKind::Challenge, "Other", "BOB@far.example");

    EXPECT_TRUE(data.AnySentMessage({"nope@x", "M1@HOME.example"}, {TSentKind::Relayed}));
    EXPECT_FALSE(data.AnySentMessage({"m1@home.example"}, {TSentKind::Challenge, TSentKind::Confirmation}));
    EXPECT_TRUE(data.AnySentMessage({"c2@home.example"}, {TSentKind::Challenge, TSentKind::Confirmation}));
    const TDateTime hourAgo = Now() - 1.0 / 24;
    EXPECT_EQ(data.ChallengesOfAccountSince("work", hourAgo), 1) << "one challenge to two recipients";
    EXPECT_EQ(data.ChallengesToAddressSince("bob@far.example", hourAgo), 2) << "over every account";
    EXPECT_EQ(data.ChallengesOfAccountSince("Work", Now() + 0.001), 0);
    EXPECT_EQ(data.DeleteSentMessagesBefore(Now() + 0.001), 4);
}

} // namespace
} // namespace bm
