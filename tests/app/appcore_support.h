#pragma once
// What the application core's tests share: a Mail check that the test ends
// by hand, a remote access service with a switchable connection, and a
// fixture that builds a core over lists of its own on a test clock.
#include "app/appcoreU.h"

#include "config/addrlistU.h"
#include "config/badmailreplyU.h"
#include "config/filtersU.h"
#include "config/optionsU.h"
#include "core/datetimeU.h"
#include "core/errorsU.h"
#include "core/loggerU.h"
#include "dialup/rasmdl.h"
#include "platform/registry.h"
#include "store/cleaningmdl.h"
#include "store/ffdatamdl.h"
#include "store/msgsU.h"
#include "tests/support/testenv.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace bm {

// What the tests reach inside the core: its workers and its timers.
struct TAppCoreTestAccess {
    static TFFData* Database(TAppCore& c) { return c.Database(); }
    static TCleanerMdl* Cleaner(TAppCore& c) { return c.Cleaner(); }
    static TPOP3ServerThread* POP3Server(TAppCore& c) { return c.POP3Server(); }
    static TSMTPServerThread* SMTPServer(TAppCore& c) { return c.SMTPServer(); }
    static TRASManager* RASManager(TAppCore& c) { return c.RASManager(); }
    static QTimer& CheckMailTimer(TAppCore& c) { return c.checkMailTimer_; }
    static QTimer& UpdCheckTimeTimer(TAppCore& c) { return c.updCheckTimeTimer_; }
    static QTimer& StartupMailChecker(TAppCore& c) { return c.startupMailChecker_; }
    static QTimer& CloseNowTimer(TAppCore& c) { return c.closeNowTimer_; }
    static void AddQuarantineRows(TAppCore& c, const std::vector<TTrashRow>& rows) { c.AddQuarantineRows(rows); }
    // The inbox row of a record, as a check announces it.
    static void AddInboxRow(TAppCore& c, const TKnownMessage& record) { c.CheckNewMessage(record); }
};

} // namespace bm

namespace bm::test {

inline TQuarantinedMessage NoticeOf(const TTrashRow& row)
{
    TQuarantinedMessage n;
    n.ID = row.ID;
    n.From = row.From;
    n.Subject = row.Subject;
    n.Size = row.Size;
    n.Sent = row.Sent;
    n.Received = row.Received;
    n.Account = row.Account;
    n.UIDL = row.UIDL;
    return n;
}

// One started check: its request and events, driven by the test.
class FakeCheck : public ICheckerRun, public std::enable_shared_from_this<FakeCheck> {
public:
    TCheckRequest Request;
    TCheckerEvents Events;
    int Stops = 0;
    bool Ended = false;
    // As a real check, a stopped one ends soon after (from the event loop),
    // without OnFinished.
    void Stop() override
    {
        ++Stops;
        QTimer::singleShot(0, [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->Finish({}, false);
        });
    }
    // The thread's end: OnFinished (unless it ended early), the quarantine
    // notices, then the reference cleared. Once only.
    void Finish(const std::vector<TTrashRow>& quarantined = {}, bool finished = true)
    {
        if (Ended)
            return;
        Ended = true;
        if (finished && Events.OnFinished)
            Events.OnFinished();
        if (!quarantined.empty()) {
            Events.OnQuarantineBatchBegin();
            for (const TTrashRow& row : quarantined)
                Events.OnQuarantined(NoticeOf(row));
            Events.OnQuarantineBatchEnd();
        }
        Events.OnEnded();
    }
};

class FakeChecker {
public:
    std::vector<std::shared_ptr<FakeCheck>> Runs;
    bool FailToStart = false;
    TCheckerStarter Starter()
    {
        return [this](const TCheckRequest& request, TCheckerEvents events) -> std::shared_ptr<ICheckerRun> {
            if (FailToStart)
                throw std::runtime_error("cannot start a thread");
            auto run = std::make_shared<FakeCheck>();
            run->Request = request;
            run->Events = std::move(events);
            Runs.push_back(run);
            return run;
        };
    }
    FakeCheck& Last() { return *Runs.back(); }
};

// A phone book of one entry whose dial succeeds when Dialable is set.
class FakeRemoteAccess : public IRemoteAccessService {
public:
    bool Connected = false;
    bool Dialable = true;
    bool HasEntry = true;
    int Dials = 0;
    std::uint32_t EnumEntries(std::size_t room, std::vector<std::string>& names, std::size_t& needed) override
    {
        needed = HasEntry ? 1 : 0;
        if (HasEntry && room >= 1)
            names = {"Modem"};
        return kRasSuccess;
    }
    std::uint32_t GetEntryDialParams(const std::string&, TRasDialParams& p, bool& saved) override
    {
        p = {"Modem", "user", "pass"};
        saved = true;
        return kRasSuccess;
    }
    std::uint32_t Dial(const TRasDialParams&, TRasConnection& handle) override
    {
        ++Dials;
        handle = 1;
        Connected = Connected || Dialable;
        return Dialable ? kRasSuccess : 678;
    }
    std::uint32_t HangUp(TRasConnection) override { return kRasSuccess; }
    std::string ErrorString(std::uint32_t) override { return "no answer"; }
    std::uint32_t EnumConnections(std::size_t, std::vector<TRasConnection>& c) override
    {
        if (Connected)
            c = {1};
        return kRasSuccess;
    }
    std::uint32_t GetConnectStatus(TRasConnection, std::uint32_t& state) override
    {
        state = kRasConnected;
        return kRasSuccess;
    }
};

// The process-wide trace log on a file of the test's own while it lives.
class TraceCapture {
public:
    explicit TraceCapture(std::filesystem::path file) : file_(std::move(file)) { OpenTrace(file_); }
    ~TraceCapture() { CloseTrace(); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;
    // What the log holds so far (flushed first).
    std::string Text()
    {
        FlushTrace();
        return ReadFileBytes(file_);
    }
    std::size_t Count(const std::string& piece)
    {
        const std::string text = Text();
        std::size_t n = 0;
        for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size()))
            ++n;
        return n;
    }

private:
    std::filesystem::path file_;
};

// Everything one core works on, of its own.
struct CoreContext {
    TempDir dir;
    TOptions options;
    TAccountList accounts {options};
    TWhiteList friends;
    TBlackList blacklist;
    TFilterList filters;
    TBadMailReplies replies;
    TMessageList inbox;
    TMessageList known;
    TRegistryStore registry {dir.path() / "registry"};
    FakeChecker checker;
    FakeRemoteAccess ras;
    std::unique_ptr<TAppCore> core;

    TAppCoreSettings Settings()
    {
        TAppCoreSettings s;
        s.StartChecker = checker.Starter();
        s.Options = &options;
        s.Accounts = &accounts;
        s.Friends = &friends;
        s.Blacklist = &blacklist;
        s.Filters = &filters;
        s.Replies = &replies;
        s.Inbox = &inbox;
        s.Known = &known;
        s.RemoteAccess = &ras;
        s.CleanerRegistry = &registry;
        s.DatabaseFile = dir.path() / "quarantine.db";
        s.OptionsFile = dir.path() / "options.ini";
        s.FriendsFile = dir.path() / "whitelist.txt";
        s.BlacklistFile = dir.path() / "blacklist.txt";
        s.FiltersFile = dir.path() / "filters.xml";
        s.StartServers = false;
        s.ShutdownDrain = std::chrono::milliseconds(0);
        return s;
    }
};

// A core over its own options, accounts and lists, without the local
// servers, on a test clock; the test calls the timer handlers itself.
class AppCoreTest : public testing::Test, protected CoreContext {
protected:
    TScopedTestClock clock {EncodeDate(2026, 3, 2) + EncodeTime(9, 0, 0)};
    int releases = 0;
    int closes = 0;

    AppCoreTest() { ErrorList().Clear(); }
    ~AppCoreTest() override
    {
        core.reset();
        ErrorList().Clear();
    }

    TAppCoreSettings Settings()
    {
        TAppCoreSettings s = CoreContext::Settings();
        s.ReleaseInstance = [this] { ++releases; };
        return s;
    }

    void MakeCore(TAppCoreSettings s)
    {
        core = std::make_unique<TAppCore>(std::move(s));
        QObject::connect(core.get(), &TAppCore::CloseNow, [this] { ++closes; });
    }
    // The cleaner's own timer is stopped: its passes are started by the
    // tests themselves, never by an event loop that a test runs.
    void Create()
    {
        MakeCore(Settings());
        core->Create();
        StopCleanerTimer();
    }
    void StopCleanerTimer();

    TAccountPtr AddAccount(const std::string& name, const std::string& in = "pop.example.com",
                           const std::string& out = "smtp.example.com", const std::string& user = "joe",
                           bool inDefault = true)
    {
        auto a = std::make_shared<TAccount>(options);
        TAccountValues v;
        v.Name = name;
        v.Incoming.Server = in;
        v.Incoming.UserName = user;
        v.Outgoing.Server = out;
        v.InDefaultCheck = inDefault;
        a->SetValues(v);
        return accounts.Add(a);
    }

    std::size_t Started() const { return checker.Runs.size(); }
    void Advance(std::chrono::milliseconds by) { clock.Advance(by); }
};

inline void AppCoreTest::StopCleanerTimer()
{
    if (TAppCoreTestAccess::Cleaner(*core))
        TAppCoreTestAccess::Cleaner(*core)->CleanTimer().stop();
}

} // namespace bm::test
