// Whole Mail checks against real peers: a Dovecot POP3 server holds the
// users' mailboxes and an aiosmtpd sink takes what the checks send; the test
// plays the mail network between them by delivering what the sink received
// into the addressee's mailbox.
//
// Collecting the released message through the program's own local POP3
// server is the servers' and the application's business (a folder to the
// right of this one); here the released inbox file is compared with what
// was sent.
#include "check/chkthreadU.h"

#include "tests/check/remotechk_support.h"
#include "tests/support/dovecot.h"
#include "tests/support/smtpsink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>

#include <unistd.h>

#include "core/errorsU.h"

namespace bm::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kHangGuard = 120s;

// One user of the program: a data folder, an account on the shared Dovecot
// (the mailbox user "name", password "pw-" + name) and the shared sink, and
// what the checks told the main thread.
struct User {
    User(DovecotServer& pop3, SmtpSink& smtp, const std::string& name)
        : name(name), address(name + "@home.example")
    {
        world.AddTemplate("tmpl", "Please confirm your message", {"Your message is held until you reply."});
        TAccountPtr a = world.AddAccount(name, {address});
        TAccountValues v = a->Snapshot();
        v.Incoming.Server = "127.0.0.1";
        v.Incoming.Port = pop3.Pop3Port();
        v.Incoming.UserName = name;
        v.Incoming.Password = "pw-" + name;
        v.Outgoing.Server = "127.0.0.1";
        v.Outgoing.Port = smtp.Port();
        a->SetValues(v);
    }

    // One whole Mail check (remote pass) in the checker thread.
    void Check()
    {
        world.scope.Enter();
        TCheckerEvents h;
        h.OnAddressWhitelisted = [this](const std::string& a) { friendsAdded.push_back(a); };
        h.OnQuarantined = [this](const TQuarantinedMessage& n) { quarantined.push_back(n.UIDL); };
        h.OnQuarantineRemoved = [this](int id) { removed.push_back(id); };
        h.OnFinished = [this] { ++finished; };
        h.OnGetCredentials = [this](TCredentialsRequest& r) {
            prompts.push_back(r.Reason);
            return false;
        };
        ASSERT_NE(StartCheckerThread(false, false, false, nullptr, h, world.context), nullptr);
        ASSERT_TRUE(WaitForMailCheck(kHangGuard));
    }

    std::filesystem::path Folder() const
    {
        world.scope.Enter();
        return MessageFilePath(name, "x", false).parent_path();
    }
    // Contents of the inbox (or quarantine) files, in name order.
    std::vector<std::string> Files(bool quarantined) const
    {
        const std::filesystem::path folder = quarantined ? Folder() / "Bad" : Folder();
        std::vector<std::filesystem::path> paths;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(folder, ec))
            if (e.is_regular_file() && e.path().extension() == ".msg")
                paths.push_back(e.path());
        std::sort(paths.begin(), paths.end());
        std::vector<std::string> contents;
        for (const auto& p : paths)
            contents.push_back(ReadFileBytes(p));
        return contents;
    }
    std::vector<TQuarantineKey> Keys()
    {
        TThreadData data(world.database);
        return data.AllKeys();
    }

    std::string name;
    std::string address;
    CheckWorld world;
    std::vector<std::string> friendsAdded, quarantined;
    std::vector<int> removed;
    std::vector<std::string> prompts; // refused logins
    int finished = 0;
};

class CheckerE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (::geteuid() != 0)
            return;
        pop3_ = new DovecotServer;
        smtp_ = new SmtpSink;
        // Every mailbox before the first login: Dovecot rereads its
        // passwd-file by modification time, so a user added within the same
        // second as an earlier login may stay unknown to it.
        for (const char* user : {"alice", "dana", "erik", "fay", "hal", "ivy", "jon", "kim", "lee", "mia"})
            pop3_->AddUser(user, std::string("pw-") + user);
    }
    static void TearDownTestSuite()
    {
        delete smtp_;
        delete pop3_;
        smtp_ = nullptr;
        pop3_ = nullptr;
    }
    void SetUp() override
    {
        if (!pop3_)
            GTEST_SKIP() << "Dovecot fixture needs root";
        sinkSeen_ = smtp_->Messages().size();
        OnErrorReported = [this](const std::string& account, const std::string& message) {
            errors_.push_back(account + ": " + message);
        };
    }
    void TearDown() override { OnErrorReported = nullptr; }

    // The messages the sink took since the last call (waiting for count).
    std::vector<SmtpReceived> NewSent(std::size_t count)
    {
        EXPECT_TRUE(smtp_->WaitForMessages(sinkSeen_ + count, 10s)) << smtp_->Log();
        std::vector<SmtpReceived> all = smtp_->Messages();
        std::vector<SmtpReceived> fresh(all.begin() + static_cast<std::ptrdiff_t>(sinkSeen_), all.end());
        sinkSeen_ = all.size();
        return fresh;
    }
    // The mail network: each message goes into its recipients' mailboxes.
    void Relay(const std::vector<SmtpReceived>& sent, const std::map<std::string, std::string>& mailboxes)
    {
        for (const SmtpReceived& m : sent)
            for (const std::string& rcpt : m.recipients)
                pop3_->Deliver(mailboxes.at(rcpt), m.data);
    }

    static DovecotServer* pop3_;
    static SmtpSink* smtp_;
    std::size_t sinkSeen_ = 0;
    std::vector<std::string> errors_;
};
DovecotServer* CheckerE2E::pop3_ = nullptr;
SmtpSink* CheckerE2E::smtp_ = nullptr;

// The reply a person writes: the challenge's text quoted with "> ".
std::string QuotingReply(const std::string& from, const std::string& to, const SmtpReceived& challenge)
{
    TMailMessage parsed;
    parsed.LoadFromRaw(challenge.data);
    std::string raw = "From: " + from + "\r\nTo: " + to + "\r\nSubject: Re: " + parsed.Subject +
                      "\r\n\r\nYes, that was me.\r\n\r\n";
    for (const std::string& line : parsed.Body)
        raw += "> " + line + "\r\n";
    return raw;
}

TEST_F(CheckerE2E, UnknownSenderIsChallengedAndReleasedByTheQuotingReply)
{
    User alice(*pop3_, *smtp_, "alice");
    const std::string original = Mail("Bob <bob@far.example>", "Alice <alice@home.example>", "hello",
                                      {"Hello Alice,", ".a line that starts with a dot", "Bob"});
    pop3_->Deliver("alice", original);

    alice.Check();
    EXPECT_EQ(alice.finished, 1);
    EXPECT_TRUE(pop3_->ListMessages("alice").empty()); // the program keeps the only copy
    EXPECT_EQ(alice.Files(true), std::vector<std::string>{StoredForm(original)});
    ASSERT_EQ(alice.quarantined.size(), 1u);
    const std::vector<TQuarantineKey> keys = alice.Keys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_TRUE(keys[0].MessageSent);
    const std::vector<SmtpReceived> challenge = NewSent(1);
    ASSERT_EQ(challenge.size(), 1u);
    EXPECT_EQ(challenge[0].from, "alice@home.example");
    EXPECT_EQ(challenge[0].recipients, std::vector<std::string>{"bob@far.example"});
    EXPECT_NE(challenge[0].data.find(KeyMarkerLine(keys[0].Key)), std::string::npos) << challenge[0].data;

    pop3_->Deliver("alice", QuotingReply("bob@far.example", "alice@home.example", challenge[0]));
    alice.Check();

    EXPECT_TRUE(pop3_->ListMessages("alice").empty()); // both server copies deleted
    EXPECT_EQ(alice.Files(false), std::vector<std::string>{StoredForm(original)});
    EXPECT_TRUE(alice.Files(true).empty());
    EXPECT_EQ(alice.friendsAdded, std::vector<std::string>{"bob@far.example"});
    EXPECT_EQ(alice.world.friends.IndexOf("bob@far.example"), 0);
    EXPECT_EQ(alice.removed.size(), 1u);
    EXPECT_TRUE(alice.Keys().empty());
    EXPECT_EQ(NewSent(0).size(), 0u); // nothing answers a reply
    EXPECT_TRUE(errors_.empty()) << errors_.front();
    EXPECT_TRUE(alice.prompts.empty());
}

TEST_F(CheckerE2E, TwoUsersAnswerEachOthersChallengeOnceAndBothMessagesArrive)
{
    User dana(*pop3_, *smtp_, "dana");
    User erik(*pop3_, *smtp_, "erik");
    const std::map<std::string, std::string> boxes{{dana.address, "dana"}, {erik.address, "erik"}};
    const std::string toErik = Mail(dana.address, erik.address, "from-dana", {"Hi Erik."});
    const std::string toDana = Mail(erik.address, dana.address, "from-erik", {"Hi Dana."});
    pop3_->Deliver("erik", toErik);
    pop3_->Deliver("dana", toDana);

    // Each holds the other's message and challenges the other.
    dana.Check();
    erik.Check();
    const std::vector<SmtpReceived> challenges = NewSent(2);
    ASSERT_EQ(challenges.size(), 2u) << pop3_->Log();
    Relay(challenges, boxes);

    // Each answers the other's challenge automatically.
    dana.Check();
    erik.Check();
    const std::vector<SmtpReceived> answers = NewSent(2);
    ASSERT_EQ(answers.size(), 2u);
    Relay(answers, boxes);

    // Each releases on the answer to its own challenge.
    dana.Check();
    erik.Check();
    EXPECT_EQ(dana.Files(false), std::vector<std::string>{StoredForm(toDana)});
    EXPECT_EQ(erik.Files(false), std::vector<std::string>{StoredForm(toErik)});
    EXPECT_EQ(dana.friendsAdded, std::vector<std::string>{erik.address});
    EXPECT_EQ(erik.friendsAdded, std::vector<std::string>{dana.address});

    // No loop: nothing more is sent, and the mailboxes stay empty.
    dana.Check();
    erik.Check();
    EXPECT_EQ(NewSent(0).size(), 0u);
    EXPECT_EQ(TThreadData(dana.world.database).AnsweredRequestCount(), 1);
    EXPECT_EQ(TThreadData(erik.world.database).AnsweredRequestCount(), 1);
    EXPECT_TRUE(pop3_->ListMessages("dana").empty());
    EXPECT_TRUE(pop3_->ListMessages("erik").empty());
    EXPECT_TRUE(errors_.empty()) << errors_.front();
    EXPECT_TRUE(dana.prompts.empty() && erik.prompts.empty());
}

TEST_F(CheckerE2E, ChallengeToMailReceivedAsBccComesFromTheDefaultAddress)
{
    User fay(*pop3_, *smtp_, "fay");
    // Fay was a Bcc: neither To nor Cc names her.
    pop3_->Deliver("fay", Mail("Gus <gus@far.example>", "list@lists.example", "news", {"Hello all."}));

    fay.Check();

    const std::vector<SmtpReceived> challenge = NewSent(1);
    ASSERT_EQ(challenge.size(), 1u);
    EXPECT_EQ(challenge[0].from, "fay@home.example") << "an empty MAIL FROM reads as a bounce";
    EXPECT_EQ(challenge[0].recipients, std::vector<std::string>{"gus@far.example"});
    TMailMessage sent;
    sent.LoadFromRaw(challenge[0].data);
    EXPECT_EQ(sent.GetFrom().Address, "fay@home.example");
    EXPECT_EQ(sent.Subject, "fay@home.example: Please confirm your message");
    EXPECT_TRUE(errors_.empty()) << errors_.front();
}

TEST_F(CheckerE2E, OwnAndSenderlessMessagesAreHeldWithoutChallengeNotDeletedUnstored)
{
    User hal(*pop3_, *smtp_, "hal");
    const std::string note = Mail("Hal <HAL@home.example>", "hal@home.example", "note", {"From my phone."});
    const std::string nobody = "To: hal@home.example\r\nSubject: nobody\r\n\r\nNo sender.\r\n";
    pop3_->Deliver("hal", note);
    pop3_->Deliver("hal", nobody);

    hal.Check();

    EXPECT_TRUE(pop3_->ListMessages("hal").empty()) << "stored, so the server copies may go";
    EXPECT_EQ(hal.Files(true).size(), 2u);
    EXPECT_EQ(hal.quarantined.size(), 2u);
    EXPECT_EQ(NewSent(0).size(), 0u) << "no challenge to oneself or to nobody";
    const std::vector<TQuarantineKey> keys = hal.Keys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_TRUE(keys[0].MessageSent) << "counts as sent: the cleaner ages the messages out";
    EXPECT_EQ(keys[0].FromList, "") << "nobody to blacklist when they age out";
    EXPECT_TRUE(errors_.empty()) << errors_.front();
}

// A personal mail from the sender with extra header lines in front.
std::string MailWith(const std::string& headers, const std::string& from, const std::string& to,
                     const std::string& subject)
{
    return headers + Mail(from, to, subject, {"Body of " + subject + "."});
}

TEST_F(CheckerE2E, RobotsListsAndBouncesAreHeldWithoutChallengeAPersonGetsExactlyOne)
{
    User ivy(*pop3_, *smtp_, "ivy");
    struct Case {
        const char* Headers;
        const char* From;
    } const robots[] = {
        {"Auto-Submitted: auto-replied\r\n", "away@far.example"},
        {"Auto-Submitted: auto-generated; owner-email=x@far.example\r\n", "cron@far.example"},
        {"Precedence: bulk\r\n", "news@shop.example"},
        {"Precedence: junk\r\n", "junk@shop.example"},
        {"Precedence: list\r\n", "old-list@lists.example"},
        {"List-Id: <talk.lists.example>\r\n", "poster1@far.example"},
        {"List-Unsubscribe: <mailto:leave@lists.example>\r\n", "letter@shop.example"},
        {"List-Post: <mailto:talk@lists.example>\r\n", "poster2@far.example"},
        {"Mailing-List: contact talk-help@lists.example\r\n", "poster3@far.example"},
        {"X-Mailing-List: talk@lists.example\r\n", "poster4@far.example"},
        {"Return-Path: <>\r\n", "someone@far.example"},
        {"Delivered-To: ivy@home.example\r\n", "noreturn@far.example"},
        {"", "MAILER-DAEMON@mx.far.example"},
        {"", "postmaster@far.example"},
        {"Content-Type: multipart/report; report-type=delivery-status; boundary=b\r\n", "dsn@far.example"},
    };
    int n = 0;
    for (const Case& c : robots)
        pop3_->Deliver("ivy", MailWith(c.Headers, c.From, ivy.address, "robot" + std::to_string(++n)));
    pop3_->Deliver("ivy", MailWith("Auto-Submitted: no\r\n", "Ned <ned@far.example>", ivy.address, "person"));

    ivy.Check();

    EXPECT_TRUE(pop3_->ListMessages("ivy").empty());
    EXPECT_EQ(ivy.quarantined.size(), std::size(robots) + 1) << "every message is held";
    const std::vector<SmtpReceived> sent = NewSent(1);
    ASSERT_EQ(sent.size(), 1u) << "a challenge for the person only";
    EXPECT_EQ(sent[0].recipients, std::vector<std::string>{"ned@far.example"});
    EXPECT_EQ(NewSent(0).size(), 0u);
    for (const TQuarantineKey& k : ivy.Keys())
        EXPECT_TRUE(k.MessageSent) << k.FromList << ": robots' messages age out";

    // Our challenge is a well-behaved robot itself.
    TMailMessage challenge;
    challenge.LoadFromRaw(sent[0].data);
    EXPECT_EQ(challenge.Headers.Value("Auto-Submitted"), "auto-replied");
    EXPECT_EQ(challenge.Headers.Value("Precedence"), "bulk");
    EXPECT_EQ(challenge.Headers.Value("In-Reply-To"), "<person@test>");
    EXPECT_EQ(challenge.Headers.Value("References"), "<person@test>");
    EXPECT_EQ(MessageIdsIn(challenge.Headers.Value("Message-ID")).size(), 1u);
    EXPECT_EQ(AutomaticMailReason(challenge), "automatic mail") << "another copy never challenges it";
    EXPECT_TRUE(errors_.empty()) << errors_.front();
}

TEST_F(CheckerE2E, WithChallengeAutomaticMailOnListMailIsChallenged)
{
    User jon(*pop3_, *smtp_, "jon");
    jon.world.options.SetChallengeAutomaticMail(true);
    pop3_->Deliver("jon", MailWith("List-Id: <talk.lists.example>\r\n", "poster@far.example", jon.address, "l1"));

    jon.Check();

    EXPECT_EQ(NewSent(1).size(), 1u);
}

TEST_F(CheckerE2E, AChallengeAnsweringOurChallengeIsNotConfirmedSoNoLoop)
{
    User kim(*pop3_, *smtp_, "kim");
    pop3_->Deliver("kim", Mail("Olaf <olaf@far.example>", kim.address, "hi-kim", {"Hello."}));
    kim.Check();
    const std::vector<SmtpReceived> ours = NewSent(1);
    ASSERT_EQ(ours.size(), 1u);
    TMailMessage challenge;
    challenge.LoadFromRaw(ours[0].data);
    const std::string ourId = challenge.Headers.Value("Message-ID");

    // Olaf's filter challenges our challenge, and, separately, his own mail.
    const std::string foreignKey(32, 'Q');
    pop3_->Deliver("kim", "In-Reply-To: " + ourId + "\r\n" +
                              Mail("olaf@far.example", kim.address, "olaf-challenge1", {KeyMarkerLine(foreignKey)}));
    pop3_->Deliver("kim", Mail("olaf@far.example", kim.address, "olaf-challenge2",
                               {KeyMarkerLine(std::string(32, 'R'))}));
    kim.Check();

    const std::vector<SmtpReceived> answers = NewSent(1);
    ASSERT_EQ(answers.size(), 1u) << "only the challenge that is not an answer to ours is confirmed";
    EXPECT_NE(answers[0].data.find(KeyMarkerLine(std::string(32, 'R'))), std::string::npos);
    TMailMessage confirmation;
    confirmation.LoadFromRaw(answers[0].data);
    EXPECT_EQ(confirmation.Headers.Value("Auto-Submitted"), "auto-replied");
    EXPECT_EQ(confirmation.Headers.Value("In-Reply-To"), "<olaf-challenge2@test>");
    EXPECT_EQ(NewSent(0).size(), 0u);
}

TEST_F(CheckerE2E, AReplyToRelayedMailPassesAndItsSenderBecomesAFriend)
{
    User lee(*pop3_, *smtp_, "lee");
    TThreadData(lee.world.database).AppendSentMessage("question@home.example", TSentKind::Relayed, "lee");
    const std::string reply = "In-Reply-To: <question@home.example>\r\n" +
                              Mail("Pia <pia@far.example>", lee.address, "answer", {"Here is the answer."});
    const std::string other = "References: <elsewhere@x> <question@home.example>\r\n" +
                              Mail("Quinn <quinn@far.example>", lee.address, "thread", {"Me too."});
    const std::string stranger = "In-Reply-To: <unknown@home.example>\r\n" +
                                 Mail("Rex <rex@far.example>", lee.address, "guess", {"Hi."});
    pop3_->Deliver("lee", reply);
    pop3_->Deliver("lee", other);
    pop3_->Deliver("lee", stranger);

    lee.Check();

    EXPECT_EQ(lee.Files(false).size(), 2u) << "both replies in the inbox";
    EXPECT_EQ(lee.Files(true), std::vector<std::string>{StoredForm(stranger)});
    EXPECT_EQ(lee.friendsAdded, (std::vector<std::string>{"pia@far.example", "quinn@far.example"}));
    const std::vector<SmtpReceived> sent = NewSent(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].recipients, std::vector<std::string>{"rex@far.example"});
}

TEST_F(CheckerE2E, ChallengesOverTheCapWaitInTheQueueAcrossChecks)
{
    User mia(*pop3_, *smtp_, "mia");
    mia.world.context.Smtp->challengesPerAccountHour = 5;
    mia.world.context.Smtp->challengesPerAddressDay = 2;
    // Three sender sets that share sam's address, and two strangers more.
    pop3_->Deliver("mia", Mail("sam@far.example", mia.address, "s1", {"1"}));
    pop3_->Deliver("mia", "Reply-To: a@far.example\r\n" + Mail("sam@far.example", mia.address, "s2", {"2"}));
    pop3_->Deliver("mia", "Reply-To: b@far.example\r\n" + Mail("sam@far.example", mia.address, "s3", {"3"}));
    for (const char* other : {"tom@far.example", "uma@far.example", "val@far.example"})
        pop3_->Deliver("mia", Mail(other, mia.address, other, {"hi"}));

    mia.Check();
    EXPECT_EQ(NewSent(5).size(), 5u) << "two to sam, then the account's cap";
    EXPECT_EQ(NewSent(0).size(), 0u);

    mia.Check();
    EXPECT_EQ(NewSent(0).size(), 0u) << "the caps hold over checks";
    TThreadData data(mia.world.database);
    EXPECT_EQ(data.AcctQueue("mia").size(), 1u) << "the rest waits";
    int unsent = 0;
    for (const TQuarantineKey& k : mia.Keys())
        unsent += k.MessageSent ? 0 : 1;
    EXPECT_EQ(unsent, 1);
    EXPECT_TRUE(errors_.empty()) << errors_.front();
}

} // namespace
} // namespace bm::test
