// The quarantine cleaner: ages, per-account days, key removal, blacklisting,
// answered requests, compaction and the timer's rules, with a test clock.
#include "store/cleaningmdl.h"

#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "core/commonsU.h"
#include "store/ffdatamdl.h"
#include "store/msgfilesU.h"
#include "tests/support/testenv.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

namespace bm {
namespace {

const TDateTime kNow = EncodeDateTime({2026, 12, 10, 12, 0, 0, 0});

class CleanerTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("XDG_DATA_HOME");
        oldXdg_ = old ? old : "";
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        data_ = std::make_unique<TFFData>(dir_.path() / "quarantine.db");
        accounts_ = std::make_unique<TAccountList>(options_);
        cleaner_ = std::make_unique<TCleanerMdl>(*data_, options_, *accounts_, blacklist_, &registry_);
        cleaner_->OnMessageDeleted = [this](TCleanerMdl&, int id) { deleted_.push_back(id); };
        cleaner_->OnSenderBlacklisted = [this](TCleanerMdl&, const std::string& a) { blacklisted_.push_back(a); };
        cleaner_->OnProgress = [this](TCleanerMdl&, const std::string& t) { progress_.push_back(t); };
        cleaner_->OnFinished = [this](TCleanerMdl&) { ++finished_; };
        cleaner_->OnBeforePack = [this](TCleanerMdl&) { ++packs_; };
        options_.SetBlackListCleanedQuarantine(false);
    }
    void TearDown() override
    {
        cleaner_.reset();
        data_.reset();
        setenv("XDG_DATA_HOME", oldXdg_.c_str(), 1);
    }

    void AddAccount(const std::string& name, int days)
    {
        auto account = std::make_shared<TAccount>(options_);
        account->SetName(name);
        account->SetQuarantineDays(days);
        accounts_->Add(account);
    }

    // A quarantined message received daysAgo, with its file.
    int Quarantine(const std::string& account, const std::string& uidl, int keyId, double daysAgo)
    {
        clock_.Set(kNow - daysAgo);
        TQuarantinedMessage row;
        row.KeyID = keyId;
        row.Account = account;
        row.UIDL = uidl;
        int id = data_->AppendQuarantinedMessage(row);
        SaveMessageText(account, uidl, true, "Subject: held\r\n\r\nbody\r\n.\r\n");
        clock_.Set(kNow);
        return id;
    }

    bool FileExists(const std::string& account, const std::string& uidl)
    {
        return std::filesystem::exists(GetDataFolder() / account / "Bad" / (uidl + ".msg"));
    }

    bool RowExists(int id) { return data_->FindQuarantinedMessage(id).has_value(); }

    test::TempDir dir_;
    std::string oldXdg_;
    TScopedTestClock clock_{kNow};
    TRegistryStore registry_{dir_.path() / "registry"};
    TOptions options_;
    std::unique_ptr<TAccountList> accounts_;
    TBlackList blacklist_;
    std::unique_ptr<TFFData> data_;
    std::unique_ptr<TCleanerMdl> cleaner_;
    std::vector<int> deleted_;
    std::vector<std::string> blacklisted_;
    std::vector<std::string> progress_;
    int finished_ = 0;
    int packs_ = 0;
};

TEST_F(CleanerTest, ArmsARandomFirstTick)
{
    EXPECT_TRUE(cleaner_->CleanTimer().isActive());
    EXPECT_GE(cleaner_->CleanTimer().interval(), 0);
    EXPECT_LE(cleaner_->CleanTimer().interval(), 59000);
    EXPECT_EQ(cleaner_->CleanTimer().interval() % 1000, 0);
}

TEST_F(CleanerTest, OnlySentKeysAgeOutAfterTheQuarantineDays)
{
    options_.SetQuarantineDays(14);
    int sent = data_->AppendKey("SENT", "a@x.org ", true);
    int pending = data_->AppendKey("PENDING", "b@x.org ", false);
    int young = Quarantine("Work", "young", sent, 13);
    int old = Quarantine("Work", "old", sent, 15);
    int oldPending = Quarantine("Work", "oldpending", pending, 15);

    cleaner_->Clean();
    EXPECT_TRUE(RowExists(young));
    EXPECT_TRUE(FileExists("Work", "young"));
    EXPECT_FALSE(RowExists(old));
    EXPECT_FALSE(FileExists("Work", "old"));
    EXPECT_TRUE(RowExists(oldPending));
    EXPECT_TRUE(FileExists("Work", "oldpending"));
    EXPECT_EQ(deleted_, std::vector<int>{old});
}

TEST_F(CleanerTest, IndividualAccountDays)
{
    options_.SetUseIndividualAccountSettings(true);
    options_.SetQuarantineDays(1);
    AddAccount("Short", 3);
    AddAccount("O'Brien", 3);
    AddAccount("Long", 30);
    int key = data_->AppendKey("K", "a@x.org ", true);
    int shortMsg = Quarantine("Short", "s", key, 10);
    int quoted = Quarantine("O'Brien", "q", key, 10);
    int longMsg = Quarantine("Long", "l", key, 10);
    int gone = Quarantine("Removed", "r", key, 100); // an account no longer configured

    cleaner_->Clean();
    EXPECT_FALSE(RowExists(shortMsg));
    EXPECT_FALSE(RowExists(quoted));
    EXPECT_FALSE(FileExists("O'Brien", "q"));
    EXPECT_TRUE(RowExists(longMsg));
    EXPECT_TRUE(RowExists(gone));
}

TEST_F(CleanerTest, EmptyKeysGoInTheSamePassAndTheirQueueRowsStay)
{
    int key = data_->AppendKey("K", "a@x.org ", true);
    int unsentEmpty = data_->AppendKey("U", "b@x.org ", false);
    int kept = data_->AppendKey("KEPT", "c@x.org ", true);
    Quarantine("Work", "m", key, 20);
    Quarantine("Work", "n", kept, 1);
    data_->AppendQueueRow("Work", key, "challenge");

    cleaner_->Clean();
    EXPECT_FALSE(data_->FindKeyById(key));
    EXPECT_FALSE(data_->FindKeyById(unsentEmpty)); // MessageSent does not matter here
    EXPECT_TRUE(data_->FindKeyById(kept));
    EXPECT_EQ(data_->AcctQueue("Work").size(), 1u);
}

TEST_F(CleanerTest, BlacklistsEachSenderOnce)
{
    options_.SetBlackListCleanedQuarantine(true);
    blacklist_.AddAddress("known@z.org");
    int key = data_->AppendKey("K", "Ann@X.org Known@Z.org bob@y.org ", true);
    Quarantine("Work", "m1", key, 20);
    Quarantine("Work", "m2", key, 21);

    cleaner_->Clean();
    EXPECT_EQ(blacklisted_, (std::vector<std::string>{"Ann@X.org", "bob@y.org"}));
    EXPECT_GE(blacklist_.IndexOf("ann@x.org"), 0);
    EXPECT_EQ(blacklist_.Text(blacklist_.IndexOf("ann@x.org")), "ann@x.org");
    EXPECT_GE(blacklist_.IndexOf("bob@y.org"), 0);
    EXPECT_EQ(blacklist_.Count(), 3);
    EXPECT_TRUE(blacklist_.Modified());
    EXPECT_EQ(deleted_.size(), 2u);
}

TEST_F(CleanerTest, AnsweredRequestsOlderThan30DaysGo)
{
    clock_.Set(kNow - 31);
    data_->AppendAnsweredRequest("OLD", "a@x.org ");
    clock_.Set(kNow - 29);
    data_->AppendAnsweredRequest("YOUNG", "a@x.org ");
    clock_.Set(kNow);

    cleaner_->Clean();
    EXPECT_FALSE(data_->FindAnsweredRequest("OLD", MD5Hex("a@x.org ")));
    EXPECT_TRUE(data_->FindAnsweredRequest("YOUNG", MD5Hex("a@x.org ")));
}

TEST_F(CleanerTest, SentMessageIdsOlderThan180DaysGo)
{
    clock_.Set(kNow - 181);
    data_->AppendSentMessage("old@home.example", TSentKind::Relayed, "Work");
    clock_.Set(kNow - 179);
    data_->AppendSentMessage("young@home.example", TSentKind::Challenge, "Work", "bob@far.example");
    clock_.Set(kNow);

    cleaner_->Clean();
    EXPECT_FALSE(data_->AnySentMessage({"old@home.example"}, {TSentKind::Relayed}));
    EXPECT_TRUE(data_->AnySentMessage({"YOUNG@home.example"}, {TSentKind::Challenge}));
}

TEST_F(CleanerTest, FirstPassCompactsWithEveryStepText)
{
    int key = data_->AppendKey("K", "a@x.org ", true);
    Quarantine("Work", "m1", key, 20);
    Quarantine("Work", "m2", key, 20);

    cleaner_->CleanTimerTimer();
    EXPECT_EQ(progress_, (std::vector<std::string>{"Searching for quarantined messages to delete",
                                                   "Deleting quarantine message 1 of 2",
                                                   "Deleting quarantine message 2 of 2",
                                                   "Searching for quarantine keys to delete",
                                                   "Deleting quarantine key 1 of 1",
                                                   "Compacting answered requests",
                                                   "Cleaning up quarantine table",
                                                   "Cleaning up quarantine keys table",
                                                   "Cleaning up quarantine queue table",
                                                   "Cleaning up answered requests table",
                                                   ""}));
    EXPECT_EQ(packs_, 1);
    EXPECT_EQ(cleaner_->LastPack(), kNow);

    // A day later: no compaction (the last is under a week old).
    clock_.Set(kNow + 1);
    progress_.clear();
    cleaner_->CleanTimerTimer();
    EXPECT_EQ(packs_, 1);
    EXPECT_EQ(progress_.back(), "");
    EXPECT_EQ(progress_[progress_.size() - 2], "Compacting answered requests");
}

TEST_F(CleanerTest, TickRunsAPassAndRearmsForTenMinutes)
{
    int asked = 0;
    cleaner_->OnCanClean = [&](TCleanerMdl& c, bool& allowed) {
        ++asked;
        EXPECT_TRUE(allowed);
        EXPECT_FALSE(c.Busy());
    };
    bool busyDuringPass = false;
    cleaner_->OnProgress = [&](TCleanerMdl& c, const std::string&) { busyDuringPass |= c.Busy(); };

    cleaner_->CleanTimerTimer();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(finished_, 1);
    EXPECT_TRUE(busyDuringPass);
    EXPECT_FALSE(cleaner_->Busy());
    EXPECT_TRUE(cleaner_->CleanTimer().isActive());
    EXPECT_EQ(cleaner_->CleanTimer().interval(), 600000);
    EXPECT_EQ(cleaner_->LastClean(), kNow);

    // Stored as an 8-byte day count under the local machine's product key.
    auto stored = registry_.ReadBinary(THive::LocalMachine, "SOFTWARE\\Veldhaven\\Brixmoor 2.0\\State", "LastClean");
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 8u);
    double value = 0;
    std::memcpy(&value, stored->data(), 8);
    EXPECT_EQ(value, kNow);

    // Within the hour the tick does nothing; after it, the next pass runs.
    clock_.Set(kNow + 59.0 / (24 * 60));
    cleaner_->CleanTimerTimer();
    EXPECT_EQ(asked, 1);
    clock_.Set(kNow + 61.0 / (24 * 60));
    cleaner_->CleanTimerTimer();
    EXPECT_EQ(asked, 2);
}

TEST_F(CleanerTest, RefusedPassRetriesInFiveSeconds)
{
    int key = data_->AppendKey("K", "a@x.org ", true);
    int msg = Quarantine("Work", "m", key, 20);
    cleaner_->OnCanClean = [](TCleanerMdl&, bool& allowed) { allowed = false; };

    cleaner_->CleanTimerTimer();
    EXPECT_TRUE(cleaner_->CleanTimer().isActive());
    EXPECT_EQ(cleaner_->CleanTimer().interval(), 5000);
    EXPECT_TRUE(RowExists(msg));
    EXPECT_EQ(finished_, 0);
    EXPECT_EQ(cleaner_->LastClean(), 0);
}

TEST_F(CleanerTest, FailedSearchEndsThePassAndIsPassedOn)
{
    data_->Database().Exec("DROP TABLE QuarantinedMessages");
    try {
        cleaner_->CleanTimerTimer();
        FAIL() << "the failure was swallowed";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "no such table: QuarantinedMessages");
    }
    EXPECT_EQ(finished_, 1);
    EXPECT_FALSE(cleaner_->Busy());
    EXPECT_EQ(cleaner_->CleanTimer().interval(), 600000);
    EXPECT_TRUE(cleaner_->CleanTimer().isActive());
    EXPECT_EQ(cleaner_->LastClean(), kNow);
}

} // namespace
} // namespace bm
