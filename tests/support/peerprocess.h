#pragma once
// Child processes for the real test peers (Dovecot, the SMTP sink, openssl).

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bm::test {

// A peer started in a process group of its own, its stdout and stderr appended
// to a log file. The destructor stops it. Used from the test's thread only.
class PeerProcess {
public:
    // Starts argv[0] (an absolute path) with the rest of argv as arguments.
    // Throws std::runtime_error when it cannot be started.
    PeerProcess(const std::vector<std::string>& argv, const std::filesystem::path& logFile);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // True while the process has not exited (reaps it when it has).
    bool Running();
    // SIGTERM, then after `grace` SIGKILL to its process group; waits for it.
    // Safe to call more than once.
    void Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
    // Exit status as waitpid reports it; valid once Running() is false.
    int Status() const { return status_; }
    pid_t Pid() const { return pid_; }

private:
    bool WaitFor(std::chrono::milliseconds timeout);
    pid_t pid_ = -1;
    int status_ = 0;
};

// Runs a command to completion (output to logFile); returns true for exit code 0.
bool RunCommand(const std::vector<std::string>& argv, const std::filesystem::path& logFile);

// Polls `ready` every 10 ms until it returns true (true) or `timeout` passes
// or `stillAlive` returns false (false). Readiness of an outside process cannot
// be signalled to us, so polling it is the only way to wait for it.
bool PollUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout,
               const std::function<bool()>& stillAlive = {});

// Whole text of a file, or "" (for error messages quoting a peer's log).
std::string ReadLog(const std::filesystem::path& file);

// The self-signed certificate the peers present (ECDSA P-256): CN localhost with the subject
// alternative names DNS:localhost and IP:127.0.0.1, made once per test process
// with the openssl command line tool into a folder that lives until exit.
// Throws std::runtime_error when openssl fails. Thread-safe.
struct TestCertificate {
    std::filesystem::path certFile; // PEM certificate (also its own CA)
    std::filesystem::path keyFile;  // PEM private key, unencrypted
};
const TestCertificate& GetTestCertificate();

} // namespace bm::test
