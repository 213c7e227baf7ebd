// Filter matching: the text each rule field takes from a message, every
// operation, the default modifiers of regular expressions and the error of an
// invalid one, the all/any modes, the Friends-list precedence and the walk of
// FindMatch.
#include "config/filtersU.h"

#include "core/mailmsgU.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace bm {
namespace {

TMailAddress Address(const std::string& name, const std::string& address)
{
    TMailAddress a;
    a.Name = name;
    a.Address = address;
    return a;
}

TMailMessage SampleMessage()
{
    TMailMessage m;
    m.FromList.Add(Address("Joe Sender", "joe@example.com"));
    m.FromList.Add(Address("", "ann@example.org"));
    m.Recipients.Add(Address("", "me@home.net"));
    m.CCList.Add(Address("Cc Person", "cc@home.net"));
    m.Subject = "Cheap Watches Today";
    m.Body = {"Hello friend,", "Buy now"};
    TMessagePart text;
    text.Kind = TPartKind::Text;
    text.ContentType = "text/html";
    text.Lines = {"<b>Offer</b>"};
    TMessagePart file;
    file.Kind = TPartKind::Attachment;
    file.FileName = "a.zip";
    file.Content = "PK-not-text";
    m.Parts = {text, file};
    m.Headers.Add("Received", "from relay.example.com by mx.home.net");
    m.Headers.Add("Subject", "Cheap Watches Today");
    m.Headers.Add("Received", "from 10.0.0.1 by relay.example.com");
    return m;
}

// --- Field texts -------------------------------------------------------------

struct FieldCase {
    const char* Name;
    TRuleField Field;
    std::string Expected;
};

class RuleFieldTest : public testing::TestWithParam<FieldCase> {};

TEST_P(RuleFieldTest, BuildsTheComparedText)
{
    EXPECT_EQ(RuleFieldText(SampleMessage(), GetParam().Field), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Fields, RuleFieldTest, testing::Values(
    FieldCase{"From", TRuleField::From, "Joe Sender <joe@example.com>\x01" "ann@example.org"},
    FieldCase{"Subject", TRuleField::Subject, "Cheap Watches Today"},
    FieldCase{"To", TRuleField::To, "me@home.net"},
    FieldCase{"CC", TRuleField::CC, "Cc Person <cc@home.net>"},
    FieldCase{"Body", TRuleField::Body, "Hello friend,\r\nBuy now\r\n\x01<b>Offer</b>\r\n"},
    FieldCase{"ReturnPathIsTheReceivedChain", TRuleField::ReturnPath,
              "from relay.example.com by mx.home.net\r\n"
              "from 10.0.0.1 by relay.example.com\r\n"},
    FieldCase{"AllHeaders", TRuleField::AllHeaders,
              "Received: from relay.example.com by mx.home.net\r\n"
              "Subject: Cheap Watches Today\r\n"
              "Received: from 10.0.0.1 by relay.example.com\r\n"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(RuleFieldTest, NamesAndCaptionsInIndexOrder)
{
    EXPECT_EQ(RuleFieldName(TRuleField::ReturnPath), "returnpath");
    EXPECT_EQ(RuleOperationName(TRuleOperation::NotContainsRegExpr), "notcontainsregexpr");
    EXPECT_EQ(RuleFieldFromName("AllHeaders"), TRuleField::AllHeaders);
    EXPECT_EQ(RuleFieldFromName("sender"), TRuleField::Subject);
    EXPECT_EQ(RuleOperationFromName("IS"), TRuleOperation::Is);
    EXPECT_EQ(RuleOperationFromName("startswith"), TRuleOperation::Contains);
    EXPECT_EQ(RuleFieldCaptions().at(6), "The entire header");
    EXPECT_EQ(RuleOperationCaptions().at(1), "doesn't contain");
}

// --- Operations ----------------------------------------------------------------

struct OperationCase {
    const char* Name;
    TRuleField Field;
    TRuleOperation Operation;
    const char* Text;
    bool Expected;
};

class RuleOperationTest : public testing::TestWithParam<OperationCase> {};

TEST_P(RuleOperationTest, Compares)
{
    const OperationCase& c = GetParam();
    const TRule rule(c.Field, c.Operation, c.Text);
    EXPECT_EQ(rule.Matches(SampleMessage()), c.Expected);
}

using F = TRuleField;
using O = TRuleOperation;

INSTANTIATE_TEST_SUITE_P(Operations, RuleOperationTest, testing::Values(
    OperationCase{"ContainsIgnoresCase", F::Subject, O::Contains, "WATCHES", true},
    OperationCase{"ContainsAbsent", F::Subject, O::Contains, "rolex", false},
    OperationCase{"ContainsEmptyTextNever", F::Subject, O::Contains, "", false},
    OperationCase{"NotContainsEmptyTextAlways", F::Subject, O::NotContains, "", true},
    OperationCase{"NotContainsPresent", F::Body, O::NotContains, "buy NOW", false},
    OperationCase{"NotContainsAbsent", F::Body, O::NotContains, "unsubscribe", true},
    OperationCase{"ContainsInTextPart", F::Body, O::Contains, "offer", true},
    OperationCase{"ContainsNotInAttachment", F::Body, O::Contains, "PK-not", false},
    OperationCase{"ContainsCc", F::CC, O::Contains, "cc@home", true},
    OperationCase{"ContainsTo", F::To, O::Contains, "me@home.net", true},
    OperationCase{"ContainsReceived", F::ReturnPath, O::Contains, "10.0.0.1", true},
    OperationCase{"ContainsHeaderName", F::AllHeaders, O::Contains, "subject: cheap", true},
    OperationCase{"IsIgnoresCase", F::Subject, O::Is, "cheap watches today", true},
    OperationCase{"IsExtraCharacter", F::Subject, O::Is, "Cheap Watches Today!", false},
    OperationCase{"IsOneOfTwoFromItemsFails", F::From, O::Is, "ann@example.org", false},
    OperationCase{"IsSingleTo", F::To, O::Is, "ME@HOME.NET", true},
    OperationCase{"RegexCaseMatters", F::Subject, O::ContainsRegExpr, "watches", false},
    OperationCase{"RegexInlineCaseless", F::Subject, O::ContainsRegExpr, "(?i)watches", true},
    OperationCase{"RegexAnywhere", F::Subject, O::ContainsRegExpr, "W[a-z]+s", true},
    OperationCase{"RegexDotMatchesLineBreak", F::Body, O::ContainsRegExpr, "friend,.Buy", false},
    OperationCase{"RegexDotMatchesCrLf", F::Body, O::ContainsRegExpr, "friend,..Buy", true},
    OperationCase{"RegexCaretFirstLine", F::Body, O::ContainsRegExpr, "^Hello", true},
    OperationCase{"RegexCaretNotLaterLine", F::Body, O::ContainsRegExpr, "^Buy", false},
    OperationCase{"RegexDollarNotBeforeLineEnd", F::Body, O::ContainsRegExpr, "friend,$", false},
    OperationCase{"RegexDollarAtVeryEnd", F::Subject, O::ContainsRegExpr, "Today$", true},
    OperationCase{"RegexDollarNotBeforeFinalBreak", F::Body, O::ContainsRegExpr,
                  "</b>\\r\\n$", true},
    OperationCase{"RegexGreedyRepetition", F::Subject, O::ContainsRegExpr, "^C.*y$", true},
    OperationCase{"NotRegexPresent", F::Subject, O::NotContainsRegExpr, "Cheap", false},
    OperationCase{"NotRegexAbsent", F::Subject, O::NotContainsRegExpr, "Rolex", true},
    OperationCase{"RegexFromSeparator", F::From, O::ContainsRegExpr, "com>\\x01ann", true}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(RuleRegexTest, RegexFindsTextAroundInvalidUtf8)
{
    TRule rule(F::Subject, O::ContainsRegExpr, "b");
    EXPECT_TRUE(rule.MatchesText("a\xFF" "b"));
}

struct InvalidCase {
    const char* Name;
    const char* Expression;
    std::string Message;
    std::size_t Offset;
};

class RuleInvalidRegexTest : public testing::TestWithParam<InvalidCase> {};

TEST_P(RuleInvalidRegexTest, RaisesTheEngineMessageAndOffset)
{
    const InvalidCase& c = GetParam();
    const TRule rule(F::Subject, O::ContainsRegExpr, c.Expression);
    try {
        rule.Matches(SampleMessage());
        FAIL() << "no error";
    } catch (const ERegExprError& e) {
        EXPECT_EQ(e.EngineMessage(), c.Message);
        EXPECT_EQ(e.Offset(), c.Offset);
        EXPECT_EQ(std::string(e.what()), "Invalid regular expression \"" +
                                             std::string(c.Expression) + "\": " + c.Message +
                                             " at offset " + std::to_string(c.Offset));
    }
    EXPECT_THROW(rule.Matches(SampleMessage()), ERegExprError) << "raised on every use";
}

INSTANTIATE_TEST_SUITE_P(Expressions, RuleInvalidRegexTest, testing::Values(
    InvalidCase{"OpenGroup", "(abc", "missing closing parenthesis", 4},
    InvalidCase{"NothingToRepeat", "a**+", "quantifier does not follow a repeatable item", 2},
    InvalidCase{"OpenClass", "x[a-", "missing terminating ] for character class", 4}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(RuleRegexTest, NewTextDropsTheCompiledExpression)
{
    TRule rule(F::Subject, O::ContainsRegExpr, "(bad");
    EXPECT_THROW(rule.MatchesText("x"), ERegExprError);
    rule.SetText("Watch");
    EXPECT_TRUE(rule.MatchesText("Watches"));
    rule.SetText("Clock");
    EXPECT_FALSE(rule.MatchesText("Watches"));
    rule.SetOperation(O::NotContainsRegExpr);
    EXPECT_TRUE(rule.MatchesText("Watches"));
}

TEST(RuleRegexTest, DollarDoesNotMatchBeforeAFinalLineBreak)
{
    EXPECT_FALSE(TRule(F::Subject, O::ContainsRegExpr, "Cheap$").MatchesText("Cheap\n"));
    EXPECT_TRUE(TRule(F::Subject, O::ContainsRegExpr, "Cheap\n$").MatchesText("Cheap\n"));
}

TEST(RuleRegexTest, CatastrophicBacktrackingStopsAtTheLimitAndDecidesNothing)
{
    // Unbounded, the search would at last find the "!" (after some 10^8 steps
    // of the first branch); bounded, it gives up early and proves nothing:
    // neither "contains" nor "doesn't contain" holds.
    const std::string hostile = std::string(40, 'a') + "!";
    for (const O op : {O::ContainsRegExpr, O::NotContainsRegExpr}) {
        const TRule rule(F::Subject, op, "(a|aa)+b|!");
        EXPECT_EQ(rule.JudgeText(hostile), TRuleVerdict::Undecided);
        EXPECT_FALSE(rule.MatchesText(hostile));
    }
    EXPECT_TRUE(TRule(F::Subject, O::ContainsRegExpr, "(a|aa)+b|!").MatchesText("aaa!"));
}

// --- Filters -------------------------------------------------------------------

std::unique_ptr<TFilter> FilterWith(bool allMet, std::vector<std::pair<O, const char*>> rules)
{
    auto f = std::make_unique<TFilter>();
    f->SetOnlyWhenAllMet(allMet);
    for (const auto& [op, text] : rules)
        f->Rules().Add(F::Subject, op, text);
    return f;
}

TEST(FilterMatchTest, UndecidedRuleMakesItsFilterNotMatchInEitherMode)
{
    TMailMessage m = SampleMessage();
    m.Subject = std::string(40, 'a') + "!";
    for (const bool allMet : {true, false}) {
        // A Delete filter on "doesn't contain" must not drop a message that
        // may well contain the text.
        auto f = FilterWith(allMet, {{O::NotContainsRegExpr, "(a|aa)+b|!"}, {O::NotContains, "zzz"}});
        EXPECT_FALSE(f->Matches(m, false)) << allMet;
    }
}

struct FilterCase {
    const char* Name;
    bool AllMet;
    std::vector<std::pair<O, const char*>> Rules;
    bool Expected;
};

class FilterMatchTest : public testing::TestWithParam<FilterCase> {};

TEST_P(FilterMatchTest, CombinesRules)
{
    const FilterCase& c = GetParam();
    EXPECT_EQ(FilterWith(c.AllMet, c.Rules)->Matches(SampleMessage(), false), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, FilterMatchTest, testing::Values(
    FilterCase{"NoRulesAll", true, {}, false},
    FilterCase{"NoRulesAny", false, {}, false},
    FilterCase{"AllHold", true, {{O::Contains, "cheap"}, {O::Contains, "today"}}, true},
    FilterCase{"AllOneFails", true, {{O::Contains, "cheap"}, {O::Contains, "rolex"}}, false},
    FilterCase{"AnyOneHolds", false, {{O::Contains, "rolex"}, {O::Contains, "today"}}, true},
    FilterCase{"AnyNoneHolds", false, {{O::Contains, "rolex"}, {O::Contains, "gold"}}, false},
    // The walk stops at the deciding rule, so a later invalid expression is
    // never compiled.
    FilterCase{"AnyStopsAtFirstMatch", false, {{O::Contains, "cheap"}, {O::ContainsRegExpr, "("}}, true},
    FilterCase{"AllStopsAtFirstFailure", true, {{O::Contains, "rolex"}, {O::ContainsRegExpr, "("}}, false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(FilterMatchTest, FriendsOnlyWithFriendsToo)
{
    auto f = FilterWith(true, {{O::Contains, "cheap"}});
    EXPECT_TRUE(f->Matches(SampleMessage(), false));
    EXPECT_FALSE(f->Matches(SampleMessage(), true));
    f->SetFriendsToo(true);
    EXPECT_TRUE(f->Matches(SampleMessage(), true));
}

TEST(FilterMatchTest, DefaultsOfANewFilter)
{
    const TFilter f;
    EXPECT_EQ(f.Name(), "New filter");
    EXPECT_TRUE(f.OnlyWhenAllMet());
    EXPECT_TRUE(f.Enabled());
    EXPECT_FALSE(f.FriendsToo() || f.Legitimate() || f.BlacklistSender() ||
                 f.WhitelistSender() || f.Delete());
    EXPECT_EQ(f.Rules().Count(), 0);
}

TEST(FilterMatchTest, LegitimateClearsBlacklistAndDelete)
{
    TFilter f;
    f.SetBlacklistSender(true);
    f.SetDelete(true);
    f.SetWhitelistSender(true);
    f.SetLegitimate(true);
    EXPECT_TRUE(f.Legitimate());
    EXPECT_FALSE(f.BlacklistSender());
    EXPECT_FALSE(f.Delete());
    EXPECT_TRUE(f.WhitelistSender());
}

TEST(FindMatchTest, SkipsDisabledAndReturnsTheFirstMatch)
{
    TFilterList list;
    TFilter* disabled = list.Add(FilterWith(true, {{O::Contains, "cheap"}}));
    disabled->SetName("disabled");
    disabled->SetEnabled(false);
    list.Add(FilterWith(true, {{O::Contains, "rolex"}}))->SetName("other");
    TFilter* hit = list.Add(FilterWith(true, {{O::Contains, "watches"}}));
    hit->SetName("hit");
    hit->SetDelete(true);
    list.Add(FilterWith(true, {{O::Contains, "today"}}))->SetName("later");

    EXPECT_EQ(list.FindMatch(SampleMessage(), false), hit);
    const auto result = list.FindMatchResult(SampleMessage(), false);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->Name, "hit");
    EXPECT_TRUE(result->Delete);
    EXPECT_FALSE(result->WhitelistSender);
    EXPECT_EQ(list.FindMatch(SampleMessage(), true), nullptr) << "sender is a friend";
    EXPECT_EQ(list.FindByName("later"), list.Item(3));
    EXPECT_EQ(list.FindByName("LATER"), nullptr);
}

struct DisabledCase {
    const char* Name;
    bool AllMet;
    std::vector<std::pair<O, const char*>> Rules;
    std::string Problem;
};

class FindMatchDisabledTest : public testing::TestWithParam<DisabledCase> {};

// A filter with a bad expression takes no part at all (even when another of
// its rules would decide first), is named in the problems, and the walk goes
// on with the next filter.
TEST_P(FindMatchDisabledTest, PassesOverTheFilterAndGoesOn)
{
    const DisabledCase& c = GetParam();
    TFilterList list;
    list.Add(FilterWith(c.AllMet, c.Rules))->SetName("Bad");
    TFilter* next = list.Add(FilterWith(true, {{O::Contains, "watches"}}));
    next->SetName("Next");
    std::vector<TFilterProblem> problems;
    EXPECT_EQ(list.FindMatch(SampleMessage(), false, &problems), next);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].FilterName, "Bad");
    EXPECT_EQ(problems[0].Text, "Filter \"Bad\" is disabled: " + c.Problem);
    EXPECT_NO_THROW(list.FindMatch(SampleMessage(), false)) << "no problem list: still no exception";
}

INSTANTIATE_TEST_SUITE_P(Expressions, FindMatchDisabledTest, testing::Values(
    DisabledCase{"Invalid", true, {{O::ContainsRegExpr, "[z-a]"}},
                 "Invalid regular expression \"[z-a]\": range out of order in character class at offset 3"},
    DisabledCase{"GoodRuleFirstInAnyMode", false, {{O::Contains, "cheap"}, {O::NotContainsRegExpr, "("}},
                 "Invalid regular expression \"(\": missing closing parenthesis at offset 1"},
    // What the earlier version stored in ISO-8859-1 and never reached a file
    // load (where it would have been converted): shown as Windows-1252.
    DisabledCase{"NotUtf8", true, {{O::ContainsRegExpr, "caf\xE9"}},
                 "Invalid regular expression \"caf\xC3\xA9\": UTF-8 error: 2 bytes missing at end "
                 "at offset 3"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(FindMatchTest, ConcurrentMatchersShareCompiledExpressions)
{
    TFilterList list;
    list.Add(FilterWith(true, {{O::ContainsRegExpr, "(?i)watch(es)?"}}));
    std::vector<std::thread> threads;
    std::atomic<int> hits{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            const TMailMessage m = SampleMessage();
            for (int i = 0; i < 200; ++i)
                if (list.FindMatchResult(m, false))
                    ++hits;
        });
    for (int i = 0; i < 200; ++i) {
        std::lock_guard lock(list.Mutex());
        list.Item(0)->Rules().Item(0)->SetText(i % 2 ? "(?i)watch(es)?" : "(?i)watches");
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(hits.load(), 800);
}

} // namespace
} // namespace bm
