#pragma once
// TBaseThread: a worker thread object that runs Execute() once, and the
// main-thread wait that keeps events flowing while a worker hands work over.
//
// A worker hands its events to the main thread with bm::Synchronize and waits
// for them; a main thread that blocks in a plain join while such a worker
// runs dead-locks. WaitFor and WaitProcessingEvents therefore keep running
// the main thread's events while they wait.
//
// Ownership: the object is held by std::shared_ptr. Start(true) makes the
// running thread hold a reference of its own until Execute has returned, so
// the object lives as long as the thread needs it and is freed by whichever
// side lets go last ("free on terminate"). The destructor joins the thread,
// or detaches it when the last reference is dropped by the thread itself.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace bm {

// Waits until done() is true or timeout passed; true when done. On the main
// thread with a QCoreApplication the main thread's events are processed
// meanwhile (each WakeMainThread() call or posted event re-tests done());
// elsewhere done() is re-tested at every WakeMainThread() notification.
bool WaitProcessingEvents(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Wakes every WaitProcessingEvents so it tests its condition again. Any thread.
void WakeMainThread();

inline constexpr std::chrono::milliseconds kWaitForever = std::chrono::milliseconds::max();

class TBaseThread : public std::enable_shared_from_this<TBaseThread> {
public:
    TBaseThread() = default;
    virtual ~TBaseThread();
    TBaseThread(const TBaseThread&) = delete;
    TBaseThread& operator=(const TBaseThread&) = delete;

    // Starts the thread (a second call does nothing). With freeOnTerminate the
    // thread keeps the object alive until Execute has returned; the object
    // must then be held by a std::shared_ptr. Call on the creating thread.
    void Start(bool freeOnTerminate = false);
    // True once Execute has returned (or thrown; an exception escaping
    // Execute is swallowed: the subclass reports what it must).
    bool Finished() const;
    // Waits for Finished() (see WaitProcessingEvents); true when finished.
    // Never call it from the thread itself.
    bool WaitFor(std::chrono::milliseconds timeout = kWaitForever) const;

protected:
    // The thread's work; runs once in the new thread.
    virtual void Execute() = 0;
    // Waits for the thread (see WaitFor) and joins it; nothing when it never
    // started or when called by the thread itself. A subclass calls it first
    // in its destructor, so Execute never outlives the subclass's members.
    void JoinThread();

private:
    void Run(std::shared_ptr<TBaseThread> keepAlive);

    std::thread thread_;
    mutable std::mutex mutex_;
    bool started_ = false;
    bool finished_ = false;
};

} // namespace bm
