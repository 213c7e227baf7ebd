// The side-bar list commands and when each writes its list.
#include "tests/app/services_support.h"

#include "config/filtersU.h"

namespace bm::test {
namespace {

class ListSvc : public ServiceTest {
protected:
    std::filesystem::path FriendsFile() { return dir.path() / "whitelist.txt"; }
    std::filesystem::path BlacklistFile() { return dir.path() / "blacklist.txt"; }
    std::string Read(const std::filesystem::path& f) { return std::filesystem::exists(f) ? ReadFileBytes(f) : ""; }
};

TEST_F(ListSvc, AddWritesTheListOnceForANewAddressInLowerCase)
{
    std::vector<std::string> told;
    QObject::connect(core.get(), &TAppCore::AddressWhitelisted, [&](const std::string& a) { told.push_back(a); });
    EXPECT_TRUE(core->Lists().AddAddress(TSideBarList::Friends, "Ann@Example.COM"));
    EXPECT_FALSE(core->Lists().AddAddress(TSideBarList::Friends, "ann@example.com"));
    EXPECT_EQ(told, std::vector<std::string>{"ann@example.com"});
    EXPECT_NE(Read(FriendsFile()).find("ann@example.com"), std::string::npos);
    EXPECT_FALSE(friends.Modified());
}

TEST_F(ListSvc, DeleteOnlyMarksTheListChanged)
{
    core->Lists().AddAddress(TSideBarList::Blacklist, "spam@example.net");
    const std::string written = Read(BlacklistFile());
    std::vector<std::string> gone;
    QObject::connect(core.get(), &TAppCore::AddressRemoved,
                     [&](TSideBarList, const std::string& t) { gone.push_back(t); });
    core->Lists().DeleteAddresses(TSideBarList::Blacklist, {"SPAM@example.net", "nobody@example.net"});
    EXPECT_EQ(gone, std::vector<std::string>{"spam@example.net"});
    EXPECT_EQ(blacklist.Count(), 0);
    EXPECT_TRUE(blacklist.Modified());
    EXPECT_EQ(Read(BlacklistFile()), written);
}

TEST_F(ListSvc, EditKeepsTheEnabledStateAndRefusesAnotherEntrysAddress)
{
    friends.Add("old@example.com", false);
    friends.AddAddress("taken@example.com");
    EXPECT_FALSE(core->Lists().EditAddress(TSideBarList::Friends, "old@example.com", "Taken@example.com"));
    EXPECT_FALSE(core->Lists().EditAddress(TSideBarList::Friends, "missing@example.com", "x@example.com"));
    EXPECT_TRUE(core->Lists().EditAddress(TSideBarList::Friends, "old@example.com", "New@Example.com"));
    const int index = friends.IndexOf("new@example.com");
    ASSERT_GE(index, 0);
    EXPECT_EQ(friends.Text(index), "new@example.com");
    EXPECT_FALSE(friends.Active(index));
    EXPECT_EQ(friends.IndexOf("old@example.com"), -1);
    EXPECT_NE(Read(FriendsFile()).find("new@example.com"), std::string::npos);
}

TEST_F(ListSvc, MoveAddsToTheOtherListAndWritesBoth)
{
    friends.AddAddress("ann@example.com");
    friends.AddAddress("bob@example.com");
    blacklist.AddAddress("bob@example.com");
    std::vector<std::string> blacklisted;
    QObject::connect(core.get(), &TAppCore::SenderBlacklisted,
                     [&](const std::string& a) { blacklisted.push_back(a); });
    core->Lists().MoveAddresses(TSideBarList::Friends, {"ann@example.com", "bob@example.com"});
    EXPECT_EQ(blacklisted, std::vector<std::string>{"ann@example.com"}) << "bob was blacklisted already";
    EXPECT_EQ(friends.Count(), 0);
    EXPECT_EQ(blacklist.Count(), 2);
    EXPECT_TRUE(std::filesystem::exists(FriendsFile()));
    EXPECT_NE(Read(BlacklistFile()).find("ann@example.com"), std::string::npos);
    EXPECT_THROW(core->Lists().MoveAddresses(TSideBarList::Filters, {}), std::invalid_argument);
}

TEST_F(ListSvc, CheckBoxesSetTheEntryAndWrite)
{
    friends.AddAddress("ann@example.com");
    EXPECT_TRUE(core->Lists().SetAddressEnabled(TSideBarList::Friends, "ann@example.com", false));
    EXPECT_FALSE(friends.Active(0));
    EXPECT_FALSE(friends.Modified());
    EXPECT_FALSE(core->Lists().SetAddressEnabled(TSideBarList::Friends, "gone@example.com", false));
}

TEST_F(ListSvc, FilterEditsTellTheRowAndWriteTheFilters)
{
    std::vector<std::string> events;
    auto tell = [&](const char* what) {
        return [&events, what](int i, const TSideBarRow& r) {
            events.push_back(std::string(what) + " " + std::to_string(i) + " " + r.Text);
        };
    };
    QObject::connect(core.get(), &TAppCore::FilterAdded, tell("add"));
    QObject::connect(core.get(), &TAppCore::FilterChanged, tell("change"));
    QObject::connect(core.get(), &TAppCore::FilterRemoved,
                     [&](int i) { events.push_back("remove " + std::to_string(i)); });
    auto filter = std::make_unique<TFilter>();
    filter->SetName("Ads");
    EXPECT_EQ(core->Lists().AddFilter(std::move(filter)), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "filters.xml"));
    filters.Item(0)->SetName("Adverts");
    EXPECT_TRUE(core->Lists().FilterEdited(0));
    EXPECT_FALSE(filters.Modified());
    EXPECT_TRUE(core->Lists().SetFilterEnabled(0, false));
    EXPECT_FALSE(core->SideBar().Filters[0].Enabled);
    EXPECT_TRUE(core->Lists().DeleteFilter(0));
    EXPECT_FALSE(core->Lists().DeleteFilter(0));
    EXPECT_EQ(events, (std::vector<std::string>{"add 0 Ads", "change 0 Adverts", "remove 0"}));
    EXPECT_EQ(filters.Count(), 0);
}

} // namespace
} // namespace bm::test
