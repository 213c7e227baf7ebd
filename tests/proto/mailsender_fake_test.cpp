// TMailSender against a scripted server, for what a real server does not do on
// demand: refusing EHLO, falling silent mid-dialogue, mixed 4xx/5xx replies,
// replies arriving a byte at a time, and an abort from another thread.
#include "tests/proto/mailsender_support.h"

#include "store/ffdatamdl.h"
#include "store/threaddatamdl.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <thread>

namespace bm {
namespace {

using test::ScriptedSmtpServer;
using test::ScriptStep;
using test::SenderWorld;

using Script = std::vector<ScriptStep>;

const ScriptStep kGreet{"<connect>", "220 fake.test ESMTP\r\n"};
const ScriptStep kEhlo{"EHLO client.test", "250-fake.test\r\n250 8BITMIME\r\n"};
const ScriptStep kEhloAuth{"EHLO client.test", "250-fake.test\r\n250 AUTH LOGIN PLAIN\r\n"};
const ScriptStep kMail{"MAIL FROM:<me@example.org>", "250 ok\r\n"};
const ScriptStep kRcpt{"RCPT TO:<bob@example.org>", "250 ok\r\n"};
const ScriptStep kData{"DATA", "354 go on\r\n"};
const ScriptStep kDot{".", "250 queued\r\n"};
const ScriptStep kQuit{"QUIT", "221 bye\r\n"};
// AUTH LOGIN of "smtpuser" / "smtppass" (RFC 4954 §4, base64 of each).
const std::vector<ScriptStep> kLogin{{"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
                                     {"c210cHVzZXI=", "334 UGFzc3dvcmQ6\r\n"},
                                     {"c210cHBhc3M=", "235 ok\r\n"}};

Script Join(std::initializer_list<std::vector<ScriptStep>> parts)
{
    Script s;
    for (const auto& p : parts)
        s.insert(s.end(), p.begin(), p.end());
    return s;
}

struct RelayCase {
    const char* name;
    Script script;
    bool loginRequired;     // the account's LoginRequired before the send
    bool sent;
    std::string lastError;
    bool learned;           // LoginRequired after the send
    int readTimeoutMs = 2000;
};

class SenderScripted : public testing::TestWithParam<RelayCase> {};

TEST_P(SenderScripted, RelayFollowsTheServersReplies)
{
    const RelayCase& c = GetParam();
    ScriptedSmtpServer server(c.script);
    SenderWorld w(server.Port(), 0, test::FastSettings(c.readTimeoutMs));
    w.account->Outgoing().SetLoginRequired(c.loginRequired);
    w.sender->CaptureErrors = true;

    EXPECT_EQ(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true), c.sent);
    EXPECT_EQ(w.sender->LastError, c.lastError);
    EXPECT_EQ(w.account->Outgoing().LoginRequired(), c.learned);
    server.Finish();
    EXPECT_TRUE(server.Mismatches().empty()) << testing::PrintToString(server.Mismatches());
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, SenderScripted,
    testing::Values(
        RelayCase{"helo_fallback",
                  {kGreet, {"EHLO", "502 5.5.2 EHLO not recognized\r\n"}, {"HELO client.test", "250 fake\r\n"},
                   kMail, kRcpt, kData, kDot, kQuit},
                  false, true, "", false},
        RelayCase{"helo_refused_too",
                  {kGreet, {"EHLO", "502 no\r\n"}, {"HELO", "501 no either\r\n"}},
                  false, false, "no either", false},
        RelayCase{"greeting_refused", {{"<connect>", "554 5.3.2 no service\r\n"}},
                  false, false, "5.3.2 no service", false},
        RelayCase{"authentication_required_retried_with_login",
                  Join({{kGreet, kEhloAuth, {"MAIL", "530 5.7.0 Authentication required\r\n"}, kQuit},
                        {kGreet, kEhloAuth}, kLogin, {kMail, kRcpt, kData, kDot, kQuit}}),
                  false, true, "", true},
        RelayCase{"relay_denied_at_rcpt_retried_with_login",
                  Join({{kGreet, kEhloAuth, kMail,
                         {"RCPT", "554 5.7.1 <bob@example.org>: Relay access denied\r\n"},
                         {"RSET", "250 ok\r\n"}, kQuit},
                        {kGreet, kEhloAuth}, kLogin, {kMail, kRcpt, kData, kDot, kQuit}}),
                  false, true, "", true},
        RelayCase{"temporary_refusal_is_not_retried_with_login",
                  {kGreet, kEhloAuth, {"MAIL", "451 4.7.1 Try again later\r\n"}, kQuit},
                  false, false, "4.7.1 Try again later", false},
        RelayCase{"unknown_user_is_not_retried_with_login",
                  {kGreet, kEhloAuth, kMail, {"RCPT", "550 5.1.1 <bob@example.org>: User unknown\r\n"},
                   {"RSET", "250 ok\r\n"}, kQuit},
                  false, false, "5.1.1 <bob@example.org>: User unknown", false},
        RelayCase{"login_refused_on_retry",
                  Join({{kGreet, kEhloAuth, {"MAIL", "530 5.7.0 authentication required\r\n"}, kQuit},
                        {kGreet, kEhloAuth, {"AUTH LOGIN", "535 5.7.8 bad credentials\r\n"}, kQuit}}),
                  false, false, "5.7.8 bad credentials", false},
        RelayCase{"greylisted_recipient_is_no_success",
                  {kGreet, kEhlo, kMail,
                   {"RCPT", "450 4.2.0 <Bob@Example.org>: Recipient address rejected: Greylisted\r\n"},
                   {"RSET", "250 ok\r\n"}, kQuit},
                  false, false, "4.2.0 <Bob@Example.org>: Recipient address rejected: Greylisted", false},
        RelayCase{"data_refused_with_the_recipient_named",
                  {kGreet, kEhlo, kMail, kRcpt, kData, {".", "554 5.7.1 <bob@example.org>: rejected\r\n"}, kQuit},
                  false, false, "5.7.1 <bob@example.org>: rejected", false},
        RelayCase{"late_acceptance_after_time_out",
                  {kGreet, kEhlo, kMail, kRcpt, kData, {".", ""}, {"QUIT", "250 OK id=1\r\n221 bye\r\n"}},
                  false, true, "", false, 300},
        RelayCase{"late_acceptance_not_beginning_with_ok",
                  {kGreet, kEhlo, kMail, kRcpt, kData, {".", ""}, {"QUIT", "250 2.0.0 queued\r\n221 bye\r\n"}},
                  false, true, "", false, 300},
        RelayCase{"time_out_without_late_reply",
                  {kGreet, kEhlo, kMail, kRcpt, kData, {".", ""}, kQuit},
                  false, false, "Read timed out.", false, 300},
        RelayCase{"time_out_before_data_is_no_acceptance",
                  {kGreet, kEhlo, kMail, {"RCPT", ""}, {"QUIT", "250 OK\r\n221 bye\r\n"}},
                  false, false, "Read timed out.", false, 300},
        RelayCase{"garbage_reply",
                  {kGreet, {"EHLO", "hello there\r\n"}},
                  false, false, "Invalid SMTP reply: hello there", false}),
    [](const testing::TestParamInfo<RelayCase>& i) { return std::string(i.param.name); });

// The case above with the login known: fill in the dialogue after EHLO.
INSTANTIATE_TEST_SUITE_P(
    KnownLogin, SenderScripted,
    testing::Values(RelayCase{
        "data_refused_after_login",
        Join({{kGreet, kEhloAuth}, kLogin, {kMail, kRcpt, kData, {".", "554 5.6.0 rejected\r\n"}, kQuit}}),
        true, false, "5.6.0 rejected", true}),
    [](const testing::TestParamInfo<RelayCase>& i) { return std::string(i.param.name); });

TEST(SenderScriptedLines, MultiLineRepliesByteAtATimeWithAnOverlongLine)
{
    const std::string longText(6000, 'x');
    ScriptedSmtpServer server(
        {{"<connect>", "220-fake.test\r\n220-" + longText + "\r\n220 ready\r\n"},
         {"EHLO", "250-fake.test\r\n250-" + longText + "\r\n250-AUTH PLAIN\r\n250 SIZE 1000\r\n"},
         {"AUTH PLAIN AHNtdHB1c2VyAHNtdHBwYXNz", "235 ok\r\n"},
         kMail, kRcpt, kData, {".", "250-accepted\r\n250 really\r\n"}, kQuit},
        true);
    SenderWorld w(server.Port());
    w.account->Outgoing().SetLoginRequired(true);
    w.sender->CaptureErrors = true;

    EXPECT_TRUE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true))
        << w.sender->LastError;
    server.Finish();
    EXPECT_TRUE(server.Mismatches().empty()) << testing::PrintToString(server.Mismatches());
}

TEST(SenderScriptedLines, AbortFromAnotherThreadEndsAWaitingSend)
{
    ScriptedSmtpServer server(Script{{"<connect>", ""}});  // accepts, then never greets
    SenderWorld w(server.Port(), 0, test::FastSettings(60000));
    w.sender->CaptureErrors = true;
    bool sent = true;
    std::thread sending([&] { sent = w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true); });
    server.WaitForConnection();
    w.sender->Abort();
    sending.join();
    EXPECT_FALSE(sent);
    EXPECT_EQ(w.sender->LastError, "Connection aborted.");

    // The abort holds for later sends too: a stopping owner's next relay
    // does not wait for its time-outs.
    w.sender->LastError.clear();
    EXPECT_FALSE(w.sender->SendMail(*w.account, test::SimpleMessage("bob@example.org"), true));
    EXPECT_EQ(w.sender->LastError, "Connection aborted.");
}

// ---- Queue refusals ---------------------------------------------------------------

struct RefusalCase {
    const char* name;
    Script firstRow;   // the dialogue of the first row after MAIL
    bool leaves;       // the row leaves the queue and its key is marked
    std::string reported;  // "" when nothing is reported
};

class SenderQueueRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(SenderQueueRefusal, ARowIsJudgedByTheReplyCodeAndNeverStopsTheNext)
{
    const RefusalCase& c = GetParam();
    test::TempDir dir;
    TFFData main(dir.path() / "q.db");
    TThreadData data(dir.path() / "q.db");
    const int key = data.AppendKey("KEY1", "bob@example.org ", false);
    const int next = data.AppendKey("KEY2", "bob@example.org ", false);
    data.QueueMessage("Work", key, test::SimpleMessage("bob@example.org"));
    data.QueueMessage("Work", next, test::SimpleMessage("bob@example.org"));
    Script script = Join({{kGreet, kEhlo, kMail}, c.firstRow, {kMail, kRcpt, kData, kDot, kQuit}});
    ScriptedSmtpServer server(script);
    SenderWorld w(server.Port());
    // Known, so that a refusal is final on this connection (no second
    // connection with login); the server offers no AUTH, so none is sent.
    w.account->Outgoing().SetLoginRequired(true);

    w.sender->SendQueue(*w.account, data);

    server.Finish();
    EXPECT_TRUE(server.Mismatches().empty()) << testing::PrintToString(server.Mismatches());
    EXPECT_EQ(data.AcctQueue("Work").size(), c.leaves ? 0u : 1u);
    EXPECT_EQ(data.FindKeyById(key)->MessageSent, c.leaves);
    EXPECT_TRUE(data.FindKeyById(next)->MessageSent);
    const std::vector<std::string> expected =
        c.reported.empty() ? std::vector<std::string>{} : std::vector<std::string>{"Work: " + c.reported};
    EXPECT_EQ(w.errors, expected);
}

const ScriptStep kRset{"RSET", "250 ok\r\n"};

INSTANTIATE_TEST_SUITE_P(
    Replies, SenderQueueRefusal,
    testing::Values(
        RefusalCase{"unknown_user", {{"RCPT", "550 5.1.1 <BOB@example.org> unknown\r\n"}, kRset}, true,
                    "Message to bob@example.org refused: 550 5.1.1 <BOB@example.org> unknown"},
        RefusalCase{"address_syntax", {{"RCPT", "553 5.1.3 Bad recipient address syntax\r\n"}, kRset}, true,
                    "Message to bob@example.org refused: 553 5.1.3 Bad recipient address syntax"},
        RefusalCase{"relay_denied_with_login_required_known", {{"RCPT", "554 5.7.1 <bob@example.org>: Relay access denied\r\n"}, kRset},
                    true, "Message to bob@example.org refused: 554 5.7.1 <bob@example.org>: Relay access denied"},
        RefusalCase{"data_refused", {kRcpt, kData, {".", "554 5.7.1 Message rejected as spam\r\n"}}, true,
                    "Message to bob@example.org refused: 554 5.7.1 Message rejected as spam"},
        RefusalCase{"greylisted",
                    {{"RCPT", "450 4.2.0 <bob@example.org>: Recipient address rejected: Greylisted\r\n"}, kRset},
                    false, ""},
        RefusalCase{"mailbox_full", {{"RCPT", "452 4.2.2 Mailbox full\r\n"}, kRset}, false, ""},
        RefusalCase{"data_deferred", {kRcpt, kData, {".", "451 4.7.1 Try again later\r\n"}}, false, ""}),
    [](const testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

TEST(SenderQueueMailRefused, AMailFromRefusalIsReportedAndTheRowStays)
{
    // The account's own address is refused, not the recipients: the user
    // can mend it, so the challenge is kept.
    test::TempDir dir;
    TFFData main(dir.path() / "q.db");
    TThreadData data(dir.path() / "q.db");
    const int key = data.AppendKey("KEY1", "bob@example.org ", false);
    data.QueueMessage("Work", key, test::SimpleMessage("bob@example.org"));
    ScriptedSmtpServer server({kGreet, kEhlo, {"MAIL", "553 5.7.1 <me@example.org>: Sender address rejected\r\n"},
                               kQuit});
    SenderWorld w(server.Port());
    w.account->Outgoing().SetLoginRequired(true);

    w.sender->SendQueue(*w.account, data);

    server.Finish();
    EXPECT_TRUE(server.Mismatches().empty()) << testing::PrintToString(server.Mismatches());
    EXPECT_EQ(data.AcctQueue("Work").size(), 1u);
    EXPECT_FALSE(data.FindKeyById(key)->MessageSent);
    EXPECT_EQ(w.errors, std::vector<std::string>{
                            "Work: Message to bob@example.org refused: 553 5.7.1 <me@example.org>: Sender address rejected"});
}

} // namespace
} // namespace bm
