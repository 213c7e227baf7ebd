// The SMTP client's reply parser, EHLO capability reading and the DATA text
// of the two text forms.
#include "proto/smtpreplyU.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

struct ReplyCase {
    const char* name;
    std::vector<std::string> lines;
    int code;
    std::string text;
    std::string error;  // "" when the reply is valid
};

class ReplyParse : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyParse, ReadsCodeAndTextOrFails)
{
    const ReplyCase& c = GetParam();
    TSmtpReplyParser parser(3);
    bool done = false;
    std::string error;
    try {
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            done = parser.Feed(c.lines[i]);
            EXPECT_EQ(done, i + 1 == c.lines.size()) << "line " << i;
        }
    } catch (const ESmtpProtocolError& e) {
        error = e.what();
    }
    EXPECT_EQ(error, c.error);
    if (c.error.empty()) {
        ASSERT_TRUE(done);
        EXPECT_EQ(parser.Reply().Code, c.code);
        EXPECT_EQ(parser.Reply().Text(), c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyParse,
    testing::Values(
        ReplyCase{"single", {"250 OK"}, 250, "OK", ""},
        ReplyCase{"code_only", {"354"}, 354, "", ""},
        ReplyCase{"multi_line", {"250-mx.test", "250-PIPELINING", "250 AUTH LOGIN"}, 250,
                  "mx.test PIPELINING AUTH LOGIN", ""},
        ReplyCase{"empty_continuation", {"250-", "250 done"}, 250, "done", ""},
        ReplyCase{"no_code", {"hello"}, 0, "", "Invalid SMTP reply: hello"},
        ReplyCase{"short", {"25"}, 0, "", "Invalid SMTP reply: 25"},
        ReplyCase{"bad_separator", {"250:OK"}, 0, "", "Invalid SMTP reply: 250:OK"},
        ReplyCase{"codes_differ", {"250-a", "550 b"}, 0, "", "Invalid SMTP reply: 550 b"},
        ReplyCase{"too_many_lines", {"250-a", "250-b", "250-c", "250 d"}, 0, "",
                  "Invalid SMTP reply: more than 3 lines"}),
    [](const testing::TestParamInfo<ReplyCase>& i) { return std::string(i.param.name); });

TEST(ReplyError, CarriesTheTextWithoutCode)
{
    TSmtpReplyParser parser(10);
    parser.Feed("550-5.1.1 <bob@example.org>:");
    parser.Feed("550 5.1.1 Recipient address rejected");
    const ESmtpReplyError e(parser.Reply());
    EXPECT_EQ(e.Code(), 550);
    EXPECT_STREQ(e.what(), "5.1.1 <bob@example.org>: 5.1.1 Recipient address rejected");
}

// ---- Judging a reply by its code -------------------------------------------------

struct JudgeCase {
    const char* name;
    std::string line;       // one reply line as the server sends it
    bool transient;
    bool permanent;
    std::string enhanced;
    std::string textWithoutEnhanced;
    bool loginWouldCure;
};

class ReplyJudged : public testing::TestWithParam<JudgeCase> {};

TEST_P(ReplyJudged, ByItsCodesNotItsWords)
{
    const JudgeCase& c = GetParam();
    TSmtpReplyParser parser(1);
    ASSERT_TRUE(parser.Feed(c.line));
    const TSmtpReply& reply = parser.Reply();
    EXPECT_EQ(IsTransientReply(reply.Code), c.transient);
    EXPECT_EQ(IsPermanentReply(reply.Code), c.permanent);
    EXPECT_FALSE(IsPositiveReply(reply.Code));
    EXPECT_EQ(EnhancedStatusCode(reply), c.enhanced);
    EXPECT_EQ(TextWithoutEnhancedCode(reply), c.textWithoutEnhanced);
    EXPECT_EQ(LoginWouldCure(reply), c.loginWouldCure);
    EXPECT_EQ(reply.CodeAndText(), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ReplyJudged,
    testing::Values(
        JudgeCase{"postfix_relay_denied", "554 5.7.1 <bob@example.net>: Relay access denied", false, true,
                  "5.7.1", "<bob@example.net>: Relay access denied", true},
        JudgeCase{"postgrey_greylisted",
                  "450 4.2.0 <bob@example.net>: Recipient address rejected: Greylisted, see "
                  "http://postgrey.schweikert.ch/help/example.net.html",
                  true, false, "4.2.0",
                  "<bob@example.net>: Recipient address rejected: Greylisted, see "
                  "http://postgrey.schweikert.ch/help/example.net.html",
                  false},
        JudgeCase{"authentication_required", "530 5.7.0 Authentication required", false, true, "5.7.0",
                  "Authentication required", true},
        JudgeCase{"credentials_refused", "535 5.7.8 Authentication credentials invalid", false, true, "5.7.8",
                  "Authentication credentials invalid", true},
        JudgeCase{"policy_550", "550 5.7.1 Client host rejected", false, true, "5.7.1", "Client host rejected", true},
        JudgeCase{"unknown_user", "550 5.1.1 <bob@example.net>: User unknown", false, true, "5.1.1",
                  "<bob@example.net>: User unknown", false},
        JudgeCase{"policy_553_is_not_a_login_matter", "553 5.7.1 Sender address rejected", false, true, "5.7.1",
                  "Sender address rejected", false},
        JudgeCase{"temporary_policy", "451 4.7.1 Try again later", true, false, "4.7.1", "Try again later", false},
        JudgeCase{"no_enhanced_code", "550 Relay denied", false, true, "", "Relay denied", false},
        JudgeCase{"enhanced_class_differs", "550 4.7.1 odd", false, true, "", "4.7.1 odd", false},
        JudgeCase{"two_part_code_is_no_code", "554 5.7 denied", false, true, "", "5.7 denied", false},
        JudgeCase{"detail_too_long", "554 5.7.1234 denied", false, true, "", "5.7.1234 denied", false},
        JudgeCase{"code_only", "421", true, false, "", "", false}),
    [](const testing::TestParamInfo<JudgeCase>& i) { return std::string(i.param.name); });

struct CapsCase {
    const char* name;
    std::vector<std::string> lines;
    TSmtpCapabilities caps;
};

class Capabilities : public testing::TestWithParam<CapsCase> {};

TEST_P(Capabilities, AreReadFromTheKeywordLines)
{
    TSmtpReply reply;
    reply.Code = 250;
    reply.Lines = GetParam().lines;
    const TSmtpCapabilities caps = ReadCapabilities(reply);
    EXPECT_EQ(caps.StartTls, GetParam().caps.StartTls);
    EXPECT_EQ(caps.AuthLogin, GetParam().caps.AuthLogin);
    EXPECT_EQ(caps.AuthPlain, GetParam().caps.AuthPlain);
}

INSTANTIATE_TEST_SUITE_P(
    Ehlo, Capabilities,
    testing::Values(
        CapsCase{"none", {"mx.test"}, {false, false, false}},
        CapsCase{"greeting_line_ignored", {"mx.test STARTTLS AUTH LOGIN"}, {false, false, false}},
        CapsCase{"starttls", {"mx.test", "starttls"}, {true, false, false}},
        CapsCase{"auth_list", {"mx.test", "AUTH CRAM-MD5 plain LOGIN"}, {false, true, true}},
        CapsCase{"auth_plain_only", {"mx.test", "AUTH PLAIN"}, {false, false, true}},
        CapsCase{"old_auth_form", {"mx.test", "AUTH=LOGIN PLAIN"}, {false, true, true}},
        CapsCase{"auth_word_inside", {"mx.test", "XAUTH LOGIN"}, {false, false, false}}),
    [](const testing::TestParamInfo<CapsCase>& i) { return std::string(i.param.name); });

struct TextCase {
    const char* name;
    std::string input;
    std::string data;
};

class RawText : public testing::TestWithParam<TextCase> {};

TEST_P(RawText, IsStuffedAndEnded)
{
    EXPECT_EQ(StuffRawText(GetParam().input), GetParam().data);
}

INSTANTIATE_TEST_SUITE_P(
    Stuffing, RawText,
    testing::Values(
        TextCase{"empty", "", ".\r\n"},
        TextCase{"crlf_kept", "A: b\r\n\r\nbody\r\n", "A: b\r\n\r\nbody\r\n.\r\n"},
        TextCase{"unended_last_line", "A: b\r\n\r\nbody", "A: b\r\n\r\nbody\r\n.\r\n"},
        TextCase{"leading_dot", "A: b\r\n\r\n.hidden\r\n..two\r\n", "A: b\r\n\r\n..hidden\r\n...two\r\n.\r\n"},
        TextCase{"lone_dot_line", "A: b\r\n\r\n.\r\nafter\r\n", "A: b\r\n\r\n..\r\nafter\r\n.\r\n"},
        TextCase{"dot_inside_line", "A: b\r\n\r\nx.y\r\n", "A: b\r\n\r\nx.y\r\n.\r\n"},
        TextCase{"lone_lf", "A: b\n\n.x\n", "A: b\r\n\r\n..x\r\n.\r\n"},
        TextCase{"lone_cr", "A: b\r\r.x", "A: b\r\n\r\n..x\r\n.\r\n"}),
    [](const testing::TestParamInfo<TextCase>& i) { return std::string(i.param.name); });

class StoredText : public testing::TestWithParam<TextCase> {};

TEST_P(StoredText, IsSentAsItIsOnceEnded)
{
    EXPECT_EQ(CompleteStoredText(GetParam().input), GetParam().data);
}

INSTANTIATE_TEST_SUITE_P(
    Ending, StoredText,
    testing::Values(
        TextCase{"complete", "A: b\r\n\r\n..x\r\n.\r\n", "A: b\r\n\r\n..x\r\n.\r\n"},
        TextCase{"only_final_line", ".\r\n", ".\r\n"},
        TextCase{"final_line_missing", "A: b\r\n\r\nx\r\n", "A: b\r\n\r\nx\r\n.\r\n"},
        TextCase{"unended", "A: b\r\n\r\nx", "A: b\r\n\r\nx\r\n.\r\n"},
        TextCase{"stuffed_dot_line_is_not_the_end", "A: b\r\n\r\n..\r\n", "A: b\r\n\r\n..\r\n.\r\n"}),
    [](const testing::TestParamInfo<TextCase>& i) { return std::string(i.param.name); });

TEST(ContainsIgnoringCase, FindsAddressesInAnyCase)
{
    EXPECT_TRUE(ContainsIgnoringCase("550 <Bob@Example.org> refused", "bob@example.ORG"));
    EXPECT_FALSE(ContainsIgnoringCase("550 refused", "bob@example.org"));
    EXPECT_FALSE(ContainsIgnoringCase("anything", ""));
}

} // namespace
} // namespace bm
