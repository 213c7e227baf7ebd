// TMailSender against a real SMTP server (aiosmtpd): transports, TLS modes,
// authentication and learning LoginRequired, refused recipients, the proxy
// tunnel, text relayed byte for byte, and recipients joining the Friends list.
#include "tests/proto/mailsender_support.h"

#include "tests/support/smtpsink.h"
#include "tests/support/tinyproxy.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

using test::SenderWorld;
using test::SmtpSink;
using test::SmtpSinkOptions;

constexpr auto kArrival = std::chrono::seconds(10);

// ---- TLS modes ----------------------------------------------------------------

struct TlsCase {
    const char* name;
    bool sinkStartTls;   // the plain port offers STARTTLS
    std::uint8_t ssl;    // the account's outgoing SSL value
    bool sslPort;        // connect to the implicit-TLS port
    bool sent;
    bool tls;            // expected transport of the delivered message
    std::string error;   // LastError when not sent
};

class SenderTlsModes : public testing::TestWithParam<TlsCase> {};

TEST_P(SenderTlsModes, DeliverOverTheTransportTheSslValueAsksFor)
{
    const TlsCase& c = GetParam();
    SmtpSinkOptions so;
    so.startTls = c.sinkStartTls;
    SmtpSink sink(so);
    SenderWorld w(c.sslPort ? sink.SslPort() : sink.Port(), c.ssl);
    w.sender->CaptureErrors = true;

    const TMailMessage m = test::SimpleMessage("bob@example.org");
    EXPECT_EQ(w.sender->SendMail(*w.account, m, true), c.sent);
    EXPECT_EQ(w.sender->LastError, c.error);
    if (!c.sent) {
        EXPECT_TRUE(sink.Messages().empty());
        return;
    }
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival)) << sink.Log();
    const auto got = sink.Messages().at(0);
    EXPECT_EQ(got.tls, c.tls);
    EXPECT_EQ(got.from, "me@example.org");
    EXPECT_EQ(got.recipients, std::vector<std::string>{"bob@example.org"});
    EXPECT_EQ(got.data, m.SaveToRaw());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SenderTlsModes,
    testing::Values(
        TlsCase{"plain", true, 0, false, true, false, ""},
        TlsCase{"starttls_offered", true, 1, false, true, true, ""},
        TlsCase{"starttls_not_offered_goes_plain", false, 1, false, true, false, ""},
        TlsCase{"starttls_required", true, 3, false, true, true, ""},
        TlsCase{"starttls_required_missing", false, 3, false, false, false,
                "SSL is not available on this server."},
        TlsCase{"tls_from_first_byte", true, 2, true, true, true, ""}),
    [](const testing::TestParamInfo<TlsCase>& i) { return std::string(i.param.name); });

// ---- Authentication ---------------------------------------------------------------

TEST(SenderAuth, RelayRefusedWithoutLoginIsSentAgainWithLoginAndLoginRequiredIsSaved)
{
    SmtpSinkOptions so;
    so.user = "smtpuser";
    so.password = "smtppass";
    so.requireAuth = true;
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    w.sender->CaptureErrors = true;
    ASSERT_FALSE(w.account->Outgoing().LoginRequired());

    EXPECT_TRUE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true));
    EXPECT_EQ(w.sender->LastError, "");
    EXPECT_TRUE(w.sender->CaptureErrors);  // restored after the retry
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().at(0).authUser, "smtpuser");
    EXPECT_TRUE(w.account->Outgoing().LoginRequired());

    TOptions options;
    TAccountList saved(options);
    saved.LoadFromFile();
    ASSERT_EQ(saved.Count(), 1);
    EXPECT_TRUE(saved.Item(0)->Outgoing().LoginRequired());
}

TEST(SenderAuth, WrongPasswordFailsWithTheServersTextAndLearnsNothing)
{
    SmtpSinkOptions so;
    so.user = "smtpuser";
    so.password = "other";
    so.requireAuth = true;
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    w.sender->CaptureErrors = true;

    EXPECT_FALSE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true));
    EXPECT_NE(w.sender->LastError.find("Authentication"), std::string::npos) << w.sender->LastError;
    EXPECT_FALSE(w.account->Outgoing().LoginRequired());
    EXPECT_TRUE(sink.Messages().empty());
}

struct AuthCase {
    const char* name;
    std::vector<std::string> excluded;  // mechanisms the server does not offer
    bool useAccountUser;                // credentials of the incoming settings
};

class SenderAuthMechanisms : public testing::TestWithParam<AuthCase> {};

TEST_P(SenderAuthMechanisms, LogInWhenLoginRequiredIsKnown)
{
    SmtpSinkOptions so;
    so.user = GetParam().useAccountUser ? "popuser" : "smtpuser";
    so.password = GetParam().useAccountUser ? "poppass" : "smtppass";
    so.requireAuth = true;
    so.excludeAuth = GetParam().excluded;
    SmtpSink sink(so);
    SenderWorld w(sink.Port(), 1);
    w.account->Outgoing().SetLoginRequired(true);
    w.account->Outgoing().SetUseAccountUser(GetParam().useAccountUser);
    w.account->Incoming().SetUserName("popuser");
    w.account->Incoming().SetPassword("poppass");
    w.sender->CaptureErrors = true;

    EXPECT_TRUE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true))
        << w.sender->LastError;
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().at(0).authUser, so.user);
    EXPECT_TRUE(sink.Messages().at(0).tls);
}

INSTANTIATE_TEST_SUITE_P(
    Mechanisms, SenderAuthMechanisms,
    testing::Values(AuthCase{"login", {"PLAIN"}, false}, AuthCase{"plain_only", {"LOGIN"}, false},
                    AuthCase{"account_user", {}, true}),
    [](const testing::TestParamInfo<AuthCase>& i) { return std::string(i.param.name); });

// ---- Refusals, judged by their codes ------------------------------------------------

TEST(SenderRefused, RelayToARefusedRecipientFailsWithTheServersText)
{
    // A login would not cure "550 5.1.1", so nothing is sent again.
    SmtpSinkOptions so;
    so.user = "smtpuser";
    so.password = "smtppass";
    so.refuseRecipients = {"nobody@example.org"};
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    w.sender->CaptureErrors = true;

    EXPECT_FALSE(w.sender->SendMail(*w.account, test::SimpleMessage("nobody@example.org"), false));
    EXPECT_EQ(w.sender->LastError, "5.1.1 Recipient refused");
    ASSERT_TRUE(w.sender->LastRelay().Refusal);
    EXPECT_EQ(w.sender->LastRelay().Refusal->Code, 550);
    EXPECT_FALSE(w.account->Outgoing().LoginRequired());
    EXPECT_TRUE(w.whitelisted.empty());
    EXPECT_EQ(w.friends.Count(), 0);
}

TEST(SenderRefused, WithLoginRequiredSetTheRefusalStillCarriesTheServersText)
{
    SmtpSinkOptions so;
    so.user = "smtpuser";
    so.password = "smtppass";
    so.refuseRecipients = {"nobody@example.org"};
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    w.account->Outgoing().SetLoginRequired(true);
    w.sender->CaptureErrors = true;

    EXPECT_FALSE(w.sender->SendMail(*w.account, test::SimpleMessage("nobody@example.org"), false));
    EXPECT_EQ(w.sender->LastError, "5.1.1 Recipient refused");
}

TEST(SenderRefused, PostfixRelayDeniedIsSentAgainWithLoginAndLoginRequiredIsLearned)
{
    // Postfix names the recipient in its refusal; it is a refusal all the
    // same, and one a login cures.
    SmtpSinkOptions so;
    so.user = "smtpuser";
    so.password = "smtppass";
    so.relayDenied = {"bob@example.net"};
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    w.sender->CaptureErrors = true;

    EXPECT_TRUE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.net"), false)) << w.sender->LastError;
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().at(0).authUser, "smtpuser");
    EXPECT_EQ(sink.Messages().at(0).recipients, std::vector<std::string>{"bob@example.net"});
    EXPECT_TRUE(w.account->Outgoing().LoginRequired());
    EXPECT_EQ(w.whitelisted, std::vector<std::string>{"bob@example.net"});
}

struct RefusedCase {
    const char* name;
    SmtpSinkOptions sink;
    int code;               // of LastRelay().Refusal
    std::string lastError;
};

class SenderRefusedRelay : public testing::TestWithParam<RefusedCase> {};

TEST_P(SenderRefusedRelay, FailsWithTheRefusalsClassAndText)
{
    const RefusedCase& c = GetParam();
    SmtpSink sink(c.sink);
    SenderWorld w(sink.Port());
    w.sender->CaptureErrors = true;

    EXPECT_FALSE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.net"), false));
    ASSERT_TRUE(w.sender->LastRelay().Refusal);
    EXPECT_EQ(w.sender->LastRelay().Refusal->Code, c.code);
    EXPECT_EQ(w.sender->LastError, c.lastError);
    EXPECT_FALSE(w.sender->LastRelay().Sent);
    EXPECT_TRUE(sink.Messages().empty());
    EXPECT_TRUE(w.whitelisted.empty());
    EXPECT_EQ(w.friends.Count(), 0);
    EXPECT_FALSE(w.account->Outgoing().LoginRequired());
}

SmtpSinkOptions Greylisting()
{
    SmtpSinkOptions o;
    o.greylist = {"bob@example.net"};
    return o;
}

SmtpSinkOptions RefusingData(const std::string& reply)
{
    SmtpSinkOptions o;
    o.dataReply = reply;
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SenderRefusedRelay,
    testing::Values(
        RefusedCase{"postgrey_greylisted", Greylisting(), 450,
                    test::GreylistedReply("bob@example.net").substr(4)},
        RefusedCase{"data_refused", RefusingData("554 5.7.1 Message rejected as spam"), 554,
                    "5.7.1 Message rejected as spam"},
        RefusedCase{"data_deferred", RefusingData("451 4.3.0 Try again later"), 451, "4.3.0 Try again later"}),
    [](const testing::TestParamInfo<RefusedCase>& i) { return std::string(i.param.name); });

TEST(SenderRefused, SomeRecipientsRefusedTheOthersGetTheMessage)
{
    SmtpSinkOptions so;
    so.greylist = {"grey@example.net"};
    so.refuseRecipients = {"gone@example.org"};
    SmtpSink sink(so);
    SenderWorld w(sink.Port());
    w.sender->CaptureErrors = true;
    TMailMessage m = test::SimpleMessage("ok@example.org");
    m.CCList.SetFromText("grey@example.net");
    m.BccList.SetFromText("gone@example.org");

    EXPECT_TRUE(w.sender->SendMail(*w.account, m, false)) << w.sender->LastError;
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().at(0).recipients, std::vector<std::string>{"ok@example.org"});
    const TRelayOutcome& outcome = w.sender->LastRelay();
    EXPECT_TRUE(outcome.Sent);
    EXPECT_EQ(outcome.Accepted, std::vector<std::string>{"ok@example.org"});
    ASSERT_EQ(outcome.Refused.size(), 2u);
    EXPECT_EQ(outcome.Refused[0].Address, "grey@example.net");
    EXPECT_EQ(outcome.Refused[0].Reply.CodeAndText(), test::GreylistedReply("grey@example.net"));
    EXPECT_EQ(outcome.Refused[1].Address, "gone@example.org");
    EXPECT_EQ(outcome.Refused[1].Reply.CodeAndText(), "550 5.1.1 Recipient refused");
    // Only who got it joins the Friends list.
    EXPECT_EQ(w.whitelisted, std::vector<std::string>{"ok@example.org"});
    EXPECT_EQ(w.friends.Count(), 1);
}

// ---- Time-outs --------------------------------------------------------------------

TEST(SenderTimeouts, DefaultsAreThoseOfRfc5321)
{
    const TMailSenderSettings s;
    EXPECT_EQ(s.readTimeoutMs, 5 * 60 * 1000);
    EXPECT_EQ(s.dataEndTimeoutMs, 10 * 60 * 1000);
}

TEST(SenderTimeouts, AScanningServersLateReplyAfterTheDataIsWaitedFor)
{
    // Held back longer than two command time-outs, so neither the command
    // time-out nor a late reply after QUIT could make this pass.
    SmtpSinkOptions so;
    so.dataReplyDelay = std::chrono::milliseconds(3500);
    SmtpSink sink(so);
    TMailSenderSettings settings = test::FastSettings(1500);
    settings.dataEndTimeoutMs = 30000;
    SenderWorld w(sink.Port(), 0, settings);
    w.sender->CaptureErrors = true;

    EXPECT_TRUE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true)) << w.sender->LastError;
    EXPECT_EQ(w.sender->LastError, "");
    EXPECT_EQ(sink.Messages().size(), 1u);
}

// ---- Proxy ------------------------------------------------------------------------

TEST(SenderProxy, SendsThroughTheHttpTunnelOfTheOptions)
{
    SmtpSink sink;
    test::TinyproxyOptions po;
    po.connectPorts = {sink.Port()};
    po.user = "proxyuser";
    po.password = "proxypass";
    test::TinyproxyServer proxy(po);
    SenderWorld w(sink.Port(), 1);
    w.options.Proxy().SetUseProxy(true);
    w.options.Proxy().SetAddress("127.0.0.1");
    w.options.Proxy().SetPort(proxy.Port());
    w.options.Proxy().SetLogon(true);
    w.options.Proxy().SetUsername("proxyuser");
    w.options.Proxy().SetPassword("proxypass");
    w.sender->CaptureErrors = true;

    EXPECT_TRUE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true))
        << w.sender->LastError << proxy.Log();
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_TRUE(sink.Messages().at(0).tls);  // STARTTLS runs inside the tunnel
}

TEST(SenderProxy, ProxyRefusalIsTheError)
{
    SmtpSink sink;
    test::TinyproxyOptions po;
    po.connectPorts = {sink.Port()};
    po.user = "proxyuser";
    po.password = "proxypass";
    test::TinyproxyServer proxy(po);
    SenderWorld w(sink.Port());
    w.options.Proxy().SetUseProxy(true);
    w.options.Proxy().SetAddress("127.0.0.1");
    w.options.Proxy().SetPort(proxy.Port());
    w.options.Proxy().SetUsername("proxyuser");  // stored, but Logon is off
    w.sender->CaptureErrors = true;

    EXPECT_FALSE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true));
    EXPECT_EQ(w.sender->LastError.rfind("Proxy authentication required (407", 0), 0u)
        << w.sender->LastError;
}

// ---- Text relayed as it is -------------------------------------------------------

const std::string kMultipart =
    "Received: from client [127.0.0.1] by here\r\n"
    "From: Me <me@example.org>\r\n"
    "To: Bob <bob@example.org>\r\n"
    "Subject: parts\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--b1\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: 8bit\r\n"
    "\r\n"
    ".a line that begins with a dot\r\n"
    ".\r\n"
    "..two dots\r\n"
    "caf\xc3\xa9 \t trailing blanks   \r\n"
    "--b1\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "AAECAwQFBgcICQ==\r\n"
    "--b1--\r\n"
    "epilogue\r\n";

TEST(SenderText, RawTextArrivesByteIdenticalWithTheGivenEnvelope)
{
    SmtpSink sink;
    SenderWorld w(sink.Port());
    w.sender->CaptureErrors = true;
    TMailEnvelope env;
    env.From = "me@example.org";
    env.Recipients = {"bob@example.org", "hidden@example.org", "BOB@example.org"};
    env.ToAddresses = {"bob@example.org"};

    EXPECT_TRUE(w.sender->SendText(*w.account, env, kMultipart, TMailTextForm::Raw, false));
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    const auto got = sink.Messages().at(0);
    EXPECT_EQ(got.data, kMultipart);
    EXPECT_EQ(got.recipients, (std::vector<std::string>{"bob@example.org", "hidden@example.org"}));
    EXPECT_EQ(w.whitelisted, (std::vector<std::string>{"bob@example.org", "hidden@example.org"}));
}

TEST(SenderText, StoredTextArrivesUnstuffedAsTheMessageItHolds)
{
    SmtpSink sink;
    SenderWorld w(sink.Port());
    TMailMessage parsed;
    parsed.LoadFromRaw(kMultipart);
    const std::string stored = parsed.SaveToString();
    ASSERT_NE(stored.find("\r\n...two dots\r\n"), std::string::npos);  // already stuffed

    EXPECT_TRUE(w.sender->SendText(*w.account, EnvelopeOf(parsed), stored, TMailTextForm::Stored, true));
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().at(0).data, kMultipart);
}

TEST(SenderText, BodyLinesBeginningWithADotSurviveSendMail)
{
    SmtpSink sink;
    SenderWorld w(sink.Port());
    const TMailMessage m = test::SimpleMessage("bob@example.org", {".hidden", ".", "..", "end"});

    EXPECT_TRUE(w.sender->SendMail(*w.account, m, true));
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    const std::string data = sink.Messages().at(0).data;
    EXPECT_EQ(data, m.SaveToRaw());
    EXPECT_NE(data.find("\r\n.hidden\r\n.\r\n..\r\nend\r\n"), std::string::npos) << data;
}

TEST(SenderText, AnEmptyEnvelopeIsRefusedWithoutConnecting)
{
    SenderWorld w(1);
    w.sender->CaptureErrors = true;
    EXPECT_FALSE(w.sender->SendText(*w.account, {}, "A: b\r\n\r\nx\r\n", TMailTextForm::Raw, false));
    EXPECT_EQ(w.sender->LastError, "No recipients");
}

// ---- Friends list -----------------------------------------------------------------

TEST(SenderWhitelist, RecipientsJoinTheFriendsListOnceInLowerCase)
{
    SmtpSink sink;
    SenderWorld w(sink.Port());
    w.friends.AddAddress("old@example.org");
    TMailMessage m = test::SimpleMessage("New@Example.org");
    m.CCList.SetFromText("OLD@example.org");
    m.BccList.SetFromText("Hidden@Example.org");

    EXPECT_TRUE(w.sender->SendMail(*w.account, m, false));
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival));
    EXPECT_EQ(sink.Messages().at(0).recipients,
              (std::vector<std::string>{"New@Example.org", "OLD@example.org", "Hidden@Example.org"}));
    EXPECT_EQ(sink.Messages().at(0).data.find("Bcc"), std::string::npos);
    EXPECT_EQ(w.whitelisted, (std::vector<std::string>{"New@Example.org", "Hidden@Example.org"}));
    EXPECT_EQ(w.friends.Count(), 3);
    EXPECT_GE(w.friends.IndexOf("new@example.org"), 0);
    EXPECT_EQ(w.friends.Text(w.friends.IndexOf("hidden@example.org")), "hidden@example.org");
}

TEST(SenderWhitelist, NoWhitelistFlagOrOptionOffAddsNobody)
{
    SmtpSink sink;
    SenderWorld w(sink.Port());
    EXPECT_TRUE(w.sender->SendMail(*w.account, test::SimpleMessage("a@example.org"), true));
    w.options.SetWhitelistRecipients(false);
    EXPECT_TRUE(w.sender->SendMail(*w.account, test::SimpleMessage("b@example.org"), false));
    ASSERT_TRUE(sink.WaitForMessages(2, kArrival));
    EXPECT_EQ(w.friends.Count(), 0);
    EXPECT_TRUE(w.whitelisted.empty());
}

} // namespace
} // namespace bm
