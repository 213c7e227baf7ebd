// SASL choices and responses of the POP3 client: the attempt order over the
// announced mechanisms, the RFC examples of PLAIN and CRAM-MD5, LOGIN's
// prompts, strict base64, the challenges that cannot be answered; and the
// account's SSL value as the client's use of TLS.
#include "proto/pop3clientU.h"
#include "proto/pop3saslU.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

using M = TSaslMechanism;

struct OrderCase {
    const char* name;
    std::vector<std::string> announced;
    std::vector<M> expected;
};

class Pop3SaslOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(Pop3SaslOrder, StrongestAnnouncedFirst)
{
    EXPECT_EQ(SaslAttemptOrder(GetParam().announced), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pop3SaslOrder,
    ::testing::Values(OrderCase{"dovecot", {"PLAIN", "LOGIN", "CRAM-MD5"}, {M::CramMD5, M::Login, M::Plain}},
                      OrderCase{"all_lower_case", {"skey", "plain", "otp"}, {M::SKey, M::Otp, M::Plain}},
                      OrderCase{"unknown_ignored", {"GSSAPI", "SCRAM-SHA-256", "LOGIN"}, {M::Login}},
                      OrderCase{"none", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pop3Sasl, OnlyPasswordMechanismsAreDoable)
{
    EXPECT_TRUE(SaslMechanismDoable(M::Plain));
    EXPECT_TRUE(SaslMechanismDoable(M::Login));
    EXPECT_TRUE(SaslMechanismDoable(M::CramMD5));
    EXPECT_FALSE(SaslMechanismDoable(M::Otp));
    EXPECT_FALSE(SaslMechanismDoable(M::SKey));
}

TEST(Pop3Sasl, CramMD5MatchesTheRfc2195Example)
{
    const std::string response =
        SaslCramMD5Response("tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>");
    EXPECT_EQ(DecodeBase64(response), "tim b913a602c7eda7a495b4e6e7334d3890");
}

TEST(Pop3Sasl, PlainCarriesTheUserAsAuthorisationIdentity)
{
    EXPECT_EQ(DecodeBase64(SaslPlainResponse("ann", "secret")), std::string("ann\0ann\0secret", 14));
}

TEST(Pop3Sasl, LoginAnswersByThePromptAndThenByOrder)
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

class Pop3SaslChallenge : public ::testing::TestWithParam<ChallengeCase> {};

TEST_P(Pop3SaslChallenge, AnswersOrCancels)
{
    TSaslExchange exchange(GetParam().mechanism, "u", "p");
    std::optional<std::string> last;
    for (const std::string& c : GetParam().challenges)
        last = exchange.Respond(c);
    EXPECT_EQ(last.has_value(), GetParam().lastAnswered);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pop3SaslChallenge,
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

class Pop3Base64 : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Pop3Base64, DecodesStrictly)
{
    EXPECT_EQ(DecodeBase64(GetParam().text), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(Cases, Pop3Base64,
                         ::testing::Values(Base64Case{"empty", "", std::string()},
                                           Base64Case{"padded", "YW4=", std::string("an")},
                                           Base64Case{"unpadded_length", "YW4", std::nullopt},
                                           Base64Case{"inner_padding", "Y=4=", std::nullopt},
                                           Base64Case{"blank", "YW4 ", std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Pop3Sasl, SslValuesMapToTlsUse)
{
    EXPECT_EQ(Pop3TlsFromSSLValue(0), TPop3Tls::None);
    EXPECT_EQ(Pop3TlsFromSSLValue(1), TPop3Tls::Explicit);
    EXPECT_EQ(Pop3TlsFromSSLValue(2), TPop3Tls::Implicit);
    EXPECT_EQ(Pop3TlsFromSSLValue(3), TPop3Tls::Required);
    EXPECT_EQ(Pop3TlsFromSSLValue(7), TPop3Tls::Required) << "never weaker than asked";
}

} // namespace
} // namespace bm
