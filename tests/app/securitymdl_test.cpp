#include "app/securitymdl.h"

#include "core/synchronize.h"
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

namespace bm {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

// Runs the event loop until done() holds; gives false when a generous safety
// limit passes first (a hang guard, not a timing assertion).
bool RunUntil(const std::function<bool()>& done)
{
    QEventLoop loop;
    QTimer poll, limit;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    QObject::connect(&limit, &QTimer::timeout, [&] { loop.quit(); });
    poll.start(1);
    limit.start(20000);
    loop.exec();
    return done();
}

class Security : public testing::Test {
protected:
    TempDir dir;
    TSecurity first {dir.path()};
    TSecurity second {dir.path()};
};

TEST_F(Security, GuardNamesTheLock)
{
    EXPECT_EQ(first.OnceOnly.UniqueID(), "BrixmoorMutex");
    ASSERT_TRUE(first.OnceOnly.IsFirstInstance(0ms));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "BrixmoorMutex.lock"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "BrixmoorMutex.Event"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "BrixmoorMutex.Close"));
}

TEST_F(Security, SecondCopyShowRequestRunsOnTheMainThread)
{
    int shown = 0;
    bool onMain = false;
    first.OnceOnly.OnShowRequest = [&] {
        ++shown;
        onMain = IsMainThread();
    };
    ASSERT_TRUE(first.OnceOnly.IsFirstInstance(0ms));
    ASSERT_FALSE(second.OnceOnly.IsFirstInstance(0ms));
    EXPECT_TRUE(second.OnceOnly.SignalShow());
    ASSERT_TRUE(RunUntil([&] { return shown == 1; }));
    EXPECT_TRUE(onMain);
    EXPECT_TRUE(second.OnceOnly.SignalShow()); // the thread waits again
    ASSERT_TRUE(RunUntil([&] { return shown == 2; }));
}

TEST_F(Security, UnsetHandlerIsSkipped)
{
    int closed = 0;
    first.OnceOnly.OnCloseRequest = [&] { ++closed; };
    ASSERT_TRUE(first.OnceOnly.IsFirstInstance(0ms));
    second.OnceOnly.SignalShow(); // no OnShowRequest: skipped
    second.OnceOnly.SignalClose();
    ASSERT_TRUE(RunUntil([&] { return closed == 1; }));
}

TEST_F(Security, CloseRunningCopyWaitsUntilTheFirstHasEnded)
{
    first.OnceOnly.OnCloseRequest = [&] {
        // As the close timer does: later, from the event loop.
        QTimer::singleShot(0, [&] { first.OnceOnly.Release(); });
    };
    ASSERT_TRUE(first.OnceOnly.IsFirstInstance(0ms));
    EXPECT_TRUE(CloseRunningCopy(second.OnceOnly, 20000ms, 0ms));
    EXPECT_FALSE(second.OnceOnly.IsAnotherRunning(0ms));
}

TEST_F(Security, ReleaseFromInsideTheHandlerDoesNotDeadlock)
{
    bool closed = false;
    first.OnceOnly.OnCloseRequest = [&] {
        first.OnceOnly.Release();
        closed = true;
    };
    ASSERT_TRUE(first.OnceOnly.IsFirstInstance(0ms));
    second.OnceOnly.SignalClose();
    ASSERT_TRUE(RunUntil([&] { return closed; }));
    EXPECT_FALSE(second.OnceOnly.IsAnotherRunning(0ms));
}

TEST_F(Security, CloseRunningCopyGivesUpAfterTheTimeOut)
{
    ASSERT_TRUE(first.OnceOnly.IsFirstInstance(0ms)); // ignores the close request
    EXPECT_FALSE(CloseRunningCopy(second.OnceOnly, 150ms, 0ms));
    EXPECT_TRUE(second.OnceOnly.IsAnotherRunning(0ms));
}

TEST_F(Security, CloseRunningCopyWithoutARunningCopy)
{
    EXPECT_TRUE(CloseRunningCopy(second.OnceOnly, 20000ms, 0ms));
    EXPECT_TRUE(first.OnceOnly.IsFirstInstance(0ms)); // the test left the lock free
}

TEST_F(Security, NoRequestsAfterRelease)
{
    int shown = 0;
    first.OnceOnly.OnShowRequest = [&] { ++shown; };
    ASSERT_TRUE(first.OnceOnly.IsFirstInstance(0ms));
    first.OnceOnly.Release();
    EXPECT_FALSE(second.OnceOnly.SignalShow());
    QCoreApplication::processEvents();
    EXPECT_EQ(shown, 0);
    EXPECT_TRUE(second.OnceOnly.IsFirstInstance(0ms));
}

} // namespace
} // namespace bm
