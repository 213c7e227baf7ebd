// The POP3 client's SASL fallback from one mechanism to the next, over a
// scripted server on loopback (the choices and responses themselves:
// tests/proto/pop3sasl_test.cpp).
#include "proto/pop3clientU.h"
#include "tests/check/mailchk_fakepop3.h"
#include "tests/check/mailchk_support.h"

#include <gtest/gtest.h>

namespace bm::test {
namespace {

using Reaction = FakePop3Server::Reaction;

// How the scripted server answers AUTH: not at all (its default "-ERR"), or
// CRAM-MD5 with a challenge whose digest it accepts or refuses, PLAIN always.
enum class AuthScript { None, CramMD5Accepted, CramMD5Refused };

FakePop3Server::React AuthServer(AuthScript script, std::vector<std::string>& cramResponses)
{
    if (script == AuthScript::None)
        return {};
    const bool failCram = script == AuthScript::CramMD5Refused;
    return [failCram, &cramResponses, pending = std::string()](const std::string& line,
                                                               TcpConnection& conn) mutable {
        if (line == "AUTH CRAM-MD5") {
            pending = "<1896.697170952@postoffice.example>";
            conn.WriteLine("+ " + EncodeBase64(pending), 5000);
            return Reaction::Handled;
        }
        if (!pending.empty()) {
            cramResponses.push_back(line);
            const bool right = line == SaslCramMD5Response("u", "p", pending);
            pending.clear();
            conn.WriteLine(right && !failCram ? "+OK logged in" : "-ERR [AUTH] failed", 5000);
            return Reaction::Handled;
        }
        if (line == "AUTH PLAIN") {
            conn.WriteLine("+ ", 5000);
            return Reaction::Handled;
        }
        if (line == SaslPlainResponse("u", "p")) {
            conn.WriteLine("+OK plain in", 5000);
            return Reaction::Handled;
        }
        return Reaction::Default;
    };
}

struct FallbackCase {
    const char* name;
    const char* sasl;                    // the CAPA line announcing the mechanisms
    AuthScript script;
    bool checked;                        // CheckAll()'s result
    std::vector<std::string> sent;       // lines the client sent (prefixes)
    std::vector<std::string> notSent;
    std::size_t cramResponses;
    std::size_t retrieved;
    std::vector<std::string> promptReasons;
    std::string errors;
};

class MailChkSaslFallback : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(MailChkSaslFallback, TriesTheDoableMechanismsInTurn)
{
    const FallbackCase& c = GetParam();
    std::vector<std::string> cramResponses;
    FakePop3Server server({{"uid-1", MakeMail("a@x.example", "m1", "first")},
                           {"uid-2", MakeMail("b@x.example", "m2", "second")}},
                          AuthServer(c.script, cramResponses), "+OK ready", {"UIDL", c.sasl});
    CheckerHarness h;
    h.AddAccount("Sasl", "127.0.0.1", server.Port(), "u", "p", 0, true);

    EXPECT_EQ(h.CheckAll(), c.checked) << h.Describe();
    const auto lines = server.Finish();

    for (const std::string& line : c.sent)
        EXPECT_TRUE(FakePop3Server::Received(lines, line)) << line;
    for (const std::string& line : c.notSent)
        EXPECT_FALSE(FakePop3Server::Received(lines, line)) << line;
    EXPECT_EQ(cramResponses.size(), c.cramResponses);
    EXPECT_EQ(h.subjects.size(), c.retrieved);
    std::vector<std::string> reasons;
    for (const TCredentialsRequest& r : h.prompts)
        reasons.push_back(r.Reason);
    EXPECT_EQ(reasons, c.promptReasons);
    EXPECT_EQ(h.ErrorTexts(), c.errors);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MailChkSaslFallback,
    ::testing::Values(
        // SKEY and OTP need a one-time password list: passed over unasked.
        FallbackCase{"undoable_passed_over", "SASL SKEY OTP CRAM-MD5", AuthScript::CramMD5Accepted, true,
                     {"AUTH CRAM-MD5"}, {"AUTH SKEY", "AUTH OTP", "USER"}, 1, 2, {}, ""},
        // A refused exchange is no refused login while mechanisms remain.
        FallbackCase{"failed_exchange_falls_back", "SASL PLAIN CRAM-MD5", AuthScript::CramMD5Refused, true,
                     {"AUTH CRAM-MD5", "AUTH PLAIN"}, {"USER"}, 1, 2, {}, ""},
        // AUTH refused before any exchange: the login is refused, no second try.
        FallbackCase{"refused_outright", "SASL CRAM-MD5 PLAIN", AuthScript::None, false,
                     {"AUTH CRAM-MD5"}, {"AUTH PLAIN", "USER"}, 0, 0, {"unknown command"}, ""},
        FallbackCase{"only_undoable", "SASL OTP SKEY", AuthScript::None, false, {}, {"AUTH", "USER"}, 0, 0, {},
                     "Sasl: The server offers no usable SASL mechanism.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace bm::test
