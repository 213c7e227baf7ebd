// The life cycle of the application core on a test clock: the start-up with
// and without the start-up check, the periodic check and its conditions, the
// dial-up rule, checks and cleanings excluding each other, and the close
// request.
#include "tests/app/appcore_support.h"

#include "store/cleaningmdl.h"
#include "store/knownmsgU.h"

namespace bm::test {
namespace {

using namespace std::chrono_literals;

// --- Start-up --------------------------------------------------------------------

TEST_F(AppCoreTest, StartupWithCheckOnStartupArmsTheStartupCheck)
{
    AddAccount("Home");
    Create();
    EXPECT_TRUE(TAppCoreTestAccess::StartupMailChecker(*core).isActive());
    EXPECT_FALSE(TAppCoreTestAccess::CheckMailTimer(*core).isActive());
    EXPECT_FALSE(TAppCoreTestAccess::UpdCheckTimeTimer(*core).isActive());
    EXPECT_TRUE(core->StartupCheckPending());
    EXPECT_EQ(Started(), 0u);
    EXPECT_EQ(core->StatusText(), "");
    EXPECT_EQ(core->LastCheckedText(), "Mail hasn't been checked yet");

    core->StartupMailCheckerTimer();
    EXPECT_FALSE(TAppCoreTestAccess::StartupMailChecker(*core).isActive());
    ASSERT_EQ(Started(), 1u);
    const TCheckRequest& r = checker.Last().Request;
    EXPECT_FALSE(r.LocalOnly);
    EXPECT_TRUE(r.LocalAfterRemote); // the first check also rebuilds the inbox
    EXPECT_TRUE(r.DefaultOnly);
    EXPECT_EQ(r.Account, nullptr);
    // The timers start only when that check has finished.
    EXPECT_FALSE(TAppCoreTestAccess::CheckMailTimer(*core).isActive());
    EXPECT_FALSE(TAppCoreTestAccess::UpdCheckTimeTimer(*core).isActive());

    Advance(90s);
    checker.Last().Finish();
    EXPECT_TRUE(TAppCoreTestAccess::CheckMailTimer(*core).isActive());
    EXPECT_TRUE(TAppCoreTestAccess::UpdCheckTimeTimer(*core).isActive());
    EXPECT_FALSE(core->StartupCheckPending());
    EXPECT_TRUE(core->CheckedOnce());
    EXPECT_FALSE(core->Checking());
    EXPECT_EQ(core->LastCheckTick(), GetTickCount());
    ASSERT_TRUE(core->LastCheckTime());
    EXPECT_DOUBLE_EQ(*core->LastCheckTime(), Now());
    EXPECT_EQ(core->LastCheckedText(), "Mail was last checked within the minute");
}

TEST_F(AppCoreTest, StartupWithoutCheckOnStartupRefreshesTheInbox)
{
    options.SetCheckOnStartup(false);
    AddAccount("Home");
    Create();
    EXPECT_FALSE(TAppCoreTestAccess::StartupMailChecker(*core).isActive());
    EXPECT_TRUE(TAppCoreTestAccess::CheckMailTimer(*core).isActive());
    EXPECT_TRUE(TAppCoreTestAccess::UpdCheckTimeTimer(*core).isActive());
    ASSERT_TRUE(core->LastCheckTime());
    EXPECT_DOUBLE_EQ(*core->LastCheckTime(), Now());
    ASSERT_EQ(Started(), 1u);
    const TCheckRequest& r = checker.Last().Request;
    EXPECT_TRUE(r.LocalOnly);
    EXPECT_FALSE(r.LocalAfterRemote);
    EXPECT_FALSE(r.DefaultOnly);

    // The refresh counts as a finished Mail check.
    checker.Last().Finish();
    EXPECT_TRUE(core->CheckedOnce());
    EXPECT_FALSE(core->StartupCheckPending());
}

TEST_F(AppCoreTest, StartupCheckWithoutAccountsIsSkippedWithoutAnError)
{
    Create();
    core->StartupMailCheckerTimer();
    EXPECT_EQ(Started(), 0u); // and no refresh either
    EXPECT_TRUE(TAppCoreTestAccess::CheckMailTimer(*core).isActive());
    EXPECT_TRUE(TAppCoreTestAccess::UpdCheckTimeTimer(*core).isActive());
    EXPECT_EQ(ErrorList().Count(), 0u);
    EXPECT_TRUE(core->InboxRows().empty());
    EXPECT_TRUE(core->StartupCheckPending());
}

TEST_F(AppCoreTest, StartupCheckIsSkippedForInvalidAccounts)
{
    AddAccount("Home", "pop.example.com", "");
    Create();
    core->StartupMailCheckerTimer();
    EXPECT_EQ(Started(), 0u);
    EXPECT_TRUE(TAppCoreTestAccess::CheckMailTimer(*core).isActive());
    Advance(60min);
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), 0u);
}

// --- Why a check is skipped --------------------------------------------------------

class SkipReasonTest;

struct SkipCase {
    const char* name;
    std::function<void(SkipReasonTest&)> setUp;
    const char* reason;
};

class SkipReasonTest : public AppCoreTest, public testing::WithParamInterface<SkipCase> {
public:
    // For the cases' set-up.
    using AppCoreTest::AddAccount;
    using AppCoreTest::options;
};

void PrintTo(const SkipCase& c, std::ostream* os)
{
    *os << c.name;
}

// The start-up check and then the periodic timer, every 5 s for a while:
// the reason is told once, on the event and in the trace.
TEST_P(SkipReasonTest, TheReasonIsToldOnceNotAtEveryTick)
{
    TraceCapture trace(dir.path() / "trace.log");
    GetParam().setUp(*this);
    Create();
    std::vector<std::string> told;
    QObject::connect(core.get(), &TAppCore::CheckSkipped,
                     [&told](const std::string& reason) { told.push_back(reason); });
    core->StartupMailCheckerTimer();
    // Without a connection the start-up check's place is taken by the
    // local-only pass; the periodic checks then find no connection again.
    if (Started() == 1u && checker.Last().Request.LocalOnly)
        checker.Last().Finish();
    for (int tick = 0; tick < 20; ++tick) {
        Advance(5s);
        core->CheckMailTimerTimer();
    }
    Advance(60min);
    core->CheckMailTimerTimer();
    for (const auto& run : checker.Runs)
        EXPECT_TRUE(run->Request.LocalOnly);
    EXPECT_EQ(told, std::vector<std::string>{GetParam().reason});
    EXPECT_EQ(trace.Count(std::string("\tMail check skipped\t") + GetParam().reason + "\r\n"), 1u) << trace.Text();
    EXPECT_EQ(ErrorList().Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    AppCore, SkipReasonTest,
    testing::Values(
        SkipCase {"no_accounts", [](SkipReasonTest&) {}, TAppCore::kSkipNoAccounts},
        SkipCase {"invalid_account",
                  [](SkipReasonTest& t) {
                      t.AddAccount("Home", "pop.example.com", "smtp.example.com", "joe", true);
                      t.AddAccount("Work", "", "", "joe", true);
                  },
                  "Work: No outgoing (SMTP) server specified; Work: No incoming (POP) server specified"},
        SkipCase {"no_default_account",
                  [](SkipReasonTest& t) {
                      t.AddAccount("Home", "pop.example.com", "smtp.example.com", "joe", false);
                  },
                  TAppCore::kSkipNoDefaultAccount},
        SkipCase {"no_dial_up_connection",
                  [](SkipReasonTest& t) {
                      t.AddAccount("Home", "pop.example.com", "smtp.example.com", "joe", true);
                      t.options.SetConnect(1);
                  },
                  TAppCore::kSkipNoDialUp}),
    [](const testing::TestParamInfo<SkipCase>& info) { return std::string(info.param.name); });

// A new cause is told when it appears; an old one again after a check ran.
TEST_F(AppCoreTest, ASkipReasonIsToldAgainWhenTheCauseChangesOrAfterACheck)
{
    Create();
    std::vector<std::string> told;
    QObject::connect(core.get(), &TAppCore::CheckSkipped,
                     [&told](const std::string& reason) { told.push_back(reason); });
    core->StartupMailCheckerTimer();
    auto home = AddAccount("Home", "pop.example.com", "smtp.example.com", "joe", false);
    core->CheckMailTimerTimer();
    core->CheckMailTimerTimer();
    home->SetInDefaultCheck(true);
    Advance(60min);
    core->CheckMailTimerTimer();
    ASSERT_EQ(Started(), 1u);
    checker.Last().Finish();
    home->SetInDefaultCheck(false);
    core->CheckMailTimerTimer();
    EXPECT_EQ(told, (std::vector<std::string>{TAppCore::kSkipNoAccounts, TAppCore::kSkipNoDefaultAccount,
                                              TAppCore::kSkipNoDefaultAccount}));
}

TEST_F(AppCoreTest, StartupCheckWaitsForARunningCheck)
{
    AddAccount("Home");
    Create();
    core->RefreshInbox(); // a user command before the start-up check fired
    core->StartupMailCheckerTimer();
    EXPECT_EQ(Started(), 1u);
    EXPECT_TRUE(TAppCoreTestAccess::CheckMailTimer(*core).isActive());
    EXPECT_TRUE(TAppCoreTestAccess::UpdCheckTimeTimer(*core).isActive());
}

TEST_F(AppCoreTest, CheckThatCannotStartLeavesTheTimersRunning)
{
    AddAccount("Home");
    checker.FailToStart = true;
    Create();
    core->StartupMailCheckerTimer();
    EXPECT_FALSE(core->Checking());
    EXPECT_TRUE(TAppCoreTestAccess::CheckMailTimer(*core).isActive());
    EXPECT_TRUE(TAppCoreTestAccess::UpdCheckTimeTimer(*core).isActive());
}

// --- ValidateAccounts --------------------------------------------------------------

struct ValidateCase {
    const char* name;
    const char* in;
    const char* out;
    const char* user;
    const char* error;
};

void PrintTo(const ValidateCase& c, std::ostream* os)
{
    *os << c.name;
}

class ValidateAccountsTest : public AppCoreTest, public testing::WithParamInterface<ValidateCase> {};

TEST_P(ValidateAccountsTest, OneLinePerFailingTest)
{
    const ValidateCase& c = GetParam();
    auto account = AddAccount("Home", c.in, c.out, c.user);
    MakeCore(Settings());
    std::string error;
    EXPECT_EQ(core->ValidateAccounts(false, nullptr, error), *c.error == 0);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(core->ValidateAccounts(false, account.get(), error), *c.error == 0);
    EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    AppCore, ValidateAccountsTest,
    testing::Values(
        ValidateCase {"valid", "pop.example.com", "smtp.example.com", "joe", ""},
        ValidateCase {"no_outgoing", "pop.example.com", "", "joe", "Home: No outgoing (SMTP) server specified"},
        ValidateCase {"no_incoming", "", "smtp.example.com", "joe", "Home: No incoming (POP) server specified"},
        ValidateCase {"no_user", "pop.example.com", "smtp.example.com", "",
                      "Home: No incoming (POP) user name specified"},
        ValidateCase {"outgoing_before_incoming", "", "", "joe",
                      "Home: No outgoing (SMTP) server specified\r\nHome: No incoming (POP) server specified"},
        ValidateCase {"all_three", "", "", "",
                      "Home: No outgoing (SMTP) server specified\r\nHome: No incoming (POP) server "
                      "specified\r\nHome: No incoming (POP) user name specified"}),
    [](const testing::TestParamInfo<ValidateCase>& info) { return info.param.name; });

TEST_F(AppCoreTest, ValidateAccountsDefaultOnlySkipsOtherAccounts)
{
    AddAccount("Home");
    AddAccount("Old", "", "smtp.example.com", "joe", false);
    MakeCore(Settings());
    std::string error;
    EXPECT_TRUE(core->ValidateAccounts(true, nullptr, error));
    EXPECT_FALSE(core->ValidateAccounts(false, nullptr, error));
    EXPECT_EQ(error, "Old: No incoming (POP) server specified");
    EXPECT_TRUE(core->HasDefaultCheckAccounts());
}

// --- The periodic check ------------------------------------------------------------

// Brings the core to the running state: start-up check made and finished.
class PeriodicCheckTest : public AppCoreTest {
protected:
    void SetUp() override
    {
        AddAccount("Home");
        Create();
        core->StartupMailCheckerTimer();
        checker.Last().Finish();
        ASSERT_EQ(Started(), 1u);
    }
};

TEST_F(PeriodicCheckTest, IntervalRunsFromTheEndOfTheLastCheck)
{
    Advance(5min - 1ms);
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), 1u);
    Advance(1ms);
    core->CheckMailTimerTimer();
    ASSERT_EQ(Started(), 2u);
    EXPECT_FALSE(checker.Last().Request.LocalAfterRemote); // no longer the first check
    EXPECT_TRUE(checker.Last().Request.DefaultOnly);
    EXPECT_TRUE(TAppCoreTestAccess::CheckMailTimer(*core).isActive()); // paused only while starting

    // A long check: the next interval starts when it ends.
    Advance(20min);
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), 2u); // it still runs
    checker.Last().Finish();
    Advance(4min);
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), 2u);
    Advance(1min);
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), 3u);
}

TEST_F(PeriodicCheckTest, ARefreshRestartsTheInterval)
{
    Advance(4min);
    core->RefreshInbox();
    checker.Last().Finish();
    Advance(4min);
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), 2u); // only the refresh
    Advance(1min);
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), 3u);
}

class PeriodicConditionTest : public PeriodicCheckTest, public testing::WithParamInterface<const char*> {};

TEST_P(PeriodicConditionTest, EveryConditionMustHold)
{
    const std::string c = GetParam();
    if (c == "auto_check_off")
        options.SetAutoCheck(false);
    else if (c == "no_accounts")
        accounts.Clear();
    else if (c == "invalid_account")
        accounts.Item(0)->Outgoing().SetServer("");
    else if (c == "no_default_check_account")
        accounts.Item(0)->SetInDefaultCheck(false);
    else if (c == "longer_interval")
        options.SetAutoInterval(30);
    else if (c == "checking")
        core->RefreshInbox();
    Advance(10min);
    const std::size_t before = Started();
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), before) << c;
}

INSTANTIATE_TEST_SUITE_P(AppCore, PeriodicConditionTest,
                         testing::Values("auto_check_off", "no_accounts", "invalid_account",
                                         "no_default_check_account", "longer_interval", "checking"));

TEST_F(AppCoreTest, WithoutStartupCheckTheFirstAutomaticCheckFollowsTheRefresh)
{
    options.SetCheckOnStartup(false);
    AddAccount("Home");
    Create();
    Advance(2s);
    checker.Last().Finish(); // the start-up refresh
    Advance(5min - 1ms);
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), 1u);
    Advance(1ms);
    core->CheckMailTimerTimer();
    EXPECT_EQ(Started(), 2u);
}

// --- The dial-up rule --------------------------------------------------------------

struct DialCase {
    const char* name;
    int connect;
    bool userStarted;
    bool connected;  // a connection is up before
    bool dialable;   // dialling makes one
    bool starts;     // the remote check starts
    int dials;
    bool phoneBook = true;  // the service lists an entry
};

void PrintTo(const DialCase& c, std::ostream* os)
{
    *os << c.name;
}

class DialRuleTest : public AppCoreTest, public testing::WithParamInterface<DialCase> {};

TEST_P(DialRuleTest, ConnectDecidesWhetherTheCheckStarts)
{
    const DialCase& c = GetParam();
    options.SetConnect(c.connect);
    ras.Connected = c.connected;
    ras.Dialable = c.dialable;
    ras.HasEntry = c.phoneBook;
    AddAccount("Home");
    Create();
    EXPECT_EQ(core->StartMailCheck(c.userStarted, false), c.starts);
    EXPECT_EQ(ras.Dials, c.dials);
    ASSERT_EQ(Started(), 1u);
    // Not started while the start-up check is pending: the local-only pass.
    EXPECT_EQ(checker.Last().Request.LocalOnly, !c.starts);
    EXPECT_TRUE(checker.Last().Request.LocalAfterRemote);
    checker.Last().Finish();
    EXPECT_EQ(core->CheckedOnce(), c.starts); // the stand-in pass does not count

    // Once the start-up check is no longer pending nothing replaces it.
    ras.Connected = c.connected;
    EXPECT_EQ(core->StartMailCheck(c.userStarted, false), c.starts);
    EXPECT_EQ(Started(), c.starts ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    AppCore, DialRuleTest,
    testing::Values(DialCase {"assume_online", 0, false, false, false, true, 0},
                    DialCase {"automatic_without_connection", 1, false, false, true, false, 0},
                    DialCase {"automatic_with_connection", 1, false, true, true, true, 1},
                    DialCase {"user_dials", 1, true, false, true, true, 1},
                    DialCase {"user_dial_fails", 1, true, false, false, false, 1},
                    DialCase {"do_not_dial_is_treated_alike", 2, true, false, true, true, 1},
                    DialCase {"do_not_dial_automatic", 2, false, false, true, false, 0},
                    // Without a phone book there is nothing to dial: 1 and 2 act as 0.
                    DialCase {"no_phone_book_automatic", 1, false, false, false, true, 0, false},
                    DialCase {"no_phone_book_do_not_dial", 2, false, false, false, true, 0, false},
                    DialCase {"no_phone_book_user_started", 1, true, false, false, true, 0, false}),
    [](const testing::TestParamInfo<DialCase>& info) { return info.param.name; });

// Options carried over from a machine that dialled: this platform's service
// has no phone book, so the periodic checks run, and the trace says why once.
TEST_F(AppCoreTest, ThisPlatformChecksWithADialUpSettingAndTracesItOnce)
{
    TraceCapture trace(dir.path() / "trace.log");
    options.SetConnect(2);
    AddAccount("Home");
    auto s = Settings();
    s.RemoteAccess = nullptr; // the platform's: no phone book
    MakeCore(std::move(s));
    core->Create();
    StopCleanerTimer();
    core->StartupMailCheckerTimer();
    ASSERT_EQ(Started(), 1u);
    EXPECT_FALSE(checker.Last().Request.LocalOnly);
    checker.Last().Finish();
    Advance(std::chrono::minutes(options.AutoInterval()));
    core->CheckMailTimerTimer();
    ASSERT_EQ(Started(), 2u);
    EXPECT_FALSE(checker.Last().Request.LocalOnly);
    EXPECT_EQ(ErrorList().Count(), 0u);
    EXPECT_EQ(trace.Count("\tDial-up\tno phone-book entry: Connect 2 is taken as 0 (assume online)"), 1u)
        << trace.Text();
}

// --- Checks and cleanings exclude each other ----------------------------------------

TEST_F(AppCoreTest, NoCleaningWhileACheckRuns)
{
    AddAccount("Home");
    Create();
    core->StartupMailCheckerTimer();
    ASSERT_TRUE(core->Checking());
    EXPECT_FALSE(core->MayClean());
    TAppCoreTestAccess::Cleaner(*core)->CleanTimerTimer();
    EXPECT_FALSE(core->Cleaning());
    EXPECT_EQ(TAppCoreTestAccess::Cleaner(*core)->LastClean(), 0.0); // refused, not run
    EXPECT_EQ(TAppCoreTestAccess::Cleaner(*core)->CleanTimer().interval(), 5000);

    checker.Last().Finish();
    EXPECT_TRUE(core->MayClean());
    core->SetExitConfirmationOpen(true);
    EXPECT_FALSE(core->MayClean());
    core->SetExitConfirmationOpen(false);
    TAppCoreTestAccess::Cleaner(*core)->CleanTimerTimer();
    EXPECT_DOUBLE_EQ(TAppCoreTestAccess::Cleaner(*core)->LastClean(), Now());
}

TEST_F(AppCoreTest, NoCheckWhileACleaningRuns)
{
    AddAccount("Home");
    Create();
    core->StartupMailCheckerTimer();
    checker.Last().Finish();
    // The cleaner's progress texts arrive while the pass runs: every way to
    // start a check is tried from there.
    bool tried = false;
    QObject::connect(core.get(), &TAppCore::StatusChanged, [&](const std::string& text) {
        if (text != "Searching for quarantined messages to delete")
            return;
        tried = true;
        EXPECT_TRUE(core->Cleaning());
        core->CheckMailTimerTimer();
        core->StartupMailCheckerTimer();
        core->CloseRequest();
        core->CloseNowTimerTimer();
    });
    TAppCoreTestAccess::Cleaner(*core)->CleanTimerTimer();
    EXPECT_TRUE(tried);
    EXPECT_EQ(Started(), 1u);
    EXPECT_EQ(closes, 0);
    EXPECT_FALSE(core->Cleaning());
    core->CloseNowTimerTimer(); // idle now
    EXPECT_EQ(closes, 1);
}

// --- Close request -------------------------------------------------------------------

TEST_F(AppCoreTest, CloseRequestWaitsForTheRunningCheck)
{
    AddAccount("Home");
    Create();
    core->StartupMailCheckerTimer();
    core->CloseRequest();
    EXPECT_TRUE(TAppCoreTestAccess::CloseNowTimer(*core).isActive());
    EXPECT_EQ(TAppCoreTestAccess::CloseNowTimer(*core).interval(), 100);
    core->CloseNowTimerTimer();
    EXPECT_EQ(closes, 0);
    EXPECT_FALSE(core->CloseAllowed());
    EXPECT_TRUE(TAppCoreTestAccess::CloseNowTimer(*core).isActive());
    EXPECT_EQ(checker.Last().Stops, 0); // the close request does not stop it

    checker.Last().Finish();
    core->CloseNowTimerTimer();
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(core->CloseAllowed());
    EXPECT_FALSE(TAppCoreTestAccess::CloseNowTimer(*core).isActive());
}

TEST_F(AppCoreTest, TerminationStopsTheCheckThenCloses)
{
    AddAccount("Home");
    Create();
    core->StartupMailCheckerTimer();
    core->TerminateRequest();
    EXPECT_EQ(checker.Last().Stops, 1);
    core->CloseNowTimerTimer();
    EXPECT_EQ(closes, 0);
    checker.Last().Finish({}, false); // a stopped check may end early
    core->CloseNowTimerTimer();
    EXPECT_EQ(closes, 1);
}

TEST_F(AppCoreTest, ShutdownReleasesTheInstanceOnceAndStopsTheTimers)
{
    Create();
    core->Shutdown();
    core->Shutdown();
    EXPECT_EQ(releases, 1);
    EXPECT_FALSE(TAppCoreTestAccess::StartupMailChecker(*core).isActive());
    EXPECT_EQ(TAppCoreTestAccess::Database(*core), nullptr);
    EXPECT_EQ(TAppCoreTestAccess::RASManager(*core), nullptr);
    EXPECT_EQ(TAppCoreTestAccess::Cleaner(*core), nullptr);
    core->CloseRequest();
    EXPECT_FALSE(TAppCoreTestAccess::CloseNowTimer(*core).isActive());
}

TEST_F(AppCoreTest, ShutdownDuringACheckStopsItAndWaitsForItsEnd)
{
    AddAccount("Home");
    Create();
    core->StartupMailCheckerTimer();
    FakeCheck& run = checker.Last();
    core->Shutdown(); // the stopped check ends a moment later, from the event loop
    EXPECT_TRUE(run.Ended);
    EXPECT_EQ(run.Stops, 1);
    EXPECT_FALSE(core->Checking());
    EXPECT_EQ(releases, 1);
}

TEST_F(AppCoreTest, KnownMessagesAreMarkedOnlyByAFinishedCheck)
{
    SetKnownMessagesChanged(false);
    AddAccount("Home");
    Create();
    core->StartupMailCheckerTimer();
    EXPECT_FALSE(KnownMessagesChanged());
    checker.Last().Finish({}, false); // ended early
    EXPECT_FALSE(KnownMessagesChanged());
    EXPECT_TRUE(TAppCoreTestAccess::CheckMailTimer(*core).isActive()); // the timers go on all the same
    core->RefreshInbox();
    checker.Last().Finish();
    EXPECT_TRUE(KnownMessagesChanged());
    SetKnownMessagesChanged(false);
}

} // namespace
} // namespace bm::test
