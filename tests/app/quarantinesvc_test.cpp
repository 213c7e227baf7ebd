// The quarantine commands: what becomes of the files, the tables, the lists
// and the core's rows, and what the views are told.
#include "tests/app/services_support.h"

#include "store/ffdatamdl.h"
#include "store/msgsU.h"

namespace bm::test {
namespace {

class QuarantineSvc : public ServiceTest {
protected:
    std::vector<int> removedRows;
    std::vector<std::string> whitelisted, blacklisted;

    void SetUp() override
    {
        ServiceTest::SetUp();
        QObject::connect(core.get(), &TAppCore::QuarantineRowRemoved, [this](int id) { removedRows.push_back(id); });
        QObject::connect(core.get(), &TAppCore::AddressWhitelisted,
                         [this](const std::string& a) { whitelisted.push_back(a); });
        QObject::connect(core.get(), &TAppCore::SenderBlacklisted,
                         [this](const std::string& a) { blacklisted.push_back(a); });
    }
    bool InQuarantine(const std::string& uidl) { return std::filesystem::exists(MessageFilePath(account, uidl, true)); }
    bool InInbox(const std::string& uidl) { return std::filesystem::exists(MessageFilePath(account, uidl, false)); }
    bool HasRow(int id)
    {
        for (const TTrashRow& r : core->QuarantineRows())
            if (r.ID == id)
                return true;
        return false;
    }
};

TEST_F(QuarantineSvc, AKeyAndItsQueuedChallengeGoOnlyWithItsLastMessage)
{
    const int key = Key("KEYKEYKEYKEYKEYKEYKEYKEYKEYKEY01");
    const int other = Key("KEYKEYKEYKEYKEYKEYKEYKEYKEYKEY02");
    const int first = Quarantine("m1", key, RawMessage("ann@example.com", "one", "body"));
    const int second = Quarantine("m2", key, RawMessage("ann@example.com", "two", "body"));
    Quarantine("m3", other, RawMessage("bob@example.com", "three", "body"));

    EXPECT_EQ(core->Quarantine().SendToInbox({first}), std::vector<int>{first});
    EXPECT_TRUE(InInbox("m1"));
    EXPECT_FALSE(InQuarantine("m1"));
    EXPECT_FALSE(Db().FindQuarantinedMessage(first));
    EXPECT_FALSE(HasRow(first));
    EXPECT_TRUE(Db().FindKeyById(key)) << "a message of the key is still held";
    EXPECT_TRUE(Db().FirstQueueRowOfKey(key)) << "its challenge may still go";
    // The inbox is rebuilt from the files, so the client can collect it.
    ASSERT_TRUE(core->Checking());
    EXPECT_TRUE(checker.Last().Request.LocalOnly);
    EndRefresh();

    core->Quarantine().SendToInbox({second});
    EXPECT_TRUE(InInbox("m2"));
    EXPECT_FALSE(Db().FindKeyById(key));
    EXPECT_FALSE(Db().FirstQueueRowOfKey(key)) << "a challenge not yet sent is never sent";
    EXPECT_TRUE(Db().FindKeyById(other));
    EXPECT_TRUE(Db().FirstQueueRowOfKey(other));
    EXPECT_EQ(removedRows, (std::vector<int>{first, second}));
}

TEST_F(QuarantineSvc, BothMessagesOfAKeyInOneSelectionRemoveTheKeyOnce)
{
    const int key = Key("KEYKEYKEYKEYKEYKEYKEYKEYKEYKEY03");
    const int a = Quarantine("a", key, RawMessage("ann@example.com", "one", "body"));
    const int b = Quarantine("b", key, RawMessage("ann@example.com", "two", "body"));
    // Walked from the last selected row to the first.
    EXPECT_EQ(core->Quarantine().Delete({a, b}), (std::vector<int>{b, a}));
    EXPECT_FALSE(InQuarantine("a"));
    EXPECT_FALSE(InInbox("a")) << "deleted, not sent";
    EXPECT_FALSE(Db().FindKeyById(key));
    EXPECT_FALSE(Db().FirstQueueRowOfKey(key));
    EXPECT_TRUE(core->QuarantineRows().empty());
}

TEST_F(QuarantineSvc, SendToInboxAndAddFriendsAddsEverySenderOnceInLowerCase)
{
    friends.AddAddress("bob@example.com");
    const int id = Quarantine("m", Key("KEYKEYKEYKEYKEYKEYKEYKEYKEYKEY04"),
                              RawMessage("Ann <Ann@Example.COM>", "hi", "body",
                                         "Sender: BOB@example.com\r\nReply-To: ann@example.com, Cy@Example.org\r\n"));
    core->Quarantine().SendToInboxAndAddFriends({id});
    EXPECT_EQ(whitelisted, (std::vector<std::string>{"ann@example.com", "cy@example.org"}));
    EXPECT_EQ(friends.Count(), 3);
    EXPECT_GE(friends.IndexOf("cy@example.org"), 0);
    EXPECT_TRUE(InInbox("m"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "whitelist.txt")) << "written at exit";
    EXPECT_TRUE(friends.Modified());
}

TEST_F(QuarantineSvc, DeleteAndBlacklistDeletesTheFileAndBlacklistsTheSenders)
{
    const int id = Quarantine("spam", Key("KEYKEYKEYKEYKEYKEYKEYKEYKEYKEY05"),
                              RawMessage("Spam <Spam@Example.NET>", "buy", "now"));
    core->Quarantine().DeleteAndBlacklist({id});
    EXPECT_EQ(blacklisted, std::vector<std::string>{"spam@example.net"});
    EXPECT_FALSE(InQuarantine("spam"));
    EXPECT_FALSE(InInbox("spam"));
    EXPECT_TRUE(whitelisted.empty());
}

TEST_F(QuarantineSvc, ARowWithoutItsTableRowIsLeftAlone)
{
    const int id = Quarantine("gone", Key("KEYKEYKEYKEYKEYKEYKEYKEYKEYKEY06"), RawMessage("a@example.com", "s", "b"));
    Db().DeleteQuarantinedMessage(id); // released by a key reply meanwhile
    EXPECT_TRUE(core->Quarantine().SendToInbox({id}).empty());
    EXPECT_TRUE(InQuarantine("gone"));
    EXPECT_TRUE(HasRow(id));
    EXPECT_FALSE(core->Checking()) << "nothing processed, nothing to rebuild";
}

// Raising the days moves the "Delete at" of the rows whose days changed,
// without reloading: individual days decide only with the option on.
TEST_F(QuarantineSvc, ShiftDeleteTimesNamesTheRowsWhoseDaysChanged)
{
    AddAccount("Own")->SetQuarantineDays(30);
    const int mine = Quarantine("x", 0, RawMessage("a@example.com", "s", "b"));
    TTrashRow stray;
    stray.ID = 9999;
    stray.Account = "Gone"; // an account that no longer exists
    TAppCoreTestAccess::AddQuarantineRows(*core, {stray});
    std::vector<int> told;
    QObject::connect(core.get(), &TAppCore::DeleteTimesShifted, [&](const std::vector<int>& ids) { told = ids; });

    TAccountDays before = core->Quarantine().QuarantineDaysByAccount();
    options.SetQuarantineDays(20);
    EXPECT_EQ(core->Quarantine().ShiftDeleteTimes(before), (std::vector<int>{mine, 9999}));
    EXPECT_EQ(told, (std::vector<int>{mine, 9999}));
    const TTrashRow& row = core->QuarantineRows().front();
    EXPECT_DOUBLE_EQ(core->Quarantine().DeleteAt(row), row.Received + 20);

    accounts.FindByName(account)->SetQuarantineDays(20);
    before = core->Quarantine().QuarantineDaysByAccount();
    options.SetUseIndividualAccountSettings(true);
    EXPECT_TRUE(core->Quarantine().ShiftDeleteTimes(before).empty()) << "Svc and Gone keep 20 days";
    EXPECT_EQ(core->Quarantine().QuarantineDays("Own"), 30);
    EXPECT_EQ(core->Quarantine().QuarantineDays("Gone"), 20);
}

} // namespace
} // namespace bm::test
