#pragma once
// TAppCore: the application core of the normal run, without any window. It
// brings up the database, the dial-up manager, the local SMTP and POP3 server
// threads, the quarantine cleaner and the quarantine loader in their order,
// drives the automatic Mail checks with its timers, keeps the run state and
// the rows of the inbox and the quarantine, and takes everything down again
// in order. Any number of views (the main window, the tray icon, the errors
// window, the headless printer) observe it through its Qt signals; every
// command that changes the lists, the store or the rows goes through one of
// its services (app/*svc.h), which keep the three together and emit the
// matching signals.
//
// The core is itself the QObject that publishes: it already owns the timers
// and lives on the main thread, and a separate face would have to forward
// every event one more time.
//
// Life cycle: construct, connect the signals, Create(), run the event loop,
// then Shutdown() (also run by the destructor when Create ran).
//
// Threads: main thread only. Worker threads (the Mail check, the local
// servers, the quarantine loader) reach it through synchronous hand-overs
// where they must wait for the handler (a check's events, the logon dialog)
// and through a queued event where they need not (the end of a check), so
// the main thread must keep its event loop running.

#include "check/chkthreadU.h"
#include "check/mailchkmdl.h"
#include "config/acctU.h"
#include "store/trashloaderthrdU.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bm {

class IRemoteAccessService;
class TBadMailReplies;
class TBlackList;
class TCleanerMdl;
class TFFData;
class TFilterList;
class TKnownMessage;
class TMessageList;
class TOptions;
class TPOP3ServerThread;
class TRASManager;
class TRegistryStore;
class TSMTPServerThread;
class TWhiteList;
class TAppCore;
class TInboxService;
class TListService;
class TQuarantineService;
class TSearchService;
class TReplyService;
class TStatusService;
class TCheckService;
struct TAppCoreTestAccess;

// What one Mail check is asked to do: the four values of StartCheckerThread.
struct TCheckRequest {
    bool LocalOnly = false;        // only rebuild the inbox from the local server
    bool LocalAfterRemote = false; // after the remote pass, also the local pass
    bool DefaultOnly = false;      // only the accounts in the default check
    TAccountPtr Account;           // one account, or null
};

// A running Mail check as the core holds it. Main thread.
class ICheckerRun {
public:
    // Released by the core only after the check's OnEnded (never from within
    // one of its events).
    virtual ~ICheckerRun() = default;
    // The stop command: cuts the connection while the check is interruptible,
    // otherwise only asks it to end before the next queued message.
    virtual void Stop() = 0;
};

// Starts a Mail check in its own thread with the request and the checker's
// events (check/chkthreadU.h: each runs on the main thread while the checker
// waits, except OnEnded, which the core queues itself); throws when it cannot
// be started. Main thread.
using TCheckerStarter =
    std::function<std::shared_ptr<ICheckerRun>(const TCheckRequest& request, TCheckerEvents events)>;

// One row of the inbox list: what the window shows of a known-message
// record. The record itself stays in InboxList; Id and Account find it.
struct TInboxRow {
    std::string Id;
    std::string Account;
    std::string From;
    std::string Subject;
    std::string SizeText;
    std::string DateText;
    std::int32_t Size = 0;
    bool KnownBefore = false; // restored from the known messages
};

// The side-bar lists as filled at start-up: text (or filter name) and
// enabled state, in list order.
struct TSideBarRow {
    std::string Text;
    bool Enabled = true;
};
struct TSideBarRows {
    std::vector<TSideBarRow> Friends;
    std::vector<TSideBarRow> Blacklist;
    std::vector<TSideBarRow> Filters;
};

// The three lists of the side bar.
enum class TSideBarList { Friends, Blacklist, Filters };

struct TAppCoreSettings {
    // Starts the Mail checks; null: the program's checker thread.
    TCheckerStarter StartChecker;
    // What the core works on, all required (the constructor throws
    // std::invalid_argument for a null one): the program passes its own
    // objects, a test objects of its own, so that two cores in one process
    // share none of them. They must outlive the core.
    TOptions* Options = nullptr;
    TAccountList* Accounts = nullptr;
    TWhiteList* Friends = nullptr;
    TBlackList* Blacklist = nullptr;
    TFilterList* Filters = nullptr;
    TBadMailReplies* Replies = nullptr;
    TMessageList* Inbox = nullptr; // this run's inbox records
    TMessageList* Known = nullptr; // the records of knownmessages.dat
    // Where the cleaner keeps its time stamps.
    TRegistryStore* CleanerRegistry = nullptr;
    // The remote access service for dial-up; null: the platform's.
    IRemoteAccessService* RemoteAccess = nullptr;
    // The database file; empty: the data folder's.
    std::filesystem::path DatabaseFile;
    // Where chosen ports are saved; empty: the options' default file.
    std::filesystem::path OptionsFile;
    // Where the list commands write the lists; empty: each list's own file.
    std::filesystem::path FriendsFile;
    std::filesystem::path BlacklistFile;
    std::filesystem::path FiltersFile;
    // Start the local servers (tests of the life cycle leave them out).
    bool StartServers = true;
    // Frees the single-instance data module (shutdown step 6, last).
    std::function<void()> ReleaseInstance;
    // Events processed after the shutdown so that server threads finish.
    std::chrono::milliseconds ShutdownDrain {500};
};

class TAppCore : public QObject {
    Q_OBJECT

public:
    // The exit command's refusal while a Mail check runs (title "Warning").
    inline static const char* const kCheckingWarning =
        "Brixmoor is currently checking your mailbox,\r\nand can't be terminated.";
    // ValidateAccounts lines (after the account's name).
    inline static const char* const kNoOutgoingServer = ": No outgoing (SMTP) server specified";
    inline static const char* const kNoIncomingServer = ": No incoming (POP) server specified";
    inline static const char* const kNoIncomingUser = ": No incoming (POP) user name specified";
    // Why an automatic check did not start (CheckSkipped); an account that
    // fails ValidateAccounts gives its lines instead, joined by "; ".
    inline static const char* const kSkipNoAccounts = "there are no accounts";
    inline static const char* const kSkipNoDefaultAccount = "no account takes part in the default check";
    inline static const char* const kSkipNoDialUp = "no dial-up connection is up";

    explicit TAppCore(TAppCoreSettings settings);
    ~TAppCore() override; // Shutdown() when Create ran
    TAppCore(const TAppCore&) = delete;
    TAppCore& operator=(const TAppCore&) = delete;

    // The start-up, in order: status "Starting up"; the database (throws
    // EDatabaseError, nothing else is then created) and the dial-up manager;
    // the free ports when the options have none yet (saved in the options
    // file); the SMTP then the POP3 server thread (a port that cannot be
    // opened goes to StartupError and the start-up goes on without that
    // server); the cleaner with its six events; SideBarFilled; the start-up
    // Mail check armed, or RefreshInbox with the last check time set to now
    // and the two periodic timers started; the quarantine loader; status "".
    // Call once.
    void Create();
    // The closing steps, in order: the timers stopped; a running check
    // stopped and waited for; the loader and the cleaner freed; then one
    // group in which a failing step skips the rest: the dial-up manager
    // freed, the POP3 then the SMTP server thread stopped, the database
    // freed, ReleaseInstance; last the events drained for ShutdownDrain.
    // Idempotent.
    void Shutdown();

    // --- Services: every command that changes something -------------------------

    TQuarantineService& Quarantine() { return *quarantineSvc_; }
    TInboxService& Inbox() { return *inboxSvc_; }
    TListService& Lists() { return *listSvc_; }
    TSearchService& Search() { return *searchSvc_; }
    TReplyService& QuickReply() { return *replySvc_; }
    TStatusService& Status() { return *statusSvc_; }
    TCheckService& Checks() { return *checkSvc_; }

    // --- Commands -------------------------------------------------------------

    // Starts a Mail check, with the dial-up rule of the option Connect: with
    // 0 the check starts; otherwise a check that is not user-started and
    // finds no dial-up connection up does not start, and every other one
    // dials the first phone-book entry and starts only with a connection up.
    // Without any phone-book entry Connect 1 and 2 count as 0 (traced once).
    // A check that does not start while the start-up check is pending is
    // replaced by the local-only pass. Callers make sure that no check exists
    // and no cleaning runs. True when the (remote) check started.
    bool StartMailCheck(bool userStarted, bool defaultOnly, TAccountPtr account = nullptr);
    // Rebuilds the inbox list from the local server (a local-only check).
    void RefreshInbox();
    // True and "" when the accounts are usable; otherwise false and one line
    // per failing test (CR LF between lines): per account the name and
    // kNoOutgoingServer, kNoIncomingServer, kNoIncomingUser. With account:
    // only that account; else every account, or with defaultOnly those in
    // the default check.
    bool ValidateAccounts(bool defaultOnly, const TAccount* account, std::string& error) const;
    bool HasDefaultCheckAccounts() const;
    // The cleaner's question: false while a check exists or the exit
    // confirmation is open.
    bool MayClean() const;
    // The stop command of a running check (nothing when none runs).
    void StopMailCheck();
    // Sets the status text, traces a non-empty one (level 2), StatusChanged.
    void SetStatus(const std::string& text);

    // A second copy's show request: ShowRequested.
    void ShowRequest();
    // The uninstall run's close request: CloseNowTimer started; the program
    // closes (CloseNow) as soon as no check exists and no cleaning runs.
    void CloseRequest();
    // A termination signal: stops a running check, then CloseRequest.
    void TerminateRequest();
    // The window's exit confirmation is shown (no cleaning starts meanwhile).
    void SetExitConfirmationOpen(bool open) { exitConfirmationOpen_ = open; }

    // The logon dialog of a check after a refused login: true (OK) with the
    // request's user name and password filled in for this login; false
    // cancels. One handler, since it gives the answer; unset: cancelled.
    // Runs on the main thread while the checker waits.
    std::function<bool(TCredentialsRequest& request)> OnGetCredentials;

    // --- Timer handlers (main-thread QTimers; public for tests) -------------

    void CheckMailTimerTimer();   // 5000 ms
    void UpdCheckTimeTimerTimer(); // 1000 ms
    void StartupMailCheckerTimer(); // 1000 ms, once
    void CloseNowTimerTimer();    // 100 ms

    // --- State -----------------------------------------------------------------

    bool Checking() const { return checking_; }
    bool Cleaning() const;
    // The request of the running (or last) check.
    const TCheckRequest& CheckRequestOfLastCheck() const { return lastRequest_; }
    const std::string& StatusText() const { return statusText_; }
    std::optional<TDateTime> LastCheckTime() const { return lastCheckTime_; }
    std::uint64_t LastCheckTick() const { return lastCheckTick_; }
    bool CheckedOnce() const { return checkedOnce_; }
    bool StartupCheckPending() const { return startupCheckPending_; }
    bool SoundPlayed() const { return soundPlayed_; }
    bool CloseAllowed() const { return closeAllowed_; }
    bool ExitConfirmationOpen() const { return exitConfirmationOpen_; }
    // "Mail was last checked " + the elapsed phrase once a check finished,
    // else "Mail hasn't been checked yet".
    std::string LastCheckedText() const;

    const std::vector<TInboxRow>& InboxRows() const { return inbox_; }
    const std::vector<TTrashRow>& QuarantineRows() const { return quarantine_; }
    bool QuarantineLoaded() const { return quarantineLoaded_; }
    // The side-bar lists as they are now, in list order.
    TSideBarRows SideBar() const;

signals:
    void StatusChanged(const std::string& text);
    void InboxRowAdded(const bm::TInboxRow& row);
    void InboxRowRemoved(const bm::TInboxRow& row);
    // Rows added at once (the loader's rows, or the rows of one check).
    void QuarantineRowsAdded(const std::vector<bm::TTrashRow>& rows);
    // Also for an ID that had no row (the window reselects all the same).
    void QuarantineRowRemoved(int id);
    // The "Delete at" of these rows changed (ShiftDeleteTimes).
    void DeleteTimesShifted(const std::vector<int>& ids);
    // An address joined the Friends list (checker, local SMTP server, a
    // command) or the blacklist (cleaner, a command): the view adds it in
    // lower case, checked.
    void AddressWhitelisted(const std::string& address);
    void SenderBlacklisted(const std::string& address);
    // An entry left an address list, or its text changed (list commands).
    void AddressRemoved(bm::TSideBarList list, const std::string& text);
    void AddressChanged(bm::TSideBarList list, const std::string& oldText, const std::string& newText);
    // The filter list changed at index (list commands).
    void FilterAdded(int index, const bm::TSideBarRow& row);
    void FilterChanged(int index, const bm::TSideBarRow& row);
    void FilterRemoved(int index);
    void SideBarFilled();
    void CheckStarted(const bm::TCheckRequest& request);
    // After the check-finished steps; localStandIn: the local-only pass that
    // stands in for a start-up check without a connection.
    void CheckFinished(bool localStandIn);
    // A start-up, periodic or other Mail check did not start, and why (one
    // line; also traced). Each cause once, until a check has started or the
    // cause has changed.
    void CheckSkipped(const std::string& reason);
    // The new-mail sound file to play (asynchronously).
    void PlaySound(const std::filesystem::path& soundFile);
    // The cleaner's OnBeforePack and OnFinished: the window closes and
    // reopens its own cursors on the quarantine tables.
    void BeforePack();
    void CleanFinished();
    void UpdCheckTime(); // every second
    void ShowRequested();
    // The program closes now, without confirmation (close allowed is set):
    // the window closes for good, the headless run ends its event loop.
    void CloseNow();
    // A start-up step failed (a server port that cannot be opened).
    void StartupError(const std::string& text);
    // Where a local server listens, once it has started.
    void ServerStarted(const std::string& text);

private:
    friend class TQuarantineService;
    friend class TInboxService;
    friend class TListService;
    friend class TSearchService;
    friend class TReplyService;
    friend class TStatusService;
    friend class TCheckService;
    friend struct TAppCoreTestAccess;

    TFFData* Database() { return database_.get(); }
    TRASManager* RASManager() { return rasManager_.get(); }
    TCleanerMdl* Cleaner() { return cleaner_.get(); }
    TPOP3ServerThread* POP3Server() { return pop3Server_.get(); }
    TSMTPServerThread* SMTPServer() { return smtpServer_.get(); }

    void CreateServers();
    void ChoosePorts(bool pop3, bool smtp);
    bool StartSMTPServer(bool report);
    bool StartPOP3Server(bool report);
    void CreateCleaner();
    void StartQuarantineLoader();
    void StopTimers();
    void WaitForCheck();
    void FreeWorkers();
    void FreeGroup();

    bool StartChecker(const TCheckRequest& request);
    TCheckerEvents MakeCheckerEvents(std::uint64_t run);
    bool IsCurrentRun(std::uint64_t run) const { return checking_ && run == runId_; }
    void CheckNewMessage(const TKnownMessage& entry);
    void CheckMessageDeleted(const std::string& uidl, const TKnownMessage* entry);
    void CheckFinishedSteps();
    void CheckEnded(std::uint64_t run);
    void AddQuarantineRows(const std::vector<TTrashRow>& rows);
    void RemoveQuarantineRow(int id);
    bool RemoveInboxRow(const std::string& id, const std::string& account);
    bool PeriodicCheckDue() const;
    bool DialUpAvailable();
    std::string DefaultAccountsProblem() const;
    bool DefaultAccountsReady();
    void SkipCheck(const std::string& reason);

    TAppCoreSettings settings_;
    TOptions& options_;
    TAccountList& accounts_;
    TWhiteList& friends_;
    TBlackList& blacklist_;
    TFilterList& filters_;
    TMessageList& inboxList_;

    std::unique_ptr<TFFData> database_;
    std::unique_ptr<TRASManager> rasManager_;
    std::unique_ptr<TSMTPServerThread> smtpServer_;
    std::unique_ptr<TPOP3ServerThread> pop3Server_;
    std::unique_ptr<TCleanerMdl> cleaner_;
    std::unique_ptr<TTrashLoader> loader_;

    QTimer checkMailTimer_;
    QTimer updCheckTimeTimer_;
    QTimer startupMailChecker_;
    QTimer closeNowTimer_;

    std::shared_ptr<ICheckerRun> check_;
    std::uint64_t runId_ = 0;
    TCheckRequest lastRequest_;
    bool checking_ = false;
    std::vector<TTrashRow> batch_; // the quarantine notices of the check ending

    std::string statusText_;
    std::optional<TDateTime> lastCheckTime_;
    std::uint64_t lastCheckTick_ = 0;
    bool checkedOnce_ = false;
    bool startupCheckPending_ = false;
    bool soundPlayed_ = false;
    bool closeAllowed_ = false;
    bool exitConfirmationOpen_ = false;
    bool created_ = false;
    bool shutDown_ = false;
    bool quarantineLoaded_ = false;
    bool dialUpAbsenceTraced_ = false;
    std::string lastSkipReason_; // the cause last told by CheckSkipped

    std::vector<TInboxRow> inbox_;
    std::vector<TTrashRow> quarantine_;

    std::unique_ptr<TQuarantineService> quarantineSvc_;
    std::unique_ptr<TInboxService> inboxSvc_;
    std::unique_ptr<TListService> listSvc_;
    std::unique_ptr<TSearchService> searchSvc_;
    std::unique_ptr<TReplyService> replySvc_;
    std::unique_ptr<TStatusService> statusSvc_;
    std::unique_ptr<TCheckService> checkSvc_;
};

// The quarantine list's row of a quarantined message's table row.
TTrashRow TrashRowOf(const TQuarantinedMessage& row);

// The program's checker thread (StartCheckerThread) as a TCheckerStarter,
// over the lists and the database file of the settings.
TCheckerStarter DefaultCheckerStarter(const TAppCoreSettings& settings);

} // namespace bm
