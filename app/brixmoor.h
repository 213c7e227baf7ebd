#pragma once
// The program: the command line, the module start-up and shutdown order, and
// the normal, headless, install and uninstall runs.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCoreApplication;

namespace bm {

class TSecurity;

// Which run the command line selects. Only the first argument counts,
// compared case-sensitively and whole.
enum class TRunKind {
    Normal,    // no argument: the normal run (headless while there is no window)
    Headless,  // "--headless": the normal run without a window
    Install,   // "/INSTALL" (a second argument is the setup wizard's mode)
    Uninstall, // "/UNINSTALL"
    Help,      // "--help": prints the usage
    Version,   // "--version": prints the product title and file version
    End,       // anything else: ends at once, doing nothing
};

// args: the arguments after the program name.
TRunKind SelectRun(const std::vector<std::string>& args);

// One named step of the module start-up or the shutdown. A step that is not
// written yet is listed all the same with an empty action, so that the order
// stays visible where modules are plugged in.
struct TLifeStep {
    const char* Name;
    std::function<void()> Run;
};

// The module initialisations, in their order: filters, known messages, reply
// templates, options, accounts, trace log open, error list, Friends list and
// blacklist. They run before every run that does work (normal, headless,
// install, uninstall). A missing file leaves a list empty or an option at
// its default; a failing loader ends the program (its exception is not caught).
std::vector<TLifeStep> ModuleInitSteps();

// The shutdown after the run, in its order: the known messages when a Mail
// check finished in this run, the Friends list and blacklist when changed,
// the filters when changed, then the trace log flushed and closed. Each step
// is guarded: a failure is traced and the next step runs.
std::vector<TLifeStep> ModuleShutdownSteps();

// Runs steps in order; with guarded set a throwing step is traced and skipped.
void RunLifeSteps(const std::vector<TLifeStep>& steps, bool guarded);

// What the runs need from outside; tests shorten the times.
struct TRunSettings {
    // The windowed normal run, given by the user interface: creates the main
    // window over an application core (app/appcoreU.h, with ReleaseInstance
    // releasing security's lock), runs the event loop until it has closed and
    // performs the window's closing steps. Used when set and HasDisplay();
    // otherwise the normal run is the headless one: the core alone until a
    // termination signal or a close request.
    std::function<void(TSecurity& security)> RunMainWindow;
    // The application object of the windowed run, given by the user
    // interface with RunMainWindow (a QApplication, which the window's
    // widgets need); every other run gets a QCoreApplication. Unset: the
    // windowed run gets a QCoreApplication too.
    std::function<std::unique_ptr<QCoreApplication>(int& argc, char** argv)> MakeWindowApplication;
    std::chrono::milliseconds LockWait {100};        // first-instance test
    std::chrono::milliseconds CloseWait {30000};     // uninstall: wait for the running copy
    std::chrono::milliseconds CloseSettle {2000};    // uninstall: after it ended
    std::chrono::milliseconds ShutdownDrain {500};   // events processed after the window closed
};

// True when a display server is reachable ($DISPLAY or $WAYLAND_DISPLAY set).
bool HasDisplay();

// True when the run shows the main window: the normal run, with a window
// run given, while a display is reachable.
bool IsWindowRun(TRunKind kind, const TRunSettings& settings);

// The entry of the program: selects the run and performs it; gives the exit
// code: 0 for every run, as the program always ended with 0, except that a
// failure escaping a run (a configuration loader, the instance lock) is
// printed on stderr and gives 1 instead of ending the process abnormally.
// Creates the application object itself when none exists: the window's
// (MakeWindowApplication) for a window run, else a QCoreApplication. Main
// thread.
int BrixmoorMain(int argc, char** argv, const TRunSettings& settings = {});

// The usage text of --help.
std::string UsageText();

} // namespace bm
