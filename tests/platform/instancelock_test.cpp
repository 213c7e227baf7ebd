#include "platform/instancelock.h"

#include "tests/support/testenv.h"

#include <future>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace bm {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

class InstanceLock : public testing::Test {
protected:
    TempDir dir;
    TInstanceLock first {"BrixmoorMutex", dir.path()};
    TInstanceLock second {"BrixmoorMutex", dir.path()};

    // Runs fn in a child process and gives its exit code.
    static int InChild(const std::function<int()>& fn)
    {
        pid_t child = fork();
        if (child == 0)
            _exit(fn());
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }
};

TEST_F(InstanceLock, FirstKeepsTheLockSecondFails)
{
    ASSERT_TRUE(first.TryAcquire(0ms));
    EXPECT_TRUE(first.Held());
    EXPECT_TRUE(first.TryAcquire(0ms)); // already held
    EXPECT_FALSE(second.TryAcquire(20ms));
    EXPECT_FALSE(second.Held());
    first.Release();
    EXPECT_TRUE(second.TryAcquire(0ms));
}

TEST_F(InstanceLock, OtherNamesAreIndependent)
{
    TInstanceLock other("OtherMutex", dir.path());
    ASSERT_TRUE(first.TryAcquire(0ms));
    EXPECT_TRUE(other.TryAcquire(0ms));
}

TEST_F(InstanceLock, SecondCopyWakesTheFirst)
{
    ASSERT_TRUE(first.TryAcquire(0ms));
    ASSERT_FALSE(second.TryAcquire(0ms));
    EXPECT_TRUE(second.Signal(TInstanceSignal::Show));
    EXPECT_EQ(first.Wait(), TInstanceSignal::Show);
    EXPECT_TRUE(second.Signal(TInstanceSignal::Close));
    EXPECT_EQ(first.Wait(), TInstanceSignal::Close);
}

TEST_F(InstanceLock, SignalsOfOneKindCoalesceLikeAutoResetEvents)
{
    ASSERT_TRUE(first.TryAcquire(0ms));
    for (int i = 0; i < 3; ++i)
        second.Signal(TInstanceSignal::Show);
    second.Signal(TInstanceSignal::Close);
    EXPECT_EQ(first.Wait(), TInstanceSignal::Show);
    EXPECT_EQ(first.Wait(), TInstanceSignal::Close);
    // Nothing is pending now: the next Wait blocks until cancelled.
    auto waiting = std::async(std::launch::async, [&] { return first.Wait(); });
    first.CancelWait();
    EXPECT_EQ(waiting.get(), std::nullopt);
}

TEST_F(InstanceLock, WaitingThreadSeesALaterSignal)
{
    ASSERT_TRUE(first.TryAcquire(0ms));
    auto waiting = std::async(std::launch::async, [&] { return first.Wait(); });
    EXPECT_TRUE(second.Signal(TInstanceSignal::Close));
    EXPECT_EQ(waiting.get(), TInstanceSignal::Close);
}

TEST_F(InstanceLock, ReleaseEndsAWaitInProgress)
{
    ASSERT_TRUE(first.TryAcquire(0ms));
    auto waiting = std::async(std::launch::async, [&] { return first.Wait(); });
    first.Release();
    EXPECT_EQ(waiting.get(), std::nullopt);
    EXPECT_EQ(first.Wait(), std::nullopt); // not held: returns at once
}

TEST_F(InstanceLock, SignalWithoutAHolderIsNotDelivered)
{
    EXPECT_FALSE(second.Signal(TInstanceSignal::Show));
    ASSERT_TRUE(first.TryAcquire(0ms));
    first.Release();
    EXPECT_FALSE(second.Signal(TInstanceSignal::Show)); // the old holder's sockets are gone
}

TEST_F(InstanceLock, SignalsFromBeforeAcquiringAreDiscarded)
{
    ASSERT_TRUE(first.TryAcquire(0ms));
    second.Signal(TInstanceSignal::Show);
    first.Release();
    ASSERT_TRUE(first.TryAcquire(0ms));
    second.Signal(TInstanceSignal::Close);
    EXPECT_EQ(first.Wait(), TInstanceSignal::Close);
}

TEST_F(InstanceLock, IsAnotherRunningTestsAndReleases)
{
    EXPECT_FALSE(second.IsAnotherRunning(0ms));
    EXPECT_FALSE(second.Held());
    ASSERT_TRUE(first.TryAcquire(0ms)); // the test left the lock free
    EXPECT_TRUE(second.IsAnotherRunning(10ms));
    EXPECT_FALSE(first.IsAnotherRunning(0ms)); // the holder itself
    first.Release();
    EXPECT_FALSE(second.IsAnotherRunning(0ms));
}

TEST_F(InstanceLock, AnotherProcessIsASecondCopy)
{
    ASSERT_TRUE(first.TryAcquire(0ms));
    int code = InChild([&] {
        TInstanceLock child("BrixmoorMutex", dir.path());
        if (child.TryAcquire(10ms))
            return 1;
        return child.Signal(TInstanceSignal::Show) ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(first.Wait(), TInstanceSignal::Show);
}

TEST_F(InstanceLock, LockOfADeadCopyIsFreeAndItsSocketsAreReplaced)
{
    int code = InChild([&] {
        TInstanceLock child("BrixmoorMutex", dir.path());
        if (child.TryAcquire(0ms))
            _exit(0); // dies holding it: no Release, the sockets stay behind
        return 1;
    });
    ASSERT_EQ(code, 0);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "BrixmoorMutex.Event"));
    ASSERT_TRUE(first.TryAcquire(0ms));
    EXPECT_TRUE(second.Signal(TInstanceSignal::Show));
    EXPECT_EQ(first.Wait(), TInstanceSignal::Show);
}

TEST_F(InstanceLock, DefaultFolderIsTheRuntimeFolder)
{
    TInstanceLock lock("BrixmoorMutex");
    ASSERT_TRUE(lock.TryAcquire(0ms));
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    ASSERT_NE(runtime, nullptr);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(runtime) / "BrixmoorMutex.lock"));
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(runtime) / "BrixmoorMutex.Close"));
}

} // namespace
} // namespace bm
