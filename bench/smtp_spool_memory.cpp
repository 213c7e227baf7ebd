// Memory of the local SMTP server under large messages: 8 clients (Python's
// smtplib, bench/smtp_load.py) send a 60 MiB message each at the same time,
// first straight to a real SMTP server (aiosmtpd, which answers the data
// without keeping it), then through the local server, which relays each to
// that same sink. Prints the peak resident memory (VmHWM) of the sink for
// the first load and of this process, which runs the local server, for the
// second, and their ratio. Not run by the tests; it asserts nothing.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include <sys/types.h>
#include <unistd.h>

#include "bench/smtp_bench_world.h"
#include "tests/support/smtpsink.h"

namespace {

constexpr int kClients = 8;
constexpr int kMessageMiB = 60;

std::string Proc(pid_t pid, const char* file)
{
    return "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/" + file;
}

// A field of /proc/PID/status in MiB ("VmHWM", "VmRSS").
double StatusMiB(pid_t pid, const std::string& field)
{
    std::ifstream status(Proc(pid, "status"));
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field + ":"))
            return std::stod(line.substr(field.size() + 1)) / 1024.0;  // the value is in kB
    throw std::runtime_error("no " + field + " in " + Proc(pid, "status"));
}

// Starts the peak anew at the current resident size (Linux 4.0+).
void ResetPeak(pid_t pid)
{
    std::ofstream(Proc(pid, "clear_refs")) << "5";
}

// Runs the load against port; gives the seconds taken. Throws when a
// message was not accepted.
double Load(uint16_t port)
{
    const std::string command = "/usr/bin/python3 " BRIXMOOR_SOURCE_DIR "/bench/smtp_load.py " +
                                std::to_string(port) + " " + std::to_string(kClients) + " " +
                                std::to_string(kMessageMiB) + " >/dev/null";
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("a message of the load was not accepted: " + command);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main()
{
    try {
        bm::test::SmtpSinkOptions sinkOptions;
        sinkOptions.dataReply = "250 2.0.0 Ok: discarded";
        sinkOptions.dataSizeLimit = 2u * kMessageMiB * 1024 * 1024;
        bm::test::SmtpSink sink(sinkOptions);
        bm::bench::SmtpBenchWorld server(sink.Port());

        ResetPeak(sink.Pid());
        const double sinkBefore = StatusMiB(sink.Pid(), "VmRSS");
        const double directSeconds = Load(sink.Port());
        const double sinkPeak = StatusMiB(sink.Pid(), "VmHWM");

        ResetPeak(0);
        const double ownBefore = StatusMiB(0, "VmRSS");
        const double relayedSeconds = Load(server.Port());
        const double ownPeak = StatusMiB(0, "VmHWM");

        std::printf("smtp_spool_memory: %d x %d MiB at once: aiosmtpd sink peak %.0f MiB (%.0f at rest, %.1f s); "
                    "local server peak %.0f MiB (%.0f at rest, %.1f s, relaying to the sink); ratio %.2f\n",
                    kClients, kMessageMiB, sinkPeak, sinkBefore, directSeconds, ownPeak, ownBefore,
                    relayedSeconds, ownPeak / sinkPeak);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "smtp_spool_memory: %s\n", e.what());
        return 1;
    }
}
