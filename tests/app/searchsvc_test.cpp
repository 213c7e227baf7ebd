// The searches of the two lists: the order rows are tried in, with
// wrap-around, and what makes a row match.
#include "tests/app/services_support.h"

namespace bm::test {
namespace {

struct OrderCase {
    const char* Name;
    int Count;
    int Selected;
    std::vector<int> Order;
};

class SearchOrderTest : public testing::TestWithParam<OrderCase> {};

TEST_P(SearchOrderTest, AfterTheSelectedRowThenFromTheTopThenTheSelectedItself)
{
    EXPECT_EQ(SearchOrder(GetParam().Count, GetParam().Selected), GetParam().Order);
}

INSTANTIATE_TEST_SUITE_P(Search, SearchOrderTest,
                         testing::Values(OrderCase {"middle", 5, 2, {3, 4, 0, 1, 2}},
                                         OrderCase {"first", 5, 0, {1, 2, 3, 4, 0}},
                                         OrderCase {"last", 5, 4, {0, 1, 2, 3, 4}},
                                         OrderCase {"none_selected_counts_as_first", 3, -1, {1, 2, 0}},
                                         OrderCase {"single_row", 1, 0, {0}},
                                         OrderCase {"no_rows", 0, -1, {}}),
                         [](const auto& info) { return std::string(info.param.Name); });

class SearchSvc : public ServiceTest {
protected:
    std::vector<TInboxRow> Rows(const std::vector<std::string>& subjects)
    {
        std::vector<TInboxRow> rows;
        for (std::size_t i = 0; i < subjects.size(); ++i)
            rows.push_back(Deliver("s" + std::to_string(i), RawMessage("ann@example.com", subjects[i], "x")));
        return rows;
    }
};

TEST_F(SearchSvc, FromTheThirdRowMatchesOnTwoAndFiveGiveFiveThenTwo)
{
    const auto rows = Rows({"one", "Invoice", "three", "four", "invoice again", "six"});
    const TSearchResult first = core->Search().SearchInbox(rows, 2, "INVOICE", false);
    ASSERT_EQ(first.Outcome, TSearchOutcome::Found);
    EXPECT_EQ(first.Index, 4);
    const TSearchResult next = core->Search().SearchInbox(rows, first.Index, "invoice", false);
    EXPECT_EQ(next.Index, 1) << "wrapped around";
    EXPECT_EQ(core->Search().SearchInbox(rows, 1, "nothing", false).Outcome, TSearchOutcome::NoMatch);
    EXPECT_EQ(core->Search().SearchInbox({}, -1, "x", false).Outcome, TSearchOutcome::NoRows);
}

TEST_F(SearchSvc, FromAndSubjectAreSearchedTogetherAcrossTheTab)
{
    const auto rows = Rows({"hello"});
    EXPECT_EQ(core->Search().SearchInbox(rows, 0, "example.com\thel", false).Outcome, TSearchOutcome::Found);
}

TEST_F(SearchSvc, TheMessageTextIsSearchedOnlyWithTheFlag)
{
    const std::vector<TInboxRow> inboxRows {
        Deliver("t", RawMessage("ann@example.com", "s", "x"), {"The BUDGET is attached"})};
    EXPECT_EQ(core->Search().SearchInbox(inboxRows, 0, "budget", false).Outcome, TSearchOutcome::NoMatch);
    EXPECT_EQ(core->Search().SearchInbox(inboxRows, 0, "budget", true).Outcome, TSearchOutcome::Found);

    const int id = Quarantine("q", 0, RawMessage("bob@example.com", "s", "Cheap WATCHES here"));
    TTrashRow gone;
    gone.Account = account;
    gone.UIDL = "no-such-file";
    std::vector<TTrashRow> rows {gone};
    for (const TTrashRow& r : core->QuarantineRows())
        if (r.ID == id)
            rows.push_back(r);
    const TSearchResult hit = core->Search().SearchQuarantine(rows, 0, "watches", true);
    EXPECT_EQ(hit.Index, 1) << "a missing file does not match by text";
    EXPECT_EQ(core->Search().SearchQuarantine(rows, 0, "watches", false).Outcome, TSearchOutcome::NoMatch);
}

} // namespace
} // namespace bm::test
