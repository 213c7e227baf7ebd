#include "tests/support/peerprocess.h"

#include "tests/support/testenv.h"
#include "tests/support/tier.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace bm::test {

namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::filesystem::path& logFile)
{
    if (argv.empty())
        throw std::runtime_error("PeerProcess: no command");
    CheckTierAllowsProgram(argv[0]);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

} // namespace

PeerProcess::PeerProcess(const std::vector<std::string>& argv, const std::filesystem::path& logFile)
    : pid_(Spawn(argv, logFile))
{
}

PeerProcess::~PeerProcess()
{
    Stop();
}

bool PeerProcess::Running()
{
    if (pid_ < 0)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0)
        return true;
    if (r == pid_)
        status_ = status;
    pid_ = -1;
    return false;
}

bool PeerProcess::WaitFor(std::chrono::milliseconds timeout)
{
    return PollUntil([this] { return !Running(); }, timeout);
}

void PeerProcess::Stop(std::chrono::milliseconds grace)
{
    if (!Running())
        return;
    ::kill(pid_, SIGTERM);
    if (!WaitFor(grace)) {
        // The leader is not yet reaped, so its group id is still ours.
        ::kill(-pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        status_ = status;
        pid_ = -1;
    }
}

bool RunCommand(const std::vector<std::string>& argv, const std::filesystem::path& logFile)
{
    const pid_t pid = Spawn(argv, logFile);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PollUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout,
               const std::function<bool()>& stillAlive)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ready())
            return true;
        if (stillAlive && !stillAlive())
            return ready();
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ReadLog(const std::filesystem::path& file)
{
    return ReadFileBytes(file);
}

const TestCertificate& GetTestCertificate()
{
    static TempDir dir;
    static const TestCertificate cert = [] {
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
        TestCertificate c{dir.path() / "cert.pem", dir.path() / "key.pem"};
        const auto log = dir.path() / "openssl.log";
        const bool ok = RunCommand({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                    "ec_paramgen_curve:prime256v1",
                                    "-nodes", "-days", "30", "-subj", "/CN=localhost",
                                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                                    "-keyout", c.keyFile.string(), "-out", c.certFile.string()},
                                   log);
        if (!ok)
            throw std::runtime_error("openssl could not make the test certificate: " + ReadLog(log));
        std::filesystem::permissions(c.keyFile, std::filesystem::perms(0644));
        return c;
    }();
    return cert;
}

} // namespace bm::test
