// The checker thread: its events reach the main thread in order, the
// quarantine notices come after OnFinished in one call, a stop ends the wait
// between accounts at once, and the running-check reference is cleared after
// an error so the next check can start.
#include "check/chkthreadU.h"

#include "tests/check/remotechk_support.h"
#include "tests/support/freeport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "core/errorsU.h"
#include "core/synchronize.h"

namespace bm::test {
namespace {

using namespace std::chrono_literals;

// Guards against a hang only; every wait ends on an event long before.
constexpr auto kHangGuard = 120s;

struct EventLog {
    std::vector<std::string> events;
    bool allOnMain = true;

    void Add(const std::string& e)
    {
        allOnMain = allOnMain && IsMainThread();
        events.push_back(e);
    }
    bool Has(const std::string& e) const { return std::find(events.begin(), events.end(), e) != events.end(); }

    TCheckerEvents Handlers()
    {
        TCheckerEvents h;
        h.OnStatus = [this](const std::string& t) { Add("status:" + t); };
        h.OnAddressWhitelisted = [this](const std::string& a) { Add("friend:" + a); };
        h.OnQuarantined = [this](const TQuarantinedMessage& n) { Add("quarantined:" + n.UIDL); };
        h.OnQuarantineRemoved = [this](int id) { Add("removed:" + std::to_string(id)); };
        h.OnNewMessage = [this](const std::string& uidl, const TKnownMessage&) { Add("new:" + uidl); };
        h.OnMessageDeleted = [this](const std::string& uidl, const TKnownMessage*) { Add("deleted:" + uidl); };
        h.OnFinished = [this] { Add("finished"); };
        h.OnQuarantineBatchBegin = [this] { Add("begin"); };
        h.OnQuarantineBatchEnd = [this] { Add("end"); };
        return h;
    }
};

class CheckerThreadTest : public ::testing::Test {
protected:
    CheckerThreadTest()
    {
        w.AddTemplate("tmpl", "Please confirm", {"Held."});
        OnErrorReported = [this](const std::string& account, const std::string&) { log.Add("error:" + account); };
    }
    ~CheckerThreadTest() override
    {
        StopMailCheck();
        WaitForMailCheck(kHangGuard);
        OnErrorReported = nullptr;
    }

    // An account whose servers nobody listens on: every connection fails.
    TAccountPtr DeadAccount(const std::string& name, std::uint16_t port)
    {
        TAccountPtr a = w.AddAccount(name, {name + "@work.example"});
        TAccountValues v = a->Snapshot();
        v.Incoming.Server = "127.0.0.1";
        v.Incoming.Port = port;
        v.Incoming.UserName = "user";
        v.Incoming.Password = "pw";
        a->SetValues(v);
        return a;
    }

    // Quarantines a message through the thread's classifier before the run,
    // as the remote pass would have.
    static void Quarantine(TCheckerThread& thread, const std::string& uidl, const std::string& from)
    {
        TMailMessage m;
        auto entry = EntryFor("Work", uidl, Mail(from, "Work@work.example", uidl, {"x"}), m);
        ASSERT_TRUE(thread.Classifier().ProcessMessage(uidl, m, *entry));
    }

    CheckWorld w;
    EventLog log;
};

TEST_F(CheckerThreadTest, EventsReachTheMainThreadInOrderAndNoticesComeAfterFinished)
{
    const TClosedPort closed;
    DeadAccount("Work", closed);
    w.context.Pop3->LocalPOP3Port = closed;
    auto thread = std::make_shared<TCheckerThread>(true, false, false, nullptr, log.Handlers(), w.context);
    Quarantine(*thread, "q1", "ann@far.example");
    Quarantine(*thread, "q2", "bob@far.example");
    ASSERT_TRUE(log.events.empty()); // the notices wait for the end of the check
    ASSERT_TRUE(SetRunningMailCheck(thread));
    thread->Start(true);
    thread.reset();

    ASSERT_TRUE(WaitForMailCheck(kHangGuard));

    EXPECT_TRUE(log.allOnMain);
    ASSERT_GE(log.events.size(), 6u);
    EXPECT_EQ(log.events.front(), "status:Checking mail on Work");
    EXPECT_TRUE(log.Has("error:Work")); // the local server is not there
    const std::vector<std::string> tail(log.events.end() - 5, log.events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"finished", "begin", "quarantined:q1", "quarantined:q2", "end"}));
    EXPECT_FALSE(MailCheckRunning());
}

TEST_F(CheckerThreadTest, StopEndsTheWaitBetweenAccountsAtOnce)
{
    const TClosedPort closed;
    DeadAccount("First", closed);
    DeadAccount("Second", closed);
    w.options.SetDelayBetweenAccounts(3600);
    ASSERT_NE(StartCheckerThread(false, false, false, nullptr, log.Handlers(), w.context), nullptr);

    ASSERT_TRUE(WaitProcessingEvents([&] { return log.Has("status:Delaying between accounts"); }, kHangGuard));
    EXPECT_TRUE(MailCheckRunning());
    // While a check runs no second one starts.
    EXPECT_EQ(StartCheckerThread(true, false, false, nullptr, {}, w.context), nullptr);
    StopMailCheck();

    ASSERT_TRUE(WaitForMailCheck(kHangGuard));
    EXPECT_TRUE(log.Has("finished"));
    EXPECT_TRUE(log.Has("status:Checking mail on First"));
    EXPECT_FALSE(log.Has("status:Checking mail on Second"));
    EXPECT_TRUE(log.allOnMain);
}

TEST_F(CheckerThreadTest, ReferenceIsClearedAndNoticesDeliveredAfterAnError)
{
    TCheckerEvents handlers = log.Handlers();
    handlers.OnFinished = [this]() {
        log.Add("finished");
        throw std::runtime_error("handler failed");
    };
    w.AddAccount("Work", {"work@work.example"});
    auto thread = std::make_shared<TCheckerThread>(true, false, false, nullptr, handlers, w.context);
    Quarantine(*thread, "q1", "ann@far.example");
    ASSERT_TRUE(SetRunningMailCheck(thread));
    thread->Start(true);
    thread.reset();

    ASSERT_TRUE(WaitForMailCheck(kHangGuard));
    EXPECT_FALSE(MailCheckRunning());
    EXPECT_EQ(log.events, (std::vector<std::string>{"finished", "begin", "quarantined:q1", "end"}));

    // The next check starts and ends normally.
    ASSERT_NE(StartCheckerThread(true, false, false, nullptr, log.Handlers(), w.context), nullptr);
    ASSERT_TRUE(WaitForMailCheck(kHangGuard));
    EXPECT_EQ(log.events.back(), "finished");
}

TEST_F(CheckerThreadTest, LocalOnlyCheckQuarantinesAndBefriendsNothing)
{
    w.AddAccount("Work", {"work@work.example"});
    ASSERT_NE(StartCheckerThread(true, false, false, nullptr, log.Handlers(), w.context), nullptr);
    ASSERT_TRUE(WaitForMailCheck(kHangGuard));
    EXPECT_EQ(log.events, std::vector<std::string>{"finished"});
}

} // namespace
} // namespace bm::test
