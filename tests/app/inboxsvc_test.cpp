// The inbox commands: files, records, lists and rows together.
#include "tests/app/services_support.h"

#include "store/msgsU.h"

namespace bm::test {
namespace {

class InboxSvc : public ServiceTest {
protected:
    std::vector<std::string> rowsGone;
    void SetUp() override
    {
        ServiceTest::SetUp();
        QObject::connect(core.get(), &TAppCore::InboxRowRemoved,
                         [this](const TInboxRow& r) { rowsGone.push_back(r.Id); });
    }
    bool InInbox(const std::string& id) { return std::filesystem::exists(MessageFilePath(account, id, false)); }
};

TEST_F(InboxSvc, DeleteRemovesFileRecordAndRowOfEachSelectedMessage)
{
    const TInboxRow a = Deliver("a", RawMessage("ann@example.com", "one", "x"));
    Deliver("b", RawMessage("bob@example.com", "two", "x"));
    const TInboxRow c = Deliver("c", RawMessage("cy@example.com", "three", "x"));
    core->Inbox().Delete({a, c});
    EXPECT_EQ(rowsGone, (std::vector<std::string>{"c", "a"})) << "from the last to the first";
    EXPECT_FALSE(InInbox("a"));
    EXPECT_TRUE(InInbox("b"));
    EXPECT_EQ(inbox.Count(), 1);
    EXPECT_NE(inbox.Find(account, "b"), nullptr);
    ASSERT_EQ(core->InboxRows().size(), 1u);
    EXPECT_EQ(core->InboxRows()[0].Id, "b");
}

TEST_F(InboxSvc, DeleteAndBlacklistTakesTheSenderOffTheFriendsList)
{
    friends.Add("Ann@Example.com"); // as an older file kept it
    friends.AddAddress("bob@example.com");
    std::vector<std::string> blacklisted;
    std::vector<std::pair<TSideBarList, std::string>> removed;
    QObject::connect(core.get(), &TAppCore::SenderBlacklisted,
                     [&](const std::string& a) { blacklisted.push_back(a); });
    QObject::connect(core.get(), &TAppCore::AddressRemoved,
                     [&](TSideBarList l, const std::string& t) { removed.emplace_back(l, t); });
    const TInboxRow row = Deliver("m", RawMessage("Ann <ANN@example.com>", "hi", "x"));

    core->Inbox().DeleteAndBlacklist({row});
    EXPECT_EQ(blacklisted, std::vector<std::string>{"ann@example.com"});
    EXPECT_GE(blacklist.IndexOf("ann@example.com"), 0);
    EXPECT_EQ(friends.IndexOf("ann@example.com"), -1);
    EXPECT_GE(friends.IndexOf("bob@example.com"), 0);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].first, TSideBarList::Friends);
    EXPECT_EQ(removed[0].second, "Ann@Example.com") << "the row's text as the view shows it";
    EXPECT_FALSE(InInbox("m"));
    EXPECT_EQ(inbox.Count(), 0);
    EXPECT_TRUE(core->InboxRows().empty());
    EXPECT_EQ(rowsGone, std::vector<std::string>{"m"});
}

TEST_F(InboxSvc, RefreshInboxRebuildsFromTheLocalServer)
{
    const std::size_t before = checker.Runs.size();
    core->Inbox().RefreshInbox();
    ASSERT_EQ(checker.Runs.size(), before + 1);
    EXPECT_TRUE(checker.Last().Request.LocalOnly);
    EXPECT_FALSE(checker.Last().Request.LocalAfterRemote);
}

} // namespace
} // namespace bm::test
