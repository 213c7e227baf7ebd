#include "tests/support/dovecot.h"

#include "tests/support/freeport.h"
#include "tests/support/rawsocket.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace bm::test {

namespace {

namespace fs = std::filesystem;

constexpr const char* MailUser = "brixmoor-test";
constexpr int kPortAttempts = 5;

// The unprivileged owner of the test Maildirs, created once when missing.
void MailUserIds(unsigned& uid, unsigned& gid)
{
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (::getpwnam(MailUser) == nullptr) {
        TempDir logDir;
        const auto log = logDir.path() / "useradd.log";
        if (!RunCommand({"/usr/sbin/useradd", "--system", "--no-create-home", "--user-group",
                         "--shell", "/usr/sbin/nologin", MailUser},
                        log) &&
            ::getpwnam(MailUser) == nullptr)
            throw std::runtime_error("cannot create the user brixmoor-test: " + ReadLog(log));
    }
    const passwd* pw = ::getpwnam(MailUser);
    if (pw == nullptr)
        throw std::runtime_error("user brixmoor-test is missing");
    uid = pw->pw_uid;
    gid = pw->pw_gid;
}

void MakeOwnedDir(const fs::path& dir, unsigned uid, unsigned gid)
{
    fs::create_directories(dir);
    if (::chown(dir.c_str(), uid, gid) != 0)
        throw std::runtime_error("cannot hand " + dir.string() + " to brixmoor-test");
    fs::permissions(dir, fs::perms(0700));
}

std::uint16_t OtherFreePort(std::uint16_t taken)
{
    for (;;) {
        const std::uint16_t port = FindFreePort();
        if (port != taken)
            return port;
    }
}

// Maildir base names: a strictly increasing leading number, because Dovecot
// gives new mail its UIDs in the order of that number.
std::string NextMessageName()
{
    static std::atomic<unsigned> counter{0};
    return std::to_string(1'700'000'000u + ++counter) + ".P" + std::to_string(::getpid()) +
           ".brixmoor";
}

} // namespace

DovecotServer::DovecotServer(std::chrono::milliseconds startTimeout)
{
    if (::geteuid() != 0)
        throw std::runtime_error("DovecotServer needs root (it serves mail as brixmoor-test)");
    MailUserIds(uid_, gid_);
    // Dovecot's login and mail processes run as other users and must reach
    // their sockets and the Maildirs below this folder.
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::create_directories(dir_.path() / "mail");
    fs::permissions(dir_.path() / "mail", fs::perms(0755));
    fs::create_directories(dir_.path() / "passwd.d");
    fs::permissions(dir_.path() / "passwd.d", fs::perms(0755));
    // A port found free may be taken by another program before Dovecot binds
    // it; Dovecot then ends at once, and is started again on other ports.
    for (int attempt = 1;; ++attempt) {
        pop3Port_ = FindFreePort();
        pop3sPort_ = OtherFreePort(pop3Port_);
        WriteConfig();
        process_ = std::make_unique<PeerProcess>(
            std::vector<std::string>{"/usr/sbin/dovecot", "-F", "-c",
                                     (dir_.path() / "dovecot.conf").string()},
            dir_.path() / "dovecot.out");
        if (WaitUntilReady(startTimeout))
            return;
        process_->Stop();
        const std::string log = Log();
        if (attempt == kPortAttempts || log.find("Address already in use") == std::string::npos)
            throw std::runtime_error("Dovecot did not start:\n" + log);
        std::error_code ec;
        for (const char* file : {"dovecot.out", "dovecot.log"})
            fs::remove(dir_.path() / file, ec);
    }
}

DovecotServer::~DovecotServer()
{
    Stop();
}

const fs::path& DovecotServer::CertFile() const
{
    return GetTestCertificate().certFile;
}

void DovecotServer::WriteConfig() const
{
    const TestCertificate& cert = GetTestCertificate();
    const std::string d = dir_.path().string();
    const std::string conf =
        "protocols = pop3\n"
        "listen = 127.0.0.1\n"
        "base_dir = " + d + "/run\n"
        "state_dir = " + d + "/state\n"
        "log_path = " + d + "/dovecot.log\n"
        "info_log_path = " + d + "/dovecot.log\n"
        "debug_log_path = " + d + "/dovecot.log\n"
        "ssl = yes\n"
        "ssl_cert = <" + cert.certFile.string() + "\n"
        "ssl_key = <" + cert.keyFile.string() + "\n"
        "disable_plaintext_auth = no\n"
        "auth_mechanisms = plain login cram-md5\n"
        "auth_failure_delay = 0\n"
        "first_valid_uid = 1\n"
        "first_valid_gid = 1\n"
        "mail_location = maildir:~/Maildir\n"
        "pop3_uidl_format = %08Xu%08Xv\n"
        // One passwd-file per user: Dovecot stats a passwd-file it has read
        // at most once a second, so lines added to a shared file could stay
        // unseen for that long, while a file it never opened is read at the
        // first lookup. No auth cache either, so a refusal is not remembered.
        "auth_cache_size = 0\n"
        "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " + d + "/passwd.d/%u\n}\n"
        "userdb {\n  driver = static\n"
        "  args = uid=" + std::to_string(uid_) + " gid=" + std::to_string(gid_) +
        " home=" + d + "/mail/%u\n}\n"
        "service pop3-login {\n"
        "  inet_listener pop3 {\n    port = " + std::to_string(pop3Port_) + "\n  }\n"
        "  inet_listener pop3s {\n    port = " + std::to_string(pop3sPort_) +
        "\n    ssl = yes\n  }\n}\n";
    WriteFileBytes(dir_.path() / "dovecot.conf", conf);
}

bool DovecotServer::WaitUntilReady(std::chrono::milliseconds timeout)
{
    return PollUntil(
        [this] {
            RawConnection c(pop3Port_);
            return c.Ok() && c.ReadLine(std::chrono::seconds(5)).starts_with("+OK");
        },
        timeout, [this] { return process_->Running(); });
}

void DovecotServer::AddUser(const std::string& name, const std::string& password)
{
    if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                               "0123456789-_.@") != std::string::npos ||
        name == "." || name == ".." || password.find_first_of(":\r\n") != std::string::npos)
        throw std::runtime_error("AddUser: unusable user name or password for " + name);
    const fs::path home = dir_.path() / "mail" / name;
    MakeOwnedDir(home, uid_, gid_);
    for (const char* sub : {"", "/cur", "/new", "/tmp"})
        MakeOwnedDir(home.string() + "/Maildir" + sub, uid_, gid_);
    // Written whole and renamed into place, so a lookup meanwhile finds
    // either no file (unknown user) or the complete line.
    const fs::path file = dir_.path() / "passwd.d" / name;
    const fs::path temp = dir_.path() / ("passwd-" + name + ".tmp");
    WriteFileBytes(temp, name + ":{PLAIN}" + password + "::::::\n");
    fs::permissions(temp, fs::perms(0644));
    fs::rename(temp, file);
}

fs::path DovecotServer::Maildir(const std::string& user) const
{
    return dir_.path() / "mail" / user / "Maildir";
}

std::string DovecotServer::Deliver(const std::string& user, const std::string& message)
{
    const std::string name = NextMessageName();
    const fs::path temp = Maildir(user) / "tmp" / name;
    if (!fs::is_directory(temp.parent_path()))
        throw std::runtime_error("Deliver: no such user " + user);
    WriteFileBytes(temp, message);
    if (::chown(temp.c_str(), uid_, gid_) != 0)
        throw std::runtime_error("Deliver: cannot hand the message to brixmoor-test");
    fs::permissions(temp, fs::perms(0600));
    // Maildir delivery: complete in tmp/, then one rename into new/.
    fs::rename(temp, Maildir(user) / "new" / name);
    return name;
}

std::vector<std::string> DovecotServer::ListMessages(const std::string& user) const
{
    // Dovecot moves seen mail to cur/ and appends ":2,<flags>" to the name.
    std::map<std::string, fs::path> byName;
    for (const char* sub : {"new", "cur"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(Maildir(user) / sub, ec)) {
            const std::string file = entry.path().filename().string();
            byName[file.substr(0, file.find(':'))] = entry.path();
        }
    }
    std::vector<std::string> messages;
    for (const auto& [name, path] : byName)
        messages.push_back(ReadFileBytes(path));
    return messages;
}

void DovecotServer::Stop()
{
    // Dovecot's master lingers about a second after SIGTERM; nothing of a test
    // server needs a clean shutdown, so its process group is killed soon after.
    if (process_)
        process_->Stop(std::chrono::milliseconds(200));
}

std::string DovecotServer::Log() const
{
    return ReadLog(dir_.path() / "dovecot.out") + ReadLog(dir_.path() / "dovecot.log");
}

} // namespace bm::test
