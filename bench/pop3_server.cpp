// Serving rate of our local POP3 server against Dovecot, both collected by
// the same fetchmail: 2,000 messages of about 20 KB, once as message files in
// the stored form in an account folder served by TPOP3ServerThread, once
// delivered to a private Dovecot's mailbox. fetchmail fetches and deletes
// them into a BSMTP file with the same options for both. Prints messages per
// second of each and ours over Dovecot's. Needs root (the Dovecot fixture)
// and /usr/bin/fetchmail; measure from a Release build.
#include "config/acctU.h"
#include "config/optionsU.h"
#include "servers/pop3srvthdU.h"
#include "tests/servers/srv_support.h"
#include "tests/support/dovecot.h"
#include "tests/support/peerprocess.h"
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kMessages = 2000;

std::string MakeMessage(int i)
{
    std::string m = "From: Sender " + std::to_string(i) + " <s" + std::to_string(i) +
                    "@example.net>\r\nTo: me@example.com\r\nSubject: bench " + std::to_string(i) +
                    "\r\nDate: Thu, 10 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" + std::to_string(i) +
                    "@bench.example>\r\n\r\n";
    for (int n = 0; m.size() < 20000; ++n)
        m += "Body line " + std::to_string(n) + " with the ordinary length of mail text lines.\r\n";
    return m;
}

// Messages per second of one fetchmail run against port; -1 on failure.
double RunFetchmail(std::uint16_t port, const std::string& user, const std::string& password, const fs::path& dir)
{
    const fs::path rc = dir / "fetchmailrc";
    bm::test::WriteFileBytes(rc, "set no bouncemail\npoll 127.0.0.1 protocol POP3 port " + std::to_string(port) +
                                     " timeout 60\n  user \"" + user + "\" password \"" + password +
                                     "\" sslproto '' fetchall nokeep\n");
    ::chmod(rc.c_str(), 0600);
    bool ok = false;
    const auto start = Clock::now();
    // Off the main thread: our server hands each deletion to it.
    bm::test::RunAside([&] {
        ok = bm::test::RunCommand({"/usr/bin/fetchmail", "-f", rc.string(), "-i", (dir / "ids").string(),
                                   "--pidfile", (dir / "fetchmail.pid").string(), "--bsmtp",
                                   (dir / "out.bsmtp").string(), "--nosyslog", "-s"},
                                  dir / "fetchmail.log");
    });
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok) {
        const std::string log = bm::test::ReadLog(dir / "fetchmail.log");
        std::fprintf(stderr, "fetchmail failed:\n%s\n", log.substr(log.size() > 3000 ? log.size() - 3000 : 0).c_str());
        return -1;
    }
    return kMessages / secs;
}

double RunOurs(int& deleted)
{
    bm::test::TempDir data, work;
    bm::TOptions options;
    bm::TAccountList accounts(options);
    auto account = std::make_shared<bm::TAccount>(options);
    account->SetName("Home");
    account->Incoming().SetUserName("joe");
    account->Incoming().SetServer("pop.example.com");
    account->Incoming().SetPassword("secret");
    accounts.Add(account);
    for (int i = 0; i < kMessages; ++i)
        bm::test::WriteFileBytes(data.path() / "Home" / ("m" + std::to_string(i) + ".msg"), MakeMessage(i) + ".\r\n");

    bm::TPOP3ServerSettings settings;
    settings.accounts = &accounts;
    settings.dataFolder = data.path();
    settings.certFolders = {data.path(), data.path()};
    settings.timeouts = {60000, 60000, 60000};
    bm::TPOP3ServerThread server(settings);
    server.OnServerEvent = [&](bm::TPOP3ServerThread&, const std::string&, const std::string&) { ++deleted; };
    server.Start();
    ::sync();
    const double rate = RunFetchmail(server.PlainPort(), "joe@pop.example.com", "secret", work.path());
    server.Stop();
    return rate;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "pop3_server: needs root (Dovecot fixture)\n");
        return 1;
    }
    bm::test::PrivateHome home;
    int deleted = 0;
    const double ours = RunOurs(deleted);

    bm::test::TempDir work;
    bm::test::DovecotServer dovecot;
    dovecot.AddUser("theirs", "pw");
    for (int i = 0; i < kMessages; ++i)
        dovecot.Deliver("theirs", MakeMessage(i));
    ::sync();
    const double theirs = RunFetchmail(dovecot.Pop3Port(), "theirs", "pw", work.path());
    if (ours < 0 || theirs < 0 || deleted != kMessages || !dovecot.ListMessages("theirs").empty()) {
        std::fprintf(stderr, "pop3_server: a run failed (ours deleted %d of %d)\n", deleted, kMessages);
        return 1;
    }
    std::printf("pop3_server: fetchmail --bsmtp collecting %d messages of about 20 KB\n", kMessages);
    std::printf("  from TPOP3ServerThread:  %.0f messages/s\n", ours);
    std::printf("  from Dovecot:            %.0f messages/s\n", theirs);
    std::printf("  ratio ours / Dovecot:    %.2f\n", ours / theirs);
    return 0;
}
