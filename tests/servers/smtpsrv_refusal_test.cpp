// What the mail client (swaks) hears when the account's real server (a real
// aiosmtpd sink, refusing with Postfix's and postgrey's words) refuses: all
// recipients or the data refused gives the client that server's reply with
// its class; some refused gives 250 and a delivery status notification in
// the account's inbox folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "core/mailmsgU.h"
#include "servers/smtpsrvthdU.h"
#include "store/msgfilesU.h"
#include "tests/servers/smtpsrv_support.h"
#include "tests/support/smtpsink.h"

namespace bm::test {
namespace {

namespace fs = std::filesystem;

const std::string kFrom = "joe@home.example";

class SmtpRefusalTest : public ::testing::Test {
protected:
    void Start(const SmtpSinkOptions& options, const std::string& account)
    {
        sink_ = std::make_unique<SmtpSink>(options);
        env_.AddAccount(account, {kFrom}, sink_->Port());
        server_ = std::make_unique<TSMTPServerThread>(env_.Settings());
        server_->Start();
    }
    void TearDown() override
    {
        if (server_)
            server_->Stop();
    }
    ClientRun Swaks(const std::vector<std::string>& to, const std::string& subject)
    {
        std::string toList;
        std::string header;
        for (const auto& rcpt : to) {
            toList += (toList.empty() ? "" : ",") + rcpt;
            header += (header.empty() ? "" : ", ") + rcpt;
        }
        const std::string text = SimpleMessage(kFrom, header, subject);
        const fs::path file = env_.Folder() / (subject + ".eml");
        // swaks ends the data with CR LF "." itself.
        WriteFileBytes(file, text.substr(0, text.size() - 2));
        return RunClient({"swaks", "--server", "127.0.0.1:" + std::to_string(server_->PlainPort()), "--from", kFrom,
                          "--to", toList, "--data", "@" + file.string(), "--timeout", "20"});
    }
    // The delivery status notifications in the account's inbox folder.
    static std::vector<std::string> Notices(const std::string& account)
    {
        std::vector<std::string> texts;
        const fs::path folder = MessageFilePath(account, "x", false).parent_path();
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().starts_with("dsn-") && entry.path().extension() == ".msg")
                texts.push_back(ReadFileBytes(entry.path()));
        return texts;
    }

    SmtpEnv env_;
    std::unique_ptr<SmtpSink> sink_;
    std::unique_ptr<TSMTPServerThread> server_;
};

struct RefusedCase {
    const char* name;
    SmtpSinkOptions sink;
    std::string clientHears;  // the reply line after the data
};

// Tests are listed by case name, not by the bytes of the case.
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class SmtpRefusedTest : public SmtpRefusalTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(SmtpRefusedTest, TheClientHearsTheAccountServersReplyAndNothingIsSent)
{
    const RefusedCase& c = GetParam();
    const std::string account = std::string("Refused") + c.name;
    Start(c.sink, account);
    const ClientRun run = Swaks({"bob@example.net"}, c.name);
    EXPECT_NE(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("<** " + c.clientHears + "\n"), std::string::npos) << run.output;
    EXPECT_TRUE(sink_->Messages().empty());
    EXPECT_EQ(env_.Friends().Count(), 0);
    EXPECT_TRUE(Notices(account).empty());
    const auto errors = env_.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].account, account);
}

SmtpSinkOptions With(void (*set)(SmtpSinkOptions&))
{
    SmtpSinkOptions o;
    set(o);
    return o;
}

const RefusedCase kRefusedCases[] = {
    // A temporary refusal stays temporary: the client keeps the message and
    // tries again.
    {"Greylisted", With([](SmtpSinkOptions& o) { o.greylist = {"bob@example.net"}; }),
     GreylistedReply("bob@example.net")},
    // The account has no credentials, so the retry with login is refused too.
    {"RelayDenied", With([](SmtpSinkOptions& o) { o.relayDenied = {"bob@example.net"}; }),
     RelayDeniedReply("bob@example.net")},
    {"UnknownUser", With([](SmtpSinkOptions& o) { o.refuseRecipients = {"bob@example.net"}; }),
     "550 5.1.1 Recipient refused"},
    {"DataRefused", With([](SmtpSinkOptions& o) { o.dataReply = "554 5.7.1 Message rejected as spam"; }),
     "554 5.7.1 Message rejected as spam"},
    {"DataDeferred", With([](SmtpSinkOptions& o) { o.dataReply = "451 4.3.0 Try again later"; }),
     "451 4.3.0 Try again later"},
};
INSTANTIATE_TEST_SUITE_P(Refusals, SmtpRefusedTest, ::testing::ValuesIn(kRefusedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmtpRefusalTest, SomeRefusedTheOthersGetItAndTheInboxGetsADeliveryStatusNotification)
{
    SmtpSinkOptions options;
    options.greylist = {"grey@example.net"};
    options.relayDenied = {"far@example.net"};
    Start(options, "Partial");
    const ClientRun run = Swaks({"ok@example.org", "far@example.net", "grey@example.net"}, "partly refused");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("<-  250 Ok\n"), std::string::npos) << run.output;

    const auto messages = sink_->Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].recipients, std::vector<std::string>{"ok@example.org"});
    // Refused recipients do not join the Friends list.
    EXPECT_GE(env_.Friends().IndexOf("ok@example.org"), 0);
    EXPECT_EQ(env_.Friends().Count(), 1);

    const auto notices = Notices("Partial");
    ASSERT_EQ(notices.size(), 1u);
    const std::string& stored = notices[0];
    EXPECT_TRUE(stored.ends_with("\r\n.\r\n"));  // the message text form the POP3 server serves
    TMailMessage notice;
    notice.LoadFromString(stored);
    ASSERT_EQ(notice.FromList.Count(), 1u);
    EXPECT_EQ(notice.FromList[0].Name, "Mail Delivery System");
    EXPECT_EQ(notice.Recipients.GetListText().find(kFrom) != std::string::npos, true)
        << notice.Recipients.GetListText();
    for (const std::string& expected :
         {std::string("Content-Type: multipart/report; report-type=delivery-status;"),
          std::string("Content-Type: message/delivery-status\r\n"),
          std::string("Reporting-MTA: dns; brixhost\r\n"),
          "Final-Recipient: rfc822; grey@example.net\r\nAction: failed\r\nStatus: 4.2.0\r\n"
          "Remote-MTA: dns; 127.0.0.1\r\nDiagnostic-Code: smtp; " + GreylistedReply("grey@example.net") + "\r\n",
          "Final-Recipient: rfc822; far@example.net\r\nAction: failed\r\nStatus: 5.7.1\r\n"
          "Remote-MTA: dns; 127.0.0.1\r\nDiagnostic-Code: smtp; " + RelayDeniedReply("far@example.net") + "\r\n",
          std::string("Content-Type: text/rfc822-headers\r\n"), std::string("Subject: partly refused\r\n")})
        EXPECT_NE(stored.find(expected), std::string::npos) << expected << "\nin\n" << stored;
    EXPECT_EQ(stored.find("Final-Recipient: rfc822; ok@example.org"), std::string::npos);
    EXPECT_TRUE(env_.Errors().empty());
}

} // namespace
} // namespace bm::test
