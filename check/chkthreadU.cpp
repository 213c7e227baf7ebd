#include "check/chkthreadU.h"

#include "config/acctU.h"
#include "core/errorsU.h"
#include "core/loggerU.h"
#include "core/synchronize.h"
#include "store/knownmsgU.h"

#include <exception>

namespace bm {

TCheckerThread::TCheckerThread(bool localOnly, bool localAfterRemote, bool defaultOnly, TAccountPtr account,
                               TCheckerEvents events, const TCheckContext& context)
    : LocalOnly(localOnly),
      LocalAfterRemote(localAfterRemote),
      DefaultOnly(defaultOnly),
      Account(std::move(account)),
      events_(std::move(events)),
      context_(context.Completed()),
      classifier_(std::make_unique<TRemoteCheckerMdl>(context_, &StopSignal())),
      local_(std::make_unique<TMailCheckerMdl>(true, *context_.Pop3, *context_.Accounts, *context_.Friends,
                                               *context_.Blacklist, *context_.Filters))
{
    ConnectClassifier();
    ConnectLocal();
}

TCheckerThread::~TCheckerThread()
{
    JoinThread();
}

void TCheckerThread::OnMain(const std::function<void()>& fn)
{
    Synchronize(fn);
}

// The classifier's events go to the main thread at once, except the
// quarantine notices, which wait for the end of the check.
void TCheckerThread::ConnectClassifier()
{
    TRemoteCheckerMdl& c = *classifier_;
    c.OnAddressWhitelisted = [this](const std::string& address) {
        if (events_.OnAddressWhitelisted)
            OnMain([&] { events_.OnAddressWhitelisted(address); });
    };
    c.OnStatus = [this](const std::string& text) {
        if (events_.OnStatus)
            OnMain([&] { events_.OnStatus(text); });
    };
    c.OnQuarantineRemoved = [this](int id) {
        if (events_.OnQuarantineRemoved)
            OnMain([&] { events_.OnQuarantineRemoved(id); });
    };
    c.OnWhitelisted = [this](const std::string& uidl, const TKnownMessage& entry) {
        if (events_.OnNewMessage)
            OnMain([&] { events_.OnNewMessage(uidl, entry); });
    };
    c.OnQuarantined = [this](const TQuarantinedMessage& row) {
        std::lock_guard lock(noticesMutex_);
        notices_.push_back(row);
    };
    c.OnSetState = [this](std::uint8_t state) { SetState(state); };
    c.OnReportCheckError = [this](const std::string& t, const std::string& a) { ReportCheckError(t, a); };
    c.OnSetInterruptible = [this](bool v) { SetInterruptible(v); };
    c.OnGetCredentials = [this](TCredentialsRequest& request) {
        bool ok = false;
        if (events_.OnGetCredentials)
            OnMain([&] { ok = events_.OnGetCredentials(request); });
        return ok;
    };
}

void TCheckerThread::ConnectLocal()
{
    TMailCheckerMdl& l = *local_;
    l.OnStatus = [this](const std::string& text) {
        if (events_.OnStatus)
            OnMain([&] { events_.OnStatus(text); });
    };
    l.OnNewMessage = [this](const std::string& uidl, TKnownMessage& entry) {
        if (events_.OnNewMessage)
            OnMain([&] { events_.OnNewMessage(uidl, entry); });
    };
    l.OnMessageDeleted = [this](const std::string& uidl, TKnownMessage* entry) {
        if (events_.OnMessageDeleted)
            OnMain([&] { events_.OnMessageDeleted(uidl, entry); });
    };
    l.IsStopRequested = [this] { return StopRequested(); };
    l.OnSetState = [this](std::uint8_t state) { SetState(state); };
    l.OnReportCheckError = [this](const std::string& t, const std::string& a) { ReportCheckError(t, a); };
}

void TCheckerThread::Stop()
{
    RequestStop();
    try {
        const std::uint8_t state = State();
        if (state == kStateConnectingRemote || state == kStateRetrievingRemote)
            classifier_->AbortConnection();
        else if (state == kStateConnectingLocal || state == kStateRetrievingLocal)
            local_->AbortConnection();
    } catch (...) {
        // A connection that cannot be closed ends by its own time-out.
    }
}

void TCheckerThread::ReportCheckError(const std::string& text, const std::string& account)
{
    ReportError(text, account); // hands itself to the main thread
}

void TCheckerThread::RemotePass()
{
    SetInterruptible(true);
    classifier_->CheckMail(DefaultOnly, Account);
}

void TCheckerThread::LocalPass()
{
    SetInterruptible(true);
    try {
        local_->CheckAllAccounts(*context_.Inbox, *context_.Known);
    } catch (const std::exception& e) {
        WriteTrace({"Local pass", e.what()}, 1);
    }
    SetKnownMessagesChanged(true);
}

void TCheckerThread::Finish()
{
    OnMain([this] {
        SetState(kStateFinished);
        SetInterruptible(false);
        if (events_.OnFinished)
            events_.OnFinished();
    });
}

// One main-thread call for all notices, in the order collected.
void TCheckerThread::DeliverNotices()
{
    std::vector<TQuarantinedMessage> notices;
    {
        std::lock_guard lock(noticesMutex_);
        notices.swap(notices_);
    }
    if (notices.empty())
        return;
    OnMain([&] {
        if (events_.OnQuarantineBatchBegin)
            events_.OnQuarantineBatchBegin();
        try {
            if (events_.OnQuarantined)
                for (const TQuarantinedMessage& n : notices)
                    events_.OnQuarantined(n);
        } catch (...) {
            if (events_.OnQuarantineBatchEnd)
                events_.OnQuarantineBatchEnd();
            throw;
        }
        if (events_.OnQuarantineBatchEnd)
            events_.OnQuarantineBatchEnd();
    });
}

void TCheckerThread::Execute()
{
    try {
        if (LocalOnly) {
            LocalPass();
        } else {
            RemotePass();
            if (LocalAfterRemote)
                LocalPass();
        }
        Finish();
    } catch (const std::exception& e) {
        WriteTrace({"Mail check ended early", e.what()}, 2);
    } catch (...) {
        WriteTrace({"Mail check ended early"}, 2);
    }
    SetState(kStateFinished);
    SetInterruptible(false);
    try {
        DeliverNotices();
    } catch (const std::exception& e) {
        WriteTrace({"Quarantine notices", e.what()}, 2);
    } catch (...) {
        WriteTrace({"Quarantine notices"}, 2);
    }
    ClearRunningMailCheck(this);
    WakeMainThread();
    if (events_.OnEnded) {
        try {
            events_.OnEnded();
        } catch (...) {
            WriteTrace({"Mail check end"}, 2);
        }
    }
}

std::shared_ptr<TCheckerThread> StartCheckerThread(bool localOnly, bool localAfterRemote, bool defaultOnly,
                                                   TAccountPtr account, TCheckerEvents events,
                                                   const TCheckContext& context)
{
    if (MailCheckRunning())
        return nullptr;
    auto thread = std::make_shared<TCheckerThread>(localOnly, localAfterRemote, defaultOnly, std::move(account),
                                                   std::move(events), context);
    if (!SetRunningMailCheck(thread))
        return nullptr;
    thread->SetInterruptible(false);
    thread->Start(true);
    return thread;
}

} // namespace bm
