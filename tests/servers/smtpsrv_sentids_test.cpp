// The relay remembers the Message-ID of what the user sent, so that the Mail
// check can let the replies to it pass; only what really went out counts.
#include "store/ffdatamdl.h"
#include "tests/servers/smtpsrv_support.h"

#include <gtest/gtest.h>

namespace bm::test {
namespace {

class SmtpSentIdsTest : public testing::Test {
protected:
    void SetUp() override
    {
        database_ = env_.Folder() / "quarantine.db";
        data_ = std::make_unique<TFFData>(database_);
        env_.Settings().database = database_;
        env_.Options().SetWhitelistRecipients(false);
    }

    // One message through a raw session; the reply to its data.
    std::string Send(uint16_t port, const std::string& from, const std::string& to, const std::string& text)
    {
        std::string reply;
        RunAside([&] {
            SmtpClient client(port);
            client.Reply();
            client.Cmd("EHLO client.example");
            client.Cmd("MAIL FROM:<" + from + ">");
            client.Cmd("RCPT TO:<" + to + ">");
            client.Cmd("DATA");
            client.Send(DataBlock(text));
            reply = client.Reply();
            client.Cmd("QUIT");
        });
        return reply;
    }

    SmtpEnv env_;
    std::filesystem::path database_;
    std::unique_ptr<TFFData> data_;
};

TEST_F(SmtpSentIdsTest, RelayedMessagesAreRecordedRefusedAndUnknownOnesNot)
{
    SmtpSinkOptions refusing;
    refusing.refuseRecipients = {"gone@far.example"};
    SmtpSink sink(refusing);
    env_.AddAccount("Home", {"joe@home.example"}, sink.Port());
    TLocalSMTPServerMdl server(env_.Settings());
    server.StartListening(TTlsMode::None, 0);

    EXPECT_EQ(Send(server.Port(), "joe@home.example", "ann@far.example",
                   SimpleMessage("joe@home.example", "ann@far.example", "q",
                                 "Message-ID: <Question.1@home.example>\r\n")),
              "250 Ok");
    EXPECT_NE(Send(server.Port(), "joe@home.example", "gone@far.example",
                   SimpleMessage("joe@home.example", "gone@far.example", "r",
                                 "Message-ID: <refused.2@home.example>\r\n")),
              "250 Ok");
    EXPECT_NE(Send(server.Port(), "stranger@else.example", "ann@far.example",
                   SimpleMessage("stranger@else.example", "ann@far.example", "u",
                                 "Message-ID: <unknown.3@else.example>\r\n")),
              "250 Ok");
    server.StopListening();

    EXPECT_TRUE(data_->AnySentMessage({"question.1@home.example"}, {TSentKind::Relayed}));
    EXPECT_FALSE(data_->AnySentMessage({"refused.2@home.example"}, {TSentKind::Relayed}));
    EXPECT_FALSE(data_->AnySentMessage({"unknown.3@else.example"}, {TSentKind::Relayed}));
}

TEST_F(SmtpSentIdsTest, AMissingTableDoesNotFailTheRelay)
{
    SmtpSink sink;
    env_.AddAccount("Home", {"joe@home.example"}, sink.Port());
    data_.reset();
    std::filesystem::remove(database_);
    env_.Settings().database = env_.Folder() / "missing" / "quarantine.db";
    TLocalSMTPServerMdl server(env_.Settings());
    server.StartListening(TTlsMode::None, 0);

    EXPECT_EQ(Send(server.Port(), "joe@home.example", "ann@far.example",
                   SimpleMessage("joe@home.example", "ann@far.example", "q", "Message-ID: <a@home.example>\r\n")),
              "250 Ok");
    server.StopListening();
    EXPECT_EQ(sink.Messages().size(), 1u);
}

} // namespace
} // namespace bm::test
