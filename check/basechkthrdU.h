#pragma once
// TBaseCheckerThread: what every module of a Mail check sees of the thread
// that runs it — the stop flag, the Interruptible flag and the State — and
// the one process-wide reference to the running Mail check.
//
// At most one Mail check runs at a time. While it runs, RunningMailCheck()
// gives it; the reference is cleared when the check's run ends, even after
// an error, so a new check can start.
//
// Threads: the flags are atomics, written by one thread and read by the
// other. Stop() and StopMailCheck() are called on the main thread; a stop
// ends every StopSignal().WaitFor() in progress at once.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "check/basethreadU.h"

namespace bm {

// A stop flag that a waiting thread can sleep on: Set() wakes every
// WaitFor() at once. Any thread may call any member.
class TStopSignal {
public:
    void Set();
    // Clears the flag (a new run of the owner).
    void Reset();
    bool IsSet() const { return set_.load(); }
    // Waits until the flag is set or timeout passed; true when it is set.
    bool WaitFor(std::chrono::milliseconds timeout) const;

private:
    std::atomic<bool> set_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
};

// Values of TBaseCheckerThread::State (besides the kState... connection
// states of check/mailchkmdl.h: 1 and 2 remote, 3 and 4 local).
inline constexpr std::uint8_t kStateIdle = 0;
inline constexpr std::uint8_t kStateFinished = 5;

class TBaseCheckerThread : public TBaseThread {
public:
    // Set by a stop request; tested before each account, when a connection
    // fails, before each queued message and by the wait between accounts.
    bool StopRequested() const { return stop_.IsSet(); }
    // Sets the stop flag only (no connection is cut) and ends a wait in
    // progress: what the stop command does while a queue is being sent.
    void RequestStop() { stop_.Set(); }
    TStopSignal& StopSignal() { return stop_; }

    // True while a POP3 pass runs: the stop command may then cut the
    // connection. False while an account's queue is sent, and after the end.
    bool Interruptible() const { return interruptible_.load(); }
    void SetInterruptible(bool value) { interruptible_.store(value); }

    // 0 before the first account; 1/2 connecting to / checking an account's
    // server; 3/4 the same on the local POP3 server; 5 finished.
    std::uint8_t State() const { return state_.load(); }
    void SetState(std::uint8_t value) { state_.store(value); }

    // Sets the stop flag and closes the connection in use (by State). Main
    // thread; never throws; errors are ignored.
    virtual void Stop() = 0;
    // Hands ReportError(text, account) to the main thread and waits for it.
    // Called in the checker thread by the POP3 module, the classifier and
    // the sender.
    virtual void ReportCheckError(const std::string& text, const std::string& account) = 0;

private:
    TStopSignal stop_;
    std::atomic<bool> interruptible_{false};
    std::atomic<std::uint8_t> state_{kStateIdle};
};

// The running Mail check, or null. Any thread.
std::shared_ptr<TBaseCheckerThread> RunningMailCheck();
bool MailCheckRunning();
// Makes check the running one when none runs; false (nothing changed) when
// another check runs already.
bool SetRunningMailCheck(std::shared_ptr<TBaseCheckerThread> check);
// Clears the reference when it is check (a later check is left alone).
void ClearRunningMailCheck(const TBaseCheckerThread* check);

// The stop command: nothing when no check runs; Stop() while the check is
// Interruptible; otherwise only the stop flag, so that an SMTP exchange in
// progress is not cut and the send loop ends before its next message.
// Main thread.
void StopMailCheck();

// Waits until no Mail check runs (the running one's thread has ended),
// processing the main thread's events meanwhile. True when none runs.
bool WaitForMailCheck(std::chrono::milliseconds timeout = kWaitForever);

} // namespace bm
