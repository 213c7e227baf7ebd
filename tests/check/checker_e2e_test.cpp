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
        for (const char* user : {"alice", "dana", "erik", "fay", "hal"})
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

} // namespace
} // namespace bm::test
