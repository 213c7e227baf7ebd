// The local POP3 server with fetchmail: plain (STLS switched off), STLS,
// TLS from the first byte, keeping and deleting the messages.

#include <sys/stat.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "core/synchronize.h"
#include "servers/pop3srvthdU.h"
#include "tests/servers/pop3srv_support.h"
#include "tests/support/peerprocess.h"

namespace bm {
namespace {

namespace fs = std::filesystem;
using test::RunAside;
using test::StoredMessage;

enum class Transport { Plain, Stls, Implicit };

class Pop3Fetchmail : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists("/usr/bin/fetchmail"))
            GTEST_SKIP() << "fetchmail is not installed";
        // The whole stack answers "localhost" on IPv4 and IPv6 loopback,
        // the name fetchmail checks the certificate against.
        env_.Settings().listenAddresses = ServerListenAddresses(kLoopbackAddress);
        thread_ = std::make_unique<TPOP3ServerThread>(env_.Settings());
        thread_->OnServerEvent = [this](TPOP3ServerThread&, const std::string& account, const std::string& id) {
            EXPECT_TRUE(IsMainThread());
            deleted_.push_back(account + "/" + id);
        };
        thread_->Start();
    }
    void TearDown() override
    {
        if (thread_)
            thread_->Stop();
    }

    // A private rc file (fetchmail wants it 0600) for one poll of the Home
    // account; delivery appends every message to `delivered`, then runs
    // afterDelivery (a shell command) when one is given.
    fs::path WriteRc(Transport transport, bool keep, bool bsmtp, const std::string& afterDelivery)
    {
        const uint16_t port = transport == Transport::Implicit ? thread_->TlsPort() : thread_->PlainPort();
        std::string rc = "set no bouncemail\n"
                         "poll localhost with protocol pop3 port " + std::to_string(port) + " timeout 30\n"
                         "  user \"joe@pop.example.com\" there with password \"secret\" is \"tester\" here\n";
        if (transport == Transport::Plain)
            rc += "  sslproto ''\n";
        if (transport == Transport::Implicit)
            rc += "  ssl\n";
        rc += "  no sslcertck\n";
        rc += keep ? "  keep\n" : "  no keep\n";
        rc += "  fetchall\n";
        if (!bsmtp)
            rc += "  mda \"/bin/sh -c 'cat >> " + delivered_.string() +
              (afterDelivery.empty() ? "" : "; " + afterDelivery) + "'\"\n";
        const fs::path file = work_.path() / "fetchmailrc";
        test::WriteFileBytes(file, rc);
        ::chmod(file.c_str(), 0600);
        return file;
    }
    // Runs fetchmail once (off the main thread); true for exit code 0.
    bool Fetch(Transport transport, bool keep, bool bsmtp = false, const std::string& afterDelivery = {})
    {
        std::vector<std::string> argv{"/usr/bin/fetchmail", "-v", "--nosyslog", "-f",
                                      WriteRc(transport, keep, bsmtp, afterDelivery).string(), "--idfile",
                                      (work_.path() / "fetchids").string(), "--pidfile",
                                      PidFile().string()};
        if (bsmtp)
            argv.insert(argv.end(), {"--bsmtp", delivered_.string()});
        bool ok = false;
        RunAside([&] { ok = test::RunCommand(argv, log_); });
        return ok;
    }
    std::string Delivered() const { return test::ReadFileBytes(delivered_); }
    fs::path PidFile() const { return work_.path() / "fetchmail.pid"; }
    std::string Log() const { return test::ReadLog(log_); }

    test::Pop3Env env_;
    test::TempDir work_;
    fs::path delivered_ = work_.path() / "delivered";
    fs::path log_ = work_.path() / "fetchmail.log";
    std::vector<std::string> deleted_;
    std::unique_ptr<TPOP3ServerThread> thread_;  // last: stopped first
};

TEST_F(Pop3Fetchmail, PlainFetchKeepsTheMessages)
{
    const fs::path a = env_.AddMessage("Home", "m1", StoredMessage("first", {"one", ".dot"}));
    const fs::path b = env_.AddMessage("Home", "m2", StoredMessage("second", {"two"}));
    ASSERT_TRUE(Fetch(Transport::Plain, true)) << Log();
    const std::string got = Delivered();
    EXPECT_NE(got.find("Subject: first"), std::string::npos) << got;
    EXPECT_NE(got.find("Subject: second"), std::string::npos) << got;
    EXPECT_NE(got.find("\n.dot"), std::string::npos) << got;  // unstuffed by the client
    EXPECT_EQ(Log().find("POP3> STLS"), std::string::npos) << Log();
    EXPECT_TRUE(fs::exists(a));
    EXPECT_TRUE(fs::exists(b));
    EXPECT_TRUE(deleted_.empty());
}

TEST_F(Pop3Fetchmail, FetchWithoutKeepDeletesTheFiles)
{
    const fs::path a = env_.AddMessage("Home", "m1", StoredMessage("first", {"one"}));
    const fs::path b = env_.AddMessage("Work", "w1", StoredMessage("other account", {"two"}));
    ASSERT_TRUE(Fetch(Transport::Plain, false)) << Log();
    EXPECT_NE(Delivered().find("Subject: first"), std::string::npos);
    EXPECT_EQ(Delivered().find("other account"), std::string::npos);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_TRUE(fs::exists(b));
    EXPECT_EQ(deleted_, std::vector<std::string>{"Home/m1"});
}

// fetchmail sends DELE for each message right after its delivery; killed
// while delivering the second, it never sends QUIT, so nothing is removed
// (RFC 1939 §6) and the next poll finds both messages again.
TEST_F(Pop3Fetchmail, AFetchmailKilledAfterDeleRemovesNothing)
{
    const fs::path a = env_.AddMessage("Home", "m1", StoredMessage("first", {"one"}));
    const fs::path b = env_.AddMessage("Home", "m2", StoredMessage("second", {"two"}));
    const fs::path once = work_.path() / "delivered-once";
    const std::string killSecond = "if [ -e " + once.string() + " ]; then kill -9 $(head -n 1 " +
                                   PidFile().string() + "); fi; touch " + once.string();
    EXPECT_FALSE(Fetch(Transport::Plain, false, false, killSecond));
    EXPECT_NE(Log().find("POP3> DELE 1"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("POP3> QUIT"), std::string::npos) << Log();
    thread_->Stop();  // waits for the session to end
    EXPECT_TRUE(fs::exists(a));
    EXPECT_TRUE(fs::exists(b));
    EXPECT_TRUE(deleted_.empty());
}

// A message the checker stores while fetchmail is connected is not part of
// that session: fetchmail's numbers still name the messages it listed, and
// QUIT removes exactly those.
TEST_F(Pop3Fetchmail, AMessageStoredDuringTheSessionWaitsForTheNext)
{
    env_.AddMessage("Home", "m1", StoredMessage("first", {"one"}));
    env_.AddMessage("Home", "m2", StoredMessage("second", {"two"}));
    const fs::path added = env_.DataFolder() / "Home" / "m0.msg";
    const fs::path prepared = work_.path() / "m0.msg";
    test::WriteFileBytes(prepared, StoredMessage("stored meanwhile", {"x"}));
    const std::string addOne = "[ -e " + added.string() + " ] || cp " + prepared.string() + " " + added.string();
    ASSERT_TRUE(Fetch(Transport::Plain, false, false, addOne)) << Log();
    EXPECT_NE(Delivered().find("Subject: first"), std::string::npos);
    EXPECT_NE(Delivered().find("Subject: second"), std::string::npos);
    EXPECT_EQ(Delivered().find("stored meanwhile"), std::string::npos);
    ASSERT_TRUE(fs::exists(added));
    std::sort(deleted_.begin(), deleted_.end());
    EXPECT_EQ(deleted_, (std::vector<std::string>{"Home/m1", "Home/m2"}));
    ASSERT_TRUE(Fetch(Transport::Plain, false)) << Log();
    EXPECT_NE(Delivered().find("Subject: stored meanwhile"), std::string::npos);
    EXPECT_FALSE(fs::exists(added));
}

TEST_F(Pop3Fetchmail, FetchesOverStls)
{
    env_.AddMessage("Home", "m1", StoredMessage("over stls", {"one"}));
    ASSERT_TRUE(Fetch(Transport::Stls, true)) << Log();
    EXPECT_NE(Delivered().find("Subject: over stls"), std::string::npos);
    EXPECT_NE(Log().find("POP3> STLS"), std::string::npos) << Log();
    EXPECT_NE(Log().find("POP3< +OK Begin TLS negotiation"), std::string::npos) << Log();
}

TEST_F(Pop3Fetchmail, FetchesOverTlsFromTheFirstByteIntoABsmtpFile)
{
    env_.AddMessage("Home", "m1", StoredMessage("over tls", {"one"}));
    ASSERT_TRUE(Fetch(Transport::Implicit, false, true)) << Log();
    const std::string got = Delivered();
    EXPECT_NE(got.find("MAIL FROM:"), std::string::npos) << got;
    EXPECT_NE(got.find("Subject: over tls"), std::string::npos) << got;
    EXPECT_EQ(deleted_, std::vector<std::string>{"Home/m1"});
}

TEST_F(Pop3Fetchmail, AnEmptyMailboxIsNoError)
{
    // fetchmail's exit code 1 means "no mail"; the session itself succeeded.
    EXPECT_FALSE(Fetch(Transport::Plain, true));
    EXPECT_NE(Log().find("No mail for joe@pop.example.com"), std::string::npos) << Log();
}

} // namespace
} // namespace bm
