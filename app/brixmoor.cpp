#include "app/brixmoor.h"

#include "app/appcoreU.h"
#include "app/securitymdl.h"
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/badmailreplyU.h"
#include "config/filtersU.h"
#include "config/optionsU.h"
#include "core/commonsU.h"
#include "core/errorsU.h"
#include "core/loggerU.h"
#include "dialup/rasmdl.h"
#include "platform/privatefiles.h"
#include "platform/registry.h"
#include "store/msgsU.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace bm {

namespace {

// --- Command line ---------------------------------------------------------------

struct TRunArgument {
    const char* Argument;
    TRunKind Kind;
};

const TRunArgument kRunArguments[] = {
    {"/INSTALL", TRunKind::Install},
    {"/UNINSTALL", TRunKind::Uninstall},
    {"--headless", TRunKind::Headless},
    {"--help", TRunKind::Help},
    {"--version", TRunKind::Version},
};

// --- Termination signals -------------------------------------------------------

// Turns SIGTERM and SIGINT into a call of onSignal on the main thread: the
// handler only writes a byte to a pipe (async-signal-safe); the event loop
// reads it through a socket notifier and does the work there.
class TTerminationWatcher {
public:
    explicit TTerminationWatcher(std::function<void()> onSignal)
    {
        if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error("Cannot create the signal pipe");
        notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, onSignal] {
            char buf[64];
            while (::read(pipe_[0], buf, sizeof buf) > 0) {
            }
            if (onSignal)
                onSignal();
        });
        struct sigaction sa {};
        sa.sa_handler = &TTerminationWatcher::Handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, &oldTerm_);
        sigaction(SIGINT, &sa, &oldInt_);
    }
    ~TTerminationWatcher()
    {
        sigaction(SIGTERM, &oldTerm_, nullptr);
        sigaction(SIGINT, &oldInt_, nullptr);
        notifier_.reset();
        ::close(pipe_[0]);
        ::close(pipe_[1]);
        pipe_[0] = pipe_[1] = -1;
    }
    TTerminationWatcher(const TTerminationWatcher&) = delete;
    TTerminationWatcher& operator=(const TTerminationWatcher&) = delete;

private:
    static inline int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction oldTerm_ {};
    struct sigaction oldInt_ {};

    static void Handler(int)
    {
        int saved = errno;
        const char byte = 1;
        if (pipe_[1] >= 0)
            [[maybe_unused]] ssize_t n = ::write(pipe_[1], &byte, 1);
        errno = saved;
    }
};

void Trace(std::string_view text)
{
    WriteTrace({text}, kTraceEvent);
}

// Both lists, each when changed; a failure of the first does not keep the
// second from being written (the first failure is passed on after).
void SaveAddressLists()
{
    std::exception_ptr failure;
    for (TAddressList* list : {static_cast<TAddressList*>(&WhiteList()), static_cast<TAddressList*>(&BlackList())}) {
        try {
            list->SaveIfModified();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    if (failure)
        std::rethrow_exception(failure);
}

// --- The normal run ---------------------------------------------------------------

void PrintLine(const std::string& text)
{
    std::fprintf(stderr, "brixmoor: %s\n", text.c_str());
    std::fflush(stderr);
}

void PrintError(const std::string& account, const std::string& message)
{
    PrintLine("error: " + (account.empty() ? std::string() : account + ": ") + message);
}

// The window-less normal run: the application core alone, from its creation
// to its shutdown, with the events a window would show going to standard
// error (and, through the core, to the trace).
class THeadlessRun {
public:
    THeadlessRun(TSecurity& security, const TRunSettings& settings, std::function<void()>& onTerminate)
        : security_(security)
        , settings_(settings)
        , onTerminate_(onTerminate)
    {
    }

    void Run()
    {
        // The program's own objects: the process-wide lists that the module
        // start-up loaded and the shutdown writes.
        TAppCoreSettings cs;
        cs.Options = &Options();
        cs.Accounts = &Accounts();
        cs.Friends = &WhiteList();
        cs.Blacklist = &BlackList();
        cs.Filters = &FilterList();
        cs.Replies = &BadMailReplies();
        cs.Inbox = &InboxList();
        cs.Known = &KnownList();
        cs.CleanerRegistry = &Registry();
        cs.ShutdownDrain = settings_.ShutdownDrain;
        cs.ReleaseInstance = [this] { security_.OnceOnly.Release(); };
        TAppCore core(std::move(cs));
        Connect(core);
        core.Create();
        QCoreApplication::exec();
        core.Shutdown();
        Disconnect();
    }

private:
    TSecurity& security_;
    const TRunSettings& settings_;
    std::function<void()>& onTerminate_;

    void Connect(TAppCore& core)
    {
        QObject::connect(&core, &TAppCore::ServerStarted, [](const std::string& text) { PrintLine(text); });
        QObject::connect(&core, &TAppCore::StartupError,
                         [](const std::string& text) { PrintLine("error: " + text); });
        QObject::connect(&core, &TAppCore::ShowRequested, [] {
            // No window to restore from the tray: the request is traced.
            Trace("Show request");
            PrintLine("show request");
        });
        QObject::connect(&core, &TAppCore::CheckFinished, [](bool localStandIn) {
            PrintLine(localStandIn ? "Finished LocalOnly mail check" : "Finished mail check");
        });
        QObject::connect(&core, &TAppCore::CheckSkipped,
                         [](const std::string& reason) { PrintLine("Mail check skipped: " + reason); });
        QObject::connect(&core, &TAppCore::CloseNow, [] { QCoreApplication::quit(); });
        // ReportError has traced the error already. No errors window takes
        // the list, so it is emptied here: a long run would let it grow.
        OnErrorReported = [](const std::string& account, const std::string& message) {
            PrintError(account, message);
            ErrorList().Clear();
        };
        // Errors of the start-up (an unreadable stored password) came before
        // there was anyone to show them.
        for (const TError& e : ErrorList().TakeAll())
            PrintError(e.Account, e.Message);
        security_.OnceOnly.OnShowRequest = [&core] { core.ShowRequest(); };
        security_.OnceOnly.OnCloseRequest = [&core] { core.CloseRequest(); };
        onTerminate_ = [&core] {
            Trace("Termination signal");
            core.TerminateRequest();
        };
    }

    void Disconnect()
    {
        onTerminate_ = [] { QCoreApplication::quit(); };
        security_.OnceOnly.OnShowRequest = nullptr;
        security_.OnceOnly.OnCloseRequest = nullptr;
        OnErrorReported = nullptr;
    }
};

int RunNormal(const TRunSettings& settings)
{
    // Before the lock is taken: from the moment another process can see this
    // copy running, a termination signal must end it in order, never by the
    // default action in the middle of the start-up.
    std::function<void()> onTerminate = [] { QCoreApplication::quit(); };
    TTerminationWatcher watcher([&onTerminate] { onTerminate(); });
    TSecurity security;
    if (!security.OnceOnly.IsFirstInstance(settings.LockWait)) {
        // Another copy runs: wake it and end, without any message.
        security.OnceOnly.SignalShow();
        return 0;
    }
    // Files of an older run (or written under a lax umask) may be readable
    // by others: the quarantine, the trace, the mail and the settings are not.
    if (const int skipped = TightenPrivateTree(GetDataFolder()); skipped > 0)
        Trace("Data folder: " + std::to_string(skipped) + " entries could not be made private");
    if (IsWindowRun(TRunKind::Normal, settings)) {
        settings.RunMainWindow(security);
        return 0;
    }
    THeadlessRun run(security, settings, onTerminate);
    run.Run();
    return 0;
}

int RunInstall(const std::vector<std::string>& args)
{
    const std::string mode = args.size() > 1 ? args[1] : "NONE";
    if (TRASManager().HasEntries()) {
        Options().SetConnect(2);
        Options().SaveToFile();
    }
    // Later: the setup wizard in mode.
    Trace("Install run, mode " + mode);
    return 0;
}

int RunUninstall(const TRunSettings& settings)
{
    {
        TSecurity security;
        CloseRunningCopy(security.OnceOnly, settings.CloseWait, settings.CloseSettle);
    }
    // Later: the question about held messages and the address export, then
    // the restoring of the mail clients' accounts (setup/).
    Trace("Uninstall run");
    return 0;
}

int PerformRun(TRunKind kind, const std::vector<std::string>& args, const TRunSettings& settings)
{
    switch (kind) {
    case TRunKind::Normal: return RunNormal(settings);
    case TRunKind::Headless: {
        TRunSettings headless = settings;
        headless.RunMainWindow = nullptr;
        return RunNormal(headless);
    }
    case TRunKind::Install: return RunInstall(args);
    case TRunKind::Uninstall: return RunUninstall(settings);
    default: return 0;
    }
}

} // namespace

TRunKind SelectRun(const std::vector<std::string>& args)
{
    if (args.empty())
        return TRunKind::Normal;
    for (const auto& run : kRunArguments)
        if (args[0] == run.Argument)
            return run.Kind;
    return TRunKind::End;
}

std::vector<TLifeStep> ModuleInitSteps()
{
    return {
        {"filters", [] { FilterList().LoadFromFile(); }},
        // InboxList starts empty; KnownList is read (filter names resolved
        // against the filters loaded just before).
        {"known messages", [] {
             TFilterList& filters = FilterList();
             LoadKnownMessages(KnownList(), [&filters](const std::string& name) {
                 std::lock_guard lock(filters.Mutex());
                 return filters.FindByName(name) != nullptr;
             });
         }},
        {"reply templates", [] { BadMailReplies().LoadFromFile(); }},
        {"options", [] { Options().LoadFromFile(); }},
        {"accounts", [] { Accounts().LoadFromFile(); }},
        {"trace log", [] { OpenTrace(); }},
        // The accounts load before the error list and the trace exist; what
        // they could not read is reported now, for the window or the
        // headless run to show.
        {"error list", [] {
             ErrorList();
             for (const TAccountLoadError& e : Accounts().LoadErrors())
                 ReportError(e.Message, e.Account);
         }},
        {"friends list and blacklist", [] {
             WhiteList().LoadFromFile();
             BlackList().LoadFromFile();
         }},
    };
}

std::vector<TLifeStep> ModuleShutdownSteps()
{
    return {
        // Written only when a Mail check finished in this run: a run that
        // never checked leaves the file as it was.
        {"known messages", [] { FinishKnownMessages(InboxList(), KnownList()); }},
        {"friends list and blacklist", [] { SaveAddressLists(); }},
        {"filters", [] { FilterList().SaveIfModified(); }},
        {"trace log", [] {
             FlushTrace();
             CloseTrace();
         }},
    };
}

void RunLifeSteps(const std::vector<TLifeStep>& steps, bool guarded)
{
    for (const auto& step : steps) {
        if (!step.Run)
            continue;
        if (!guarded) {
            step.Run();
            continue;
        }
        try {
            step.Run();
        } catch (const std::exception& e) {
            WriteTrace({"Shutdown step failed", step.Name, e.what()}, kTraceEvent);
        }
    }
}

bool IsWindowRun(TRunKind kind, const TRunSettings& settings)
{
    return kind == TRunKind::Normal && settings.RunMainWindow && HasDisplay();
}

bool HasDisplay()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* v = std::getenv(name); v && *v)
            return true;
    return false;
}

std::string UsageText()
{
    return "Usage: brixmoor [--headless | /INSTALL [mode] | /UNINSTALL | --help | --version]\n"
           "  (none)       start Brixmoor (without a window when no display exists)\n"
           "  --headless   start Brixmoor without a window\n"
           "  /INSTALL     set up Brixmoor for the installed mail clients\n"
           "  /UNINSTALL   close a running Brixmoor and restore the mail clients\n"
           "  --help       show this text\n"
           "  --version    show the version\n";
}

int BrixmoorMain(int argc, char** argv, const TRunSettings& settings)
{
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const TRunKind kind = SelectRun(args);
    switch (kind) {
    case TRunKind::End: return 0;
    case TRunKind::Help: std::fputs(UsageText().c_str(), stdout); return 0;
    case TRunKind::Version:
        std::printf("%s\nFile version %s\n", GetProductTitle().c_str(), GetFileVersion().c_str());
        return 0;
    default: break;
    }
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app = IsWindowRun(kind, settings) && settings.MakeWindowApplication
                  ? settings.MakeWindowApplication(argc, argv)
                  : std::make_unique<QCoreApplication>(argc, argv);
    try {
        RunLifeSteps(ModuleInitSteps(), false);
        int code = PerformRun(kind, args, settings);
        RunLifeSteps(ModuleShutdownSteps(), true);
        return code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brixmoor: %s\n", e.what());
        FlushTrace();
        return 1;
    }
}

} // namespace bm
