// Connections through an HTTP CONNECT tunnel: a real tinyproxy between our
// client and our listener, and a scripted proxy for answers tinyproxy never gives.

#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "net/proxyU.h"
#include "net/tlsU.h"
#include "tests/net/loopback.h"
#include "tests/support/testenv.h"
#include "tests/support/tinyproxy.h"

namespace bm {
namespace {

using test::kLongMs;
using test::OneClientServer;
using test::TinyproxyOptions;
using test::TinyproxyServer;

HttpProxy ProxyAt(uint16_t port, const std::string& user = {}, const std::string& password = {})
{
    HttpProxy p;
    p.host = "127.0.0.1";
    p.port = port;
    p.logon = !user.empty();
    p.username = user;
    p.password = password;
    return p;
}

// A POP3-like greeting, then one echoed line.
void GreetAndEcho(TcpConnection& c)
{
    c.WriteLine("+OK ready", kLongMs);
    c.WriteLine("+OK " + c.ReadLineOrThrow(100, kLongMs), kLongMs);
}

void ExpectGreetAndEcho(TcpConnection& c)
{
    EXPECT_EQ(c.ReadLineOrThrow(100, kLongMs), "+OK ready");
    c.WriteLine("NOOP", kLongMs);
    EXPECT_EQ(c.ReadLineOrThrow(100, kLongMs), "+OK NOOP");
}

struct Base64Case {
    const char* name;
    std::string user, password, expected;
};

class BasicAuthTest : public ::testing::TestWithParam<Base64Case> {};

TEST_P(BasicAuthTest, EncodesUserColonPassword)
{
    EXPECT_EQ(BasicAuthorization(GetParam().user, GetParam().password), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, BasicAuthTest,
                         ::testing::Values(Base64Case{"rfc7617", "Aladdin", "open sesame",
                                                      "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
                                           Base64Case{"empty_password", "u", "", "Basic dTo="},
                                           Base64Case{"two_padding", "ab", "c", "Basic YWI6Yw=="},
                                           Base64Case{"no_padding", "abc", "de", "Basic YWJjOmRl"},
                                           Base64Case{"utf8", "j\xc3\xb6rg", "pw", "Basic asO2cmc6cHc="}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProxyTunnelTest, PlainThroughTinyproxy)
{
    OneClientServer target(GreetAndEcho);
    TinyproxyServer proxy(TinyproxyOptions{{target.Port()}, {}, {}});
    auto c = ConnectThroughProxy(ProxyAt(proxy.Port()), "127.0.0.1", target.Port());
    ExpectGreetAndEcho(*c);
    target.Join();
}

TEST(ProxyTunnelTest, TlsFromTheFirstByteAndUpgradeThroughTinyproxy)
{
    test::TempDir program, data;
    auto serverTls = TlsContext::Server(FindServerCertificates(program.path(), data.path()));
    auto clientTls = TlsContext::Client();
    OneClientServer implicitTarget([&](TcpConnection& c) {
        c.StartTls(*serverTls, kLongMs);
        GreetAndEcho(c);
    });
    OneClientServer upgradeTarget([&](TcpConnection& c) {
        c.WriteLine("+OK plain", kLongMs);
        EXPECT_EQ(c.ReadLineOrThrow(100, kLongMs), "STLS");
        c.WriteLine("+OK begin TLS", kLongMs);
        c.StartTls(*serverTls, kLongMs);
        GreetAndEcho(c);
    });
    TinyproxyServer proxy(TinyproxyOptions{{implicitTarget.Port(), upgradeTarget.Port()}, {}, {}});

    auto implicit = ConnectTo("localhost", implicitTarget.Port(), ProxyAt(proxy.Port()));
    EXPECT_EQ(implicit->RemoteHost(), "localhost");  // the name for SNI, not the proxy's
    implicit->StartTls(*clientTls, kLongMs);
    ExpectGreetAndEcho(*implicit);

    auto upgraded = ConnectTo("localhost", upgradeTarget.Port(), ProxyAt(proxy.Port()));
    EXPECT_EQ(upgraded->ReadLineOrThrow(100, kLongMs), "+OK plain");
    upgraded->WriteLine("STLS", kLongMs);
    EXPECT_EQ(upgraded->ReadLineOrThrow(100, kLongMs), "+OK begin TLS");
    upgraded->StartTls(*clientTls, kLongMs);
    ExpectGreetAndEcho(*upgraded);
    implicitTarget.Join();
    upgradeTarget.Join();
}

struct AuthCase {
    const char* name;
    std::string user, password;
    std::string error;  // empty: the tunnel opens
};

void PrintTo(const AuthCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProxyAuthTest : public ::testing::TestWithParam<AuthCase> {};

TEST_P(ProxyAuthTest, BasicAuthAgainstTinyproxy)
{
    OneClientServer target(GreetAndEcho);
    TinyproxyServer proxy(TinyproxyOptions{{target.Port()}, "mailuser", "s3cret-pass"});
    const HttpProxy settings = ProxyAt(proxy.Port(), GetParam().user, GetParam().password);
    if (GetParam().error.empty()) {
        auto c = ConnectThroughProxy(settings, "127.0.0.1", target.Port());
        ExpectGreetAndEcho(*c);
        target.Join();
        return;
    }
    try {
        ConnectThroughProxy(settings, "127.0.0.1", target.Port());
        ADD_FAILURE() << "tunnel opened";
    } catch (const EProxyError& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProxyAuthTest,
    ::testing::Values(AuthCase{"missing", "", "", "Proxy authentication required (407 Proxy Authentication Required)"},
                      AuthCase{"wrong", "mailuser", "wrong", "Proxy authentication failed (401 Unauthorized)"},
                      AuthCase{"right", "mailuser", "s3cret-pass", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProxyTunnelTest, PortNotAllowedByTheProxyIsNamed)
{
    OneClientServer allowed(GreetAndEcho);
    TcpListener other(0);
    TinyproxyServer proxy(TinyproxyOptions{{allowed.Port()}, {}, {}});
    const std::string target = "127.0.0.1:" + std::to_string(other.Port());
    try {
        ConnectThroughProxy(ProxyAt(proxy.Port()), "127.0.0.1", other.Port());
        ADD_FAILURE() << "tunnel opened";
    } catch (const EProxyError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Proxy refused the connection to " + target + " (403 ", 0), 0u)
            << e.what();
    }
}

TEST(ProxyTunnelTest, UnreachableProxyIsAConnectError)
{
    uint16_t port;
    {
        TcpListener gone(0);
        port = gone.Port();
    }
    try {
        ConnectThroughProxy(ProxyAt(port), "mail.example.com", 110);
        ADD_FAILURE() << "connected";
    } catch (const ESocketError& e) {
        EXPECT_EQ(std::string(e.what()), "Connection refused: 127.0.0.1:" + std::to_string(port));
    }
}

TEST(ProxyTunnelTest, AbortWhileWaitingForTheProxyEndsAtOnce)
{
    std::latch asked(1);
    std::latch release(1);
    OneClientServer silent([&](TcpConnection& c) {
        c.ReadLineOrThrow(1000, kLongMs);  // the CONNECT line; never answered
        asked.count_down();
        release.wait();
    });
    TcpConnection connection;  // made first, so another thread can reach it
    std::string error;
    std::thread opener([&] {
        try {
            OpenThroughProxy(connection, ProxyAt(silent.Port()), "mail.example.com", 110,
                             ConnectOptions{kNoTimeout});
        } catch (const ESocketError& e) {
            error = e.what();
        }
    });
    asked.wait();
    connection.Abort();
    opener.join();
    EXPECT_EQ(error, "Connection aborted.");
    release.count_down();
    silent.Join();
}

// Answers tinyproxy does not give, from a scripted proxy.
struct ScriptCase {
    const char* name;
    std::string answer;
    std::string error;  // empty: tunnel opens and "+OK greeting" follows
};

class ScriptedProxyTest : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptedProxyTest, AnswerIsParsed)
{
    std::string request;
    OneClientServer fake([&](TcpConnection& c) {
        std::string line;
        while (!(line = c.ReadLineOrThrow(1000, kLongMs)).empty())
            request += line + "\n";
        c.Write(GetParam().answer, kLongMs);
    });
    HttpProxy settings = ProxyAt(fake.Port(), "u", "p");
    try {
        auto c = ConnectThroughProxy(settings, "::1", 995);
        EXPECT_EQ(GetParam().error, "");
        EXPECT_EQ(c->ReadLineOrThrow(100, kLongMs), "+OK greeting");
    } catch (const ESocketError& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().error);
    }
    fake.Join();
    EXPECT_EQ(request, "CONNECT [::1]:995 HTTP/1.1\nHost: [::1]:995\nProxy-Authorization: Basic dTpw\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptedProxyTest,
    ::testing::Values(
        ScriptCase{"http11_with_headers_and_data_in_one_segment",
                   "HTTP/1.1 200 Connection established\r\nVia: x\r\n\r\n+OK greeting\r\n", ""},
        ScriptCase{"lf_only", "HTTP/1.0 200 OK\n\n+OK greeting\r\n", ""},
        ScriptCase{"other_2xx", "HTTP/1.1 204 No Content\r\n\r\n+OK greeting\r\n", ""},
        ScriptCase{"not_http", "+OK I am a POP3 server\r\n", "Invalid proxy response: +OK I am a POP3 server"},
        ScriptCase{"bad_code", "HTTP/1.1 2x0 Hm\r\n\r\n", "Invalid proxy response: HTTP/1.1 2x0 Hm"},
        ScriptCase{"closed", "", "Invalid proxy response: the proxy closed the connection"},
        ScriptCase{"server_error", "HTTP/1.1 502 Bad Gateway\r\n\r\n",
                   "Proxy refused the connection to [::1]:995 (502 Bad Gateway)"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace bm
