// Address items and lists: the header form of one item and the splitting
// rules of an address list text.

#include "core/mailmsgU.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace bm {
namespace {

using TItems = std::vector<std::pair<std::string, std::string>>; // name, address

struct TListCase {
    const char* name;
    std::string text;
    TItems expected;
};

void PrintTo(const TListCase& c, std::ostream* os) { *os << c.name; }

TItems ItemsOf(const TMailAddressList& list) {
    TItems items;
    for (const TMailAddress& a : list) items.emplace_back(a.Name, a.Address);
    return items;
}

const TListCase kListCases[] = {
    {"CommaSeparatesTwo", "a@b.org, c@d.org", {{"", "a@b.org"}, {"", "c@d.org"}}},
    {"SemicolonSeparatesTwo", "a@b.org;c@d.org", {{"", "a@b.org"}, {"", "c@d.org"}}},
    {"BlankDoesNotSeparate", "a@b.org c@d.org", {{"", "a@b.org c@d.org"}}},
    {"TabDoesNotSeparate", "A\tB <ab@x.org>", {{"A\tB", "ab@x.org"}}},
    {"EmptyAngleBracketsDropped", "<>", {}},
    {"EmptyAngleBracketsBetweenItems", "a@b.org, <> ,c@d.org", {{"", "a@b.org"}, {"", "c@d.org"}}},
    {"EmptyText", "", {}},
    {"BlankText", " \t ", {}},
    {"EmptyItemsDropped", "a@b.org,, ;c@d.org,", {{"", "a@b.org"}, {"", "c@d.org"}}},
    {"QuotedCommaStaysWhole", "\"Doe, John\" <j@x.org>, k@x.org", {{"Doe, John", "j@x.org"}, {"", "k@x.org"}}},
    {"CommentStaysWhole", "k@x.org (Smith, K)", {{"Smith, K", "k@x.org"}}},
    {"BackslashQuotesSeparator", "a\\,b@x.org", {{"", "a\\,b@x.org"}}},
    {"EscapedQuoteInsideQuotes", "\"say \\\"hi, you\\\"\" <s@x.org>", {{"say \"hi, you\"", "s@x.org"}}},
    {"NameAndAddress", "Ann Example <ann@x.org>", {{"Ann Example", "ann@x.org"}}},
    {"AngleAddressOnly", "<only@x.org>", {{"", "only@x.org"}}},
    {"NoSpecialCharacterIsOneItem", "just-a-word", {{"", "just-a-word"}}},
    {"GroupNameAloneGivesNothing", "undisclosed-recipients:;", {}},
    {"GroupMembers", "Team: a@b.org, c@d.org;", {{"", "a@b.org"}, {"", "c@d.org"}}},
    {"UnterminatedQuoteSwallowsTheRest", "\"open, a@b.org", {{"", "\"open, a@b.org"}}},
    {"CaseIsKept", "Bob <Bob@Example.ORG>", {{"Bob", "Bob@Example.ORG"}}},
};

class MailAddressListSetFromText : public ::testing::TestWithParam<TListCase> {};

TEST_P(MailAddressListSetFromText, SplitsAsTheRulesSay) {
    const TListCase& c = GetParam();
    TMailAddressList list;
    list.Add().Address = "stale@x.org"; // cleared first
    list.SetFromText(c.text);
    EXPECT_EQ(ItemsOf(list), c.expected);
    // The list text reads back as the same items.
    TMailAddressList again;
    again.SetFromText(list.GetListText());
    EXPECT_EQ(ItemsOf(again), ItemsOf(list)) << list.GetListText();
}

INSTANTIATE_TEST_SUITE_P(Cases, MailAddressListSetFromText, ::testing::ValuesIn(kListCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct TTextCase {
    const char* name;
    TMailAddress item;
    std::string text;
};

void PrintTo(const TTextCase& c, std::ostream* os) { *os << c.name; }

const TTextCase kTextCases[] = {
    {"BareAddress", {"", "a@b.org"}, "a@b.org"},
    {"PlainName", {"John Doe", "j@x.org"}, "John Doe <j@x.org>"},
    {"AtomSpecialsNeedNoQuotes", {"O'Brien-Smith_{x}", "o@x.org"}, "O'Brien-Smith_{x} <o@x.org>"},
    {"CommaNeedsQuotes", {"Doe, John", "j@x.org"}, "\"Doe, John\" <j@x.org>"},
    {"CircumflexNeedsQuotes", {"a^b", "x@y.org"}, "\"a^b\" <x@y.org>"},
    {"FullStopNeedsQuotes", {"Dr. Who", "w@x.org"}, "\"Dr. Who\" <w@x.org>"},
    {"QuotesAreEscaped", {"say \"hi\"\\", "s@x.org"}, "\"say \\\"hi\\\"\\\\\" <s@x.org>"},
    {"NonAsciiNeedsQuotes", {"J\xC3\xB6rg", "j@x.org"}, "\"J\xC3\xB6rg\" <j@x.org>"},
    {"NameWithoutAddress", {"Nobody", ""}, "Nobody <>"},
    {"BareAddressWithColonInBrackets", {"", "odd:local@x.org"}, "<odd:local@x.org>"},
};

class MailAddressText : public ::testing::TestWithParam<TTextCase> {};

TEST_P(MailAddressText, IsTheHeaderFormAndReadsBack) {
    const TTextCase& c = GetParam();
    EXPECT_EQ(c.item.GetText(), c.text);
    TMailAddress back;
    back.SetText(c.text);
    EXPECT_EQ(back, c.item);
}

INSTANTIATE_TEST_SUITE_P(Cases, MailAddressText, ::testing::ValuesIn(kTextCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MailAddressList, ListTextJoinsWithCommaAndBlank) {
    TMailAddressList list;
    EXPECT_EQ(list.GetListText(), "");
    list.Add().Address = "a@b.org";
    TMailAddress& second = list.Add();
    second.Name = "Doe, J";
    second.Address = "j@x.org";
    EXPECT_EQ(list.GetListText(), "a@b.org, \"Doe, J\" <j@x.org>");
    list.Delete(0);
    EXPECT_EQ(list.Count(), 1u);
}

TEST(MailMessage, GetFromAddsAnEmptyItemOnce) {
    TMailMessage msg;
    EXPECT_EQ(msg.GetFrom().Address, "");
    EXPECT_EQ(msg.FromList.Count(), 1u);
    msg.GetFrom().SetText("Ann <ann@x.org>");
    EXPECT_EQ(msg.FromList.Count(), 1u);
    EXPECT_EQ(msg.FromList[0].Address, "ann@x.org");
}

} // namespace
} // namespace bm
