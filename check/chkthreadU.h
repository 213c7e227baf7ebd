#pragma once
// TCheckerThread: one Mail check in a worker thread. It owns the classifier
// (which owns the remote POP3 module, the sender and the thread's database
// connection) and a local-mode POP3 module, runs the remote pass and/or the
// local pass, and hands every event of its modules to the main thread.
//
// Run: the local pass alone (LocalOnly), or the remote pass and, with
// LocalAfterRemote, the local pass after it; then, on the main thread,
// State = 5, Interruptible cleared and OnFinished. The quarantine notices
// collected during the check are then delivered in one main-thread call, in
// the order the messages were quarantined, and last the running-check
// reference is cleared and OnEnded told. An error escaping the passes skips
// OnFinished; the notices are still delivered, the reference is still
// cleared and OnEnded still told.
//
// Threads: StartCheckerThread, Stop and the event handlers run on the main
// thread; every event except the notices and OnEnded is delivered with bm::Synchronize
// while the checker thread waits, so the main thread must keep processing
// events until the check ends (WaitForMailCheck does).

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "check/basechkthrdU.h"
#include "check/remotechkmdl.h"

namespace bm {

class TKnownMessage;

// The main window's handlers (each optional), called on the main thread.
struct TCheckerEvents {
    std::function<void(const std::string& address)> OnAddressWhitelisted;
    std::function<void(const std::string& text)> OnStatus;
    // After OnFinished, once per message quarantined in the check.
    std::function<void(const TQuarantinedMessage& notice)> OnQuarantined;
    std::function<void(int id)> OnQuarantineRemoved;
    // The entry is valid during the call only.
    std::function<void(const std::string& uidl, const TKnownMessage& entry)> OnNewMessage;
    // entry is null for a message that was new in the pass.
    std::function<void(const std::string& uidl, const TKnownMessage* entry)> OnMessageDeleted;
    std::function<void()> OnFinished;
    // Around the notices, in the same main-thread call: the view holds its
    // redrawing from Begin to End.
    std::function<void()> OnQuarantineBatchBegin;
    std::function<void()> OnQuarantineBatchEnd;
    // The logon dialog after a refused login (true: OK, request filled).
    std::function<bool(TCredentialsRequest& request)> OnGetCredentials;
    // Last, once, after the running-check reference is cleared, also when
    // the run ended early: called on the checker thread itself, which does
    // not wait for it, so the handler only queues the news for the main
    // thread (it must not touch main-thread objects).
    std::function<void()> OnEnded;
};

class TCheckerThread final : public TBaseCheckerThread {
public:
    // Creates the modules (the classifier opens its database connection,
    // throwing EDatabaseError). The thread does not run until Start.
    TCheckerThread(bool localOnly, bool localAfterRemote, bool defaultOnly, TAccountPtr account,
                   TCheckerEvents events, const TCheckContext& context);
    ~TCheckerThread() override;

    const bool LocalOnly;
    const bool LocalAfterRemote;
    const bool DefaultOnly;
    const TAccountPtr Account;

    void Stop() override;
    void ReportCheckError(const std::string& text, const std::string& account) override;

    TRemoteCheckerMdl& Classifier() { return *classifier_; }

protected:
    void Execute() override;

private:
    void ConnectClassifier();
    void ConnectLocal();
    void RemotePass();
    void LocalPass();
    void Finish();
    void DeliverNotices();
    // Runs fn on the main thread and waits for it.
    void OnMain(const std::function<void()>& fn);

    TCheckerEvents events_;
    TCheckContext context_;
    std::unique_ptr<TRemoteCheckerMdl> classifier_;
    std::unique_ptr<TMailCheckerMdl> local_;
    std::mutex noticesMutex_;
    std::vector<TQuarantinedMessage> notices_;
};

// Starts a Mail check (main thread): creates the thread with the four
// values and the handlers, makes it the running Mail check, clears
// Interruptible and starts it; the thread frees itself when it ends.
// Returns the thread, or null when a check runs already (nothing started).
// Throws what creating the modules throws (no check is then running).
std::shared_ptr<TCheckerThread> StartCheckerThread(bool localOnly, bool localAfterRemote, bool defaultOnly,
                                                   TAccountPtr account, TCheckerEvents events,
                                                   const TCheckContext& context);

} // namespace bm
