// The local SMTP server with real mail clients (swaks, curl) on both
// listeners of TSMTPServerThread, relaying into a real aiosmtpd sink: plain,
// STARTTLS, TLS from the first byte, pipelining; blind copies reaching the
// sink; the envelope, not the header, naming who gets a message; a MIME
// message arriving unchanged apart from Received and Bcc.

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "servers/smtpsrvthdU.h"
#include "tests/servers/smtpsrv_support.h"
#include "tests/support/smtpsink.h"

namespace bm::test {
namespace {

const std::string kFrom = "joe@home.example";

class SmtpClientsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sink_ = std::make_unique<SmtpSink>(); }
    static void TearDownTestSuite() { sink_.reset(); }

    void SetUp() override
    {
        env_.AddAccount("Home", {kFrom}, sink_->Port());
        baseline_ = sink_->Messages().size();
        server_ = std::make_unique<TSMTPServerThread>(env_.Settings());
        server_->Start();
    }
    void TearDown() override { server_->Stop(); }

    std::vector<SmtpReceived> Received() const
    {
        auto all = sink_->Messages();
        return {all.begin() + static_cast<std::ptrdiff_t>(baseline_), all.end()};
    }
    std::string WriteMessage(const std::string& text)
    {
        const auto file = env_.Folder() / ("message" + std::to_string(++files_) + ".eml");
        WriteFileBytes(file, text);
        return file.string();
    }
    std::string Url(bool implicitTls) const
    {
        return std::string(implicitTls ? "smtps" : "smtp") + "://127.0.0.1:" +
               std::to_string(implicitTls ? server_->TlsPort() : server_->PlainPort());
    }
    ClientRun Swaks(const std::vector<std::string>& to, const std::string& file, const std::vector<std::string>& extra,
                    bool implicitTls = false)
    {
        std::vector<std::string> argv{"swaks", "--server",
                                      "127.0.0.1:" + std::to_string(implicitTls ? server_->TlsPort()
                                                                                : server_->PlainPort()),
                                      "--from", kFrom, "--to", Join(to), "--data", "@" + file,
                                      "--timeout", "20"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return RunClient(argv);
    }
    ClientRun Curl(const std::vector<std::string>& to, const std::string& file, const std::vector<std::string>& extra,
                   bool implicitTls = false)
    {
        std::vector<std::string> argv{"curl", "-sS", "--max-time", "20", Url(implicitTls), "--mail-from", kFrom};
        for (const auto& rcpt : to)
            argv.insert(argv.end(), {"--mail-rcpt", rcpt});
        argv.insert(argv.end(), {"-T", file});
        argv.insert(argv.end(), extra.begin(), extra.end());
        return RunClient(argv);
    }
    static std::string Join(const std::vector<std::string>& items)
    {
        std::string text;
        for (const auto& item : items)
            text += (text.empty() ? "" : ",") + item;
        return text;
    }

    static inline std::unique_ptr<SmtpSink> sink_;
    std::size_t baseline_ = 0;
    SmtpEnv env_;
    std::unique_ptr<TSMTPServerThread> server_;
    int files_ = 0;
};

struct ClientCase {
    const char* name;
    bool curl;          // curl, else swaks
    bool implicitTls;   // to the TLS-from-the-first-byte listener
    std::vector<std::string> extra;
};

// Tests are listed by case name, not by the bytes of the case.
void PrintTo(const ClientCase& c, std::ostream* os) { *os << c.name; }

class SmtpClientCaseTest : public SmtpClientsTest, public ::testing::WithParamInterface<ClientCase> {};

TEST_P(SmtpClientCaseTest, MessageReachesTheSinkUnchanged)
{
    const ClientCase& c = GetParam();
    const std::string text = SimpleMessage(kFrom, "ann@x.example", c.name);
    // swaks ends the data with CR LF "." itself, so its copy lacks the last CR LF.
    const std::string file = WriteMessage(c.curl ? text : text.substr(0, text.size() - 2));
    const ClientRun run = c.curl ? Curl({"ann@x.example"}, file, c.extra, c.implicitTls)
                                 : Swaks({"ann@x.example"}, file, c.extra, c.implicitTls);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const auto messages = Received();
    ASSERT_EQ(messages.size(), 1u) << run.output;
    EXPECT_EQ(messages[0].from, kFrom);
    EXPECT_EQ(messages[0].recipients, std::vector<std::string>{"ann@x.example"});
    EXPECT_EQ(WithoutReceived(messages[0].data), text);
    EXPECT_TRUE(env_.Errors().empty());
}

const ClientCase kClientCases[] = {
    {"SwaksPlain", false, false, {}},
    {"SwaksStartTls", false, false, {"-tls"}},
    {"SwaksImplicitTls", false, true, {"--tlsc"}},
    {"SwaksPipelining", false, false, {"--pipeline"}},
    {"CurlPlain", true, false, {}},
    {"CurlStartTls", true, false, {"--ssl-reqd", "-k"}},
    {"CurlImplicitTls", true, true, {"-k"}},
};
INSTANTIATE_TEST_SUITE_P(Clients, SmtpClientCaseTest, ::testing::ValuesIn(kClientCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmtpClientsTest, SwaksPipelinedSessionReallyPipelines)
{
    const std::string file = WriteMessage(SimpleMessage(kFrom, "ann@x.example", "pipelined"));
    const ClientRun run = Swaks({"ann@x.example", "bob@y.example"}, file, {"--pipeline"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    // swaks only pipelines when EHLO lists PIPELINING.
    EXPECT_NE(run.output.find("250-PIPELINING"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("does not support PIPELINING"), std::string::npos) << run.output;
    ASSERT_EQ(Received().size(), 1u);
}

TEST_F(SmtpClientsTest, EnvelopeOnlyRecipientsReachTheSink)
{
    // The header names ann only; bob and blind are envelope-only.
    const std::string text = SimpleMessage(kFrom, "ann@x.example", "blind copies");
    const ClientRun run = Curl({"ann@x.example", "bob@y.example", "blind@z.example"}, WriteMessage(text), {});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const auto messages = Received();
    ASSERT_EQ(messages.size(), 1u);
    // The To address first, then the blind copies.
    std::vector<std::string> got = messages[0].recipients;
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"ann@x.example", "blind@z.example", "bob@y.example"}));
    EXPECT_EQ(messages[0].recipients.front(), "ann@x.example");
    EXPECT_EQ(WithoutReceived(messages[0].data), text);  // no Bcc header was added
}

TEST_F(SmtpClientsTest, MimeMessageArrivesByteIdenticalApartFromReceivedAndBcc)
{
    const std::string head = "From: \"Joe Home\" <joe@home.example>\r\n"
                             "To: Ann <ann@x.example>\r\n";
    const std::string bcc = "Bcc: hidden@z.example,\r\n"
                            "\tsecond@z.example\r\n";
    const std::string rest =
        "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed;\r\n boundary=\"b1\"\r\n"
        "\r\n"
        "Preamble.\r\n"
        "--b1\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: 8bit\r\n"
        "\r\n"
        "Gr\xc3\xbc\xc3\x9f" "e,   trailing blanks   \r\n"
        ".a line that starts with a dot\r\n"
        "..two dots\r\n"
        "\r\n"
        "--b1\r\n"
        "Content-Type: application/octet-stream; name=\"x.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=\"x.bin\"\r\n"
        "\r\n"
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\r\n"
        "--b1--\r\n"
        "Epilogue.\r\n";
    // A client names its blind copies in RCPT TO, as curl is told to here.
    const ClientRun run =
        Curl({"ann@x.example", "hidden@z.example", "second@z.example"}, WriteMessage(head + bcc + rest), {});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const auto messages = Received();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(WithoutReceived(messages[0].data), head + rest);
    EXPECT_EQ(messages[0].recipients,
              (std::vector<std::string>{"ann@x.example", "hidden@z.example", "second@z.example"}));
}

TEST_F(SmtpClientsTest, ResentMessageGoesOnlyToTheEnvelopeNotToItsHeaderAddresses)
{
    // swaks hands over a message once sent to ann and carl, now for bob
    // alone (RFC 5321 §3.3: the envelope, not the header, says who gets it).
    const std::string text = SimpleMessage(kFrom, "ann@x.example", "resent", "Cc: carl@x.example\r\n"
                                                                             "Bcc: dora@x.example\r\n");
    const ClientRun run = Swaks({"bob@y.example"}, WriteMessage(text.substr(0, text.size() - 2)), {});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const auto messages = Received();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].recipients, std::vector<std::string>{"bob@y.example"});
    // The Bcc field still goes.
    EXPECT_EQ(messages[0].data.find("dora@"), std::string::npos) << messages[0].data;
    EXPECT_NE(messages[0].data.find("Cc: carl@x.example"), std::string::npos);
    EXPECT_GE(env_.Friends().IndexOf("bob@y.example"), 0);
    EXPECT_LT(env_.Friends().IndexOf("ann@x.example"), 0);
}

} // namespace
} // namespace bm::test
