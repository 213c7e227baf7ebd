// Choosing free ports at installation, the port test, and the addresses the
// servers listen on.

#include <gtest/gtest.h>

#include "servers/pop3srvmdl.h"
#include "servers/srvbasethdU.h"
#include "tests/servers/pop3srv_support.h"
#include "tests/support/freeport.h"

namespace bm {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kV4{kLoopbackAddress};

TEST(Pop3Ports, ChoosesTheFirstTwoPortsThatCanBeBound)
{
    // Two busy ports side by side where the search starts.
    TcpListener busy(0, kLoopbackAddress);
    const uint16_t first = busy.Port();
    std::unique_ptr<TcpListener> next;
    try {
        next = std::make_unique<TcpListener>(first + 1, kLoopbackAddress);
    } catch (const ESocketError&) {
        // already busy: just as good
    }
    const auto [a, b] = ChooseFreePortPair(first, {}, kV4);
    EXPECT_GT(a, first + 1);
    EXPECT_GT(b, a);
    EXPECT_TRUE(TestPort(a, kLoopbackAddress));
    EXPECT_TRUE(TestPort(b, kLoopbackAddress));
}

TEST(Pop3Ports, SkipsTheGivenPorts)
{
    const uint16_t start = test::FindFreePort();
    const auto [a, b] = ChooseFreePortPair(start, {start, static_cast<uint16_t>(start + 1)}, kV4);
    EXPECT_GE(a, start + 2);
    EXPECT_GT(b, a);
    // As the SMTP server uses it: the POP3 pair is never chosen again.
    const auto [c, d] = ChooseFreePortPair(a, {a, b}, kV4);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_NE(d, a);
    EXPECT_NE(d, b);
    EXPECT_NE(c, d);
}

TEST(Pop3Ports, EndOfTheRangeIsAnError)
{
    EXPECT_THROW(ChooseFreePortPair(65535, {}, kV4), ESocketError);
}

TEST(Pop3Ports, ChooseFreePortsStoresAndSavesThePortsFrom11000)
{
    test::TempDir dir;
    const fs::path file = dir.path() / "options.ini";
    TOptions options;
    // 11000 busy (by us, or by someone already): it is never chosen.
    std::unique_ptr<TcpListener> hold;
    try {
        hold = std::make_unique<TcpListener>(kFirstPOP3Port, kLoopbackAddress);
    } catch (const ESocketError&) {
    }
    const auto [a, b] = TLocalPOP3ServerMdl::ChooseFreePorts(options, file);
    EXPECT_GT(a, kFirstPOP3Port);
    EXPECT_GT(b, a);
    EXPECT_EQ(options.POP3Port(), a);
    EXPECT_EQ(options.POP3PortSSL(), b);
    EXPECT_FALSE(options.Modified());
    TOptions reloaded;
    reloaded.LoadFromFile(file);
    EXPECT_EQ(reloaded.POP3Port(), a);
    EXPECT_EQ(reloaded.POP3PortSSL(), b);
}

TEST(Pop3Ports, TestPortConnectsToLocalhost)
{
    TOptions options;
    EXPECT_TRUE(test::ForSomeFreePort([&](uint16_t port) {
        options.SetPOP3Port(port);
        return TLocalPOP3ServerMdl::TestPort(options);
    }));
    TcpListener busy(0, kLoopbackAddress);
    options.SetPOP3Port(busy.Port());
    EXPECT_FALSE(TLocalPOP3ServerMdl::TestPort(options));
    options.SetPOP3Port(0);
    EXPECT_FALSE(TLocalPOP3ServerMdl::TestPort(options));
}

TEST(Pop3Ports, TestPortOnAWidenedListener)
{
    EXPECT_TRUE(test::ForSomeFreePort(
        [](uint16_t port) { return TestServerPort(port, ServerListenAddresses("0.0.0.0")); }));
    EXPECT_TRUE(test::ForSomeFreePort([](uint16_t port) { return TestServerPort(port, {"127.0.0.1"}); }));
}

TEST(Pop3Ports, ListenAddressesAreLoopbackUnlessWidened)
{
    std::vector<std::string> loopback{kLoopbackAddress};
    if (HasIpv6Loopback())
        loopback.emplace_back("::1");
    EXPECT_EQ(ServerListenAddresses("127.0.0.1"), loopback);
    EXPECT_EQ(ServerListenAddresses(""), loopback);
    EXPECT_EQ(ServerListenAddresses("0.0.0.0"), std::vector<std::string>{kAnyAddress});
    EXPECT_EQ(ServerListenAddresses("192.168.1.5"), std::vector<std::string>{"192.168.1.5"});
}

TEST(Pop3Ports, SettingsFromTheOptionsListenOnLoopbackByDefault)
{
    TOptions options;
    options.SetPOP3Port(11001);
    options.SetPOP3PortSSL(11002);
    TAccountList accounts(options);
    TPOP3ServerSettings settings = POP3SettingsFromOptions(options, accounts);
    EXPECT_EQ(settings.listenAddresses, ServerListenAddresses(kLoopbackAddress));
    EXPECT_EQ(settings.port, 11001);
    EXPECT_EQ(settings.portSSL, 11002);
    EXPECT_EQ(settings.accounts, &accounts);
    EXPECT_GE(settings.timeouts.idleMs, 10 * 60 * 1000);  // RFC 1939 §3
    options.SetListenAddress("any");
    EXPECT_EQ(POP3SettingsFromOptions(options, accounts).listenAddresses, std::vector<std::string>{kAnyAddress});
}

TEST(Pop3Ports, TheDefaultServerAnswersOnBothLoopbackFamilies)
{
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback";
    test::Pop3Env env;
    env.Settings().listenAddresses = ServerListenAddresses(kLoopbackAddress);
    TLocalPOP3ServerMdl server(env.Settings());
    server.StartListening(TTlsMode::None, 0);
    for (const char* host : {"127.0.0.1", "::1"}) {
        auto c = TcpConnection::Connect(host, server.Port());
        std::string line;
        ASSERT_EQ(c->ReadLine(line, 512, test::kPop3LongMs), ReadStatus::Line) << host;
        EXPECT_EQ(line, "+OK Welcome to Brixmoor POP3 Server") << host;
    }
}

} // namespace
} // namespace bm
