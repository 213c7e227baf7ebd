// The POP3 server's certificate as the Mail check sees it, against a real
// Dovecot presenting a self-signed certificate: refused with what identifies
// it and the accounts.ini line that trusts it, accepted once pinned, accepted
// through cacert.pem; STLS remembered for SSL value 1 and a later session
// without it refused before the login.
#include "tests/check/mailchk_fakepop3.h"
#include "tests/check/mailchk_support.h"
#include "tests/proto/tls_trust.h"
#include "tests/support/dovecot.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "proto/pop3clientU.h"

namespace bm::test {
namespace {

TMailCheckerSettings WithoutTrustedPeer()
{
    static TempDir empty;  // no cacert.pem: only the system's roots
    TMailCheckerSettings s = CheckerFastSettings();
    s.CertificateFolder = empty.path();
    return s;
}

class MailChkVerify : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (::geteuid() != 0)
            return;
        server_ = new DovecotServer;
        for (const char* user : {"self2", "self3", "self1", "learn"})
            server_->AddUser(user, std::string("pw-") + user);
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override
    {
        if (!server_)
            GTEST_SKIP() << "Dovecot fixture needs root";
    }
    static void Deliver(const std::string& user, const std::vector<std::string>& subjects)
    {
        for (const std::string& s : subjects)
            server_->Deliver(user, MakeMail("someone@example.net", s, "Text of " + s));
    }
    static DovecotServer* server_;
};
DovecotServer* MailChkVerify::server_ = nullptr;

struct SelfSignedCase {
    const char* user;
    int ssl;
    bool implicitPort;
};

class MailChkSelfSigned : public MailChkVerify, public ::testing::WithParamInterface<SelfSignedCase> {};

TEST_P(MailChkSelfSigned, RefusedWithItsFingerprintThenAcceptedOncePinned)
{
    const SelfSignedCase& c = GetParam();
    Deliver(c.user, {"kept"});
    const std::string fingerprint = OpenSslFingerprint(server_->CertFile());
    CheckerHarness h(false, WithoutTrustedPeer());
    h.AddAccount("Other", "127.0.0.1", 1, "u", "p");  // only to make the section number count
    h.accounts.Item(0)->SetInDefaultCheck(false);
    TAccountPtr account = h.AddAccount("Self", "127.0.0.1", c.implicitPort ? server_->Pop3sPort() : server_->Pop3Port(),
                                       c.user, std::string("pw-") + c.user, c.ssl);

    EXPECT_FALSE(h.checker->CheckDefaultAccounts(h.inbox, h.known));
    ASSERT_EQ(h.errors.size(), 1u) << h.Describe();
    const std::string& text = h.errors[0].Text;
    EXPECT_EQ(h.errors[0].Account, "Self");
    EXPECT_NE(text.find("not trusted (self-signed certificate)"), std::string::npos) << text;
    EXPECT_NE(text.find("Subject: CN=localhost; issuer: CN=localhost"), std::string::npos) << text;
    EXPECT_NE(text.find("\"CertFingerprint=" + fingerprint + "\" to the section [Account2.Incoming] of accounts.ini"),
              std::string::npos)
        << text;
    EXPECT_TRUE(h.prompts.empty()) << "a refused certificate is not a refused login";
    EXPECT_TRUE(h.processed.empty());
    EXPECT_EQ(server_->ListMessages(c.user).size(), 1u);

    account->Incoming().SetCertFingerprint(fingerprint);
    h.errors.clear();
    EXPECT_TRUE(h.checker->CheckDefaultAccounts(h.inbox, h.known)) << h.Describe() << server_->Log();
    EXPECT_EQ(h.ErrorTexts(), "");
    EXPECT_EQ(h.subjects, std::vector<std::string>{"kept"});
    EXPECT_TRUE(server_->ListMessages(c.user).empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, MailChkSelfSigned,
                         ::testing::Values(SelfSignedCase{"self1", 1, false}, SelfSignedCase{"self2", 2, true},
                                           SelfSignedCase{"self3", 3, false}),
                         [](const auto& info) { return "ssl" + std::to_string(info.param.ssl); });

TEST_F(MailChkVerify, StlsOfferedOnceIsRememberedAndSaved)
{
    Deliver("learn", {"over stls"});
    CheckerHarness h;  // the peers' certificate trusted through cacert.pem
    TAccountPtr account = h.AddAccount("Learn", "127.0.0.1", server_->Pop3Port(), "learn", "pw-learn", 1);
    ASSERT_FALSE(account->Incoming().TlsOffered());

    EXPECT_TRUE(h.CheckAll()) << h.Describe() << server_->Log();
    EXPECT_EQ(h.subjects, std::vector<std::string>{"over stls"});
    EXPECT_TRUE(account->Incoming().TlsOffered());
    TOptions options;
    TAccountList saved(options);
    saved.LoadFromFile();
    ASSERT_EQ(saved.Count(), 1);
    EXPECT_TRUE(saved.Item(0)->Incoming().TlsOffered());
}

// A server (or a man in the middle) that no longer offers STLS, or refuses
// it, to an account that saw it offered.
struct DowngradeCase {
    const char* name;
    std::vector<std::string> capa;
    bool refuseStls;
    bool offeredBefore;
    bool loggedIn;  // USER reached the server
};

class MailChkDowngrade : public ::testing::TestWithParam<DowngradeCase> {};

TEST_P(MailChkDowngrade, PlainTextAfterStlsWasOfferedIsRefusedBeforeTheLogin)
{
    const DowngradeCase& c = GetParam();
    FakePop3Server::React react = [&](const std::string& line, TcpConnection& conn) {
        if (c.refuseStls && line == "STLS") {
            conn.WriteLine("-ERR not now", 10000);
            return FakePop3Server::Reaction::Handled;
        }
        return FakePop3Server::Reaction::Default;
    };
    FakePop3Server server({{"u1", MakeMail("a@example.net", "plain", "x")}}, react, "+OK fake ready", c.capa);
    CheckerHarness h;
    TAccountPtr account = h.AddAccount("Down", "127.0.0.1", server.Port(), "u", "p", 1);
    account->Incoming().SetTlsOffered(c.offeredBefore);

    const bool ok = h.CheckAll();
    const std::vector<std::string> lines = server.Finish();
    EXPECT_EQ(FakePop3Server::Received(lines, "USER"), c.loggedIn);
    if (c.loggedIn) {
        EXPECT_TRUE(ok) << h.Describe();
        return;
    }
    EXPECT_FALSE(ok);
    ASSERT_EQ(h.errors.size(), 1u) << h.Describe();
    EXPECT_EQ(h.errors[0].Text, kTlsDowngradePop3);
    EXPECT_EQ(server.Mailbox().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MailChkDowngrade,
    ::testing::Values(DowngradeCase{"no_longer_offered", {"USER", "UIDL"}, false, true, false},
                      DowngradeCase{"offered_but_refused", {"USER", "UIDL", "STLS"}, true, true, false},
                      DowngradeCase{"never_offered_goes_plain", {"USER", "UIDL"}, false, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace bm::test
