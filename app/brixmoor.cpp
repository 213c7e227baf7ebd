#include "app/brixmoor.h"

#include "app/securitymdl.h"
#include "core/commonsU.h"
#include "core/errorsU.h"
#include "core/loggerU.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
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

// --- The normal run ---------------------------------------------------------------

// The window-less stand-in for the main window's life: creation, the event
// loop, and the closing steps, in the order the window will run them.
class THeadlessRun {
public:
    THeadlessRun(TSecurity& security, const TRunSettings& settings)
        : security_(security)
        , settings_(settings)
    {
    }

    void Run()
    {
        Create();
        QCoreApplication::exec();
        Close();
    }

private:
    TSecurity& security_;
    const TRunSettings& settings_;
    QTimer closeNowTimer_;

    void Create()
    {
        Trace("Starting up");
        // Later, in this order: the database (TFFData), the dial-up manager
        // (TRASManager), the local SMTP server thread, the local POP3 server
        // thread, the quarantine cleaner (TCleanerMdl), the start-up Mail
        // check or RefreshInbox with CheckMailTimer and UpdCheckTimeTimer,
        // and the quarantine loader thread.
        security_.OnceOnly.OnShowRequest = [] {
            // No window to restore from the tray yet: the request is traced.
            Trace("Show request");
            std::fputs("brixmoor: show request\n", stderr);
            std::fflush(stderr);
        };
        // CloseNowTimer: closes as soon as no checker thread exists and no
        // cleaning runs (neither exists yet, so the first tick closes).
        closeNowTimer_.setInterval(100);
        QObject::connect(&closeNowTimer_, &QTimer::timeout, [this] {
            closeNowTimer_.stop();
            QCoreApplication::quit();
        });
        security_.OnceOnly.OnCloseRequest = [this] { closeNowTimer_.start(); };
    }

    void Close()
    {
        closeNowTimer_.stop();
        // Later, first: the window placement and list state, the timers, the
        // preview cache, the window's own cursors.
        try {
            // One group: a failing step skips the rest of the group.
            // Later, before the lock: free the dial-up manager, stop the local
            // POP3 and then the SMTP server thread, free the database.
            security_.OnceOnly.Release();
        } catch (const std::exception& e) {
            WriteTrace({"Shutdown", e.what()}, kTraceEvent);
        }
        // Lets the server threads finish their last hand-overs.
        ProcessEventsFor(settings_.ShutdownDrain);
    }
};

int RunNormal(const TRunSettings& settings)
{
    TSecurity security;
    if (!security.OnceOnly.IsFirstInstance(settings.LockWait)) {
        // Another copy runs: wake it and end, without any message.
        security.OnceOnly.SignalShow();
        return 0;
    }
    TTerminationWatcher watcher([] { QCoreApplication::quit(); });
    if (settings.RunMainWindow && HasDisplay()) {
        settings.RunMainWindow(security);
        return 0;
    }
    THeadlessRun run(security, settings);
    run.Run();
    return 0;
}

int RunInstall(const std::vector<std::string>& args)
{
    const std::string mode = args.size() > 1 ? args[1] : "NONE";
    // Later: with at least one dial-up phone-book entry set the option
    // Connect to 2 and save the options; then the setup wizard in mode.
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
        {"filters", {}},         // filters.xml (config/filtersU)
        {"known messages", {}},  // InboxList, KnownList from knownmessages.dat (store/msgsU)
        {"reply templates", {}}, // badmailreplies.xml (config/badmailreplyU)
        {"options", {}},         // options.ini (config/optionsU)
        {"accounts", {}},        // accounts.ini (config/acctU)
        {"trace log", [] { OpenTrace(); }},
        {"error list", [] { ErrorList(); }},
        {"friends list and blacklist", {}}, // whitelist.txt, blacklist.txt (config/addrlistU)
    };
}

std::vector<TLifeStep> ModuleShutdownSteps()
{
    return {
        {"known messages", {}}, // SaveKnownMessages when a Mail check finished; free both lists
        {"friends list and blacklist", {}}, // write when changed, free
        {"filters", {}},                    // write when changed, free
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
        app = std::make_unique<QCoreApplication>(argc, argv);
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
