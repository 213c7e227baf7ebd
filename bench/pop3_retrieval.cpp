// Remote retrieval rate of TMailCheckerMdl against fetchmail from the same
// private Dovecot: 2,000 messages of about 20 KB are delivered to a mailbox
// for each run; fetchmail fetches and deletes them into a BSMTP file; ours
// runs a remote pass whose handler writes each message as its inbox file and
// marks it for deletion (what the classifier does for a friend's message):
//  - files synced once before DELE: written whole (temporary + rename) by a
//    TMessageFileBatch and made durable by its barrier (fsync of each file
//    and folder) in OnBeforeDeleteOnServer, as the classifier does;
//  - the same made durable by one syncfs of the data folder's filesystem;
//  - SaveMessageFile, each synced: two fsyncs per message (file and folder);
//  - nothing stored: the protocol side alone.
// Prints messages per second and each of ours over fetchmail's, and the
// phases of our passes; POP3_BENCH_LOG=1 also prints Dovecot's log.
// Needs root (the Dovecot fixture) and /usr/bin/fetchmail. Measure from a
// Release build: a Debug build spends most of its time parsing.
#include "check/mailchkmdl.h"
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/filtersU.h"
#include "core/mailmsgU.h"
#include "store/msgfilesU.h"
#include "store/msgsU.h"
#include "tests/support/dovecot.h"
#include "tests/support/peerprocess.h"
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/commonsU.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMessages = 2000;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

void Fill(bm::test::DovecotServer& dovecot, const std::string& user)
{
    for (int i = 0; i < kMessages; ++i)
        dovecot.Deliver(user, MakeMessage(i));
}

// Messages per second of our remote pass; -1 on failure.
enum class Store { Nothing, EachSynced, SyncedBeforeDelete, SyncfsBeforeDelete };

const char* StoreName(Store store)
{
    switch (store) {
    case Store::Nothing: return "nothing stored";
    case Store::EachSynced: return "SaveMessageFile, each synced";
    case Store::SyncedBeforeDelete: return "batch barrier before DELE";
    case Store::SyncfsBeforeDelete: return "syncfs before DELE";
    }
    return "";
}

double RunOurs(bm::test::DovecotServer& dovecot, const std::string& user, Store store)
{
    bm::TOptions options;
    bm::TAccountList accounts(options);
    bm::TWhiteList friends;
    bm::TBlackList blacklist;
    bm::TFilterList filters;
    bm::TMessageList inbox, known;
    auto account = std::make_shared<bm::TAccount>(options);
    bm::TAccountValues v = account->Snapshot();
    v.Name = "Bench";
    v.Incoming.Server = "127.0.0.1";
    v.Incoming.Port = dovecot.Pop3Port();
    v.Incoming.UserName = user;
    v.Incoming.Password = "pw";
    account->SetValues(v);
    accounts.Add(account);

    bm::TMailCheckerMdl checker(false, bm::TMailCheckerSettings{}, accounts, friends, blacklist, filters);
    int handled = 0;
    bm::TMessageFileBatch batch;
    double barrier = 0;
    checker.OnProcessMessage = [&](const std::string& uidl, bm::TMailMessage& m, bm::TKnownMessage& e) {
        if (store == Store::EachSynced)
            bm::SaveMessageFile(e.Account(), uidl, false, m);
        else if (store != Store::Nothing)
            batch.Save(e.Account(), uidl, false, m);
        e.SetToBeDeleted(true);
        ++handled;
        return true;
    };
    checker.OnReportCheckError = [](const std::string& text, const std::string& a) {
        std::fprintf(stderr, "error (%s): %s\n", a.c_str(), text.c_str());
    };
    checker.OnBeforeDeleteOnServer = [&](bm::TAccount&) {
        const auto t = Clock::now();
        if (store == Store::SyncedBeforeDelete) {
            batch.Sync();
        } else if (store == Store::SyncfsBeforeDelete) {
            const int fd = ::open(bm::GetDataFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ::syncfs(fd);
            ::close(fd);
        }
        barrier = SecondsSince(t);
    };
    const auto start = Clock::now();
    double firstMessage = 0, deleting = 0, lastDele = 0, quit = 0;
    checker.OnStatus = [&](const std::string& text) {
        if (text.starts_with("Checking mail 1 of"))
            firstMessage = SecondsSince(start);
        else if (text.starts_with("Retrieving message list"))
            deleting = SecondsSince(start);
        else if (text.starts_with("Deleting message " + std::to_string(kMessages) + " of"))
            lastDele = SecondsSince(start);
    };
    checker.OnAfterAccount = [&](bm::TAccount&, bool) { quit = SecondsSince(start); };
    checker.CheckAllAccounts(inbox, known);
    const double secs = SecondsSince(start);
    std::printf("  (%s: listing %.2f s, messages %.2f s, barrier %.3f s, DELE %.2f s, QUIT %.2f s)\n",
                StoreName(store), firstMessage, deleting - firstMessage - barrier, barrier, lastDele - deleting,
                quit - lastDele);
    if (handled != kMessages || !dovecot.ListMessages(user).empty()) {
        std::fprintf(stderr, "ours: handled %d of %d\n", handled, kMessages);
        return -1;
    }
    return kMessages / secs;
}

// Messages per second of fetchmail --bsmtp; -1 on failure.
double RunFetchmail(bm::test::DovecotServer& dovecot, const std::string& user, const std::filesystem::path& dir)
{
    const auto rc = dir / "fetchmailrc";
    bm::test::WriteFileBytes(rc, "poll 127.0.0.1 port " + std::to_string(dovecot.Pop3Port()) +
                                     " protocol POP3 uidl\n  user \"" + user +
                                     "\" password \"pw\" sslproto '' fetchall nokeep\n");
    ::chmod(rc.c_str(), 0600);
    const auto start = Clock::now();
    const bool ok = bm::test::RunCommand({"/usr/bin/fetchmail", "-f", rc.string(), "-i", (dir / "ids").string(),
                                          "--bsmtp", (dir / "out.bsmtp").string(), "--nosyslog", "-s"},
                                         dir / "fetchmail.log");
    const double secs = SecondsSince(start);
    if (!ok || !dovecot.ListMessages(user).empty()) {
        std::fprintf(stderr, "fetchmail failed:\n%s\n", bm::test::ReadLog(dir / "fetchmail.log").c_str());
        return -1;
    }
    return kMessages / secs;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "pop3_retrieval: needs root (Dovecot fixture)\n");
        return 1;
    }
    bm::test::PrivateHome home;
    bm::test::TempDir work;
    bm::test::DovecotServer dovecot;
    dovecot.AddUser("ours", "pw");
    dovecot.AddUser("theirs", "pw");
    dovecot.AddUser("nofiles", "pw");
    dovecot.AddUser("synced", "pw");
    dovecot.AddUser("syncfs", "pw");
    for (const char* user : {"ours", "theirs", "nofiles", "synced", "syncfs"})
        Fill(dovecot, user);

    // Each run starts on a quiet disk: what an earlier run left to write
    // back would otherwise slow the next one's Dovecot expunge.
    ::sync();
    const double ours = RunOurs(dovecot, "ours", Store::SyncedBeforeDelete);
    ::sync();
    const double theirs = RunFetchmail(dovecot, "theirs", work.path());
    ::sync();
    const double eachSynced = RunOurs(dovecot, "synced", Store::EachSynced);
    ::sync();
    const double protocol = RunOurs(dovecot, "nofiles", Store::Nothing);
    ::sync();
    const double syncfs = RunOurs(dovecot, "syncfs", Store::SyncfsBeforeDelete);
    if (ours < 0 || theirs < 0 || protocol < 0 || eachSynced < 0 || syncfs < 0)
        return 1;
    if (std::getenv("POP3_BENCH_LOG"))
        std::printf("%s\n", dovecot.Log().c_str());
    std::printf("pop3_retrieval: %d messages of about 20 KB from Dovecot\n", kMessages);
    std::printf("  fetchmail --bsmtp:                                 %.0f messages/s\n", theirs);
    for (const auto& [store, rate] :
         {std::pair{Store::SyncedBeforeDelete, ours}, std::pair{Store::SyncfsBeforeDelete, syncfs},
          std::pair{Store::EachSynced, eachSynced}, std::pair{Store::Nothing, protocol}})
        std::printf("  TMailCheckerMdl, %-30s    %.0f messages/s, ratio to fetchmail %.2f\n", StoreName(store), rate,
                    rate / theirs);
    return 0;
}
