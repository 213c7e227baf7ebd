// The SMTP server's certificate as the sender sees it, against the real
// aiosmtpd sink presenting a self-signed certificate: refused before AUTH
// with what identifies it and the accounts.ini line that trusts it, sent
// once pinned; STARTTLS remembered for SSL value 1 and a later session
// without it refused.
#include "tests/proto/mailsender_support.h"
#include "tests/proto/tls_trust.h"

#include "proto/smtpsessionU.h"
#include "tests/support/smtpsink.h"

#include <gtest/gtest.h>

namespace bm::test {
namespace {

constexpr auto kArrival = std::chrono::seconds(10);

TMailSenderSettings WithoutTrustedPeer()
{
    static TempDir empty;  // no cacert.pem: only the system's roots
    TMailSenderSettings s = FastSettings();
    s.certificateFolder = empty.path();
    return s;
}

struct SelfSignedCase {
    const char* name;
    std::uint8_t ssl;
    bool sslPort;
};

class SenderSelfSigned : public testing::TestWithParam<SelfSignedCase> {};

TEST_P(SenderSelfSigned, RefusedWithItsFingerprintThenSentOncePinned)
{
    const SelfSignedCase& c = GetParam();
    SmtpSinkOptions so;
    so.user = "smtpuser";
    so.password = "smtppass";
    so.requireAuth = true;
    SmtpSink sink(so);
    SenderWorld w(c.sslPort ? sink.SslPort() : sink.Port(), c.ssl, WithoutTrustedPeer());
    w.account->Outgoing().SetLoginRequired(true);
    w.sender->CaptureErrors = true;
    const std::string fingerprint = OpenSslFingerprint(sink.CertFile());

    EXPECT_FALSE(w.sender->SendMail(*w.account, SimpleMessage("bob@example.org"), true));
    const std::string& text = w.sender->LastError;
    EXPECT_NE(text.find("not trusted (self-signed certificate)"), std::string::npos) << text;
    EXPECT_NE(text.find("Subject: CN=localhost; issuer: CN=localhost"), std::string::npos) << text;
    EXPECT_NE(text.find("\"CertFingerprint=" + fingerprint + "\" to the section [Account1.Outgoing] of accounts.ini"),
              std::string::npos)
        << text;
    EXPECT_TRUE(sink.Messages().empty());

    w.account->Outgoing().SetCertFingerprint(fingerprint);
    EXPECT_TRUE(w.sender->SendMail(*w.account, SimpleMessage("bob@example.org"), true)) << w.sender->LastError;
    ASSERT_TRUE(sink.WaitForMessages(1, kArrival)) << sink.Log();
    EXPECT_TRUE(sink.Messages().at(0).tls);
    EXPECT_EQ(sink.Messages().at(0).authUser, "smtpuser");
}

INSTANTIATE_TEST_SUITE_P(Modes, SenderSelfSigned,
                         testing::Values(SelfSignedCase{"starttls_offered", 1, false},
                                         SelfSignedCase{"tls_from_first_byte", 2, true},
                                         SelfSignedCase{"starttls_required", 3, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SenderDowngrade, StartTlsOfferedOnceIsRememberedAndItsAbsenceRefused)
{
    SmtpSink withTls;
    SenderWorld w(withTls.Port(), 1);
    w.sender->CaptureErrors = true;
    ASSERT_FALSE(w.account->Outgoing().TlsOffered());
    EXPECT_TRUE(w.sender->SendMail(*w.account, SimpleMessage("bob@example.org"), true)) << w.sender->LastError;
    ASSERT_TRUE(withTls.WaitForMessages(1, kArrival));
    EXPECT_TRUE(withTls.Messages().at(0).tls);
    EXPECT_TRUE(w.account->Outgoing().TlsOffered());
    TOptions options;
    TAccountList saved(options);
    saved.LoadFromFile();
    ASSERT_EQ(saved.Count(), 1);
    EXPECT_TRUE(saved.Item(0)->Outgoing().TlsOffered());

    SmtpSinkOptions so;
    so.startTls = false;
    SmtpSink stripped(so);
    w.account->Outgoing().SetPort(stripped.Port());
    EXPECT_FALSE(w.sender->SendMail(*w.account, SimpleMessage("bob@example.org"), true));
    EXPECT_EQ(w.sender->LastError, kTlsDowngradeSmtp);
    EXPECT_TRUE(stripped.Messages().empty());
}

} // namespace
} // namespace bm::test
