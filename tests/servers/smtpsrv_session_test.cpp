// The local SMTP server's protocol over real loopback sockets, driven by a
// raw client: the replies, the transaction state, STARTTLS, and the bounds
// that keep it working under misbehaving clients. Messages are relayed into
// a real aiosmtpd sink.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "servers/smtpsrvmdl.h"
#include "tests/servers/smtpsrv_support.h"
#include "tests/support/peerprocess.h"
#include "tests/support/smtpsink.h"

namespace bm::test {
namespace {

constexpr const char* kGreeting = "220 Welcome to the Brixmoor SMTP Server";

class SmtpSessionTest : public ::testing::Test {
protected:
    // One sink for the whole suite (starting one takes a while); each test
    // looks only at what arrived after its start.
    static void SetUpTestSuite() { sink_ = std::make_unique<SmtpSink>(); }
    static void TearDownTestSuite() { sink_.reset(); }
    void SetUp() override
    {
        env_.AddAccount("Home", {"joe@home.example"}, sink_->Port());
        baseline_ = sink_->Messages().size();
    }
    // The messages the sink received during this test.
    std::vector<SmtpReceived> Received() const
    {
        auto all = sink_->Messages();
        return {all.begin() + static_cast<std::ptrdiff_t>(baseline_), all.end()};
    }

    // A server over the env's settings (change them before calling).
    TLocalSMTPServerMdl& Start(TTlsMode mode = TTlsMode::Explicit)
    {
        server_ = std::make_unique<TLocalSMTPServerMdl>(env_.Settings());
        server_->StartListening(mode, 0);
        return *server_;
    }

    // Greeting and EHLO on a fresh connection.
    std::unique_ptr<SmtpClient> Greeted(bool ehlo = true)
    {
        auto client = std::make_unique<SmtpClient>(server_->Port());
        EXPECT_EQ(client->Reply(), kGreeting);
        const std::string reply = client->Cmd(ehlo ? "EHLO client.example" : "HELO client.example");
        EXPECT_TRUE(reply.starts_with("250")) << reply;
        return client;
    }

    // MAIL, RCPT for each, DATA, the text and the final line; the reply to
    // the data. Runs off the main thread (the relay may hand events to it).
    std::string SendMessage(SmtpClient& client, const std::vector<std::string>& rcpts, const std::string& text)
    {
        std::string reply;
        RunAside([&] {
            EXPECT_EQ(client.Cmd("MAIL FROM:<joe@home.example>"), "250 2.1.0 Sender OK");
            for (const auto& rcpt : rcpts)
                EXPECT_TRUE(client.Cmd("RCPT TO:<" + rcpt + ">").starts_with("250 2.1.5")) << rcpt;
            EXPECT_EQ(client.Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
            client.Send(DataBlock(text));
            reply = client.Reply();
        });
        return reply;
    }

    static inline std::unique_ptr<SmtpSink> sink_;
    std::size_t baseline_ = 0;
    SmtpEnv env_;
    std::unique_ptr<TLocalSMTPServerMdl> server_;
};

struct ReplyCase {
    const char* name;
    bool ehlo;  // greet with EHLO (enhanced codes) or HELO
    const char* command;
    const char* reply;
};

// Tests are listed by case name, not by the bytes of the case.
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class SmtpReplyTest : public SmtpSessionTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(SmtpReplyTest, AnswersAsTheTableSays)
{
    Start();
    auto client = Greeted(GetParam().ehlo);
    EXPECT_EQ(client->Cmd(GetParam().command), GetParam().reply);
}

const ReplyCase kReplyCases[] = {
    {"UnknownCommand", true, "FROB it", "500 5.5.2 Syntax Error"},
    {"UnknownCommandAfterHelo", false, "FROB it", "500 Syntax Error"},
    {"Help", true, "HELP", "214 2.0.0 No help is available"},
    {"Noop", true, "NOOP", "250 2.0.0 Ok"},
    {"Rset", true, "RSET", "250 2.0.0 Ok"},
    {"Vrfy", true, "VRFY joe", "252 2.5.2 Cannot VRFY user, but will accept message and attempt delivery"},
    {"Mail", true, "MAIL FROM:<joe@home.example> SIZE=100", "250 2.1.0 Sender OK"},
    {"MailNullPath", true, "mail from:<>", "250 2.1.0 Sender OK"},
    {"MailWithoutKeyword", true, "MAIL joe@home.example", "501 5.5.4 Syntax: MAIL FROM:<address>"},
    {"MailUnclosedPath", true, "MAIL FROM:<joe@home.example", "501 5.1.7 Bad sender address syntax"},
    {"RcptBeforeMail", true, "RCPT TO:<ann@x.example>", "503 5.5.1 Need MAIL before RCPT"},
    {"DataBeforeMail", true, "DATA", "503 5.5.1 Need MAIL command"},
    {"EhloWithoutName", true, "EHLO", "501 5.5.4 Syntax: EHLO hostname"},
    {"HeloWithoutName", false, "HELO", "501 Syntax: HELO hostname"},
    {"StartTlsWithArgument", true, "STARTTLS now", "501 5.5.4 Syntax error (no parameters allowed)"},
    {"Quit", true, "QUIT", "221 2.0.0 Bye"},
};
INSTANTIATE_TEST_SUITE_P(Replies, SmtpReplyTest, ::testing::ValuesIn(kReplyCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct TransactionCase {
    const char* name;
    std::vector<std::string> commands;  // after EHLO; the last one's reply is checked
    const char* reply;
};

// Tests are listed by case name, not by the bytes of the case.
void PrintTo(const TransactionCase& c, std::ostream* os) { *os << c.name; }

class SmtpTransactionTest : public SmtpSessionTest, public ::testing::WithParamInterface<TransactionCase> {};

TEST_P(SmtpTransactionTest, FollowsTheTransactionState)
{
    Start();
    auto client = Greeted();
    std::string reply;
    for (const auto& command : GetParam().commands)
        reply = client->Cmd(command);
    EXPECT_EQ(reply, GetParam().reply);
}

const TransactionCase kTransactionCases[] = {
    {"RcptAccepted", {"MAIL FROM:<joe@home.example>", "RCPT TO:<Ann@X.example>"},
     "250 2.1.5 User Ann@X.example not local; no forwarding address"},
    {"RcptSourceRouteDropped", {"MAIL FROM:<joe@home.example>", "RCPT TO:<@relay.example:ann@x.example>"},
     "250 2.1.5 User ann@x.example not local; no forwarding address"},
    {"RcptEmptyRefused", {"MAIL FROM:<joe@home.example>", "RCPT TO:<>"}, "550 5.7.1 We do not relay "},
    {"SecondMail", {"MAIL FROM:<joe@home.example>", "MAIL FROM:<joe@home.example>"},
     "503 5.5.1 Nested MAIL command"},
    {"DataWithoutRecipient", {"MAIL FROM:<joe@home.example>", "DATA"}, "554 5.5.1 No valid recipients"},
    {"DataAfterOnlyRefusedRecipient", {"MAIL FROM:<joe@home.example>", "RCPT TO:<>", "DATA"},
     "554 5.5.1 No valid recipients"},
    {"RsetEndsTheTransaction", {"MAIL FROM:<joe@home.example>", "RSET", "RCPT TO:<ann@x.example>"},
     "503 5.5.1 Need MAIL before RCPT"},
    {"EhloEndsTheTransaction", {"MAIL FROM:<joe@home.example>", "EHLO again", "RCPT TO:<ann@x.example>"},
     "503 5.5.1 Need MAIL before RCPT"},
};
INSTANTIATE_TEST_SUITE_P(Transactions, SmtpTransactionTest, ::testing::ValuesIn(kTransactionCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmtpSessionTest, EhloListsTheExtensionsAndStartTlsOnlyWhereOffered)
{
    Start(TTlsMode::Explicit);
    SmtpClient plain(server_->Port());
    EXPECT_EQ(plain.Reply(), kGreeting);
    EXPECT_EQ(plain.Cmd("EHLO client.example"),
              "250-Hello client.example\n250-ENHANCEDSTATUSCODES\n250-PIPELINING\n250 STARTTLS");

    Start(TTlsMode::Implicit);
    SmtpClient secure(server_->Port(), true);
    EXPECT_EQ(secure.Reply(), kGreeting);
    EXPECT_EQ(secure.Cmd("EHLO client.example"), "250-Hello client.example\n250-ENHANCEDSTATUSCODES\n250 PIPELINING");
    EXPECT_EQ(secure.Cmd("STARTTLS"), "502 5.5.1 STARTTLS not available");
}

TEST_F(SmtpSessionTest, MailBeforeGreetingIsRefused)
{
    Start();
    SmtpClient client(server_->Port());
    EXPECT_EQ(client.Reply(), kGreeting);
    EXPECT_EQ(client.Cmd("MAIL FROM:<joe@home.example>"), "503 Send HELO or EHLO first");
}

TEST_F(SmtpSessionTest, StartTlsForgetsTheSessionAndIsNotOfferedAgain)
{
    Start();
    auto client = Greeted();
    EXPECT_EQ(client->Cmd("STARTTLS"), "220 2.0.0 Ready to start TLS");
    client->StartTls();
    // RFC 3207 §4.2: the client must greet again.
    EXPECT_EQ(client->Cmd("MAIL FROM:<joe@home.example>"), "503 Send HELO or EHLO first");
    EXPECT_EQ(client->Cmd("EHLO client.example"), "250-Hello client.example\n250-ENHANCEDSTATUSCODES\n250 PIPELINING");
    EXPECT_EQ(client->Cmd("STARTTLS"), "503 5.5.1 TLS already active");
    const std::string text = SimpleMessage("joe@home.example", "ann@x.example", "over tls");
    EXPECT_EQ(SendMessage(*client, {"ann@x.example"}, text), "250 Ok");
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(WithoutReceived(Received()[0].data), text);
}

TEST_F(SmtpSessionTest, RequiredTlsRefusesMailBeforeStartTls)
{
    Start(TTlsMode::Required);
    auto client = Greeted();
    EXPECT_EQ(client->Cmd("MAIL FROM:<joe@home.example>"), "530 5.7.0 Must issue a STARTTLS command first");
}

TEST_F(SmtpSessionTest, PipelinedCommandsGetTheirRepliesInOrder)
{
    Start();
    auto client = Greeted();
    client->Send("MAIL FROM:<joe@home.example>\r\nRCPT TO:<ann@x.example>\r\nRCPT TO:<>\r\nNOOP\r\n");
    EXPECT_EQ(client->Reply(), "250 2.1.0 Sender OK");
    EXPECT_EQ(client->Reply(), "250 2.1.5 User ann@x.example not local; no forwarding address");
    EXPECT_EQ(client->Reply(), "550 5.7.1 We do not relay ");
    EXPECT_EQ(client->Reply(), "250 2.0.0 Ok");
}

TEST_F(SmtpSessionTest, EachMessageOfAConnectionReachesOnlyItsOwnRecipients)
{
    Start();
    auto client = Greeted();
    const std::string first = SimpleMessage("joe@home.example", "ann@x.example", "first");
    const std::string second = SimpleMessage("joe@home.example", "bob@y.example", "second");
    EXPECT_EQ(SendMessage(*client, {"ann@x.example", "blind@z.example"}, first), "250 Ok");
    // An abandoned transaction leaves nothing behind.
    EXPECT_EQ(client->Cmd("MAIL FROM:<joe@home.example>"), "250 2.1.0 Sender OK");
    EXPECT_TRUE(client->Cmd("RCPT TO:<stale@z.example>").starts_with("250 2.1.5"));
    EXPECT_EQ(client->Cmd("RSET"), "250 2.0.0 Ok");
    EXPECT_EQ(SendMessage(*client, {"bob@y.example"}, second), "250 Ok");
    const auto messages = Received();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].recipients, (std::vector<std::string>{"ann@x.example", "blind@z.example"}));
    EXPECT_EQ(messages[1].recipients, (std::vector<std::string>{"bob@y.example"}));
    EXPECT_EQ(WithoutReceived(messages[1].data), second);
}

TEST_F(SmtpSessionTest, ReceivedLineNamesClientHeloAndServer)
{
    Start();
    auto client = Greeted();
    EXPECT_EQ(SendMessage(*client, {"ann@x.example"}, SimpleMessage("joe@home.example", "ann@x.example", "r")),
              "250 Ok");
    ASSERT_EQ(Received().size(), 1u);
    const std::string data = Received()[0].data;
    const std::string line = data.substr(0, data.find("\r\n"));
    EXPECT_TRUE(line.starts_with("Received: from ")) << line;
    EXPECT_NE(line.find("[127.0.0.1] (helo=client.example) by brixhost[127.0.0.1] with esmtp "
                        "(Brixmoor SMTP Server); "),
              std::string::npos)
        << line;
}

TEST_F(SmtpSessionTest, SessionSentAByteAtATimeIsReadTheSame)
{
    Start();
    const std::string text = SimpleMessage("joe@home.example", "ann@x.example", "bytewise");
    const std::string session = "EHLO client.example\r\nMAIL FROM:<joe@home.example>\r\n"
                                "RCPT TO:<ann@x.example>\r\nDATA\r\n" +
                                DataBlock(text) + "QUIT\r\n";
    std::vector<std::string> replies;
    RunAside([&] {
        SmtpClient client(server_->Port());
        for (const char ch : session)
            client.Send(std::string_view(&ch, 1));
        for (std::string reply = client.Reply(); reply != "<closed>"; reply = client.Reply())
            replies.push_back(reply.substr(0, 3));
    });
    EXPECT_EQ(replies, (std::vector<std::string>{"220", "250", "250", "250", "354", "250", "221"}));
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(WithoutReceived(Received()[0].data), text);
}

TEST_F(SmtpSessionTest, UnknownSenderAfterHeloGets554WithoutEnhancedCode)
{
    Start();
    auto client = Greeted(false);
    std::string reply;
    RunAside([&] {
        client->Cmd("MAIL FROM:<x@y.example>");
        client->Cmd("RCPT TO:<ann@x.example>");
        client->Cmd("DATA");
        client->Send(DataBlock(SimpleMessage("stranger@x.example", "ann@x.example", "who")));
        reply = client->Reply();
    });
    EXPECT_EQ(reply, "554  Transaction failed");
    EXPECT_TRUE(Received().empty());
}

// --- Bounds ------------------------------------------------------------------

TEST_F(SmtpSessionTest, OverlongLineIsRefusedAndTheSessionStaysInStep)
{
    Start();
    auto client = Greeted();
    EXPECT_EQ(client->Cmd("NOOP " + std::string(5000, 'x')), "500 5.5.2 Line too long");
    EXPECT_EQ(client->Cmd("NOOP"), "250 2.0.0 Ok");
    // A line of exactly the limit is still a command.
    EXPECT_EQ(client->Cmd("NOOP " + std::string(4096 - 5, 'x')), "250 2.0.0 Ok");
}

TEST_F(SmtpSessionTest, OversizeMessageIsReadToItsEndAndNothingRelayed)
{
    env_.Settings().maxMessageBytes = 1000;
    Start();
    auto client = Greeted();
    std::string big = SimpleMessage("joe@home.example", "ann@x.example", "big");
    for (int i = 0; i < 100; ++i)
        big += std::string(70, 'b') + "\r\n";
    EXPECT_EQ(SendMessage(*client, {"ann@x.example"}, big), "552 5.3.4 Message size exceeds fixed maximum message size");
    // Still in step, and the transaction is gone.
    EXPECT_EQ(client->Cmd("RCPT TO:<ann@x.example>"), "503 5.5.1 Need MAIL before RCPT");
    const std::string small = SimpleMessage("joe@home.example", "ann@x.example", "small");
    EXPECT_EQ(SendMessage(*client, {"ann@x.example"}, small), "250 Ok");
    const auto messages = Received();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(WithoutReceived(messages[0].data), small);
}

TEST_F(SmtpSessionTest, MessageOfExactlyTheLimitIsRelayed)
{
    env_.Settings().maxMessageBytes = 1000;
    Start();
    auto client = Greeted();
    std::string text = SimpleMessage("joe@home.example", "ann@x.example", "at the limit");
    text += std::string(1000 - text.size() - 2, 'x') + "\r\n";
    ASSERT_EQ(text.size(), 1000u);
    EXPECT_EQ(SendMessage(*client, {"ann@x.example"}, text), "250 Ok");
    text.insert(text.size() - 2, "y");
    EXPECT_EQ(SendMessage(*client, {"ann@x.example"}, text), "552 5.3.4 Message size exceeds fixed maximum message size");
    EXPECT_EQ(Received().size(), 1u);
}

TEST_F(SmtpSessionTest, RecipientsBeyondTheLimitGet452)
{
    env_.Options().SetWhitelistRecipients(false);
    Start();
    auto client = Greeted();
    std::string reply;
    RunAside([&] {
        std::string batch = "MAIL FROM:<joe@home.example>\r\n";
        for (int i = 0; i <= 1000; ++i)
            batch += "RCPT TO:<r" + std::to_string(i) + "@x.example>\r\n";
        client->Send(batch);
        EXPECT_EQ(client->Reply(), "250 2.1.0 Sender OK");
        for (int i = 0; i < 1000; ++i)
            ASSERT_TRUE(client->Reply().starts_with("250 2.1.5")) << i;
        EXPECT_EQ(client->Reply(), "452 4.5.3 Too many recipients");
        EXPECT_EQ(client->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
        client->Send(DataBlock(SimpleMessage("joe@home.example", "r0@x.example", "many")));
        reply = client->Reply();
    });
    EXPECT_EQ(reply, "250 Ok");
    ASSERT_EQ(Received().size(), 1u);
    EXPECT_EQ(Received()[0].recipients.size(), 1000u);
}

TEST_F(SmtpSessionTest, IdleClientIsClosed)
{
    env_.Settings().timeouts.idleMs = 200;
    Start();
    SmtpClient client(server_->Port());
    EXPECT_EQ(client.Reply(), kGreeting);
    EXPECT_EQ(client.Reply(), "421 Idle timeout, closing connection");
    EXPECT_EQ(client.Line(), "<closed>");
}

TEST_F(SmtpSessionTest, IdleClientInTheMiddleOfDataIsClosedAndNothingRelayed)
{
    env_.Settings().timeouts.idleMs = 200;
    Start();
    auto client = Greeted();
    EXPECT_EQ(client->Cmd("MAIL FROM:<joe@home.example>"), "250 2.1.0 Sender OK");
    EXPECT_TRUE(client->Cmd("RCPT TO:<ann@x.example>").starts_with("250 2.1.5"));
    EXPECT_EQ(client->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
    client->Send("From: joe@home.example\r\nTo: ann@x.example\r\n\r\nhalf");
    EXPECT_EQ(client->Reply(), "421 4.4.2 Idle timeout, closing connection");
    EXPECT_EQ(client->Line(), "<closed>");
    EXPECT_TRUE(Received().empty());
}

TEST_F(SmtpSessionTest, DisconnectInTheMiddleOfDataRelaysNothing)
{
    Start();
    {
        auto client = Greeted();
        EXPECT_EQ(client->Cmd("MAIL FROM:<joe@home.example>"), "250 2.1.0 Sender OK");
        EXPECT_TRUE(client->Cmd("RCPT TO:<ann@x.example>").starts_with("250 2.1.5"));
        EXPECT_EQ(client->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
        client->Send(SimpleMessage("joe@home.example", "ann@x.example", "cut off"));
    }  // closed without the final "." line
    // The server notices the close on its own thread; wait for that session
    // to end before the next message is sent.
    ASSERT_TRUE(PollUntil([&] { return server_->ConnectionCount() == 0; }, std::chrono::seconds(20)));
    auto client = Greeted();
    const std::string next = SimpleMessage("joe@home.example", "ann@x.example", "next");
    EXPECT_EQ(SendMessage(*client, {"ann@x.example"}, next), "250 Ok");
    const auto messages = Received();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(WithoutReceived(messages[0].data), next);
}

TEST_F(SmtpSessionTest, TooManyConnectionsGet421)
{
    // A session before MAIL would be closed to make room for a new client;
    // one past MAIL keeps its slot.
    env_.Settings().maxConnections = 1;
    Start();
    SmtpClient first(server_->Port());
    EXPECT_EQ(first.Reply(), kGreeting);
    EXPECT_TRUE(first.Cmd("EHLO client").starts_with("250"));
    EXPECT_TRUE(first.Cmd("MAIL FROM:<joe@home.example>").starts_with("250"));
    SmtpClient second(server_->Port());
    EXPECT_EQ(second.Reply(), "421 Too many connections. Try again later.");
}

} // namespace
} // namespace bm::test
