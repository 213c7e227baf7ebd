#include "app/securitymdl.h"

#include "core/synchronize.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace bm {

void ProcessEventsFor(std::chrono::milliseconds time)
{
    QDeadlineTimer deadline(time);
    while (!deadline.hasExpired()) {
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

// --- TWaitThread ------------------------------------------------------------

TWaitThread::TWaitThread(TInstanceLock& lock, std::function<void(TInstanceSignal)> deliver)
    : lock_(lock)
    , deliver_(std::move(deliver))
{
}

TWaitThread::~TWaitThread()
{
    Stop();
}

void TWaitThread::Start()
{
    if (thread_.joinable())
        return;
    terminated_ = false;
    finished_ = false;
    thread_ = std::thread([this] { Execute(); });
}

void TWaitThread::Execute()
{
    while (!terminated_) {
        std::optional<TInstanceSignal> signal = lock_.Wait();
        if (!signal || terminated_)
            break;
        try {
            // Checked again on the main thread: Stop may have come in between.
            Synchronize([&] {
                if (terminated_ || !deliver_)
                    return;
                delivering_ = true;
                try {
                    deliver_(*signal);
                } catch (...) {
                    delivering_ = false;
                    throw;
                }
                delivering_ = false;
            });
        } catch (...) {
            // A failing handler must not end the process from this thread;
            // the request is dropped and the thread waits for the next one.
        }
    }
    finished_ = true;
}

void TWaitThread::Stop()
{
    if (!thread_.joinable())
        return;
    terminated_ = true;
    lock_.CancelWait();
    if (delivering_ && IsMainThread())
        return; // joining here would wait for ourselves
    if (IsMainThread() && QCoreApplication::instance()) {
        while (!finished_) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::yield();
        }
    }
    thread_.join();
}

// --- TInstanceGuard -----------------------------------------------------------

TInstanceGuard::TInstanceGuard(std::string uniqueId, std::filesystem::path folder)
    : uniqueId_(std::move(uniqueId))
    , lock_(uniqueId_, std::move(folder))
    , waitThread_(lock_, [this](TInstanceSignal s) { Deliver(s); })
{
}

TInstanceGuard::~TInstanceGuard()
{
    Release();
}

bool TInstanceGuard::IsFirstInstance(std::chrono::milliseconds timeout)
{
    if (!lock_.TryAcquire(timeout))
        return false;
    waitThread_.Start();
    return true;
}

bool TInstanceGuard::IsAnotherRunning(std::chrono::milliseconds timeout)
{
    return lock_.IsAnotherRunning(timeout);
}

bool TInstanceGuard::SignalShow() const
{
    return lock_.Signal(TInstanceSignal::Show);
}

bool TInstanceGuard::SignalClose() const
{
    return lock_.Signal(TInstanceSignal::Close);
}

void TInstanceGuard::Release()
{
    waitThread_.Stop();
    lock_.Release();
}

void TInstanceGuard::Deliver(TInstanceSignal signal)
{
    const auto& handler = signal == TInstanceSignal::Show ? OnShowRequest : OnCloseRequest;
    if (handler)
        handler();
}

// --- TSecurity ----------------------------------------------------------------

TSecurity::TSecurity(std::filesystem::path folder)
    : OnceOnly("BrixmoorMutex", std::move(folder))
{
}

bool CloseRunningCopy(TInstanceGuard& guard, std::chrono::milliseconds timeout, std::chrono::milliseconds settle)
{
    if (!guard.IsAnotherRunning())
        return true;
    guard.SignalClose();
    QDeadlineTimer deadline(timeout);
    bool running = true;
    while (running && !deadline.hasExpired()) {
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        // The test itself waits up to 100 ms: it paces this loop.
        running = guard.IsAnotherRunning();
    }
    if (!running)
        ProcessEventsFor(settle);
    return !running;
}

} // namespace bm
