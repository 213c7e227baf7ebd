#pragma once
// The single-instance data module: the guard OnceOnly holds the per-user
// instance lock "BrixmoorMutex" for the life of the running copy, and its
// wait thread hands the show and close requests of other copies to the main
// thread.

#include "platform/instancelock.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace bm {

// Waits for the two signals of a held lock and hands each one to the main
// thread through deliver, synchronously (bm::Synchronize): the thread waits
// until the main thread has run it, then waits again. It ends when the wait
// fails or Stop is called; a request that arrives after Stop is dropped.
class TWaitThread {
public:
    TWaitThread(TInstanceLock& lock, std::function<void(TInstanceSignal)> deliver);
    ~TWaitThread(); // Stop()
    TWaitThread(const TWaitThread&) = delete;
    TWaitThread& operator=(const TWaitThread&) = delete;

    void Start();
    // Tells the thread to stop, ends its wait and returns when it has ended.
    // On the main thread this keeps processing events meanwhile, since the
    // thread may be inside a hand-over that only the main thread can finish.
    // Called from within a request handler it returns at once (the thread
    // ends when the handler returns; the destructor joins it).
    void Stop();
    bool Terminated() const { return terminated_; }

private:
    TInstanceLock& lock_;
    std::function<void(TInstanceSignal)> deliver_;
    std::thread thread_;
    std::atomic<bool> terminated_ {false};
    std::atomic<bool> finished_ {false};
    std::atomic<bool> delivering_ {false}; // a hand-over runs on the main thread

    void Execute();
};

// The single-instance guard. Main thread only, except where said.
class TInstanceGuard {
public:
    // uniqueId names the lock and its signals (UniqueID + ".Event" and
    // ".Close"); folder is where they live (default: the runtime folder).
    explicit TInstanceGuard(std::string uniqueId = "BrixmoorMutex", std::filesystem::path folder = {});
    ~TInstanceGuard(); // Release()
    TInstanceGuard(const TInstanceGuard&) = delete;
    TInstanceGuard& operator=(const TInstanceGuard&) = delete;

    const std::string& UniqueID() const { return uniqueId_; }

    // Waits at most timeout for the lock. True when this copy is the first:
    // it keeps the lock and its wait thread runs. Throws std::runtime_error
    // when the lock cannot be created at all.
    bool IsFirstInstance(std::chrono::milliseconds timeout = std::chrono::milliseconds(100));
    // True when another copy holds the lock (taken and released at once).
    bool IsAnotherRunning(std::chrono::milliseconds timeout = std::chrono::milliseconds(100));
    // Wake the running copy: show its window / ask it to close. True when a
    // running copy received it. Any thread.
    bool SignalShow() const;
    bool SignalClose() const;
    // Stops the wait thread, then releases the lock. Harmless when not held.
    void Release();

    // Run on the main thread for each request of another copy; unset: skipped.
    std::function<void()> OnShowRequest;
    std::function<void()> OnCloseRequest;

private:
    std::string uniqueId_;
    TInstanceLock lock_;
    TWaitThread waitThread_;

    void Deliver(TInstanceSignal signal);
};

// The data module that holds the guard. Freeing it releases the lock and
// stops the wait thread.
class TSecurity {
public:
    explicit TSecurity(std::filesystem::path folder = {});
    TInstanceGuard OnceOnly;
};

// Closing a running copy (first step of the uninstall run): when another copy
// holds the lock, sends it the close request, then keeps processing events
// while it still runs, for at most timeout; once it has ended, processes
// events for settle more (it writes its files after releasing the lock).
// Returns true when no copy runs any more (or none ran). Main thread.
bool CloseRunningCopy(TInstanceGuard& guard, std::chrono::milliseconds timeout = std::chrono::milliseconds(30000),
                      std::chrono::milliseconds settle = std::chrono::milliseconds(2000));

// Keeps processing the main thread's events for the given time (the
// "process messages for N ms" steps of start-up and shutdown). Main thread.
void ProcessEventsFor(std::chrono::milliseconds time);

} // namespace bm
