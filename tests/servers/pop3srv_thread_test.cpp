// The POP3 server holder thread: both listeners, OnMessageDeleted handed to
// the main thread, stopping with connections open (also while one waits for
// the main thread), and a port that cannot be bound.

#include <QCoreApplication>
#include <QThread>

#include <set>

#include <climits>
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/synchronize.h"
#include "servers/pop3srvthdU.h"
#include "tests/servers/pop3srv_support.h"

namespace bm {
namespace {

namespace fs = std::filesystem;
using test::Pop3Client;
using test::RunAside;

struct Deletion {
    std::string account;
    std::string id;
    bool onMainThread = false;
};

class Pop3Thread : public ::testing::Test {
protected:
    void Start()
    {
        thread_ = std::make_unique<TPOP3ServerThread>(env_.Settings());
        thread_->OnServerEvent = [this](TPOP3ServerThread&, const std::string& account, const std::string& id) {
            // Runs on the main thread: no lock needed for the test's list.
            deletions_.push_back({account, id, IsMainThread()});
        };
        thread_->Start();
    }

    test::Pop3Env env_;
    std::vector<Deletion> deletions_;
    // Last, so it is stopped before what its events write to goes.
    std::unique_ptr<TPOP3ServerThread> thread_;
};

TEST_F(Pop3Thread, ServesStlsOnTheFirstAndTlsOnTheSecondListener)
{
    Start();
    ASSERT_NE(thread_->PlainPort(), 0);
    ASSERT_NE(thread_->TlsPort(), 0);
    EXPECT_NE(thread_->PlainPort(), thread_->TlsPort());
    Pop3Client plain(thread_->PlainPort());
    EXPECT_EQ(plain.Line(), "+OK Welcome to Brixmoor POP3 Server");
    EXPECT_EQ(plain.Cmd("CAPA"), "+OK Capability list follows");
    EXPECT_EQ(plain.Block(), "UIDL\nSTLS\nUSER\n");
    Pop3Client tls(thread_->TlsPort(), true);
    EXPECT_EQ(tls.Line(), "+OK Welcome to Brixmoor POP3 Server");
    EXPECT_EQ(tls.Cmd("STLS"), "-ERR Command Not Handled: STLS");
    thread_->Stop();
    EXPECT_FALSE(thread_->IsRunning());
    EXPECT_EQ(plain.Line(), "<closed>");
    EXPECT_EQ(tls.Line(), "<closed>");
}

TEST_F(Pop3Thread, DeletionsFromSeveralConnectionsReachTheMainThreadEachWithItsOwnValues)
{
    env_.AddMessage("Home", "h1", "x.\r\n");
    env_.AddMessage("Work", "w1", "x.\r\n");
    Start();
    RunAside([&] {
        std::thread other([&] {
            Pop3Client c(thread_->TlsPort(), true);
            EXPECT_TRUE(c.Login("joe@work@mail.example.org", "pw two"));
            EXPECT_EQ(c.Cmd("DELE 1"), "+OK Message 1 deleted");
            EXPECT_EQ(c.Cmd("QUIT"), "+OK Closing Connection Channel.");
        });
        Pop3Client c(thread_->PlainPort());
        EXPECT_TRUE(c.Login("joe@pop.example.com", "secret"));
        EXPECT_EQ(c.Cmd("DELE 1"), "+OK Message 1 deleted");
        EXPECT_EQ(c.Cmd("QUIT"), "+OK Closing Connection Channel.");
        other.join();
    });
    ASSERT_EQ(deletions_.size(), 2u);
    std::set<std::string> seen;
    for (const auto& d : deletions_) {
        EXPECT_TRUE(d.onMainThread);
        seen.insert(d.account + "/" + d.id);
    }
    EXPECT_EQ(seen, (std::set<std::string>{"Home/h1", "Work/w1"}));
    EXPECT_FALSE(fs::exists(env_.DataFolder() / "Home" / "h1.msg"));
    EXPECT_FALSE(fs::exists(env_.DataFolder() / "Work" / "w1.msg"));
}

TEST_F(Pop3Thread, StopDeliversAnEventThatIsWaitingForTheMainThread)
{
    env_.AddMessage("Home", "h1", "x.\r\n");
    // The session removes the file at QUIT and then waits for the main
    // thread; the removal tells the test that it has got that far.
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, (env_.DataFolder() / "Home").c_str(), IN_DELETE), 0);
    Start();
    std::unique_ptr<Pop3Client> client;
    // The client's QUIT makes its session wait for the main thread, which
    // is not serving events until it calls Stop().
    std::thread worker([&] {
        client = std::make_unique<Pop3Client>(thread_->PlainPort());
        EXPECT_TRUE(client->Login("joe@pop.example.com", "secret"));
        EXPECT_EQ(client->Cmd("DELE 1"), "+OK Message 1 deleted");
        client->Send("QUIT\r\n");
    });
    worker.join();
    alignas(inotify_event) char buffer[sizeof(inotify_event) + NAME_MAX + 1];
    EXPECT_GT(::read(watch, buffer, sizeof buffer), 0);
    ::close(watch);
    thread_->Stop();
    ASSERT_EQ(deletions_.size(), 1u);
    EXPECT_EQ(deletions_[0].id, "h1");
}

TEST_F(Pop3Thread, APortInUseFailsStartAndLeavesNothingListening)
{
    TcpListener busy(0, kLoopbackAddress);
    env_.Settings().port = 0;
    env_.Settings().portSSL = busy.Port();
    thread_ = std::make_unique<TPOP3ServerThread>(env_.Settings());
    EXPECT_THROW(thread_->Start(), ESocketError);
    EXPECT_FALSE(thread_->IsRunning());
    thread_->Stop();  // harmless when never started
}

TEST_F(Pop3Thread, RestartsAfterStop)
{
    Start();
    thread_->Stop();
    thread_->Start();
    Pop3Client c(thread_->PlainPort());
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
}

} // namespace
} // namespace bm
