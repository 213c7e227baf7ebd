#include "check/basethreadU.h"

#include "core/synchronize.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace bm {

namespace {

std::mutex& WakeMutex()
{
    static std::mutex m;
    return m;
}

std::condition_variable& WakeCondition()
{
    static std::condition_variable c;
    return c;
}

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineOf(std::chrono::milliseconds timeout)
{
    if (timeout == kWaitForever || timeout > std::chrono::hours(24 * 365))
        return Clock::time_point::max();
    return Clock::now() + timeout;
}

// The main thread's wait: every posted event (a worker's Synchronize, a
// WakeMainThread call) or the deadline timer ends one processEvents call.
bool WaitOnMainThread(const std::function<bool()>& done, Clock::time_point deadline)
{
    QTimer timer;
    timer.setSingleShot(true);
    if (deadline != Clock::time_point::max()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        timer.start(static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX)));
    }
    while (!done()) {
        if (Clock::now() >= deadline)
            return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
    }
    return true;
}

} // namespace

bool WaitProcessingEvents(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = DeadlineOf(timeout);
    if (QCoreApplication::instance() && IsMainThread())
        return WaitOnMainThread(done, deadline);
    std::unique_lock lock(WakeMutex());
    if (deadline == Clock::time_point::max()) {
        WakeCondition().wait(lock, done);
        return true;
    }
    return WakeCondition().wait_until(lock, deadline, done);
}

void WakeMainThread()
{
    {
        std::lock_guard lock(WakeMutex());
    }
    WakeCondition().notify_all();
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
}

TBaseThread::~TBaseThread()
{
    JoinThread();
}

void TBaseThread::JoinThread()
{
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // The thread let go of the last reference: nothing touches the
        // object after this, so the thread may end on its own.
        thread_.detach();
        return;
    }
    WaitFor();
    thread_.join();
}

void TBaseThread::Start(bool freeOnTerminate)
{
    std::lock_guard lock(mutex_);
    if (started_)
        return;
    started_ = true;
    std::shared_ptr<TBaseThread> keepAlive = freeOnTerminate ? shared_from_this() : nullptr;
    thread_ = std::thread(&TBaseThread::Run, this, std::move(keepAlive));
}

bool TBaseThread::Finished() const
{
    std::lock_guard lock(mutex_);
    return finished_;
}

bool TBaseThread::WaitFor(std::chrono::milliseconds timeout) const
{
    return WaitProcessingEvents([this] { return Finished(); }, timeout);
}

void TBaseThread::Run(std::shared_ptr<TBaseThread> keepAlive)
{
    try {
        Execute();
    } catch (...) {
        // Execute reports what it must; a thread must not end the process.
    }
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    WakeMainThread();
    keepAlive.reset(); // may free this object: nothing may follow
}

} // namespace bm
