// Who may use the local servers, and how the POP3 login resists guessing.
#include "servers/pop3srvmdl.h"
#include "servers/smtpsrvmdl.h"

#include "tests/servers/pop3srv_support.h"
#include "tests/servers/smtpsrv_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace bm::test {
namespace {

constexpr unsigned kOtherUid = 65534;
// The system's interpreter: one under root's home is out of the other uid's reach.
constexpr const char* kSystemPython = "/usr/bin/python3";
constexpr const char* kPop3Denied = "-ERR Access denied: this server serves only its own user";
constexpr const char* kSmtpDenied = "554 5.7.1 Access denied: this server serves only its own user";

// What the socket table says about the client, stood in.
struct PeerCase {
    const char* name;
    std::optional<unsigned> ownerOfClient;  // nullopt: no row found
    bool served;
};

const PeerCase kPeerCases[] = {
    {"SameUser", CurrentUid(), true},
    {"OtherUser", kOtherUid, false},
    {"OwnerUnknownOnLoopback", std::nullopt, false},
};

TPeerPolicy StandIn(std::optional<unsigned> owner)
{
    TPeerPolicy policy;
    policy.ownerUid = CurrentUid();
    policy.lookup = [owner](const std::string&, uint16_t) { return owner; };
    return policy;
}

class SrvGuardPeer : public testing::TestWithParam<PeerCase> {};

TEST_P(SrvGuardPeer, Pop3AnswersOnlyItsUser)
{
    Pop3Env env;
    env.Settings().peerPolicy = StandIn(GetParam().ownerOfClient);
    TLocalPOP3ServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    Pop3Client c(server.Port());
    if (GetParam().served) {
        EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
        return;
    }
    EXPECT_EQ(c.Line(), kPop3Denied);
    EXPECT_EQ(c.Line(), "<closed>");
}

TEST_P(SrvGuardPeer, SmtpAnswersOnlyItsUser)
{
    SmtpEnv env;
    env.Settings().peerPolicy = StandIn(GetParam().ownerOfClient);
    TLocalSMTPServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    LineClient c(server.Port(), false, kSmtpLongMs);
    if (GetParam().served) {
        EXPECT_TRUE(c.Line().starts_with("220 "));
        return;
    }
    EXPECT_EQ(c.Line(), kSmtpDenied);
    EXPECT_EQ(c.Line(), "<closed>");
}

INSTANTIATE_TEST_SUITE_P(Servers, SrvGuardPeer, testing::ValuesIn(kPeerCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The real socket tables: this process's own client is found and served.
TEST(SrvGuardOwnTables, OwnClientIsServed)
{
    Pop3Env env;
    TLocalPOP3ServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    Pop3Client c(server.Port());
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
}

// --- Another user's client, for real --------------------------------------------

// The first line a client running as uid kOtherUid gets from port.
std::string FirstLineAsOtherUser(uint16_t port)
{
    const std::string script = "import socket;s=socket.create_connection(('127.0.0.1'," + std::to_string(port) +
                               "));print(s.makefile('rb').readline().decode().rstrip())";
    return RunClient({"setpriv", "--reuid=" + std::to_string(kOtherUid), "--regid=" + std::to_string(kOtherUid),
                      "--clear-groups", kSystemPython, "-c", script})
        .output;
}

class SrvGuardOtherUid : public testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "SKIPPED LOUDLY: another uid's client needs root to start it (setpriv)";
        if (std::system("command -v setpriv >/dev/null") != 0 || ::access(kSystemPython, X_OK) != 0)
            GTEST_SKIP() << "SKIPPED LOUDLY: setpriv or " << kSystemPython << " missing";
    }
};

TEST_F(SrvGuardOtherUid, Pop3RefusesAndSmtpRefuses)
{
    Pop3Env pop3;
    TLocalPOP3ServerMdl pop3Server(pop3.Settings());
    pop3Server.StartListening(TTlsMode::None, 0);
    SmtpEnv smtp;
    TLocalSMTPServerMdl smtpServer(smtp.Settings());
    smtpServer.StartListening(TTlsMode::None, 0);

    EXPECT_EQ(FirstLineAsOtherUser(pop3Server.Port()), std::string(kPop3Denied) + "\n");
    EXPECT_EQ(FirstLineAsOtherUser(smtpServer.Port()), std::string(kSmtpDenied) + "\n");
    // The user's own client still is served.
    Pop3Client c(pop3Server.Port());
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
}

// --- Failed logins ---------------------------------------------------------------

struct DelayCase {
    const char* name;
    int failures;
    int delayMs;
};

class Pop3LoginDelay : public testing::TestWithParam<DelayCase> {};

TEST_P(Pop3LoginDelay, GrowsToItsLimit)
{
    EXPECT_EQ(LoginFailureDelayMs(GetParam().failures, 1000, 8000), GetParam().delayMs);
}

INSTANTIATE_TEST_SUITE_P(Servers, Pop3LoginDelay,
                         testing::Values(DelayCase{"NoFailure", 0, 0}, DelayCase{"First", 1, 1000},
                                         DelayCase{"Second", 2, 2000}, DelayCase{"Third", 3, 4000},
                                         DelayCase{"Fourth", 4, 8000}, DelayCase{"Hundredth", 100, 8000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Pop3LoginHardening, EmptyPasswordNeverMatchesAnAccountWithoutOne)
{
    Pop3Env env({{"Open", "joe", "pop.example.com", ""}});
    EXPECT_EQ(FindLoginAccount(env.Accounts(), "joe@pop.example.com", ""), "");
    TLocalPOP3ServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    Pop3Client c(server.Port());
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
    EXPECT_EQ(c.Cmd("USER joe@pop.example.com"), "+OK Password required");
    EXPECT_EQ(c.Cmd("PASS"), "-ERR Login failed");
    EXPECT_EQ(c.Cmd("STAT"), "-ERR Please login first");
}

TEST(Pop3LoginHardening, ThirdFailureClosesTheConnection)
{
    Pop3Env env;
    env.Settings().loginFailureDelayMs = 1;
    env.Settings().maxLoginFailureDelayMs = 4;
    TLocalPOP3ServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    Pop3Client c(server.Port());
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(c.Cmd("USER joe@pop.example.com"), "+OK Password required");
        EXPECT_EQ(c.Cmd("PASS guess" + std::to_string(i)), "-ERR Login failed");
    }
    EXPECT_EQ(c.Line(), "<closed>");
}

TEST(Pop3LoginHardening, LoginAfterTwoFailuresStillSucceeds)
{
    Pop3Env env;
    env.Settings().loginFailureDelayMs = 1;
    TLocalPOP3ServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    Pop3Client c(server.Port());
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
    EXPECT_EQ(c.Cmd("USER joe@pop.example.com"), "+OK Password required");
    EXPECT_EQ(c.Cmd("PASS wrong"), "-ERR Login failed");
    EXPECT_EQ(c.Cmd("PASS wrong too"), "-ERR Login failed");
    EXPECT_EQ(c.Cmd("PASS secret"), "+OK Login OK");
}

} // namespace
} // namespace bm::test

namespace bm::test {
namespace {

// --- Slots and the login time-out ---------------------------------------------

TEST(SrvGuardSlots, HundredIdleClientsDoNotLockOutALogin)
{
    Pop3Env env;
    env.Settings().maxConnections = 8;
    TLocalPOP3ServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    std::vector<std::unique_ptr<TcpConnection>> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(TcpConnection::Connect(kLoopbackAddress, server.Port()));
    Pop3Client c(server.Port());
    EXPECT_TRUE(c.Login("joe@pop.example.com", "secret"));
    EXPECT_EQ(c.Cmd("STAT"), "+OK 0 0");
}

TEST(SrvGuardSlots, EstablishedSessionsKeepTheirSlotsAgainstNewClients)
{
    Pop3Env env;
    env.Settings().maxConnections = 8;  // two of them for clients not logged in
    TLocalPOP3ServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    Pop3Client first(server.Port());
    ASSERT_TRUE(first.Login("joe@pop.example.com", "secret"));
    std::vector<std::unique_ptr<Pop3Client>> idle;
    for (int i = 0; i < 20; ++i)
        idle.push_back(std::make_unique<Pop3Client>(server.Port()));
    EXPECT_EQ(first.Cmd("STAT"), "+OK 0 0");
}

TEST(SrvGuardSlots, Pop3ClientNotLoggedInInTimeIsClosed)
{
    Pop3Env env;
    env.Settings().timeouts.loginMs = 50;
    TLocalPOP3ServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    Pop3Client slow(server.Port());
    EXPECT_EQ(slow.Line(), "+OK Welcome to Brixmoor POP3 Server");
    EXPECT_NE(slow.Line().front(), '+');  // closed, whatever the client sees of it
}

TEST(SrvGuardSlots, SmtpClientWithoutMailInTimeIsClosed)
{
    SmtpEnv env;
    env.Settings().timeouts.loginMs = 50;
    TLocalSMTPServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    LineClient slow(server.Port(), false, kSmtpLongMs);
    EXPECT_TRUE(slow.Line().starts_with("220 "));
    EXPECT_EQ(slow.Line().front(), '<');  // "<closed>" or "<error>"
}

} // namespace
} // namespace bm::test
