// Each core works on what its settings give it alone, and any number of
// observers see its signals.
#include "tests/app/services_support.h"

#include "store/ffdatamdl.h"

namespace bm::test {
namespace {

// What one observer saw, in order.
struct Observer {
    std::vector<std::string> Seen;
    void Watch(TAppCore& core)
    {
        QObject::connect(&core, &TAppCore::StatusChanged,
                         [this](const std::string& t) { Seen.push_back("status " + t); });
        QObject::connect(&core, &TAppCore::AddressWhitelisted,
                         [this](const std::string& a) { Seen.push_back("friend " + a); });
        QObject::connect(&core, &TAppCore::CheckStarted, [this](const TCheckRequest&) { Seen.push_back("started"); });
        QObject::connect(&core, &TAppCore::CheckFinished, [this](bool) { Seen.push_back("finished"); });
    }
};

TEST(AppCoreContext, TwoCoresInOneProcessShareNothing)
{
    TScopedTestClock clock {EncodeDate(2026, 3, 2) + EncodeTime(9, 0, 0)};
    CoreContext a, b;
    for (CoreContext* c : {&a, &b}) {
        c->core = std::make_unique<TAppCore>(c->Settings());
        c->core->Create();
        TAppCoreTestAccess::Cleaner(*c->core)->CleanTimer().stop();
    }
    a.core->Lists().AddAddress(TSideBarList::Friends, "ann@example.com");
    TAppCoreTestAccess::Database(*a.core)->AppendKey("KEYKEYKEYKEYKEYKEYKEYKEYKEYKEY10", "x ", false);
    ASSERT_TRUE(a.core->StartMailCheck(true, false));
    // Both check at once: there is no process-wide running check between them.
    ASSERT_TRUE(b.core->StartMailCheck(true, false));
    Observer seenByB;
    seenByB.Watch(*b.core);
    auto record = std::make_unique<TKnownMessage>();
    record->SetId("m1");
    record->SetAccount("Home");
    a.checker.Last().Events.OnNewMessage("m1", *a.inbox.Add(std::move(record)));
    a.checker.Last().Finish();

    EXPECT_EQ(b.friends.Count(), 0);
    EXPECT_FALSE(std::filesystem::exists(b.dir.path() / "whitelist.txt"));
    EXPECT_TRUE(TAppCoreTestAccess::Database(*b.core)->AllKeys().empty());
    EXPECT_TRUE(b.core->InboxRows().empty());
    EXPECT_EQ(a.core->InboxRows().size(), 1u);
    EXPECT_TRUE(b.core->Checking());
    EXPECT_FALSE(a.core->Checking());
    EXPECT_EQ(seenByB.Seen, std::vector<std::string>{}) << "b's observers hear nothing of a";
    b.checker.Last().Finish();
    EXPECT_EQ(seenByB.Seen, (std::vector<std::string>{"status ", "finished"}));
}

TEST(AppCoreContext, EveryListIsRequired)
{
    CoreContext c;
    TAppCoreSettings s = c.Settings();
    s.Inbox = nullptr;
    EXPECT_THROW(TAppCore core(s), std::invalid_argument);
    s = c.Settings();
    s.Friends = nullptr;
    EXPECT_THROW(TAppCore core(s), std::invalid_argument);
}

class TwoObservers : public ServiceTest {};

TEST_F(TwoObservers, EachSeesEverySignalInTheSameOrder)
{
    Observer window, tray;
    window.Watch(*core);
    tray.Watch(*core);
    core->Lists().AddAddress(TSideBarList::Friends, "ann@example.com");
    core->SetStatus("Connecting");
    ASSERT_TRUE(core->Checks().CheckMail(false));
    checker.Last().Events.OnAddressWhitelisted("Bob@Example.com"); // the checker's
    checker.Last().Finish();
    const std::vector<std::string> expected {"friend ann@example.com", "status Connecting", "status ", "started",
                                             "friend bob@example.com", "status ", "finished"};
    EXPECT_EQ(window.Seen, expected);
    EXPECT_EQ(tray.Seen, expected);
}

} // namespace
} // namespace bm::test
