// The program's checker thread behind the core's TCheckerStarter.
#include "app/appcoreU.h"

#include "check/chkthreadU.h"

#include <stdexcept>

namespace bm {

namespace {

// One TCheckerThread as the core holds it: the thread tells its end through
// the events, so the handle only keeps the thread and passes the stop on.
class TCheckerThreadRun final : public ICheckerRun {
public:
    explicit TCheckerThreadRun(std::shared_ptr<TCheckerThread> thread) : thread_(std::move(thread)) {}
    // As bm::StopMailCheck, on this check rather than the process's one.
    void Stop() override
    {
        if (thread_->Interruptible())
            thread_->Stop();
        else
            thread_->RequestStop();
    }

private:
    std::shared_ptr<TCheckerThread> thread_;
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
    context.Replies = settings.Replies;
    context.Inbox = settings.Inbox;
    context.Known = settings.Known;
    context.Database = settings.DatabaseFile;
    return [context](const TCheckRequest& r, TCheckerEvents events) -> std::shared_ptr<ICheckerRun> {
        auto thread = StartCheckerThread(r.LocalOnly, r.LocalAfterRemote, r.DefaultOnly, r.Account,
                                         std::move(events), context);
        if (!thread)
            throw std::runtime_error("A Mail check is running already");
        return std::make_shared<TCheckerThreadRun>(std::move(thread));
    };
}

} // namespace bm
