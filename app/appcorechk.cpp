// The application core's Mail check side: StartMailCheck with the dial-up
// rule, RefreshInbox, the account tests, the four timers, the close request
// and the handlers of the checker's events.
#include "app/appcoreU.h"

#include "config/optionsU.h"
#include "config/textcaseU.h"
#include "core/datetimeU.h"
#include "core/loggerU.h"
#include "dialup/rasmdl.h"
#include "store/cleaningmdl.h"
#include "store/msgfilesU.h"
#include "store/msgsU.h"

#include <QMetaObject>
#include <QTimer>

namespace bm {

namespace {

TInboxRow RowOf(const TKnownMessage& entry)
{
    TInboxRow row;
    row.Id = entry.Id();
    row.Account = entry.Account();
    row.From = entry.From();
    row.Subject = entry.Subject();
    row.SizeText = entry.SizeText();
    row.DateText = entry.DateText();
    row.Size = entry.Size();
    row.KnownBefore = entry.KnownBefore();
    return row;
}

void AppendLine(std::string& text, const std::string& line)
{
    if (!text.empty())
        text += "\r\n";
    text += line;
}

} // namespace

TTrashRow TrashRowOf(const TQuarantinedMessage& n)
{
    TTrashRow row;
    row.ID = n.ID;
    row.From = n.From;
    row.Subject = n.Subject;
    row.Size = n.Size;
    row.Sent = n.Sent;
    row.Received = n.Received;
    row.Account = n.Account;
    row.UIDL = n.UIDL;
    return row;
}

// --- Commands ------------------------------------------------------------------

bool TAppCore::StartMailCheck(bool userStarted, bool defaultOnly, TAccountPtr account)
{
    soundPlayed_ = false;
    bool go = true;
    // Connect: 0 assume online; 1 dial up and 2 do not dial up are alike here.
    if (options_.Connect() != 0 && DialUpAvailable()) {
        if (!userStarted && !rasManager_->IsConnected())
            go = false;
        else
            go = rasManager_->DialFirstEntry(); // true when a connection is up afterwards
    }
    if (go) {
        SetStatus("");
        WriteTrace({"Starting mail check"}, kTraceNotable);
        const bool started = StartChecker({false, startupCheckPending_, defaultOnly, std::move(account)});
        if (started)
            lastSkipReason_.clear();
        return started;
    }
    SkipCheck(kSkipNoDialUp);
    // Without a connection the first check still rebuilds the inbox list.
    if (startupCheckPending_)
        StartChecker({true, true, false, nullptr});
    return false;
}

// Options carried over from a machine that dialled keep Connect 1 or 2; where
// no phone book exists (this platform) nothing could ever be dialled, so the
// checks go ahead as with 0 instead of never running.
bool TAppCore::DialUpAvailable()
{
    if (rasManager_->HasEntries())
        return true;
    if (!dialUpAbsenceTraced_) {
        dialUpAbsenceTraced_ = true;
        WriteTrace({"Dial-up", "no phone-book entry: Connect " + std::to_string(options_.Connect()) +
                                   " is taken as 0 (assume online)"},
                   kTraceEvent);
    }
    return false;
}

void TAppCore::RefreshInbox()
{
    soundPlayed_ = false;
    StartChecker({true, false, false, nullptr});
}

bool TAppCore::ValidateAccounts(bool defaultOnly, const TAccount* account, std::string& error) const
{
    error.clear();
    auto test = [&error](const TAccount& a) {
        const std::string name = a.Name();
        if (a.Outgoing().Server().empty())
            AppendLine(error, name + kNoOutgoingServer);
        if (a.Incoming().Server().empty())
            AppendLine(error, name + kNoIncomingServer);
        if (a.Incoming().UserName().empty())
            AppendLine(error, name + kNoIncomingUser);
    };
    if (account) {
        test(*account);
    } else {
        for (const auto& a : accounts_.Items())
            if (!defaultOnly || a->InDefaultCheck())
                test(*a);
    }
    return error.empty();
}

bool TAppCore::HasDefaultCheckAccounts() const
{
    for (const auto& a : accounts_.Items())
        if (a->InDefaultCheck())
            return true;
    return false;
}

bool TAppCore::MayClean() const
{
    return !checking_ && !exitConfirmationOpen_;
}

void TAppCore::StopMailCheck()
{
    if (checking_ && check_)
        check_->Stop();
}

void TAppCore::ShowRequest()
{
    emit ShowRequested();
}

void TAppCore::CloseRequest()
{
    if (!shutDown_)
        closeNowTimer_.start();
}

void TAppCore::TerminateRequest()
{
    StopMailCheck();
    CloseRequest();
}

// --- Timers --------------------------------------------------------------------

// At least one account, all default-check accounts valid, and one of them in
// the default check: what the start-up and the periodic check require.
// Otherwise the reason, in one line.
std::string TAppCore::DefaultAccountsProblem() const
{
    if (accounts_.Count() == 0)
        return kSkipNoAccounts;
    std::string error;
    if (!ValidateAccounts(true, nullptr, error)) {
        // One line per failing test, CR LF between them: one line here.
        for (std::size_t at = error.find("\r\n"); at != std::string::npos; at = error.find("\r\n", at))
            error.replace(at, 2, "; ");
        return error;
    }
    if (!HasDefaultCheckAccounts())
        return kSkipNoDefaultAccount;
    return {};
}

bool TAppCore::DefaultAccountsReady()
{
    const std::string problem = DefaultAccountsProblem();
    if (!problem.empty())
        SkipCheck(problem);
    return problem.empty();
}

// A timer retries every 5 s under the same conditions: each cause is told
// once, until a check has run or the cause has changed.
void TAppCore::SkipCheck(const std::string& reason)
{
    if (reason == lastSkipReason_)
        return;
    lastSkipReason_ = reason;
    WriteTrace({"Mail check skipped", reason}, kTraceEvent);
    emit CheckSkipped(reason);
}

// The interval runs from the end of the last check (a local-only pass counts).
bool TAppCore::PeriodicCheckDue() const
{
    const auto interval = static_cast<std::uint64_t>(std::max(options_.AutoInterval(), 0)) * 60000u;
    const std::uint64_t now = GetTickCount();
    return now >= lastCheckTick_ && now - lastCheckTick_ >= interval;
}

void TAppCore::CheckMailTimerTimer()
{
    if (checking_ || Cleaning() || !options_.AutoCheck() || !DefaultAccountsReady() || !PeriodicCheckDue())
        return;
    checkMailTimer_.stop();
    StartMailCheck(false, true);
    if (!shutDown_)
        checkMailTimer_.start();
}

void TAppCore::UpdCheckTimeTimerTimer()
{
    emit UpdCheckTime();
}

void TAppCore::StartupMailCheckerTimer()
{
    startupMailChecker_.stop();
    if (DefaultAccountsReady()) {
        if (!checking_ && !Cleaning()) {
            StartMailCheck(false, true);
            // The timers start when that check finishes; one that could not
            // be started at all starts them now.
            if (checking_)
                return;
        }
    }
    checkMailTimer_.start();
    updCheckTimeTimer_.start();
}

void TAppCore::CloseNowTimerTimer()
{
    if (checking_ || Cleaning())
        return;
    closeNowTimer_.stop();
    closeAllowed_ = true;
    emit CloseNow();
}

// --- The checker and its events ------------------------------------------------

bool TAppCore::StartChecker(const TCheckRequest& request)
{
    if (checking_)
        return false;
    const std::uint64_t run = ++runId_;
    lastRequest_ = request;
    checking_ = true;
    std::shared_ptr<ICheckerRun> handle;
    try {
        handle = settings_.StartChecker(request, MakeCheckerEvents(run));
    } catch (const std::exception& e) {
        checking_ = false;
        WriteTrace({"Cannot start the Mail check", e.what()}, kTraceEvent);
        return false;
    }
    if (!IsCurrentRun(run))
        return true; // it has ended already, within the starter
    check_ = std::move(handle);
    emit CheckStarted(request);
    return true;
}

// Every event but the end runs on the main thread while the checker waits;
// an event of a run that is no longer the current one is dropped.
TCheckerEvents TAppCore::MakeCheckerEvents(std::uint64_t run)
{
    TCheckerEvents ev;
    ev.OnAddressWhitelisted = [this, run](const std::string& address) {
        if (IsCurrentRun(run))
            emit AddressWhitelisted(LowerText(address));
    };
    ev.OnStatus = [this, run](const std::string& text) {
        if (IsCurrentRun(run))
            SetStatus(text);
    };
    ev.OnQuarantineBatchBegin = [this] { batch_.clear(); };
    ev.OnQuarantined = [this, run](const TQuarantinedMessage& notice) {
        if (IsCurrentRun(run))
            batch_.push_back(TrashRowOf(notice));
    };
    ev.OnQuarantineBatchEnd = [this, run] {
        std::vector<TTrashRow> rows;
        rows.swap(batch_);
        if (IsCurrentRun(run))
            AddQuarantineRows(rows);
    };
    ev.OnQuarantineRemoved = [this, run](int id) {
        if (IsCurrentRun(run))
            RemoveQuarantineRow(id);
    };
    ev.OnNewMessage = [this, run](const std::string&, const TKnownMessage& entry) {
        if (IsCurrentRun(run))
            CheckNewMessage(entry);
    };
    ev.OnMessageDeleted = [this, run](const std::string& uidl, const TKnownMessage* entry) {
        if (IsCurrentRun(run))
            CheckMessageDeleted(uidl, entry);
    };
    ev.OnFinished = [this, run] {
        if (IsCurrentRun(run))
            CheckFinishedSteps();
    };
    // Told on the checker thread without waiting: queued to the main thread
    // (run at once when told there, as a test's check does). The core
    // outlives its checks: Shutdown waits for the running one.
    ev.OnEnded = [this, run] { QMetaObject::invokeMethod(this, [this, run] { CheckEnded(run); }); };
    ev.OnGetCredentials = [this, run](TCredentialsRequest& request) {
        return IsCurrentRun(run) && OnGetCredentials && OnGetCredentials(request);
    };
    return ev;
}

void TAppCore::CheckNewMessage(const TKnownMessage& entry)
{
    TInboxRow row = RowOf(entry);
    // A record announced again (the inbox list rebuilt) replaces its row.
    RemoveInboxRow(row.Id, row.Account);
    inbox_.push_back(row);
    emit InboxRowAdded(row);
    if (row.KnownBefore || !options_.PlaySound() || soundPlayed_ || startupCheckPending_)
        return;
    soundPlayed_ = true;
    const std::filesystem::path sound = options_.SoundFile();
    std::error_code ec;
    if (!sound.empty() && std::filesystem::exists(sound, ec))
        emit PlaySound(sound);
}

void TAppCore::CheckMessageDeleted(const std::string& uidl, const TKnownMessage* entry)
{
    // Without an entry the message had no row (it was new in this pass).
    if (entry)
        RemoveInboxRow(entry->Id().empty() ? MakeMessageId(uidl) : entry->Id(), entry->Account());
}

void TAppCore::CheckFinishedSteps()
{
    const bool standIn = lastRequest_.LocalOnly && lastRequest_.LocalAfterRemote;
    if (standIn) {
        WriteTrace({"Finished LocalOnly mail check"}, kTraceEvent);
    } else {
        WriteTrace({"Finished mail check"}, kTraceEvent);
        checkedOnce_ = true;
        lastCheckTime_ = Now();
        lastCheckTick_ = GetTickCount();
    }
    SetKnownMessagesChanged(true);
    SetStatus("");
    FlushTrace();
    if (!shutDown_) {
        checkMailTimer_.start();
        updCheckTimeTimer_.start();
    }
    startupCheckPending_ = false;
    emit CheckFinished(standIn);
}

// The check's thread has ended: the reference is cleared. A run that ended
// early (without OnFinished) restarts the timers all the same, so that the
// automatic checks go on after a start-up check that failed.
void TAppCore::CheckEnded(std::uint64_t run)
{
    if (!IsCurrentRun(run))
        return;
    checking_ = false;
    // The handle is released later, outside the checker's own hand-over.
    if (auto handle = std::move(check_))
        QTimer::singleShot(0, [handle] {});
    if (!shutDown_ && !checkMailTimer_.isActive() && !startupMailChecker_.isActive()) {
        checkMailTimer_.start();
        updCheckTimeTimer_.start();
    }
}

} // namespace bm
