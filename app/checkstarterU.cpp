// The program's checker thread behind the core's TCheckerStarter.
#include "app/appcoreU.h"

#include "check/chkthreadU.h"

#include <QTimer>
#include <stdexcept>

namespace bm {

namespace {

// How often the main thread looks whether the checker thread has ended. The
// thread ends with the running-check reference cleared and raises nothing
// after that, so the core learns of the end by looking.
constexpr int kEndPollMs = 20;

TTrashRow RowOfNotice(const TQuarantinedMessage& n)
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

// One TCheckerThread as the core holds it.
class TCheckerThreadRun final : public ICheckerRun {
public:
    explicit TCheckerThreadRun(TCoreCheckEvents events)
        : events_(std::move(events))
    {
        poll_.setInterval(kEndPollMs);
        QObject::connect(&poll_, &QTimer::timeout, [this] { Poll(); });
    }

    // The thread's events, passed on; the notices are gathered into one batch.
    TCheckerEvents ThreadEvents()
    {
        TCheckerEvents ev;
        ev.OnAddressWhitelisted = events_.OnAddressWhitelisted;
        ev.OnStatus = events_.OnStatus;
        ev.OnQuarantineRemoved = events_.OnQuarantineRemoved;
        ev.OnNewMessage = events_.OnNewMessage;
        ev.OnMessageDeleted = events_.OnMessageDeleted;
        ev.OnFinished = events_.OnFinished;
        ev.OnGetCredentials = events_.OnGetCredentials;
        ev.OnQuarantineBatchBegin = [this] { batch_.clear(); };
        ev.OnQuarantined = [this](const TQuarantinedMessage& n) { batch_.push_back(RowOfNotice(n)); };
        ev.OnQuarantineBatchEnd = [this] {
            if (events_.OnQuarantined && !batch_.empty())
                events_.OnQuarantined(batch_);
            batch_.clear();
        };
        return ev;
    }

    void Started(std::shared_ptr<TCheckerThread> thread)
    {
        thread_ = std::move(thread);
        poll_.start();
    }

    void Stop() override { bm::StopMailCheck(); }

private:
    void Poll()
    {
        if (thread_ && !thread_->Finished())
            return;
        poll_.stop();
        if (events_.OnEnded)
            events_.OnEnded();
    }

    TCoreCheckEvents events_;
    std::vector<TTrashRow> batch_;
    std::shared_ptr<TCheckerThread> thread_;
    QTimer poll_;
};

} // namespace

TCheckerStarter DefaultCheckerStarter(const TAppCoreSettings& settings)
{
    TCheckContext context;
    context.Options = settings.Options;
    context.Accounts = settings.Accounts;
    context.Friends = settings.Friends;
    context.Blacklist = settings.Blacklist;
    context.Filters = settings.Filters;
    // The core's settings do not carry these yet: the program's own.
    context.Replies = &BadMailReplies();
    context.Inbox = &InboxList();
    context.Known = &KnownList();
    context.Database = settings.DatabaseFile;
    return [context](const TCheckRequest& r, TCoreCheckEvents events) -> std::shared_ptr<ICheckerRun> {
        auto run = std::make_shared<TCheckerThreadRun>(std::move(events));
        auto thread = StartCheckerThread(r.LocalOnly, r.LocalAfterRemote, r.DefaultOnly, r.Account,
                                         run->ThreadEvents(), context);
        if (!thread)
            throw std::runtime_error("A Mail check is running already");
        run->Started(std::move(thread));
        return run;
    };
}

} // namespace bm
