// The Friends-list wildcard rule, the address form check and the wildcard
// test. The rule has no backtracking: a wildcard followed by an ordinary
// character jumps to that character's FIRST occurrence, and a run of ordinary
// characters is compared whole with the rest of the address. Several cases
// below are ones a backtracking matcher would accept and this rule rejects.
#include "config/addrlistU.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

struct WildcardCase {
    const char* Name;
    const char* Address;
    const char* Pattern;
    bool Expected;
};

class WildcardTest : public testing::TestWithParam<WildcardCase> {};

TEST_P(WildcardTest, MatchesAsTheRuleReads)
{
    const WildcardCase& c = GetParam();
    EXPECT_EQ(TAddressList::WildcardMatch(c.Address, c.Pattern), c.Expected)
        << c.Address << " vs " << c.Pattern;
}

INSTANTIATE_TEST_SUITE_P(Rule, WildcardTest, testing::Values(
    // Exact entries.
    WildcardCase{"ExactSame", "joe@example.com", "joe@example.com", true},
    WildcardCase{"ExactAddressCaseIgnored", "Joe@EXAMPLE.com", "joe@example.com", true},
    WildcardCase{"ExactUpperCasePatternNeverMatches", "joe@example.com", "Joe@example.com", false},
    WildcardCase{"ExactOtherAddress", "joe@example.org", "joe@example.com", false},
    WildcardCase{"ExactLongerAddress", "joe@example.com.au", "joe@example.com", false},
    // Star, at sign, domain: exactly that domain.
    WildcardCase{"StarDomain", "joe@example.com", "*@example.com", true},
    WildcardCase{"StarDomainOtherDomain", "joe@example.org", "*@example.com", false},
    WildcardCase{"StarDomainSubdomain", "joe@mail.example.com", "*@example.com", false},
    // First-occurrence jumps that a backtracking matcher would accept.
    WildcardCase{"JumpToFirstAtSign", "a@b@example.com", "*@example.com", false},
    WildcardCase{"JumpToFirstDot", "j.oe@example.com", "*.com", false},
    WildcardCase{"JumpToFirstDotInDomain", "joe@mail.example.com", "*@*.com", false},
    WildcardCase{"StarThenDotOnce", "joe@example.com", "*.com", true},
    WildcardCase{"StarAtStar", "joe@example.com", "*@*.com", true},
    WildcardCase{"MoneyNeverMatches", "money@spam.com", "*money*@*.com", false},
    WildcardCase{"MoneyInsideNeverMatches", "bigmoney@spam.com", "*money*@*.com", false},
    WildcardCase{"OrdinaryRunBeforeStar", "joe@example.com", "joe@*", false},
    WildcardCase{"StarThenQuestionTakesOneOnly", "joe", "*?", false},
    WildcardCase{"StarThenQuestionOneCharacter", "j", "*?", true},
    // Star as the last character takes the rest.
    WildcardCase{"StarAlone", "anything@anywhere.net", "*", true},
    WildcardCase{"StarAloneEmptyAddress", "", "*", false},
    WildcardCase{"StarAtStarLast", "joe@example.com", "*@*", true},
    WildcardCase{"DoubleStar", "joe@example.com", "**@example.com", true},
    // Question mark: exactly one character.
    WildcardCase{"QuestionFirst", "joe@example.com", "?oe@example.com", true},
    WildcardCase{"QuestionFirstOther", "moe@example.com", "?oe@example.com", true},
    WildcardCase{"QuestionNotTwo", "jjoe@example.com", "?oe@example.com", false},
    WildcardCase{"QuestionThenStar", "ab", "?*", true},
    WildcardCase{"QuestionTakesWholeUtf8Character", "\xC3\xBC@x.de", "?@x.de", true},
    WildcardCase{"Utf8AddressLowerCased", "\xC3\x9C@x.de", "\xC3\xBC@x.de", true},
    // Plus: like star, with at least one character before the occurrence.
    WildcardCase{"PlusDomain", "joe@example.com", "+@example.com", true},
    WildcardCase{"PlusDomainEmptyLocalPart", "@example.com", "+@example.com", false},
    WildcardCase{"StarDomainEmptyLocalPart", "@example.com", "*@example.com", true},
    WildcardCase{"PlusDomainOtherDomain", "joe@example.org", "+@example.com", false},
    WildcardCase{"PlusAlone", "x", "+", true},
    WildcardCase{"StarNoOccurrence", "joe@example.com", "*#", false}),
    [](const auto& info) { return std::string(info.param.Name); });

struct FormCase {
    const char* Name;
    const char* Text;
    int Expected;
};

class AddressFormTest : public testing::TestWithParam<FormCase> {};

TEST_P(AddressFormTest, Classifies)
{
    EXPECT_EQ(TAddressList::CheckAddressForm(GetParam().Text), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, AddressFormTest, testing::Values(
    FormCase{"StarAlone", "*", 0},
    FormCase{"Address", "joe@example.com", 0},
    FormCase{"Expression", "*@*.com", 0},
    FormCase{"EmptyPiecesIgnored", "joe@@example..com", 0},
    FormCase{"NoAtSign", "joe.example.com", 1},
    FormCase{"Empty", "", 1},
    FormCase{"TwoAtSigns", "a@b@example.com", 1},
    FormCase{"NothingBeforeAt", "@example.com", 1},
    FormCase{"NothingAfterAt", "joe@", 1},
    FormCase{"NoDotAfterAt", "joe@example", 2},
    FormCase{"OnlyLeadingDot", "joe@.com", 2},
    FormCase{"OnlyTrailingDot", "joe@example.", 2}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(AddressFormTest, MessagesOfTheResults)
{
    EXPECT_EQ(TAddressList::AddressFormMessage(0), "");
    EXPECT_EQ(TAddressList::AddressFormMessage(1), "Must contain an @ sign");
    EXPECT_EQ(TAddressList::AddressFormMessage(2), "Must have a . to the right of the @");
}

TEST(AddressFormTest, WildcardCharacters)
{
    EXPECT_TRUE(TAddressList::HasWildcards("?oe@example.com"));
    EXPECT_TRUE(TAddressList::HasWildcards("joe+list@example.com"));
    EXPECT_TRUE(TAddressList::HasWildcards("*@example.com"));
    EXPECT_FALSE(TAddressList::HasWildcards("joe@example.com"));
}

} // namespace
} // namespace bm
