// The module start-up and shutdown steps on the process-wide lists: the known
// messages are written only when a Mail check finished, the lists only when
// changed.
#include "app/brixmoor.h"

#include "config/addrlistU.h"
#include "config/filtersU.h"
#include "core/commonsU.h"
#include "store/msgsU.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace bm {
namespace {

namespace fs = std::filesystem;

class ShutdownSteps : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* f : {"knownmessages.dat", "whitelist.txt", "blacklist.txt", "filters.xml"})
            fs::remove(GetDataFolder() / f);
        RunLifeSteps(ModuleInitSteps(), false);
    }
    void TearDown() override { SetKnownMessagesChanged(false); }
    static bool Exists(const char* name) { return fs::exists(GetDataFolder() / name); }
};

TEST_F(ShutdownSteps, NothingWrittenWithoutACheckOrAChange)
{
    auto record = std::make_unique<TKnownMessage>();
    record->SetId("m1");
    InboxList().Add(std::move(record));
    SetKnownMessagesChanged(false);
    RunLifeSteps(ModuleShutdownSteps(), true);
    EXPECT_FALSE(Exists("knownmessages.dat"));
    EXPECT_FALSE(Exists("whitelist.txt"));
    EXPECT_FALSE(Exists("blacklist.txt"));
    EXPECT_FALSE(Exists("filters.xml"));
}

TEST_F(ShutdownSteps, FinishedCheckAndChangedListsAreWritten)
{
    auto record = std::make_unique<TKnownMessage>();
    record->SetId("m1");
    InboxList().Add(std::move(record));
    SetKnownMessagesChanged(true);
    WhiteList().AddAddress("Ann@Example.com");
    BlackList().AddAddress("spam@example.net");
    FilterList().Add(std::make_unique<TFilter>());
    RunLifeSteps(ModuleShutdownSteps(), true);
    EXPECT_TRUE(Exists("knownmessages.dat"));
    EXPECT_TRUE(Exists("whitelist.txt"));
    EXPECT_TRUE(Exists("blacklist.txt"));
    EXPECT_TRUE(Exists("filters.xml"));
    EXPECT_EQ(InboxList().Count(), 0); // freed

    // The next start reads them back in the module order.
    RunLifeSteps(ModuleInitSteps(), false);
    EXPECT_EQ(KnownList().Count(), 1);
    EXPECT_EQ(WhiteList().IndexOf("ann@example.com"), 0);
    EXPECT_EQ(FilterList().Count(), 1);
    WhiteList().Clear();
    BlackList().Clear();
    FilterList().Clear();
    RunLifeSteps(ModuleShutdownSteps(), true);
}

} // namespace
} // namespace bm
