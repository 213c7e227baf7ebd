// The classification of one message, case by case, over a data folder and a
// quarantine database of the test's own: what is stored where, what is
// queued, what becomes a friend, and whether the server copy may go.
#include "tests/check/remotechk_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "core/msghelpersU.h"
#include "store/dbU.h"

namespace bm::test {
namespace {

const char* const kAccount = "Work";
const char* const kOwn = "me@work.example";
const char* const kStranger = "Stranger <stranger@far.example>";

struct Expect {
    bool handled = true;
    bool marked = true;
    int inboxFiles = 0;
    int quarantineFiles = 0;
    int quarantineRows = 0;
    int queueRows = 0;
    int keys = 0;
    int answered = 0;
    int friends = 0;
};

struct ClassifyCase {
    const char* name;
    // Runs before the message is classified (may classify others first).
    std::function<void(CheckWorld&, ClassifierHarness&)> setup;
    std::function<std::string(ClassifierHarness&)> mail;
    bool isFriend = false;
    bool deleteVerdict = false;
    Expect expect;
};

std::string StrangerMail(ClassifierHarness&)
{
    return Mail(kStranger, kOwn, "hello", {"Hi there."});
}

// The key issued for the stranger's sender set (setup must quarantine first).
std::string IssuedKey(ClassifierHarness& h)
{
    for (const TQuarantineKey& k : h.classifier->Data().AllKeys())
        return k.Key;
    return "missing";
}

void QuarantineStrangerFirst(CheckWorld&, ClassifierHarness& h)
{
    ASSERT_TRUE(h.Process(kAccount, "first", StrangerMail(h)));
}

const ClassifyCase kCases[] = {
    {"AlreadyInInbox",
     [](CheckWorld&, ClassifierHarness&) { WriteFileBytes(MessageFilePath(kAccount, "u1", false), "x"); },
     StrangerMail, false, false, {true, false, 1, 0, 0, 0, 0, 0, 0}},
    {"AlreadyInQuarantine",
     [](CheckWorld&, ClassifierHarness&) { WriteFileBytes(MessageFilePath(kAccount, "u1", true), "x"); },
     StrangerMail, false, false, {true, false, 0, 1, 0, 0, 0, 0, 0}},
    // Left whole on the server by a pass that ended before its DELE: done now.
    {"AlreadyStoredWholeIsDeletedOnTheServer",
     [](CheckWorld&, ClassifierHarness& h) {
         WriteFileBytes(MessageFilePath(kAccount, "u1", true), StoredForm(StrangerMail(h)));
     },
     StrangerMail, false, false, {true, true, 0, 1, 0, 0, 0, 0, 0}},
    {"BlacklistedIsDeletedOnly", nullptr, StrangerMail, false, true, {true, true, 0, 0, 0, 0, 0, 0, 0}},
    // A note from the user's phone is real mail; a forged own address is not
    // challenged. Held under the unchallenged key, it ages out.
    {"FromOwnAddressIsHeldWithoutChallengeEvenWhenAFriend", nullptr,
     [](ClassifierHarness&) { return Mail("Me <ME@work.example>", kOwn, "self", {"note"}); }, true, false,
     {true, true, 0, 1, 1, 0, 1, 0, 0}},
    {"KeyReplyReleasesAndBefriends", QuarantineStrangerFirst,
     [](ClassifierHarness& h) {
         return Mail("stranger@far.example", kOwn, "Re: hello", {"> " + KeyMarkerLine(IssuedKey(h))});
     },
     false, false, {true, true, 1, 0, 0, 1, 0, 0, 1}},
    {"KeyInOtherLetterCaseStillReleases", QuarantineStrangerFirst,
     [](ClassifierHarness& h) {
         std::string key = IssuedKey(h);
         for (char& c : key)
             c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
         return Mail("STRANGER@far.example", kOwn, "Re: hello", {KeyMarkerLine(key)});
     },
     false, false, {true, true, 1, 0, 0, 1, 0, 0, 1}},
    {"OurKeyFromAnotherSenderReleasesNothing", QuarantineStrangerFirst,
     [](ClassifierHarness& h) {
         return Mail("other@far.example", kOwn, "Re: hello", {KeyMarkerLine(IssuedKey(h))});
     },
     false, false, {true, true, 0, 1, 1, 1, 1, 0, 0}},
    {"ForeignChallengeIsAnswered", nullptr,
     [](ClassifierHarness&) {
         return Mail("peer@other.example", kOwn, "me@work.example: held", {KeyMarkerLine(std::string(32, 'Q'))});
     },
     false, false, {true, true, 0, 0, 0, 1, 0, 1, 0}},
    {"ForeignChallengeFromAFriendIsAnsweredAndDelivered", nullptr,
     [](ClassifierHarness&) {
         return Mail("peer@other.example", kOwn, "me@work.example: held", {KeyMarkerLine(std::string(32, 'Q'))});
     },
     true, false, {true, true, 1, 0, 0, 1, 0, 1, 0}},
    {"ForeignChallengeStaysWhenAutoReplyIsOff",
     [](CheckWorld& w, ClassifierHarness&) { w.options.SetAutoReplyToRequests(false); },
     [](ClassifierHarness&) {
         return Mail("peer@other.example", kOwn, "held", {KeyMarkerLine(std::string(32, 'Q'))});
     },
     false, false, {true, false, 0, 0, 0, 0, 0, 0, 0}},
    {"FriendGoesToTheInbox", nullptr, StrangerMail, true, false, {true, true, 1, 0, 0, 0, 0, 0, 0}},
    {"UnknownIsQuarantinedAndChallenged", nullptr, StrangerMail, false, false, {true, true, 0, 1, 1, 1, 1, 0, 0}},
    {"SecondMessageOfTheSetGetsNoSecondChallenge", QuarantineStrangerFirst,
     [](ClassifierHarness&) { return Mail(kStranger, kOwn, "again", {"Me again."}); }, false, false,
     {true, true, 0, 2, 2, 1, 1, 0, 0}},
    {"SenderSetDifferingOnlyInCaseGetsItsOwnKey", QuarantineStrangerFirst,
     [](ClassifierHarness&) { return Mail("STRANGER@far.example", kOwn, "again", {"Me again."}); }, false, false,
     {true, true, 0, 2, 2, 2, 2, 0, 0}},
    {"NoChallengeWhenSwitchedOff",
     [](CheckWorld& w, ClassifierHarness&) { w.options.SetSendQuarantineMessage(false); }, StrangerMail, false,
     false, {true, true, 0, 1, 1, 0, 1, 0, 0}},
    {"NoSenderAddressIsHeldWithoutChallenge", nullptr,
     [](ClassifierHarness&) { return std::string("To: me@work.example\r\nSubject: nobody\r\n\r\nText\r\n"); },
     false, false, {true, true, 0, 1, 1, 0, 1, 0, 0}},
};

class RemoteChkClassify : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(RemoteChkClassify, StoresQueuesAndMarksAsExpected)
{
    const ClassifyCase& c = GetParam();
    CheckWorld w;
    w.AddTemplate("tmpl", "Please confirm", {"Your message is held.", "Reply to release it."});
    w.AddAccount(kAccount, {kOwn});
    ClassifierHarness h(w);
    if (c.setup)
        c.setup(w, h);
    const int answeredBefore = h.classifier->Data().AnsweredRequestCount();

    EXPECT_EQ(h.Process(kAccount, "u1", c.mail(h), c.isFriend, c.deleteVerdict), c.expect.handled);

    const Expect& e = c.expect;
    EXPECT_EQ(h.Marked(), e.marked);
    const std::filesystem::path folder = MessageFilePath(kAccount, "x", false).parent_path();
    EXPECT_EQ(CountMessageFiles(folder), e.inboxFiles);
    EXPECT_EQ(CountMessageFiles(folder / "Bad"), e.quarantineFiles);
    TThreadData& data = h.classifier->Data();
    EXPECT_EQ(data.QuarantinedMessageCount(), e.quarantineRows);
    EXPECT_EQ(static_cast<int>(data.AcctQueue(kAccount).size()), e.queueRows);
    EXPECT_EQ(static_cast<int>(data.AllKeys().size()), e.keys);
    EXPECT_EQ(data.AnsweredRequestCount() - answeredBefore, e.answered);
    EXPECT_EQ(w.friends.Count(), e.friends);
    EXPECT_TRUE(h.errors.empty()) << h.errors.front().Text;
}

INSTANTIATE_TEST_SUITE_P(Cases, RemoteChkClassify, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

class RemoteChkTest : public ::testing::Test {
protected:
    RemoteChkTest()
    {
        w.AddTemplate("tmpl", "Please confirm", {"Your message is held."});
        account = w.AddAccount(kAccount, {kOwn, "alias@work.example"});
    }
    CheckWorld w;
    TAccountPtr account;
};

TEST_F(RemoteChkTest, QuarantinedMessageIsRecordedAndChallengeIsBuiltFromTheTemplate)
{
    ClassifierHarness h(w);
    const std::string raw =
        Mail("Stranger <stranger@far.example>", "Alias <alias@work.example>", "hello", {"Hi.", ".dot line"});
    ASSERT_TRUE(h.Process(kAccount, "u1", raw));

    EXPECT_TRUE(h.entry->Quarantined());
    EXPECT_EQ(ReadFileBytes(MessageFilePath(kAccount, "u1", true)), StoredForm(raw));
    ASSERT_EQ(h.quarantined.size(), 1u);
    EXPECT_EQ(h.quarantined[0].UIDL, "u1");
    EXPECT_EQ(h.quarantined[0].Account, kAccount);
    EXPECT_EQ(h.quarantined[0].Subject, "hello");
    EXPECT_EQ(h.quarantined[0].From, "Stranger <stranger@far.example>");

    const std::vector<TQuarantineKey> keys = h.classifier->Data().AllKeys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].FromList, "stranger@far.example ");
    EXPECT_FALSE(keys[0].MessageSent);
    EXPECT_EQ(keys[0].Key.size(), kKeyLength);
    const std::vector<TQueuedMessage> queue = h.classifier->Data().AcctQueue(kAccount);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].KeyID, keys[0].ID);
    TMailMessage challenge;
    challenge.LoadFromString(queue[0].Message);
    EXPECT_EQ(challenge.GetFrom().Address, "alias@work.example");
    EXPECT_EQ(challenge.Subject, "alias@work.example: Please confirm");
    ASSERT_EQ(challenge.Recipients.Count(), 1u);
    EXPECT_EQ(challenge.Recipients[0].Address, "stranger@far.example");
    EXPECT_EQ(ExtractKey(challenge), keys[0].Key);
    ASSERT_GE(challenge.Body.size(), 5u);
    EXPECT_EQ(challenge.Body[0], "Your message is held.");
    EXPECT_EQ(challenge.Body[1], " -- DO NOT EDIT BELOW THIS LINE --");
    EXPECT_EQ(challenge.Body[3], " -- This message was sent by " + GetProductTitle());
}

TEST_F(RemoteChkTest, ChallengeWithoutKeysIsTheTemplateAlone)
{
    TAccountValues v = account->Snapshot();
    v.KeysInMessages = false;
    account->SetValues(v);
    ClassifierHarness h(w);
    ASSERT_TRUE(h.Process(kAccount, "u1", Mail("a@far.example", "nobody@else.example", "hi", {"x"})));
    const std::vector<TQueuedMessage> queue = h.classifier->Data().AcctQueue(kAccount);
    ASSERT_EQ(queue.size(), 1u);
    TMailMessage challenge;
    challenge.LoadFromString(queue[0].Message);
    EXPECT_EQ(challenge.Body, std::vector<std::string>{"Your message is held."});
    // Neither To nor Cc names the account (a Bcc): the default address.
    EXPECT_EQ(challenge.GetFrom().Address, "me@work.example");
    EXPECT_EQ(challenge.Subject, "me@work.example: Please confirm");
}

TEST_F(RemoteChkTest, KeyReplyWithKeysOffReleasesNothing)
{
    ClassifierHarness h(w);
    ASSERT_TRUE(h.Process(kAccount, "u1", Mail("a@far.example", kOwn, "hi", {"x"})));
    TAccountValues v = account->Snapshot();
    v.KeysInMessages = false;
    account->SetValues(v);
    const std::string key = h.classifier->Data().AllKeys().at(0).Key;
    ASSERT_TRUE(h.Process(kAccount, "u2", Mail("a@far.example", kOwn, "re", {KeyMarkerLine(key)})));
    EXPECT_TRUE(h.Marked());
    EXPECT_EQ(h.classifier->Data().QuarantinedMessageCount(), 1);
    EXPECT_EQ(w.friends.Count(), 0);
}

TEST_F(RemoteChkTest, SenderSetOfSeveralAddressesIsAddressedToEach)
{
    ClassifierHarness h(w);
    const std::string raw = "From: a@far.example\r\nReply-To: b@far.example\r\nTo: " + std::string(kOwn) +
                            "\r\nSubject: two\r\n\r\nText\r\n";
    ASSERT_TRUE(h.Process(kAccount, "u1", raw));
    TMailMessage challenge;
    challenge.LoadFromString(h.classifier->Data().AcctQueue(kAccount).at(0).Message);
    ASSERT_EQ(challenge.Recipients.Count(), 2u);
    EXPECT_EQ(challenge.Recipients[0].Address, "a@far.example");
    EXPECT_EQ(challenge.Recipients[1].Address, "b@far.example");
}

TEST_F(RemoteChkTest, ReleaseMovesEveryHeldMessageAndMakesTheSendersFriends)
{
    ClassifierHarness h(w);
    const std::string one = Mail("Ann <ann@far.example>", kOwn, "one", {"first"});
    const std::string two = Mail("Ann <ann@far.example>", kOwn, "two", {"second"});
    ASSERT_TRUE(h.Process(kAccount, "m1", one));
    ASSERT_TRUE(h.Process(kAccount, "m2", two));
    ASSERT_EQ(h.quarantined.size(), 2u);
    const std::string key = h.classifier->Data().AllKeys().at(0).Key;

    const std::string reply = Mail("ann@far.example", kOwn, "Re: confirm",
                                   {"Here you go.", ">", "> Your message is held.",
                                    "> -- ANTI-SPAM - " + key, "> - ANTI-SPAM"});
    ASSERT_TRUE(h.Process(kAccount, "r1", reply));

    EXPECT_TRUE(h.Marked());
    EXPECT_EQ(ReadFileBytes(MessageFilePath(kAccount, "m1", false)), StoredForm(one));
    EXPECT_EQ(ReadFileBytes(MessageFilePath(kAccount, "m2", false)), StoredForm(two));
    EXPECT_FALSE(std::filesystem::exists(MessageFilePath(kAccount, "m1", true)));
    EXPECT_EQ(h.removed, (std::vector<int>{h.quarantined[0].ID, h.quarantined[1].ID}));
    EXPECT_EQ(h.classifier->Data().QuarantinedMessageCount(), 0);
    EXPECT_TRUE(h.classifier->Data().AllKeys().empty());
    EXPECT_EQ(h.addresses, std::vector<std::string>{"ann@far.example"});
    EXPECT_EQ(w.friends.IndexOf("ann@far.example"), 0);
    // Released messages are offered by the local server; the list is not told.
    EXPECT_EQ(w.inbox.Count(), 0);
}

TEST_F(RemoteChkTest, ReleaseKeepsTheRowOfAFileThatCannotMove)
{
    ClassifierHarness h(w);
    ASSERT_TRUE(h.Process(kAccount, "m1", Mail("ann@far.example", kOwn, "one", {"1"})));
    ASSERT_TRUE(h.Process(kAccount, "m2", Mail("ann@far.example", kOwn, "two", {"2"})));
    // An inbox name taken by a folder: that file cannot be moved there.
    std::filesystem::create_directories(MessageFilePath(kAccount, "m2", false) / "blocker");
    const TQuarantineKey key = h.classifier->Data().AllKeys().at(0);

    EXPECT_EQ(h.classifier->ReleaseKey(key.ID), 1);
    EXPECT_EQ(h.removed, std::vector<int>{h.quarantined[0].ID});
    EXPECT_TRUE(std::filesystem::exists(MessageFilePath(kAccount, "m2", true)));
    EXPECT_EQ(h.classifier->Data().QuarantinedMessageCount(), 1);
}

TEST_F(RemoteChkTest, ForeignChallengeIsAnsweredOnce)
{
    ClassifierHarness h(w);
    const std::string key = GenerateKey();
    const std::string challenge = Mail("Peer <peer@other.example>", "Me <me@work.example>",
                                       "me@work.example: Please confirm", {"Held.", KeyMarkerLine(key)});
    ASSERT_TRUE(h.Process(kAccount, "c1", challenge));
    EXPECT_TRUE(h.Marked());
    ASSERT_TRUE(h.Process(kAccount, "c2", challenge));
    EXPECT_TRUE(h.Marked());

    const std::vector<TQueuedMessage> queue = h.classifier->Data().AcctQueue(kAccount);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].KeyID, -1);
    EXPECT_EQ(h.classifier->Data().AnsweredRequestCount(), 1);
    TMailMessage answer;
    answer.LoadFromString(queue[0].Message);
    EXPECT_EQ(answer.Body, std::vector<std::string>{KeyMarkerLine(key)});
    EXPECT_EQ(answer.Subject, "me@work.example: Please confirm");
    EXPECT_EQ(answer.GetFrom().Address, "me@work.example");
    ASSERT_EQ(answer.Recipients.Count(), 1u);
    EXPECT_EQ(answer.Recipients[0].Address, "peer@other.example");
}

TEST_F(RemoteChkTest, QuarantineRowThatCannotBeWrittenLeavesTheMessageOnTheServer)
{
    ClassifierHarness h(w);
    w.db->Database().Exec("DROP TABLE QuarantinedMessages");
    EXPECT_FALSE(h.Process(kAccount, "u1", Mail("ann@far.example", kOwn, "one", {"1"})));
    EXPECT_FALSE(h.Marked());
    EXPECT_FALSE(std::filesystem::exists(MessageFilePath(kAccount, "u1", true)));
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors[0].Account, kAccount);
    EXPECT_TRUE(h.quarantined.empty());
}

TEST_F(RemoteChkTest, QuarantineFileThatCannotBeWrittenLeavesTheMessageOnTheServer)
{
    ClassifierHarness h(w);
    std::filesystem::create_directories(MessageFilePath(kAccount, "u1", true) / "blocker");
    EXPECT_FALSE(h.Process(kAccount, "u1", Mail("ann@far.example", kOwn, "one", {"1"})));
    EXPECT_FALSE(h.Marked());
    // The row written before the file is taken back: nothing is half-stored.
    EXPECT_EQ(h.classifier->Data().QuarantinedMessageCount(), 0);
    EXPECT_EQ(h.errors.size(), 1u);
    EXPECT_TRUE(h.quarantined.empty());

    // Once the file can be written the next check stores it, under the same key.
    std::filesystem::remove_all(MessageFilePath(kAccount, "u1", true));
    EXPECT_TRUE(h.Process(kAccount, "u1", Mail("ann@far.example", kOwn, "one", {"1"})));
    EXPECT_TRUE(h.Marked());
    EXPECT_EQ(h.classifier->Data().AllKeys().size(), 1u);
    EXPECT_EQ(h.classifier->Data().AcctQueue(kAccount).size(), 1u);
}

TEST_F(RemoteChkTest, FriendsInboxFileThatCannotBeWrittenLeavesTheMessageOnTheServer)
{
    ClassifierHarness h(w);
    std::filesystem::create_directories(MessageFilePath(kAccount, "u1", false) / "blocker");
    EXPECT_FALSE(h.Process(kAccount, "u1", Mail("ann@far.example", kOwn, "one", {"1"}), true));
    EXPECT_FALSE(h.Marked());
    EXPECT_EQ(h.errors.size(), 1u);
    EXPECT_TRUE(h.whitelisted.empty());
    EXPECT_EQ(w.inbox.Count(), 0);
}

TEST_F(RemoteChkTest, FriendsMessageJoinsTheInboxListAsACopy)
{
    ClassifierHarness h(w);
    const std::string raw = Mail("ann@far.example", kOwn, "one", {"1"});
    ASSERT_TRUE(h.Process(kAccount, "u1", raw, true));
    EXPECT_EQ(h.whitelisted, std::vector<std::string>{"u1"});
    ASSERT_EQ(w.inbox.Count(), 1);
    EXPECT_NE(w.inbox.Item(0), h.entry.get());
    EXPECT_EQ(w.inbox.Item(0)->Id(), "u1");
    EXPECT_EQ(ReadFileBytes(MessageFilePath(kAccount, "u1", false)), StoredForm(raw));
}

TEST_F(RemoteChkTest, MissingTemplateQuarantinesWithoutChallengeAndReportsOncePerCheck)
{
    TAccountValues v = account->Snapshot();
    v.Outgoing.BadMailReply = "deleted-template";
    account->SetValues(v);
    ClassifierHarness h(w);
    ASSERT_TRUE(h.Process(kAccount, "u1", Mail("ann@far.example", kOwn, "one", {"1"})));
    ASSERT_TRUE(h.Process(kAccount, "u2", Mail("bob@far.example", kOwn, "two", {"2"})));

    EXPECT_TRUE(h.Marked());
    TThreadData& data = h.classifier->Data();
    EXPECT_EQ(data.QuarantinedMessageCount(), 2);
    EXPECT_TRUE(data.AcctQueue(kAccount).empty());
    const std::vector<TQuarantineKey> keys = data.AllKeys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_TRUE(keys[0].MessageSent);
    EXPECT_TRUE(keys[1].MessageSent);
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors[0].Text, kNoReplyTemplateMessage);
    EXPECT_EQ(h.errors[0].Account, kAccount);

    // A new check reports it again.
    ClassifierHarness next(w);
    ASSERT_TRUE(next.Process(kAccount, "u3", Mail("cy@far.example", kOwn, "three", {"3"})));
    EXPECT_EQ(next.errors.size(), 1u);
}

TEST_F(RemoteChkTest, OnlyAnAccountThatIsNotTheLastIsFollowedByTheDelay)
{
    w.options.SetDelayBetweenAccounts(3600);
    ClassifierHarness h(w);
    h.stop.Set(); // a stopped wait returns at once
    h.classifier->AfterAccount(*account, true);
    EXPECT_TRUE(h.statuses.empty());
    h.classifier->AfterAccount(*account, false);
    EXPECT_EQ(h.statuses, std::vector<std::string>{"Delaying between accounts"});
}

} // namespace
} // namespace bm::test
