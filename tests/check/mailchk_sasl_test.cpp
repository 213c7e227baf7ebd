// SASL choices and responses of the POP3 client: the attempt order over the
// announced mechanisms, the RFC examples of PLAIN and CRAM-MD5, LOGIN's
// prompts, strict base64, the challenges that cannot be answered, and (over
// a scripted server on loopback) the fallback from one mechanism to the next.
#include "proto/pop3saslU.h"
#include "proto/pop3clientU.h"
#include "tests/check/mailchk_fakepop3.h"
#include "tests/check/mailchk_support.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

using M = TSaslMechanism;

struct OrderCase {
    const char* name;
    std::vector<std::string> announced;
    std::vector<M> expected;
};

class MailChkSaslOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(MailChkSaslOrder, StrongestAnnouncedFirst)
{
    EXPECT_EQ(SaslAttemptOrder(GetParam().announced), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MailChkSaslOrder,
    ::testing::Values(OrderCase{"dovecot", {"PLAIN", "LOGIN", "CRAM-MD5"}, {M::CramMD5, M::Login, M::Plain}},
                      OrderCase{"all_lower_case", {"skey", "plain", "otp"}, {M::SKey, M::Otp, M::Plain}},
                      OrderCase{"unknown_ignored", {"GSSAPI", "SCRAM-SHA-256", "LOGIN"}, {M::Login}},
                      OrderCase{"none", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MailChkSasl, OnlyPasswordMechanismsAreDoable)
{
    EXPECT_TRUE(SaslMechanismDoable(M::Plain));
    EXPECT_TRUE(SaslMechanismDoable(M::Login));
    EXPECT_TRUE(SaslMechanismDoable(M::CramMD5));
    EXPECT_FALSE(SaslMechanismDoable(M::Otp));
    EXPECT_FALSE(SaslMechanismDoable(M::SKey));
}

TEST(MailChkSasl, CramMD5MatchesTheRfc2195Example)
{
    const std::string response =
        SaslCramMD5Response("tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>");
    EXPECT_EQ(DecodeBase64(response), "tim b913a602c7eda7a495b4e6e7334d3890");
}

TEST(MailChkSasl, PlainCarriesTheUserAsAuthorisationIdentity)
{
    EXPECT_EQ(DecodeBase64(SaslPlainResponse("ann", "secret")), std::string("ann\0ann\0secret", 14));
}

TEST(MailChkSasl, LoginAnswersByThePromptAndThenByOrder)
{
    TSaslExchange byWords(M::Login, "ann", "secret");
    EXPECT_EQ(byWords.Respond(EncodeBase64("Password:")), EncodeBase64("secret"));
    EXPECT_EQ(byWords.Respond(EncodeBase64("Username:")), EncodeBase64("ann"));

    TSaslExchange byOrder(M::Login, "ann", "secret");
    EXPECT_EQ(byOrder.Respond(EncodeBase64("Who?")), EncodeBase64("ann"));
    EXPECT_EQ(byOrder.Respond(EncodeBase64("Proof?")), EncodeBase64("secret"));
    EXPECT_EQ(byOrder.Respond(EncodeBase64("More?")), std::nullopt);
}

struct ChallengeCase {
    const char* name;
    M mechanism;
    std::vector<std::string> challenges; // base64 text after "+ "
    bool lastAnswered;
};

class MailChkSaslChallenge : public ::testing::TestWithParam<ChallengeCase> {};

TEST_P(MailChkSaslChallenge, AnswersOrCancels)
{
    TSaslExchange exchange(GetParam().mechanism, "u", "p");
    std::optional<std::string> last;
    for (const std::string& c : GetParam().challenges)
        last = exchange.Respond(c);
    EXPECT_EQ(last.has_value(), GetParam().lastAnswered);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MailChkSaslChallenge,
    ::testing::Values(ChallengeCase{"plain_empty_challenge", M::Plain, {""}, true},
                      ChallengeCase{"plain_second_step", M::Plain, {"", ""}, false},
                      ChallengeCase{"cram_challenge", M::CramMD5, {"PDEyMz4="}, true},
                      ChallengeCase{"cram_empty_challenge", M::CramMD5, {""}, false},
                      ChallengeCase{"cram_bad_base64", M::CramMD5, {"PDEyMz4"}, false},
                      ChallengeCase{"cram_foreign_character", M::CramMD5, {"PDEy*z4="}, false},
                      ChallengeCase{"otp_never", M::Otp, {"b3RwLW1kNSA0OTkga2U0Nzc1"}, false},
                      ChallengeCase{"skey_never", M::SKey, {"OTk="}, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct Base64Case {
    const char* name;
    std::string text;
    std::optional<std::string> decoded;
};

class MailChkBase64 : public ::testing::TestWithParam<Base64Case> {};

TEST_P(MailChkBase64, DecodesStrictly)
{
    EXPECT_EQ(DecodeBase64(GetParam().text), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(Cases, MailChkBase64,
                         ::testing::Values(Base64Case{"empty", "", std::string()},
                                           Base64Case{"padded", "YW4=", std::string("an")},
                                           Base64Case{"unpadded_length", "YW4", std::nullopt},
                                           Base64Case{"inner_padding", "Y=4=", std::nullopt},
                                           Base64Case{"blank", "YW4 ", std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MailChkSasl, SslValuesMapToTlsUse)
{
    EXPECT_EQ(Pop3TlsFromSSLValue(0), TPop3Tls::None);
    EXPECT_EQ(Pop3TlsFromSSLValue(1), TPop3Tls::Explicit);
    EXPECT_EQ(Pop3TlsFromSSLValue(2), TPop3Tls::Implicit);
    EXPECT_EQ(Pop3TlsFromSSLValue(3), TPop3Tls::Required);
    EXPECT_EQ(Pop3TlsFromSSLValue(7), TPop3Tls::Required) << "never weaker than asked";
}

} // namespace
} // namespace bm

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
