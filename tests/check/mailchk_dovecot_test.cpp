// TMailCheckerMdl and TPop3Client against a real Dovecot on loopback: every
// login kind and TLS use, the credentials prompt, the proxy tunnel, a stop in
// the middle of a mailbox, handlers that fail, the UIDL walk over the inbox
// and known lists, the lists and filters, and the local pass.
#include "tests/check/mailchk_support.h"
#include "tests/support/dovecot.h"
#include "tests/support/tinyproxy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include <unistd.h>

#include "proto/pop3clientU.h"
#include "net/tlsU.h"

namespace bm::test {
namespace {

bool Has(const std::vector<std::string>& v, const std::string& s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

// Dovecot rereads its passwd-file at most once a second, and it delays the
// next login from an address after a failed one (its auth penalty). So the
// shared server gets all its users before the first login, and the tests
// whose logins fail run on a server of their own.
constexpr int kPoolUsers = 48;

class MailChkDovecot : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (::geteuid() != 0)
            return;
        server_ = new DovecotServer;
        for (int i = 1; i <= kPoolUsers; ++i) {
            const std::string name = "pool" + std::to_string(i);
            server_->AddUser(name, "pw-" + name);
            server_->AddUser(name + "@pop.example", "pw-" + name);
        }
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
    // A mailbox user of its own, with the password "pw-" + name; the name
    // with "@pop.example" is a user too (for the local pass).
    static std::string NewUser(const std::string&)
    {
        static int used = 0;
        if (used == kPoolUsers)
            throw std::runtime_error("raise kPoolUsers");
        return "pool" + std::to_string(++used);
    }
    static void DeliverSubjects(const std::string& user, const std::vector<std::string>& subjects)
    {
        for (const std::string& s : subjects)
            server_->Deliver(user, MakeMail("someone@example.net", s, "Text of " + s));
    }
    static void DeliverTo(DovecotServer& server, const std::string& user, const std::vector<std::string>& subjects)
    {
        for (const std::string& s : subjects)
            server.Deliver(user, MakeMail("someone@example.net", s, "Text of " + s));
    }
    static std::size_t Left(const std::string& user) { return server_->ListMessages(user).size(); }

    static DovecotServer* server_;
};
DovecotServer* MailChkDovecot::server_ = nullptr;

// --- every login kind and TLS use, through the whole pass -------------------

struct LoginCase {
    const char* name;
    int ssl;
    bool sasl;
    bool implicitPort;
};

class MailChkDovecotLogin : public MailChkDovecot, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(MailChkDovecotLogin, RetrievesHandlesAndDeletesEveryMessage)
{
    const LoginCase& c = GetParam();
    const std::string user = NewUser(c.name);
    DeliverSubjects(user, {"one", "two", "three"});
    CheckerHarness h;
    const std::string account = std::string("Acct-") + user;
    h.AddAccount(account, "127.0.0.1", c.implicitPort ? server_->Pop3sPort() : server_->Pop3Port(), user,
                 "pw-" + user, c.ssl, c.sasl);

    EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts() << server_->Log();

    EXPECT_EQ(h.ErrorTexts(), "");
    EXPECT_EQ(h.subjects, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(Left(user), 0u) << "every handled message is deleted on the server";
    for (const std::string& id : h.processed)
        EXPECT_TRUE(std::filesystem::exists(MessageFilePath(account, id, false))) << id;
    EXPECT_EQ(h.deleted, h.processed);
    EXPECT_FALSE(h.deletedHadEntry);
    EXPECT_EQ(h.inbox.Count(), 0) << "marked entries never join the inbox list";
    EXPECT_EQ(h.after, (std::vector<std::pair<std::string, bool>>{{account, true}}));
    EXPECT_EQ(h.states, (std::vector<std::uint8_t>{kStateConnectingRemote, kStateRetrievingRemote}));
    for (const std::string& s : {"Checking mail on " + account, "Connecting to remote " + account,
                                 "Checking mail 1 of 3 on " + account, "Checking mail 3 of 3 on " + account,
                                 "Retrieving message list on " + account, "Deleting message 3 of 3 on " + account})
        EXPECT_TRUE(Has(h.statuses, s)) << s;
}

INSTANTIATE_TEST_SUITE_P(Kinds, MailChkDovecotLogin,
                         ::testing::Values(LoginCase{"userpass", 0, false, false},
                                           LoginCase{"sasl", 0, true, false},
                                           LoginCase{"stls", 1, false, false},
                                           LoginCase{"stlsrequired", 3, true, false},
                                           LoginCase{"implicit", 2, false, true},
                                           LoginCase{"implicitsasl", 2, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the client alone: each SASL mechanism and each TLS use ----------------

struct MechanismCase {
    const char* name;
    TSaslMechanism mechanism;
};

class MailChkDovecotSasl : public MailChkDovecot, public ::testing::WithParamInterface<MechanismCase> {};

TEST_P(MailChkDovecotSasl, MechanismLogsInAndRefusesWrongPassword)
{
    DovecotServer own; // failed logins: a server of its own
    const std::string user = NewUser("mech");
    own.AddUser(user, "pw-" + user);
    DeliverTo(own, user, {"x"});
    TPop3ConnectParams p;
    p.Host = "127.0.0.1";
    p.Port = own.Pop3Port();
    p.Login = TPop3Login::Sasl;
    p.Mechanisms = {GetParam().mechanism};
    p.UserName = user;
    p.Password = "pw-" + user;
    TPop3Client client;
    client.Connect(p);
    EXPECT_EQ(client.LoginMechanism(), GetParam().name);
    EXPECT_EQ(client.Stat(), 1);
    client.Quit();

    p.Password = "wrong";
    try {
        client.Connect(p);
        FAIL() << "wrong password accepted";
    } catch (const EPop3Error& e) {
        EXPECT_TRUE(e.LoginRefused());
        EXPECT_STREQ(e.what(), "[AUTH] Authentication failed.");
    }
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, MailChkDovecotSasl,
                         ::testing::Values(MechanismCase{"PLAIN", TSaslMechanism::Plain},
                                           MechanismCase{"LOGIN", TSaslMechanism::Login},
                                           MechanismCase{"CRAM-MD5", TSaslMechanism::CramMD5}),
                         [](const auto& info) { return std::string(info.param.name) == "CRAM-MD5"
                                                           ? std::string("CRAM_MD5")
                                                           : std::string(info.param.name); });

TEST_F(MailChkDovecot, ClientTlsUseFollowsTheSslValue)
{
    const std::string user = NewUser("tlsuse");
    struct {
        int ssl;
        bool implicitPort;
        bool tls;
    } cases[] = {{0, false, false}, {1, false, true}, {2, true, true}, {3, false, true}};
    for (const auto& c : cases) {
        TPop3ConnectParams p;
        p.Host = "127.0.0.1";
        p.Port = c.implicitPort ? server_->Pop3sPort() : server_->Pop3Port();
        p.Tls = Pop3TlsFromSSLValue(c.ssl);
        p.Context = TlsContext::Client();
        p.UserName = user;
        p.Password = "pw-" + user;
        TPop3Client client;
        client.Connect(p);
        EXPECT_EQ(client.IsTls(), c.tls) << "SSL value " << c.ssl;
        EXPECT_EQ(client.Stat(), 0);
        client.Quit();
    }
}

TEST_F(MailChkDovecot, ImplicitTlsOnThePlainPortIsReported)
{
    const std::string user = NewUser("tlsfail");
    CheckerHarness h;
    h.AddAccount("TlsFail", "127.0.0.1", server_->Pop3Port(), user, "pw-" + user, 2);
    EXPECT_FALSE(h.CheckAll());
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors[0].Account, "TlsFail");
    EXPECT_NE(h.errors[0].Text.find("TLS"), std::string::npos) << h.errors[0].Text;
    EXPECT_TRUE(h.prompts.empty());
}

// --- the credentials prompt ------------------------------------------------

TEST_F(MailChkDovecot, WrongPasswordPromptCancelledEndsTheAccountSilently)
{
    DovecotServer own; // failed logins: a server of its own
    const std::string user = NewUser("cancel");
    own.AddUser(user, "pw-" + user);
    DeliverTo(own, user, {"kept"});
    CheckerHarness h;
    h.AddAccount("Cancel", "127.0.0.1", own.Pop3Port(), user, "wrong");

    EXPECT_FALSE(h.CheckAll());

    ASSERT_EQ(h.prompts.size(), 1u);
    EXPECT_EQ(h.prompts[0].Title, "Logon - 127.0.0.1");
    EXPECT_EQ(h.prompts[0].Reason, "[AUTH] Authentication failed.");
    EXPECT_EQ(h.prompts[0].UserName, user);
    EXPECT_EQ(h.prompts[0].Password, "wrong");
    EXPECT_EQ(h.ErrorTexts(), "") << "a cancelled prompt is not reported";
    EXPECT_EQ(h.after, (std::vector<std::pair<std::string, bool>>{{"Cancel", true}}))
        << "the account's queue is still sent";
    EXPECT_EQ(own.ListMessages(user).size(), 1u);
}

TEST_F(MailChkDovecot, WrongPasswordPromptAnsweredGoesOnForThisLoginOnly)
{
    DovecotServer own; // failed logins: a server of its own
    const std::string user = NewUser("answer");
    own.AddUser(user, "pw-" + user);
    DeliverTo(own, user, {"fetched"});
    CheckerHarness h;
    auto account = h.AddAccount("Answer", "127.0.0.1", own.Pop3Port(), user, "wrong");
    h.credentials = [&](TCredentialsRequest& r) {
        EXPECT_FALSE(r.SecureAuthentication);
        r.Password = "pw-" + user;
        r.SecureAuthentication = true; // this login goes by SASL
        return true;
    };

    EXPECT_TRUE(h.CheckAll()) << h.Describe() << own.Log();

    EXPECT_EQ(h.prompts.size(), 1u);
    EXPECT_NE(own.Log().find("method=CRAM-MD5"), std::string::npos) << own.Log();
    EXPECT_EQ(h.subjects, std::vector<std::string>{"fetched"});
    EXPECT_EQ(own.ListMessages(user).size(), 0u);
    EXPECT_EQ(account->Incoming().Password(), "wrong") << "the account itself is the dialog's business";
}

// --- the proxy tunnel -------------------------------------------------------

TEST_F(MailChkDovecot, RetrievesThroughTinyproxyPlainAndTls)
{
    TinyproxyServer proxy({{server_->Pop3Port(), server_->Pop3sPort()}, "px", "pw"});
    for (const int ssl : {0, 2}) {
        const std::string user = NewUser("proxy");
        DeliverSubjects(user, {"via proxy"});
        CheckerHarness h;
        h.AddAccount("Proxy" + user, "127.0.0.1", ssl ? server_->Pop3sPort() : server_->Pop3Port(), user,
                     "pw-" + user, ssl);
        h.checker->SetProxy(true, "127.0.0.1", "pw", "px", proxy.Port());
        EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts() << proxy.Log();
        EXPECT_EQ(h.subjects, std::vector<std::string>{"via proxy"});
        EXPECT_EQ(Left(user), 0u);
    }
}

TEST_F(MailChkDovecot, ProxyRefusalIsReported)
{
    TinyproxyServer proxy({{server_->Pop3Port()}, "px", "pw"});
    const std::string user = NewUser("proxyfail");
    CheckerHarness h;
    h.AddAccount("ProxyFail", "127.0.0.1", server_->Pop3Port(), user, "pw-" + user);
    h.checker->SetProxy(true, "127.0.0.1", "bad", "px", proxy.Port());
    EXPECT_FALSE(h.CheckAll());
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_TRUE(h.errors[0].Text.starts_with("Proxy authentication failed (401")) << h.errors[0].Text;
    EXPECT_TRUE(h.prompts.empty());
}

// --- stop, failing handlers -------------------------------------------------

TEST_F(MailChkDovecot, StopInTheMiddleOfAMailboxLosesNothing)
{
    const std::string first = NewUser("stopa");
    const std::string second = NewUser("stopb");
    DeliverSubjects(first, {"m1", "m2", "m3", "m4", "m5"});
    DeliverSubjects(second, {"other"});
    CheckerHarness h;
    h.AddAccount("StopA", "127.0.0.1", server_->Pop3Port(), first, "pw-" + first);
    h.AddAccount("StopB", "127.0.0.1", server_->Pop3Port(), second, "pw-" + second);
    h.handler = [&](const std::string& uidl, TMailMessage& m, TKnownMessage& e) {
        const bool ok = CheckerHarness::StoreAndDelete(uidl, m, e);
        if (m.Subject == "m3") { // what the Stop command does from the main thread
            h.stop = true;
            h.checker->AbortConnection();
        }
        return ok;
    };

    EXPECT_FALSE(h.CheckAll());

    EXPECT_EQ(h.subjects, (std::vector<std::string>{"m1", "m2", "m3"}));
    for (const std::string& id : h.processed)
        EXPECT_TRUE(std::filesystem::exists(MessageFilePath("StopA", id, false)));
    EXPECT_EQ(Left(first), 5u) << "a broken session commits no DELE";
    EXPECT_EQ(Left(second), 1u);
    EXPECT_FALSE(Has(h.statuses, "Checking mail on StopB")) << "no account after a stop";
    EXPECT_EQ(h.ErrorTexts(), "") << "failures after a stop are not shown";
}

// A store that refuses one message refuses the next: the walk ends there,
// says how far it got, and what was handled is still deleted.
TEST_F(MailChkDovecot, MessageTheHandlerCannotStoreEndsThePassAndStaysForTheNextCheck)
{
    const std::string user = NewUser("nostore");
    DeliverSubjects(user, {"one", "two", "three"});
    CheckerHarness h;
    h.AddAccount("NoStore", "127.0.0.1", server_->Pop3Port(), user, "pw-" + user);
    h.handler = [](const std::string& uidl, TMailMessage& m, TKnownMessage& e) {
        if (m.Subject == "two") {
            e.SetToBeDeleted(true); // marked, but nothing stored: must not be deleted
            return false;
        }
        return CheckerHarness::StoreAndDelete(uidl, m, e);
    };
    EXPECT_TRUE(h.CheckAll()) << h.Describe();
    EXPECT_EQ(h.subjects, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(h.ErrorTexts(), "NoStore: " + PassEndedText("The message could not be stored", 2, 1, 3) + "\n");
    EXPECT_EQ(Left(user), 2u);
    EXPECT_EQ(h.inbox.Count(), 0);

    h.handler = nullptr;
    h.subjects.clear();
    EXPECT_TRUE(h.CheckAll());
    EXPECT_EQ(h.subjects, (std::vector<std::string>{"two", "three"})) << "met as new at the next check";
    EXPECT_EQ(Left(user), 0u);
}

TEST_F(MailChkDovecot, HandlerExceptionEndsTheWalkSaysWhyAndDeletesOnlyTheHandled)
{
    const std::string user = NewUser("throws");
    DeliverSubjects(user, {"one", "two", "three"});
    CheckerHarness h;
    h.AddAccount("Throws", "127.0.0.1", server_->Pop3Port(), user, "pw-" + user);
    h.handler = [](const std::string& uidl, TMailMessage& m, TKnownMessage& e) -> bool {
        if (m.Subject == "two")
            throw std::runtime_error("database or disk is full");
        return CheckerHarness::StoreAndDelete(uidl, m, e);
    };
    EXPECT_TRUE(h.CheckAll());
    EXPECT_EQ(h.subjects, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(h.ErrorTexts(), "Throws: " + PassEndedText("database or disk is full", 2, 1, 3) + "\n");
    EXPECT_EQ(Left(user), 2u) << "the message being classified and the rest stay";
    EXPECT_EQ(h.after.size(), 1u) << "the session ended normally: the account's queue is still sent";
}

TEST_F(MailChkDovecot, MessageStoredByAPassThatEndedBeforeDeleIsDeletedAtTheNextCheck)
{
    const std::string user = NewUser("stored");
    DeliverSubjects(user, {"one", "two"});
    CheckerHarness h;
    h.AddAccount("Stored", "127.0.0.1", server_->Pop3Port(), user, "pw-" + user);
    h.handler = [&h](const std::string& uidl, TMailMessage& m, TKnownMessage& e) {
        SaveMessageFile(e.Account(), uidl, false, m); // a friend's message: a copy joins the inbox list
        h.inbox.Add(CloneKnownMessage(e));
        e.SetToBeDeleted(true);
        return true;
    };
    h.checker->OnIsStored = [](TAccount& a, const std::string& id) {
        return IsWholeMessageFile(MessageFilePath(a.Name(), id, false));
    };
    h.checker->OnBeforeDeleteOnServer = [](TAccount&) { throw std::runtime_error("cut before DELE"); };
    EXPECT_FALSE(h.CheckAll());
    ASSERT_EQ(Left(user), 2u);

    h.checker->OnBeforeDeleteOnServer = nullptr;
    h.subjects.clear();
    EXPECT_TRUE(h.CheckAll()) << h.Describe();
    EXPECT_TRUE(h.subjects.empty()) << "nothing retrieved twice";
    EXPECT_EQ(Left(user), 0u);
    EXPECT_EQ(h.inbox.Count(), 2);
}

// --- the UIDL walk over InboxList and KnownList -----------------------------

TEST_F(MailChkDovecot, SkipsInboxListEntriesAndTakesOverKnownListOnes)
{
    const std::string user = NewUser("walk");
    DeliverSubjects(user, {"in inbox", "known", "new"});
    CheckerHarness h;
    h.AddAccount("Walk", "127.0.0.1", server_->Pop3Port(), user, "pw-" + user);
    h.handler = [](const std::string&, TMailMessage&, TKnownMessage&) { return true; }; // kept on the server
    ASSERT_TRUE(h.CheckAll()) << h.ErrorTexts();
    ASSERT_EQ(h.inbox.Count(), 3);
    const std::vector<std::string> ids = h.processed;
    // As after a restart: the first is still in this run's inbox list, the
    // second was read from knownmessages.dat, the third is unknown.
    h.known.Add(h.inbox.Extract(h.inbox.Find(ids[1])));
    h.inbox.Remove(h.inbox.Find(ids[2]));
    h.inbox.Find(ids[0])->SetSeen(false);
    h.processed.clear();
    h.newMessages.clear();
    h.knownBefore.clear();

    EXPECT_TRUE(h.CheckAll());

    EXPECT_EQ(h.processed, std::vector<std::string>{ids[2]});
    EXPECT_EQ(h.newMessages, (std::vector<std::string>{ids[1], ids[2]}));
    EXPECT_EQ(h.knownBefore, (std::vector<bool>{true, false}));
    EXPECT_EQ(h.known.Count(), 0);
    ASSERT_EQ(h.inbox.Count(), 3);
    EXPECT_TRUE(h.inbox.Find(ids[0])->Seen());
    EXPECT_EQ(h.inbox.Item(1)->Id(), ids[1]) << "moved to the end of the inbox list";
    EXPECT_EQ(Left(user), 3u);
}

// --- Friends list, blacklist and filters decide what is deleted ------------

TEST_F(MailChkDovecot, DeletesOnlyWhatTheListsAndFiltersMarked)
{
    const std::string user = NewUser("lists");
    server_->Deliver(user, MakeMail("Pal@Friends.example", "friend", "hi"));
    server_->Deliver(user, MakeMail("spam@junk.example", "black", "buy"));
    server_->Deliver(user, MakeMail("news@list.example", "filtered", "weekly"));
    server_->Deliver(user, MakeMail("stranger@else.example", "unknown", "hello"));
    server_->Deliver(user, MakeMail("vip@partner.example", "welcome", "hello"));
    CheckerHarness h;
    h.AddAccount("Lists", "127.0.0.1", server_->Pop3Port(), user, "pw-" + user);
    h.friends.AddAddress("pal@friends.example");
    h.blacklist.AddAddress("*@junk.example");
    auto drop = std::make_unique<TFilter>();
    drop->SetName("Drop news");
    drop->SetDelete(true);
    drop->Rules().Add(TRuleField::From, TRuleOperation::Contains, "news@");
    h.filters.Add(std::move(drop));
    auto befriend = std::make_unique<TFilter>();
    befriend->SetName("Partners");
    befriend->SetWhitelistSender(true);
    befriend->Rules().Add(TRuleField::Subject, TRuleOperation::Is, "welcome");
    h.filters.Add(std::move(befriend));
    std::vector<std::string> statuses;
    h.handler = [&](const std::string&, TMailMessage&, TKnownMessage& e) {
        statuses.push_back(e.Status() + "/" + (e.Whitelisted() ? "F" : "-") + (e.ToBeDeleted() ? "D" : "-") +
                           "/" + e.FilterName);
        return true; // the classifier's case "already stored": nothing more
    };

    EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts();

    EXPECT_EQ(statuses, (std::vector<std::string>{"Friend/F-/", "Blacklisted/-D/", "/-D/Drop news", "/--/",
                                                  "/F-/Partners"}));
    EXPECT_EQ(h.whitelisted, std::vector<std::string>{"vip@partner.example"});
    EXPECT_GE(h.friends.IndexOf("vip@partner.example"), 0);
    const auto left = server_->ListMessages(user);
    ASSERT_EQ(left.size(), 3u);
    for (const char* subject : {"Subject: friend", "Subject: unknown", "Subject: welcome"})
        EXPECT_TRUE(std::any_of(left.begin(), left.end(),
                                [&](const std::string& m) { return m.find(subject) != std::string::npos; }))
            << subject;
    EXPECT_EQ(h.inbox.Count(), 3);
    EXPECT_EQ(h.deleted.size(), 2u);
}

// --- the local pass -------------------------------------------------------

TEST_F(MailChkDovecot, LocalPassRebuildsTheInboxListAndDropsBlacklistedFiles)
{
    const std::string host = "pop.example";
    const std::string user = NewUser("local");
    const std::string login = user + "@" + host;
    server_->Deliver(login, MakeMail("a@ok.example", "keep", "one", ""));
    server_->Deliver(login, MakeMail("b@junk.example", "drop", "two"));

    TMailCheckerSettings settings = CheckerFastSettings();
    settings.LocalPOP3Port = server_->Pop3Port();
    CheckerHarness h(true, settings);
    h.AddAccount("Local", host, 995, user, "pw-" + user, 2, true); // remote settings do not apply
    h.AddAccount("NoPassword", host, 995, "nobody", "");
    h.blacklist.AddAddress("*@junk.example");

    EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts();

    ASSERT_EQ(h.newMessages.size(), 1u);
    const TKnownMessage* entry = h.inbox.Find(h.newMessages[0]);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Subject(), "keep");
    EXPECT_EQ(entry->Account(), "Local");
    EXPECT_EQ(entry->Date(), 0.0);
    EXPECT_EQ(entry->DateText(), "30/12/1899");
    EXPECT_EQ(h.deleted.size(), 1u);
    EXPECT_FALSE(h.deletedHadEntry);
    ASSERT_EQ(server_->ListMessages(login).size(), 1u);
    EXPECT_EQ(h.states, (std::vector<std::uint8_t>{kStateConnectingLocal, kStateRetrievingLocal}));
    EXPECT_TRUE(Has(h.statuses, "Connecting to local Local"));
    EXPECT_FALSE(Has(h.statuses, "Checking mail on NoPassword")) << "no saved password: not visited";
    EXPECT_EQ(h.after, (std::vector<std::pair<std::string, bool>>{{"Local", false}}));
}

} // namespace
} // namespace bm::test
