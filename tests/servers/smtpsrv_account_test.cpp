// Which account a message is relayed through, what a client hears when no
// account or no relay works, how those errors are reported, and the
// recipients that join the Friends list.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/errorsU.h"
#include "core/synchronize.h"
#include "servers/smtpsrvthdU.h"
#include "tests/servers/smtpsrv_support.h"
#include "tests/support/freeport.h"
#include "tests/support/smtpsink.h"

namespace bm::test {
namespace {

// --- The choice table, without the network -----------------------------------

struct ChoiceCase {
    const char* name;
    const char* headers;  // the message's header block
    const char* account;  // expected, "" for none
};

// Tests are listed by case name, not by the bytes of the case.
void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class RelayAccountChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(RelayAccountChoiceTest, FirstAccountInOrderWins)
{
    SmtpEnv env;
    env.AddAccount("First", {"one@first.example"}, 25);
    env.AddAccount("Second", {"two@second.example", "alias@second.example"}, 25);
    env.AddAccount("Third", {"three@third.example"}, 25);
    TMailMessage message;
    message.LoadFromRaw(std::string(GetParam().headers) + "\r\nbody\r\n");
    const TAccountPtr account = FindRelayAccount(env.Accounts(), message);
    EXPECT_EQ(account ? account->Name() : "", GetParam().account);
}

const ChoiceCase kChoiceCases[] = {
    {"ByFrom", "From: one@first.example\r\n", "First"},
    {"ByFromIgnoringCase", "From: Joe <ONE@First.Example>\r\n", "First"},
    {"BySecondAddressOfAnAccount", "From: alias@second.example\r\n", "Second"},
    {"ByAnyFromItem", "From: stranger@x.example, three@third.example\r\n", "Third"},
    {"BySenderWhenFromIsForeign", "From: stranger@x.example\r\nSender: two@second.example\r\n", "Second"},
    {"ByReplyToWhenFromIsForeign", "From: stranger@x.example\r\nReply-To: two@second.example\r\n", "Second"},
    {"EarlierAccountByReplyToBeatsLaterByFrom",
     "From: three@third.example\r\nReply-To: one@first.example\r\n", "First"},
    {"EarlierAccountBySenderBeatsLaterByFrom",
     "From: three@third.example\r\nSender: two@second.example\r\n", "Second"},
    {"RecipientsDoNotCount", "From: stranger@x.example\r\nTo: one@first.example\r\n", ""},
    {"NoSender", "Subject: nothing\r\n", ""},
};
INSTANTIATE_TEST_SUITE_P(Choice, RelayAccountChoiceTest, ::testing::ValuesIn(kChoiceCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Over the network ----------------------------------------------------------

class SmtpAccountTest : public ::testing::Test {
protected:
    void Start()
    {
        server_ = std::make_unique<TLocalSMTPServerMdl>(env_.Settings());
        server_->StartListening(TTlsMode::Explicit, 0);
    }
    // One message over a raw session after EHLO; the reply to its data.
    std::string Send(const std::vector<std::string>& rcpts, const std::string& text)
    {
        std::string reply;
        RunAside([&] {
            SmtpClient client(server_->Port());
            client.Reply();
            client.Cmd("EHLO client.example");
            EXPECT_EQ(client.Cmd("MAIL FROM:<someone@client.example>"), "250 2.1.0 Sender OK");
            for (const auto& rcpt : rcpts)
                EXPECT_TRUE(client.Cmd("RCPT TO:<" + rcpt + ">").starts_with("250 2.1.5"));
            EXPECT_EQ(client.Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
            client.Send(DataBlock(text));
            reply = client.Reply();
        });
        return reply;
    }

    SmtpEnv env_;
    std::unique_ptr<TLocalSMTPServerMdl> server_;
};

TEST_F(SmtpAccountTest, EachMessageGoesThroughTheServerOfItsAccount)
{
    SmtpSink first;
    SmtpSink second;
    env_.AddAccount("First", {"one@first.example"}, first.Port());
    env_.AddAccount("Second", {"two@second.example"}, second.Port());
    env_.AddAccount("Third", {"three@third.example"}, second.Port());
    Start();
    EXPECT_EQ(Send({"ann@x.example"}, SimpleMessage("stranger@x.example", "ann@x.example", "reply-to second",
                                                    "Reply-To: two@second.example\r\n")),
              "250 Ok");
    EXPECT_EQ(Send({"ann@x.example"}, SimpleMessage("three@third.example", "ann@x.example", "third and first",
                                                    "Reply-To: one@first.example\r\n")),
              "250 Ok");
    ASSERT_EQ(second.Messages().size(), 1u);
    EXPECT_NE(second.Messages()[0].data.find("Subject: reply-to second"), std::string::npos);
    ASSERT_EQ(first.Messages().size(), 1u);
    EXPECT_NE(first.Messages()[0].data.find("Subject: third and first"), std::string::npos);
    // The reverse-path is the message's From address, which the account's
    // server knows, not what the client gave.
    EXPECT_EQ(first.Messages()[0].from, "three@third.example");
}

TEST_F(SmtpAccountTest, UnknownSenderGets554AndIsReportedUnderUnknown)
{
    const TClosedPort closed;
    env_.AddAccount("Home", {"joe@home.example"}, closed);
    Start();
    EXPECT_EQ(Send({"ann@x.example"}, SimpleMessage("stranger@x.example", "ann@x.example", "who")),
              "554 5.2.0  Transaction failed");
    const auto errors = env_.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, "Unknown account - unable to send message");
    EXPECT_EQ(errors[0].account, "Unknown");
}

TEST_F(SmtpAccountTest, RelayFailureGets554AndIsReportedWithTheAccountName)
{
    const TClosedPort closed;
    env_.AddAccount("Home", {"joe@home.example"}, closed);
    Start();
    EXPECT_EQ(Send({"ann@x.example"}, SimpleMessage("joe@home.example", "ann@x.example", "lost")),
              "554 5.2.0  Transaction failed");
    const auto errors = env_.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].account, "Home");
    EXPECT_NE(errors[0].message.find(std::to_string(closed.Port())), std::string::npos) << errors[0].message;
    // A failed relay adds nobody to the Friends list.
    EXPECT_EQ(env_.Friends().Count(), 0);
}

TEST_F(SmtpAccountTest, RefusingServersReplyReachesTheClientAndIsReported)
{
    SmtpSinkOptions options;
    options.refuseRecipients = {"ann@x.example"};
    SmtpSink sink(options);
    env_.AddAccount("Home", {"joe@home.example"}, sink.Port());
    Start();
    EXPECT_EQ(Send({"ann@x.example"}, SimpleMessage("joe@home.example", "bob@y.example", "refused",
                                                    "Cc: ann@x.example\r\n")),
              "550 5.1.1 Recipient refused");
    EXPECT_TRUE(sink.Messages().empty());
    const auto errors = env_.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].account, "Home");
    EXPECT_NE(errors[0].message.find("Recipient refused"), std::string::npos) << errors[0].message;
}

TEST_F(SmtpAccountTest, WithoutAReportHookErrorsJoinTheErrorList)
{
    env_.Settings().reportError = {};
    const TClosedPort closed;
    env_.AddAccount("Home", {"joe@home.example"}, closed);
    Start();
    ErrorList().Clear();
    EXPECT_EQ(Send({"ann@x.example"}, SimpleMessage("joe@home.example", "ann@x.example", "listed")),
              "554 5.2.0  Transaction failed");
    EXPECT_EQ(Send({"ann@x.example"}, SimpleMessage("nobody@x.example", "ann@x.example", "listed")),
              "554 5.2.0  Transaction failed");
    const auto errors = ErrorList().TakeAll();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].Account, "Home");
    EXPECT_EQ(errors[1].Account, "Unknown");
    EXPECT_EQ(errors[1].Message, "Unknown account - unable to send message");
}

// --- Friends list ------------------------------------------------------------

TEST(SmtpWhitelistTest, RecipientsJoinTheFriendsListOnTheMainThreadOneAtATime)
{
    SmtpSink sink;
    SmtpEnv env;
    env.AddAccount("Home", {"joe@home.example"}, sink.Port());
    env.Friends().AddAddress("known@y.example");
    TSMTPServerThread server(env.Settings());
    std::vector<std::string> seen;
    bool allOnMain = true;
    server.OnServerEvent = [&](TSMTPServerThread&, const std::string& address) {
        allOnMain = allOnMain && IsMainThread();
        seen.push_back(address);
    };
    server.Start();
    RunAside([&] {
        SmtpClient client(server.PlainPort());
        client.Reply();
        client.Cmd("EHLO client.example");
        client.Cmd("MAIL FROM:<joe@home.example>");
        for (const char* rcpt : {"Ann@X.example", "known@y.example", "Blind@Z.example"})
            client.Cmd(std::string("RCPT TO:<") + rcpt + ">");
        client.Cmd("DATA");
        client.Send(DataBlock(SimpleMessage("joe@home.example", "Ann@X.example", "friends", "Cc: Known@Y.example\r\n")));
        EXPECT_EQ(client.Reply(), "250 Ok");
    });
    server.Stop();
    EXPECT_TRUE(allOnMain);
    // As written, To, then Cc (already a friend: skipped), then the blind copy.
    EXPECT_EQ(seen, (std::vector<std::string>{"Ann@X.example", "Blind@Z.example"}));
    EXPECT_EQ(env.Friends().IndexOf("ann@x.example") >= 0, true);
    EXPECT_EQ(env.Friends().Text(env.Friends().IndexOf("blind@z.example")), "blind@z.example");
    EXPECT_EQ(env.Friends().Count(), 3);
}

TEST(SmtpWhitelistTest, NobodyJoinsWhenTheOptionIsOff)
{
    SmtpSink sink;
    SmtpEnv env;
    env.Options().SetWhitelistRecipients(false);
    env.AddAccount("Home", {"joe@home.example"}, sink.Port());
    TLocalSMTPServerMdl server(env.Settings());
    int events = 0;
    server.OnAddressWhitelisted = [&](TLocalSMTPServerMdl&, const std::string&) { ++events; };
    server.StartListening(TTlsMode::None, 0);
    RunAside([&] {
        SmtpClient client(server.Port());
        client.Reply();
        client.Cmd("HELO client.example");
        client.Cmd("MAIL FROM:<joe@home.example>");
        client.Cmd("RCPT TO:<ann@x.example>");
        client.Cmd("DATA");
        client.Send(DataBlock(SimpleMessage("joe@home.example", "ann@x.example", "off")));
        EXPECT_EQ(client.Reply(), "250 Ok");
    });
    EXPECT_EQ(events, 0);
    EXPECT_EQ(env.Friends().Count(), 0);
    ASSERT_EQ(sink.Messages().size(), 1u);
}

} // namespace
} // namespace bm::test
