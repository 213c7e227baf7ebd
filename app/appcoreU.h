#pragma once
// TAppCore: the application core of the normal run, without any window. It
// brings up the database, the dial-up manager, the local SMTP and POP3 server
// threads, the quarantine cleaner and the quarantine loader in their order,
// drives the automatic Mail checks with its timers, keeps the run state and
// the rows of the inbox and the quarantine, and takes everything down again
// in order. A window observes it through its events and commands it through
// its members; the headless run uses it alone.
//
// Life cycle: construct, set the events, Create(), run the event loop, then
// Shutdown() (also run by the destructor when Create ran).
//
// Threads: main thread only. Worker threads (the Mail check, the local
// servers, the quarantine loader) reach it only through synchronous
// hand-overs, so the main thread must keep its event loop running.

#include "check/mailchkmdl.h"
#include "config/acctU.h"
#include "store/trashloaderthrdU.h"

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
class TBlackList;
class TCleanerMdl;
class TFFData;
class TFilterList;
class TKnownMessage;
class TOptions;
class TPOP3ServerThread;
class TRASManager;
class TRegistryStore;
class TSMTPServerThread;
class TWhiteList;

// What one Mail check is asked to do: the four values of StartCheckerThread.
struct TCheckRequest {
    bool LocalOnly = false;        // only rebuild the inbox from the local server
    bool LocalAfterRemote = false; // after the remote pass, also the local pass
    bool DefaultOnly = false;      // only the accounts in the default check
    TAccountPtr Account;           // one account, or null
};

// The checker thread's events as the core receives them; every one runs on
// the main thread while the checker waits. OnQuarantined brings all rows of
// the check at once, after OnFinished. OnEnded comes last, once, also when
// the run ended early without OnFinished: the check no longer exists then.
struct TCoreCheckEvents {
    std::function<void(const std::string& address)> OnAddressWhitelisted;
    std::function<void(const std::string& text)> OnStatus;
    std::function<void(const std::vector<TTrashRow>& rows)> OnQuarantined;
    std::function<void(int id)> OnQuarantineRemoved;
    std::function<void(const std::string& uidl, const TKnownMessage& entry)> OnNewMessage;
    // entry is null when the message has no inbox row (new in this pass).
    std::function<void(const std::string& uidl, const TKnownMessage* entry)> OnMessageDeleted;
    std::function<void()> OnFinished;
    std::function<void()> OnEnded;
    // The logon dialog after a refused login: true (OK) with the request's
    // user name and password filled in for this login; false cancels.
    std::function<bool(TCredentialsRequest& request)> OnGetCredentials;
};

// A running Mail check as the core holds it. Main thread.
class ICheckerRun {
public:
    // Released by the core only after OnEnded (never from within an event).
    virtual ~ICheckerRun() = default;
    // The stop command: cuts the connection while the check is interruptible,
    // otherwise only asks it to end before the next queued message.
    virtual void Stop() = 0;
};

// Starts a Mail check in its own thread with the request and the events;
// throws when it cannot be started. Main thread.
using TCheckerStarter =
    std::function<std::shared_ptr<ICheckerRun>(const TCheckRequest& request, TCoreCheckEvents events)>;

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

struct TAppCoreSettings {
    // Starts the Mail checks; null: the program's checker thread.
    TCheckerStarter StartChecker;
    // The lists the core works on; null: the process-wide ones. They must
    // outlive the core.
    TOptions* Options = nullptr;
    TAccountList* Accounts = nullptr;
    TWhiteList* Friends = nullptr;
    TBlackList* Blacklist = nullptr;
    TFilterList* Filters = nullptr;
    // The remote access service for dial-up; null: the platform's.
    IRemoteAccessService* RemoteAccess = nullptr;
    // Where the cleaner keeps its time stamps; null: the process-wide store.
    TRegistryStore* CleanerRegistry = nullptr;
    // The database file; empty: the data folder's.
    std::filesystem::path DatabaseFile;
    // Where chosen ports are saved; empty: the options' default file.
    std::filesystem::path OptionsFile;
    // Start the local servers (tests of the life cycle leave them out).
    bool StartServers = true;
    // Frees the single-instance data module (shutdown step 6, last).
    std::function<void()> ReleaseInstance;
    // Events processed after the shutdown so that server threads finish.
    std::chrono::milliseconds ShutdownDrain {500};
};

class TAppCore {
public:
    // The exit command's refusal while a Mail check runs (title "Warning").
    inline static const char* const kCheckingWarning =
        "Brixmoor is currently checking your mailbox,\r\nand can't be terminated.";
    // ValidateAccounts lines (after the account's name).
    inline static const char* const kNoOutgoingServer = ": No outgoing (SMTP) server specified";
    inline static const char* const kNoIncomingServer = ": No incoming (POP) server specified";
    inline static const char* const kNoIncomingUser = ": No incoming (POP) user name specified";
    // Why an automatic check did not start (OnCheckSkipped); an account that
    // fails ValidateAccounts gives its lines instead, joined by "; ".
    inline static const char* const kSkipNoAccounts = "there are no accounts";
    inline static const char* const kSkipNoDefaultAccount = "no account takes part in the default check";
    inline static const char* const kSkipNoDialUp = "no dial-up connection is up";

    explicit TAppCore(TAppCoreSettings settings = {});
    ~TAppCore(); // Shutdown() when Create ran
    TAppCore(const TAppCore&) = delete;
    TAppCore& operator=(const TAppCore&) = delete;

    // The start-up, in order: status "Starting up"; the database (throws
    // EDatabaseError, nothing else is then created) and the dial-up manager;
    // the free ports when the options have none yet (saved in the options
    // file); the SMTP then the POP3 server thread (a port that cannot be
    // opened goes to OnStartupError and the start-up goes on without that
    // server); the cleaner with its six events; the side-bar rows; the
    // start-up Mail check armed, or RefreshInbox with the last check time set
    // to now and the two periodic timers started; the quarantine loader;
    // status "". Call once.
    void Create();
    // The closing steps, in order: the timers stopped; a running check
    // stopped and waited for; the loader and the cleaner freed; then one
    // group in which a failing step skips the rest: the dial-up manager
    // freed, the POP3 then the SMTP server thread stopped, the database
    // freed, ReleaseInstance; last the events drained for ShutdownDrain.
    // Idempotent.
    void Shutdown();

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
    // Sets the status text, traces a non-empty one (level 2), OnStatus.
    void SetStatus(const std::string& text);

    // A second copy's show request: OnShowRequest.
    void ShowRequest();
    // The uninstall run's close request: CloseNowTimer started; the program
    // closes (OnClose) as soon as no check exists and no cleaning runs.
    void CloseRequest();
    // A termination signal: stops a running check, then CloseRequest.
    void TerminateRequest();
    // The window's exit confirmation is shown (no cleaning starts meanwhile).
    void SetExitConfirmationOpen(bool open) { exitConfirmationOpen_ = open; }

    // --- Timers (main-thread QTimers; their handlers are public for tests) ---

    QTimer& CheckMailTimer() { return checkMailTimer_; }         // 5000 ms
    QTimer& UpdCheckTimeTimer() { return updCheckTimeTimer_; }   // 1000 ms
    QTimer& StartupMailChecker() { return startupMailChecker_; } // 1000 ms, once
    QTimer& CloseNowTimer() { return closeNowTimer_; }           // 100 ms
    void CheckMailTimerTimer();
    void UpdCheckTimeTimerTimer();
    void StartupMailCheckerTimer();
    void CloseNowTimerTimer();

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
    const TSideBarRows& SideBar() const { return sideBar_; }

    TFFData* Database() { return database_.get(); }
    TRASManager* RASManager() { return rasManager_.get(); }
    TCleanerMdl* Cleaner() { return cleaner_.get(); }
    TPOP3ServerThread* POP3Server() { return pop3Server_.get(); }
    TSMTPServerThread* SMTPServer() { return smtpServer_.get(); }

    // --- Events (main thread; an unset one is skipped) -----------------------

    std::function<void(const std::string& text)> OnStatus;
    std::function<void(const TInboxRow& row)> OnInboxRowAdded;
    std::function<void(const TInboxRow& row)> OnInboxRowRemoved;
    // Rows added at once (the loader's rows, or the rows of one check).
    std::function<void(const std::vector<TTrashRow>& rows)> OnQuarantineRowsAdded;
    std::function<void(int id)> OnQuarantineRowRemoved;
    // An address joined the Friends list (checker, local SMTP server) or the
    // blacklist (cleaner): the view adds it in lower case, checked.
    std::function<void(const std::string& address)> OnAddressWhitelisted;
    std::function<void(const std::string& address)> OnSenderBlacklisted;
    std::function<void()> OnSideBarFilled;
    std::function<void(const TCheckRequest& request)> OnCheckStarted;
    // After the check-finished steps; localStandIn: the local-only pass that
    // stands in for a start-up check without a connection.
    std::function<void(bool localStandIn)> OnCheckFinished;
    // The new-mail sound file to play (asynchronously).
    std::function<void(const std::filesystem::path& soundFile)> OnPlaySound;
    // The cleaner's OnBeforePack and OnFinished: the window closes and
    // reopens its own cursors on the quarantine tables.
    std::function<void()> OnBeforePack;
    std::function<void()> OnCleanFinished;
    std::function<void()> OnUpdCheckTime; // every second
    std::function<void()> OnShowRequest;
    // The program closes now, without confirmation (close allowed is set):
    // the window closes for good, the headless run ends its event loop.
    std::function<void()> OnClose;
    // A start-up step failed (a server port that cannot be opened).
    std::function<void(const std::string& text)> OnStartupError;
    // The logon dialog of a check (see TCoreCheckEvents); unset: cancelled.
    std::function<bool(TCredentialsRequest& request)> OnGetCredentials;
    // A start-up, periodic or other Mail check did not start, and why (one
    // line; also traced). Each cause once, until a check has started or the
    // cause has changed.
    std::function<void(const std::string& reason)> OnCheckSkipped;
    // Where a local server listens, once it has started.
    std::function<void(const std::string& text)> OnServerStarted;

private:
    void CreateServers();
    void ChoosePorts(bool pop3, bool smtp);
    bool StartSMTPServer(bool report);
    bool StartPOP3Server(bool report);
    void CreateCleaner();
    void FillSideBar();
    void StartQuarantineLoader();
    void StopTimers();
    void WaitForCheck();
    void FreeWorkers();
    void FreeGroup();

    bool StartChecker(const TCheckRequest& request);
    TCoreCheckEvents MakeCheckerEvents(std::uint64_t run);
    bool IsCurrentRun(std::uint64_t run) const { return checking_ && run == runId_; }
    void CheckNewMessage(const TKnownMessage& entry);
    void CheckMessageDeleted(const std::string& uidl, const TKnownMessage* entry);
    void CheckFinished();
    void CheckEnded(std::uint64_t run);
    void AddQuarantineRows(const std::vector<TTrashRow>& rows);
    void RemoveQuarantineRow(int id);
    bool RemoveInboxRow(const std::string& id, const std::string& account);
    bool PeriodicCheckDue() const;
    bool DialUpAvailable();
    std::string DefaultAccountsProblem() const;
    bool DefaultAccountsReady();
    void CheckSkipped(const std::string& reason);

    TAppCoreSettings settings_;
    TOptions& options_;
    TAccountList& accounts_;
    TWhiteList& friends_;
    TBlackList& blacklist_;
    TFilterList& filters_;

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
    std::string lastSkipReason_; // the cause last told by OnCheckSkipped

    std::vector<TInboxRow> inbox_;
    std::vector<TTrashRow> quarantine_;
    TSideBarRows sideBar_;
};

// The program's checker thread (StartCheckerThread) as a TCheckerStarter,
// over the lists and the database file of the settings (null or empty: the
// process-wide ones).
TCheckerStarter DefaultCheckerStarter(const TAppCoreSettings& settings);

} // namespace bm
