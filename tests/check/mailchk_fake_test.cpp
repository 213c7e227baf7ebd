// TMailCheckerMdl against a scripted POP3 server on loopback: connections cut
// or stalled in the middle of a message, malformed replies, refused DELE,
// UIDL numbering, STLS refused, and a stop from another thread.
#include "tests/check/mailchk_fakepop3.h"
#include "tests/check/mailchk_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace bm::test {
namespace {

using Reaction = FakePop3Server::Reaction;

std::vector<FakePop3Server::Mail> ThreeMails()
{
    return {{"uid-1", MakeMail("a@x.example", "m1", "first\r\n.dotted line")},
            {"uid-2", MakeMail("b@x.example", "m2", std::string(5000, 'b'))},
            {"uid-3", MakeMail("c@x.example", "m3", "third")}};
}

TMailCheckerSettings ShortReads(int readTimeoutMs)
{
    TMailCheckerSettings s = CheckerFastSettings();
    s.Client.ReadTimeoutMs = readTimeoutMs;
    return s;
}

// --- a session that breaks in the middle of a message -----------------------

struct BreakCase {
    const char* name;
    bool hangUp; // else the server stalls until the client's read time-out
    const char* error;
    bool pipelining = false; // retrievals sent ahead (RFC 2449 PIPELINING)
};

// The account's error names the cause and how far the pass got; the
// connection's own "Connection Closed Gracefully." would never be shown.
const char* const kCutAtTwo = "The server closed the connection at message 2; 1 of 3 messages of the mailbox "
                              "were handled, the others stay on the server.";
const char* const kStalledAtTwo = "Read timed out at message 2; 1 of 3 messages of the mailbox were handled, "
                                  "the others stay on the server.";

class MailChkBrokenRetr : public ::testing::TestWithParam<BreakCase> {};

TEST_P(MailChkBrokenRetr, LeavesEveryMessageOnTheServer)
{
    const BreakCase& c = GetParam();
    const auto mails = ThreeMails();
    FakePop3Server server(mails, [&](const std::string& line, TcpConnection& conn) {
        if (line != "RETR 2")
            return Reaction::Default;
        const std::string text = "+OK\r\n" + FakePop3Server::DotStuffed(mails[1].Text);
        conn.Write(text.substr(0, text.size() / 2), 5000);
        return c.hangUp ? Reaction::Hangup : Reaction::Handled;
    }, "+OK ready", c.pipelining ? std::vector<std::string>{"UIDL", "PIPELINING"} : std::vector<std::string>{"UIDL"});
    CheckerHarness h(false, ShortReads(c.hangUp ? 10000 : 300));
    h.AddAccount("Broken", "127.0.0.1", server.Port(), "u", "p");

    EXPECT_FALSE(h.CheckAll());
    const auto lines = server.Finish();

    EXPECT_FALSE(FakePop3Server::Received(lines, "DELE")) << "nothing handled may be lost, nothing else deleted";
    EXPECT_FALSE(FakePop3Server::Received(lines, "QUIT")) << "a broken session must not commit";
    EXPECT_EQ(h.subjects, std::vector<std::string>{"m1"});
    EXPECT_TRUE(std::filesystem::exists(MessageFilePath("Broken", "uid-1", false)));
    ASSERT_EQ(h.errors.size(), 1u) << h.ErrorTexts();
    EXPECT_EQ(h.errors[0].Text, c.error);
    EXPECT_EQ(h.errors[0].Account, "Broken");
    EXPECT_EQ(h.inbox.Count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, MailChkBrokenRetr,
                         ::testing::Values(BreakCase{"cut", true, kCutAtTwo},
                                           BreakCase{"stalled", false, kStalledAtTwo},
                                           BreakCase{"cut_pipelined", true, kCutAtTwo, true},
                                           BreakCase{"stalled_pipelined", false, kStalledAtTwo, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- malformed replies -------------------------------------------------------

struct MalformedCase {
    const char* name;
    const char* command;  // the line answered badly ("" for the greeting)
    std::string reply;
    std::string error;
    bool hangUp = false; // after the reply
};

class MailChkMalformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MailChkMalformed, EndsTheSessionWithoutQuit)
{
    const MalformedCase& c = GetParam();
    const bool greeting = std::string(c.command).empty();
    FakePop3Server server(
        ThreeMails(),
        [&](const std::string& line, TcpConnection& conn) {
            if (greeting || line != c.command)
                return Reaction::Default;
            conn.Write(c.reply, 5000);
            return c.hangUp ? Reaction::Hangup : Reaction::Handled;
        },
        greeting ? c.reply.substr(0, c.reply.size() - 2) : "+OK fake ready");
    CheckerHarness h;
    h.AddAccount("Malformed", "127.0.0.1", server.Port(), "u", "p");

    EXPECT_FALSE(h.CheckAll());
    const auto lines = server.Finish();

    ASSERT_EQ(h.errors.size(), 1u) << h.ErrorTexts();
    EXPECT_EQ(h.errors[0].Text, c.error);
    EXPECT_FALSE(FakePop3Server::Received(lines, "QUIT"));
    EXPECT_FALSE(FakePop3Server::Received(lines, "DELE"));
    EXPECT_TRUE(h.processed.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, MailChkMalformed,
    ::testing::Values(MalformedCase{"greeting", "", "HELLO\r\n", "Invalid POP3 response: HELLO"},
                      MalformedCase{"stat_word", "STAT", "+OKAY 3 300\r\n", "Invalid POP3 response: +OKAY 3 300"},
                      MalformedCase{"uidl_status", "UIDL", "what?\r\n", "Invalid POP3 response: what?"},
                      MalformedCase{"uidl_never_ends", "UIDL", "+OK\r\n1 a\r\n", "The server closed the connection.", true},
                      MalformedCase{"long_line", "STAT", "+OK " + std::string(20000, '9') + "\r\n",
                                    "Invalid POP3 response: +OK " + std::string(76, '9')},
                      MalformedCase{"user_reply", "USER u", "\r\n", "Invalid POP3 response: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MailChkFake, RefusedListOrRetrIsReportedAndThePassGoesOn)
{
    FakePop3Server server(ThreeMails(), [](const std::string& line, TcpConnection& conn) {
        if (line == "LIST 1" || line == "RETR 2") {
            conn.WriteLine("-ERR message locked", 5000);
            return Reaction::Handled;
        }
        return Reaction::Default;
    });
    CheckerHarness h;
    h.AddAccount("Refused", "127.0.0.1", server.Port(), "u", "p");

    EXPECT_TRUE(h.CheckAll());
    const auto lines = server.Finish();

    EXPECT_EQ(h.subjects, std::vector<std::string>{"m3"});
    EXPECT_EQ(h.ErrorTexts(), "Refused: message locked\nRefused: message locked\n");
    EXPECT_TRUE(FakePop3Server::Received(lines, "DELE 3"));
    EXPECT_FALSE(FakePop3Server::Received(lines, "DELE 1"));
    EXPECT_FALSE(FakePop3Server::Received(lines, "DELE 2"));
    EXPECT_TRUE(FakePop3Server::Received(lines, "QUIT"));
}

TEST(MailChkFake, MessageOverTheSizeLimitStaysAndThePassGoesOn)
{
    TMailCheckerSettings settings = CheckerFastSettings();
    settings.Client.MaxMessageBytes = 2000;
    FakePop3Server server(ThreeMails());
    CheckerHarness h(false, settings);
    h.AddAccount("Limit", "127.0.0.1", server.Port(), "u", "p");

    EXPECT_TRUE(h.CheckAll());
    const auto lines = server.Finish();

    EXPECT_EQ(h.subjects, (std::vector<std::string>{"m1", "m3"}));
    EXPECT_EQ(h.ErrorTexts(), "Limit: Message too large.\n");
    EXPECT_FALSE(FakePop3Server::Received(lines, "DELE 2"));
    EXPECT_TRUE(FakePop3Server::Received(lines, "DELE 3"));
}

// --- deletion ---------------------------------------------------------------

TEST(MailChkFake, RefusedDeleIsIgnoredAndTheRestIsCommitted)
{
    FakePop3Server server(ThreeMails(), [](const std::string& line, TcpConnection& conn) {
        if (line == "DELE 1") {
            conn.WriteLine("-ERR cannot", 5000);
            return Reaction::Handled;
        }
        return Reaction::Default;
    });
    CheckerHarness h;
    h.AddAccount("Dele", "127.0.0.1", server.Port(), "u", "p");

    EXPECT_TRUE(h.CheckAll());
    const auto lines = server.Finish();

    EXPECT_EQ(h.deleted, (std::vector<std::string>{"uid-2", "uid-3"}));
    EXPECT_EQ(h.ErrorTexts(), "");
    EXPECT_EQ(lines.back(), "QUIT");
    EXPECT_EQ(h.inbox.Count(), 0) << "met as new at the next check";
}

TEST(MailChkFake, UidlNumbersAndIdsFollowTheListingLines)
{
    // "3 abc/def": number 3, id abc_def; a line without a number takes its
    // position; ids that differ only in letter case are different messages.
    std::vector<FakePop3Server::Mail> mails = ThreeMails();
    FakePop3Server server(mails, [](const std::string& line, TcpConnection& conn) {
        if (line != "UIDL")
            return Reaction::Default;
        conn.Write("+OK\r\n3 abc/def\r\nx  Spaced \r\n1 ABC_DEF\r\n.\r\n", 5000);
        return Reaction::Handled;
    });
    CheckerHarness h;
    h.AddAccount("Numbers", "127.0.0.1", server.Port(), "u", "p");
    h.handler = [](const std::string& uidl, TMailMessage& m, TKnownMessage& e) {
        if (m.Subject == "m3")
            return CheckerHarness::StoreAndDelete(uidl, m, e);
        return true; // the others stay on the server
    };

    EXPECT_TRUE(h.CheckAll());
    const auto lines = server.Finish();

    EXPECT_EQ(h.processed, (std::vector<std::string>{"abc_def", "Spaced", "ABC_DEF"}));
    EXPECT_EQ(h.subjects, (std::vector<std::string>{"m3", "m2", "m1"}));
    EXPECT_TRUE(FakePop3Server::Received(lines, "RETR 3"));
    EXPECT_TRUE(FakePop3Server::Received(lines, "RETR 2"));
    EXPECT_TRUE(FakePop3Server::Received(lines, "DELE 3"));
    EXPECT_FALSE(FakePop3Server::Received(lines, "DELE 1")) << "only the handled id's own number";
    ASSERT_NE(h.inbox.Find("Spaced"), nullptr);
    EXPECT_EQ(h.inbox.Find("Spaced")->Subject(), "m2");
}

TEST(MailChkFake, IdsThatCollideOnceSafeAreToldApartAndPipelinedAnswersStayInStep)
{
    // "a/b" and "a\b" are one id once made file-name safe: each gets an id
    // of its own, neither overwrites the other's file.
    FakePop3Server server(
        ThreeMails(),
        [](const std::string& line, TcpConnection& conn) {
            if (line != "UIDL")
                return Reaction::Default;
            conn.Write("+OK\r\n1 a/b\r\n2 a\\b\r\n3 c\r\n.\r\n", 5000);
            return Reaction::Handled;
        },
        "+OK ready", {"UIDL", "PIPELINING"});
    CheckerHarness h;
    h.AddAccount("Dup", "127.0.0.1", server.Port(), "u", "p");

    EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts();
    const auto lines = server.Finish();

    EXPECT_EQ(h.processed, (std::vector<std::string>{MakeHashedMessageId("a/b"), MakeHashedMessageId("a\\b"), "c"}));
    EXPECT_NE(h.processed[0], h.processed[1]);
    EXPECT_EQ(h.subjects, (std::vector<std::string>{"m1", "m2", "m3"}));
    EXPECT_TRUE(FakePop3Server::Received(lines, "DELE 1"));
    EXPECT_TRUE(FakePop3Server::Received(lines, "DELE 2"));
    EXPECT_TRUE(FakePop3Server::Received(lines, "DELE 3"));
    EXPECT_EQ(lines.back(), "QUIT");
    EXPECT_EQ(h.ErrorTexts(), "");
}

TEST(MailChkFake, WholePassWithAnswersArrivingAByteAtATime)
{
    for (const bool pipelining : {false, true}) {
        FakePop3Server server(ThreeMails(), {}, "+OK ready",
                              pipelining ? std::vector<std::string>{"UIDL", "PIPELINING"}
                                         : std::vector<std::string>{"UIDL"});
        server.SetByteAtATime(true);
        CheckerHarness h;
        h.AddAccount("Bytes", "127.0.0.1", server.Port(), "u", "p");
        EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts();
        const auto lines = server.Finish();
        EXPECT_EQ(h.subjects, (std::vector<std::string>{"m1", "m2", "m3"})) << pipelining;
        EXPECT_EQ(lines.back(), "QUIT");
        EXPECT_EQ(h.deleted.size(), 3u);
        TMailMessage stored;
        stored.LoadFromFile(MessageFilePath("Bytes", "uid-1", false));
        ASSERT_FALSE(stored.Body.empty());
        EXPECT_EQ(stored.Body.back(), ".dotted line") << "dot-stuffing undone once";
    }
}

TEST(MailChkFake, EmptyMailboxSendsNoUidl)
{
    FakePop3Server server({});
    CheckerHarness h;
    h.AddAccount("Empty", "127.0.0.1", server.Port(), "u", "p");
    EXPECT_FALSE(h.CheckAll());
    const auto lines = server.Finish();
    EXPECT_FALSE(FakePop3Server::Received(lines, "UIDL"));
    EXPECT_EQ(lines.back(), "QUIT");
    EXPECT_EQ(h.after.size(), 1u);
}

// --- STLS ---------------------------------------------------------------------
// (SASL mechanism fallback: mailchk_sasl_test.cpp)

TEST(MailChkFake, RequiredTlsRefusedNeverSendsThePassword)
{
    FakePop3Server server(ThreeMails(), {}, "+OK ready", {"UIDL", "USER"});
    CheckerHarness h;
    h.AddAccount("Required", "127.0.0.1", server.Port(), "u", "p", 3);

    EXPECT_FALSE(h.CheckAll());
    const auto lines = server.Finish();

    EXPECT_TRUE(FakePop3Server::Received(lines, "STLS"));
    EXPECT_FALSE(FakePop3Server::Received(lines, "USER"));
    EXPECT_FALSE(FakePop3Server::Received(lines, "PASS"));
    EXPECT_EQ(h.ErrorTexts(), "Required: unknown command\n");
}

TEST(MailChkFake, ExplicitTlsNotOfferedGoesOnInPlainText)
{
    FakePop3Server server(ThreeMails(), {}, "+OK ready", {"UIDL", "USER"});
    CheckerHarness h;
    h.AddAccount("Explicit", "127.0.0.1", server.Port(), "u", "p", 1);

    EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts();
    const auto lines = server.Finish();

    EXPECT_FALSE(FakePop3Server::Received(lines, "STLS"));
    EXPECT_EQ(h.subjects.size(), 3u);
}

// --- stop from another thread --------------------------------------------------

TEST(MailChkFake, AbortFromAnotherThreadEndsAWaitForTheGreetingSilently)
{
    FakePop3Server server(ThreeMails(), {}, ""); // accepts, never greets
    CheckerHarness h(false, ShortReads(kNoTimeout));
    h.AddAccount("Waiting", "127.0.0.1", server.Port(), "u", "p");
    h.AddAccount("Next", "127.0.0.1", server.Port(), "u", "p");
    std::thread stopper([&] {
        server.WaitForClient();
        h.stop = true;
        h.checker->AbortConnection();
    });

    EXPECT_FALSE(h.CheckAll());
    stopper.join();

    EXPECT_EQ(h.ErrorTexts(), "");
    EXPECT_TRUE(h.prompts.empty());
    EXPECT_EQ(h.after.size(), 1u) << "the account's steps go on; no further account";
    EXPECT_EQ(h.after[0].first, "Waiting");
}

// Which "-ERR" answers of the connect step count as a refused login (the
// credentials prompt) and which are reported.
struct RefusalCase {
    const char* name;
    const char* greeting;
    const char* passReply; // answer to PASS, or nullptr for +OK
    const char* password;
    bool prompted;
};

class MailChkRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(MailChkRefusal, PromptsOrReports)
{
    const RefusalCase& c = GetParam();
    FakePop3Server server(
        ThreeMails(),
        [&](const std::string& line, TcpConnection& conn) {
            if (!c.passReply || line.rfind("PASS", 0) != 0)
                return Reaction::Default;
            conn.WriteLine(c.passReply, 5000);
            return Reaction::Handled;
        },
        c.greeting);
    CheckerHarness h;
    h.AddAccount("Refusal", "127.0.0.1", server.Port(), "u", c.password);
    EXPECT_FALSE(h.CheckAll());
    server.Finish();
    EXPECT_EQ(h.prompts.size(), c.prompted ? 1u : 0u);
    EXPECT_EQ(h.errors.size(), c.prompted ? 0u : 1u) << h.ErrorTexts();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MailChkRefusal,
    ::testing::Values(RefusalCase{"pass_refused_any_text", "+OK hi", "-ERR no such mailbox or wrong secret", "p", true},
                      RefusalCase{"pass_auth_code", "+OK hi", "-ERR [AUTH] Authentication failed.", "p", true},
                      // RFC 2449 §8.1, RFC 3206: the server's state, not the credentials.
                      RefusalCase{"pass_in_use", "+OK hi", "-ERR [IN-USE] Mailbox locked by another session", "p", false},
                      RefusalCase{"pass_sys_temp", "+OK hi", "-ERR [SYS/TEMP] try later", "p", false},
                      RefusalCase{"pass_sys_temp_no_saved_password", "+OK hi", "-ERR [SYS/TEMP] try later", "", false},
                      RefusalCase{"pass_login_delay", "+OK hi", "-ERR [LOGIN-DELAY] wait 5 minutes", "p", false},
                      RefusalCase{"greeting_in_use_says_login", "-ERR [IN-USE] login in progress", nullptr, "p", false},
                      RefusalCase{"greeting_permission_denied", "-ERR Permission denied", nullptr, "p", true},
                      RefusalCase{"greeting_user_and_pass", "-ERR bad USER or PASS", nullptr, "p", true},
                      RefusalCase{"greeting_login", "-ERR Login disabled", nullptr, "p", true},
                      RefusalCase{"greeting_busy", "-ERR server busy", nullptr, "p", false},
                      RefusalCase{"greeting_busy_no_saved_password", "-ERR server busy", nullptr, "", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MailChkFake, CredentialsPromptUnsetIsCancel)
{
    FakePop3Server server(ThreeMails(), [](const std::string& line, TcpConnection& conn) {
        if (line.rfind("PASS", 0) != 0)
            return Reaction::Default;
        conn.WriteLine("-ERR [AUTH] Authentication failed.", 5000);
        return Reaction::Handled;
    });
    CheckerHarness h;
    h.checker->OnGetCredentials = nullptr;
    h.AddAccount("Unset", "127.0.0.1", server.Port(), "u", "p");
    EXPECT_FALSE(h.CheckAll());
    server.Finish();
    EXPECT_EQ(h.ErrorTexts(), "");
}

} // namespace
} // namespace bm::test
