#include "check/basechkthrdU.h"

namespace bm {

void TStopSignal::Set()
{
    {
        std::lock_guard lock(mutex_);
        set_.store(true);
    }
    changed_.notify_all();
}

void TStopSignal::Reset()
{
    std::lock_guard lock(mutex_);
    set_.store(false);
}

bool TStopSignal::WaitFor(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return set_.load(); });
}

namespace {

std::mutex& RunningMutex()
{
    static std::mutex m;
    return m;
}

std::shared_ptr<TBaseCheckerThread>& Running()
{
    static std::shared_ptr<TBaseCheckerThread> running;
    return running;
}

} // namespace

std::shared_ptr<TBaseCheckerThread> RunningMailCheck()
{
    std::lock_guard lock(RunningMutex());
    return Running();
}

bool MailCheckRunning()
{
    return RunningMailCheck() != nullptr;
}

bool SetRunningMailCheck(std::shared_ptr<TBaseCheckerThread> check)
{
    std::lock_guard lock(RunningMutex());
    if (Running())
        return false;
    Running() = std::move(check);
    return true;
}

void ClearRunningMailCheck(const TBaseCheckerThread* check)
{
    std::shared_ptr<TBaseCheckerThread> released;
    {
        std::lock_guard lock(RunningMutex());
        if (Running().get() != check)
            return;
        // Freed outside the lock: the last reference may be this one.
        released = std::move(Running());
    }
}

void StopMailCheck()
{
    const std::shared_ptr<TBaseCheckerThread> check = RunningMailCheck();
    if (!check)
        return;
    if (check->Interruptible())
        check->Stop();
    else
        check->RequestStop();
}

bool WaitForMailCheck(std::chrono::milliseconds timeout)
{
    const std::shared_ptr<TBaseCheckerThread> check = RunningMailCheck();
    return !check || check->WaitFor(timeout);
}

} // namespace bm
