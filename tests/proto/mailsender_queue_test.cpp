// TMailSender::SendQueue over the rows of a test database: sent rows leave the
// queue, their keys are marked, and the rows of other accounts, of a stopped
// pass and of an unreachable server stay queued; a greylisted row waits for
// the next check, a refused one leaves once reported, a relay refusal that a
// login cures is sent again with login.
#include "tests/proto/mailsender_support.h"

#include "store/ffdatamdl.h"
#include "store/threaddatamdl.h"
#include "tests/support/freeport.h"
#include "tests/support/smtpsink.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

using test::SenderWorld;
using test::SmtpSink;

constexpr auto kArrival = std::chrono::seconds(10);

class SenderQueue : public testing::Test {
protected:
    SenderQueue() : main_(DbFile()), data_(DbFile()) {}

    std::filesystem::path DbFile() const { return dir_.path() / "quarantine.db"; }

    int Queue(const std::string& account, int keyId, const std::string& to)
    {
        return data_.QueueMessage(account, keyId, test::SimpleMessage(to, {"Challenge for " + to}));
    }

    int Key(const std::string& code) { return data_.AppendKey(code, "x@example.org ", false); }

    bool Sent(int keyId) { return data_.FindKeyById(keyId).value().MessageSent; }

    // Hooks the checker thread gives; records what the sender did with them.
    void Hook(TMailSender& sender)
    {
        sender.OnStatus = [this](const std::string& s) { status_.push_back(s); };
        sender.SetInterruptible = [this](bool on) { interruptible_.push_back(on); };
    }

    test::TempDir dir_;
    TFFData main_;
    TThreadData data_;
    std::vector<std::string> status_;
    std::vector<bool> interruptible_;
};

TEST_F(SenderQueue, SendsTheAccountsRowsDeletesThemAndMarksTheirKeys)
{
    SmtpSink sink;
    SenderWorld w(sink.Port());
    Hook(*w.sender);
    const int k1 = Key("KEY1"), k2 = Key("KEY2"), kOther = Key("KEY3");
    Queue("Work", k1, "a@example.org");
    Queue("Work", -1, "b@example.org");
    const int other = Queue("Other", kOther, "c@example.org");
    Queue("Work", k2, "d@example.org");

    w.sender->SendQueue(*w.account, data_);

    ASSERT_TRUE(sink.WaitForMessages(3, kArrival));
    const auto got = sink.Messages();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].recipients, std::vector<std::string>{"a@example.org"});
    EXPECT_EQ(got[1].recipients, std::vector<std::string>{"b@example.org"});
    EXPECT_EQ(got[2].recipients, std::vector<std::string>{"d@example.org"});
    EXPECT_TRUE(data_.AcctQueue("Work").empty());
    ASSERT_EQ(data_.AcctQueue("Other").size(), 1u);
    EXPECT_EQ(data_.AcctQueue("Other")[0].ID, other);
    EXPECT_TRUE(Sent(k1));
    EXPECT_TRUE(Sent(k2));
    EXPECT_FALSE(Sent(kOther));
    EXPECT_EQ(status_, (std::vector<std::string>{"Sending quarantine message 1 of 3 on Work",
                                                 "Sending quarantine message 2 of 3 on Work",
                                                 "Sending quarantine message 3 of 3 on Work"}));
    EXPECT_EQ(interruptible_, (std::vector<bool>{false, true}));
    EXPECT_TRUE(w.errors.empty());
}

TEST_F(SenderQueue, EmptyQueueOpensNoConnection)
{
    const test::TClosedPort closed;
    SenderWorld w(closed);
    Hook(*w.sender);
    Queue("Other", -1, "c@example.org");

    w.sender->SendQueue(*w.account, data_);

    EXPECT_TRUE(w.errors.empty());
    EXPECT_TRUE(status_.empty());
    EXPECT_TRUE(interruptible_.empty());
}

TEST_F(SenderQueue, UnreachableServerLeavesTheRowsAndReportsBothAttempts)
{
    const test::TClosedPort closed;
    SenderWorld w(closed);
    Hook(*w.sender);
    const int k = Key("KEY1");
    Queue("Work", k, "a@example.org");

    w.sender->SendQueue(*w.account, data_);

    EXPECT_EQ(data_.AcctQueue("Work").size(), 1u);
    EXPECT_FALSE(Sent(k));
    ASSERT_EQ(w.errors.size(), 2u);
    EXPECT_EQ(w.errors[0].rfind("Work: Connection refused", 0), 0u) << w.errors[0];
    EXPECT_FALSE(w.account->Outgoing().LoginRequired());
    EXPECT_EQ(interruptible_, (std::vector<bool>{false, true}));
}

TEST_F(SenderQueue, StopRequestEndsThePassBeforeTheNextMessage)
{
    SmtpSink sink;
    SenderWorld w(sink.Port());
    Hook(*w.sender);
    w.sender->StopRequested = [this] { return !status_.empty(); };  // stop once one went out
    const int first = Queue("Work", Key("KEY1"), "a@example.org");
    const int second = Queue("Work", Key("KEY2"), "b@example.org");

    w.sender->SendQueue(*w.account, data_);

    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().size(), 1u);
    const auto left = data_.AcctQueue("Work");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].ID, second);
    EXPECT_NE(left[0].ID, first);
    EXPECT_TRUE(w.errors.empty());
}

TEST_F(SenderQueue, TlsFromTheFirstByte)
{
    SmtpSink sink;
    SenderWorld w(sink.SslPort(), 2);
    Queue("Work", -1, "a@example.org");

    w.sender->SendQueue(*w.account, data_);

    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_TRUE(sink.Messages().at(0).tls);
    EXPECT_TRUE(data_.AcctQueue("Work").empty());
}

TEST_F(SenderQueue, PermanentRefusalRemovesTheRowReportsItOnceAndTheQueueGoesOn)
{
    // A login would not cure "550 5.1.1": no second connection is made.
    test::SmtpSinkOptions so;
    so.user = "smtpuser";
    so.password = "smtppass";
    so.refuseRecipients = {"gone@example.org"};
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    const int k = Key("KEY1"), k2 = Key("KEY2");
    Queue("Work", k, "gone@example.org");
    Queue("Work", k2, "b@example.org");

    w.sender->SendQueue(*w.account, data_);

    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().at(0).recipients, std::vector<std::string>{"b@example.org"});
    EXPECT_EQ(sink.Messages().at(0).authUser, "");
    EXPECT_TRUE(data_.AcctQueue("Work").empty());
    // Never to be sent: its messages age out as those of a sent challenge.
    EXPECT_TRUE(Sent(k));
    EXPECT_TRUE(Sent(k2));
    EXPECT_EQ(w.errors,
              std::vector<std::string>{"Work: Message to gone@example.org refused: 550 5.1.1 Recipient refused"});
    EXPECT_FALSE(w.account->Outgoing().LoginRequired());

    w.sender->SendQueue(*w.account, data_);  // the next check
    EXPECT_EQ(w.errors.size(), 1u);
}

TEST_F(SenderQueue, GreylistedChallengeStaysQueuedForTheNextCheckWithoutBlockingTheOthers)
{
    test::SmtpSinkOptions so;
    so.greylist = {"grey@example.net"};
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    const int grey = Key("KEY1"), other = Key("KEY2");
    const int greyRow = Queue("Work", grey, "grey@example.net");
    Queue("Work", other, "b@example.org");

    w.sender->SendQueue(*w.account, data_);

    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().size(), 1u);
    EXPECT_EQ(sink.Messages().at(0).recipients, std::vector<std::string>{"b@example.org"});
    const auto left = data_.AcctQueue("Work");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].ID, greyRow);
    EXPECT_FALSE(Sent(grey));
    EXPECT_TRUE(Sent(other));
    EXPECT_TRUE(w.errors.empty()) << testing::PrintToString(w.errors);

    // postgrey lets the retry through.
    w.sender->SendQueue(*w.account, data_);

    ASSERT_TRUE(sink.WaitForMessages(2, kArrival));
    EXPECT_EQ(sink.Messages().at(1).recipients, std::vector<std::string>{"grey@example.net"});
    EXPECT_TRUE(data_.AcctQueue("Work").empty());
    EXPECT_TRUE(Sent(grey));
    EXPECT_TRUE(w.errors.empty()) << testing::PrintToString(w.errors);
}

TEST_F(SenderQueue, PostfixRelayDeniedSendsTheChallengeAgainWithLoginAndLearnsIt)
{
    test::SmtpSinkOptions so;
    so.user = "smtpuser";
    so.password = "smtppass";
    so.relayDenied = {"bob@example.net"};
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    const int k = Key("KEY1");
    Queue("Work", k, "bob@example.net");

    w.sender->SendQueue(*w.account, data_);

    ASSERT_TRUE(sink.WaitForMessages(1, kArrival)) << testing::PrintToString(w.errors);
    EXPECT_EQ(sink.Messages().at(0).authUser, "smtpuser");
    EXPECT_TRUE(data_.AcctQueue("Work").empty());
    EXPECT_TRUE(Sent(k));
    EXPECT_TRUE(w.errors.empty()) << testing::PrintToString(w.errors);
    EXPECT_TRUE(w.account->Outgoing().LoginRequired());
}

TEST_F(SenderQueue, ServerWantingLoginGetsTheQueueWithLoginAndLoginRequiredIsLearned)
{
    test::SmtpSinkOptions so;
    so.user = "smtpuser";
    so.password = "smtppass";
    so.requireAuth = true;
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    const int k = Key("KEY1");
    Queue("Work", k, "a@example.org");
    Queue("Work", -1, "b@example.org");

    w.sender->SendQueue(*w.account, data_);

    ASSERT_TRUE(sink.WaitForMessages(2, kArrival)) << testing::PrintToString(w.errors);
    for (const auto& m : sink.Messages())
        EXPECT_EQ(m.authUser, "smtpuser");
    EXPECT_TRUE(data_.AcctQueue("Work").empty());
    EXPECT_TRUE(Sent(k));
    EXPECT_TRUE(w.errors.empty()) << testing::PrintToString(w.errors);
    EXPECT_TRUE(w.account->Outgoing().LoginRequired());
    TOptions options;
    TAccountList saved(options);
    saved.LoadFromFile();
    ASSERT_EQ(saved.Count(), 1);
    EXPECT_TRUE(saved.Item(0)->Outgoing().LoginRequired());
}

TEST_F(SenderQueue, AnUnreachableAccountKeepsItsRowsWhileTheNextAccountSendsOnlyItsOwn)
{
    SmtpSink sink;
    const test::TClosedPort closed;
    SenderWorld down(closed);
    SenderWorld up(sink.Port());
    up.account->SetName("Home");
    const int kWork = Key("KEY1"), kHome = Key("KEY2");
    Queue("Work", kWork, "a@example.org");
    Queue("Home", kHome, "b@example.org");

    down.sender->SendQueue(*down.account, data_);
    up.sender->SendQueue(*up.account, data_);

    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().size(), 1u);
    EXPECT_EQ(sink.Messages().at(0).recipients, std::vector<std::string>{"b@example.org"});
    EXPECT_EQ(data_.AcctQueue("Work").size(), 1u);
    EXPECT_TRUE(data_.AcctQueue("Home").empty());
    EXPECT_FALSE(Sent(kWork));
    EXPECT_TRUE(Sent(kHome));
}

TEST_F(SenderQueue, SecondConnectAttemptWithLoginLearnsLoginRequired)
{
    test::ScriptedSmtpServer server({{"<connect>", "421 4.3.2 busy\r\n"},
                                     {"<connect>", "220 fake.test\r\n"},
                                     {"EHLO", "250-fake.test\r\n250 AUTH LOGIN\r\n"},
                                     {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
                                     {"c210cHVzZXI=", "334 UGFzc3dvcmQ6\r\n"},
                                     {"c210cHBhc3M=", "235 ok\r\n"},
                                     {"MAIL", "250 ok\r\n"},
                                     {"RCPT", "250 ok\r\n"},
                                     {"DATA", "354 go\r\n"},
                                     {".", "250 ok\r\n"},
                                     {"QUIT", "221 bye\r\n"}});
    SenderWorld w(server.Port());
    Queue("Work", -1, "a@example.org");

    w.sender->SendQueue(*w.account, data_);

    server.Finish();
    EXPECT_TRUE(server.Mismatches().empty()) << testing::PrintToString(server.Mismatches());
    EXPECT_EQ(w.errors, std::vector<std::string>{"Work: 4.3.2 busy"});
    EXPECT_TRUE(data_.AcctQueue("Work").empty());
    EXPECT_TRUE(w.account->Outgoing().LoginRequired());
    TOptions options;
    TAccountList saved(options);
    saved.LoadFromFile();
    ASSERT_EQ(saved.Count(), 1);
    EXPECT_TRUE(saved.Item(0)->Outgoing().LoginRequired());
}

} // namespace
} // namespace bm
