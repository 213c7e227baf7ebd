#include "app/brixmoor.h"

#include "app/securitymdl.h"
#include "platform/instancelock.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdlib>
#include <gtest/gtest.h>

namespace bm {
namespace {

struct RunCase {
    const char* name;
    std::vector<std::string> args;
    TRunKind expected;
};

void PrintTo(const RunCase& c, std::ostream* os)
{
    *os << c.name;
}

class SelectRunTest : public testing::TestWithParam<RunCase> {};

TEST_P(SelectRunTest, FirstArgumentChoosesTheRun)
{
    EXPECT_EQ(SelectRun(GetParam().args), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, SelectRunTest,
    testing::Values(
        RunCase {"none", {}, TRunKind::Normal},
        RunCase {"install", {"/INSTALL"}, TRunKind::Install},
        RunCase {"install_with_mode", {"/INSTALL", "EXPRESS"}, TRunKind::Install},
        RunCase {"uninstall", {"/UNINSTALL"}, TRunKind::Uninstall},
        RunCase {"install_lower_case_ends", {"/install"}, TRunKind::End},
        RunCase {"uninstall_mixed_case_ends", {"/Uninstall"}, TRunKind::End},
        RunCase {"install_prefix_ends", {"/INSTALLX"}, TRunKind::End},
        RunCase {"install_with_blank_ends", {"/INSTALL "}, TRunKind::End},
        RunCase {"empty_argument_ends", {""}, TRunKind::End},
        RunCase {"only_first_counts", {"other", "/INSTALL"}, TRunKind::End},
        RunCase {"headless", {"--headless"}, TRunKind::Headless},
        RunCase {"help", {"--help"}, TRunKind::Help},
        RunCase {"version", {"--version"}, TRunKind::Version},
        RunCase {"dash_v_ends", {"-v"}, TRunKind::End},
        RunCase {"headless_second_ignored", {"--headless", "--help"}, TRunKind::Headless}),
    [](const testing::TestParamInfo<RunCase>& info) { return info.param.name; });

TEST(LifeSteps, ModuleStartUpAndShutdownOrder)
{
    std::vector<std::string> init, shutdown;
    for (const auto& s : ModuleInitSteps())
        init.push_back(s.Name);
    for (const auto& s : ModuleShutdownSteps())
        shutdown.push_back(s.Name);
    EXPECT_EQ(init, (std::vector<std::string>{"filters", "known messages", "reply templates", "options",
                                              "accounts", "trace log", "error list",
                                              "friends list and blacklist"}));
    EXPECT_EQ(shutdown,
              (std::vector<std::string>{"known messages", "friends list and blacklist", "filters", "trace log"}));
}

TEST(LifeSteps, GuardedStepsGoOnAfterAFailure)
{
    std::vector<std::string> ran;
    std::vector<TLifeStep> steps = {
        {"one", [&] { ran.push_back("one"); }},
        {"fails", [&] { throw std::runtime_error("disk full"); }},
        {"placeholder", {}},
        {"three", [&] { ran.push_back("three"); }},
    };
    RunLifeSteps(steps, true);
    EXPECT_EQ(ran, (std::vector<std::string>{"one", "three"}));
    ran.clear();
    EXPECT_THROW(RunLifeSteps(steps, false), std::runtime_error);
    EXPECT_EQ(ran, std::vector<std::string>{"one"});
}

TEST(BrixmoorMain, EndRunsDoNothingAndExitZero)
{
    for (std::string arg : {"/install", "--version", "--help", "anything"}) {
        std::string prog = "brixmoor";
        char* argv[] = {prog.data(), arg.data(), nullptr};
        EXPECT_EQ(BrixmoorMain(2, argv), 0) << arg;
    }
}

} // namespace
} // namespace bm

namespace bm {
namespace {

using namespace std::chrono_literals;

class ScopedDisplay {
public:
    explicit ScopedDisplay(const char* value)
    {
        if (const char* old = std::getenv("DISPLAY"))
            old_ = old;
        value ? setenv("DISPLAY", value, 1) : unsetenv("DISPLAY");
        if (const char* w = std::getenv("WAYLAND_DISPLAY"))
            wayland_ = w;
        unsetenv("WAYLAND_DISPLAY");
    }
    ~ScopedDisplay()
    {
        old_.empty() ? unsetenv("DISPLAY") : setenv("DISPLAY", old_.c_str(), 1);
        if (!wayland_.empty())
            setenv("WAYLAND_DISPLAY", wayland_.c_str(), 1);
    }

private:
    std::string old_, wayland_;
};

int RunWith(const char* arg, const TRunSettings& settings)
{
    std::string prog = "brixmoor", a = arg ? arg : "";
    char* argv[] = {prog.data(), a.data(), nullptr};
    return BrixmoorMain(arg ? 2 : 1, argv, settings);
}

TEST(BrixmoorMain, WindowRunHoldsTheLockWhenADisplayExists)
{
    ScopedDisplay display(":0");
    bool ran = false, locked = false;
    TRunSettings settings;
    settings.ShutdownDrain = 0ms;
    settings.RunMainWindow = [&](TSecurity&) {
        ran = true;
        locked = TInstanceLock("BrixmoorMutex").IsAnotherRunning(0ms);
    };
    EXPECT_EQ(RunWith(nullptr, settings), 0);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(locked);
    EXPECT_FALSE(TInstanceLock("BrixmoorMutex").IsAnotherRunning(0ms)); // released at the end
}

TEST(BrixmoorMain, WithoutADisplayTheNormalRunIsHeadless)
{
    for (const char* arg : {static_cast<const char*>(nullptr), "--headless"}) {
        ScopedDisplay display(arg ? ":0" : nullptr);
        bool ran = false;
        TRunSettings settings;
        settings.ShutdownDrain = 0ms;
        settings.RunMainWindow = [&](TSecurity&) { ran = true; };
        // Ends the headless event loop as a close request would.
        QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        EXPECT_EQ(RunWith(arg, settings), 0);
        EXPECT_FALSE(ran) << (arg ? arg : "(none)");
    }
}

// The window run (and with it the window's application object) only for
// the normal run with a window given and a display to show it on.
TEST(BrixmoorMain, WindowRunNeedsTheNormalRunAWindowAndADisplay)
{
    struct Case {
        TRunKind kind;
        bool window;
        const char* display;
        bool expected;
    };
    const Case cases[] = {
        {TRunKind::Normal, true, ":0", true},
        {TRunKind::Normal, true, nullptr, false},
        {TRunKind::Normal, false, ":0", false},
        {TRunKind::Headless, true, ":0", false},
        {TRunKind::Install, true, ":0", false},
        {TRunKind::Uninstall, true, ":0", false},
    };
    for (const Case& c : cases) {
        ScopedDisplay display(c.display);
        TRunSettings settings;
        if (c.window)
            settings.RunMainWindow = [](TSecurity&) {};
        EXPECT_EQ(IsWindowRun(c.kind, settings), c.expected)
            << static_cast<int>(c.kind) << " window " << c.window << " display " << (c.display ? c.display : "-");
    }
}

TEST(BrixmoorMain, SecondCopyEndsAtOnceWithZero)
{
    TInstanceLock first("BrixmoorMutex");
    ASSERT_TRUE(first.TryAcquire(0ms));
    bool ran = false;
    TRunSettings settings;
    settings.LockWait = 0ms;
    settings.RunMainWindow = [&](TSecurity&) { ran = true; };
    ScopedDisplay display(":0");
    EXPECT_EQ(RunWith(nullptr, settings), 0);
    EXPECT_FALSE(ran);
    EXPECT_EQ(first.Wait(), TInstanceSignal::Show);
}

} // namespace
} // namespace bm
