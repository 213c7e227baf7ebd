// TLS over loopback: from the first byte, as an upgrade, verification, and
// the certificate files of the local servers.

#include <latch>
#include <sys/stat.h>
#include <thread>

#include <gtest/gtest.h>

#include "net/tlsU.h"
#include "tests/net/loopback.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

namespace fs = std::filesystem;
using test::kLongMs;
using test::OneClientServer;

class TlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        files_ = FindServerCertificates(program_.path(), data_.path());
        serverContext_ = TlsContext::Server(files_);
        clientContext_ = TlsContext::Client();
    }

    test::TempDir program_;
    test::TempDir data_;
    CertificateFiles files_;
    std::shared_ptr<TlsContext> serverContext_;
    std::shared_ptr<TlsContext> clientContext_;
};

TEST_F(TlsTest, FromTheFirstByteWithTheSelfSignedCertificate)
{
    OneClientServer server([&](TcpConnection& c) {
        c.StartTls(*serverContext_, kLongMs);
        c.WriteLine("+OK " + c.ReadLineOrThrow(100, kLongMs), kLongMs);
    });
    auto client = TcpConnection::Connect("localhost", server.Port());
    client->StartTls(*clientContext_, kLongMs);
    EXPECT_TRUE(client->IsTls());
    client->WriteLine("CAPA", kLongMs);
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "+OK CAPA");
    server.Join();
}

TEST_F(TlsTest, UpgradeCarriesLinesBothWays)
{
    OneClientServer server([&](TcpConnection& c) {
        c.WriteLine("220 ready", kLongMs);
        EXPECT_EQ(c.ReadLineOrThrow(100, kLongMs), "STARTTLS");
        c.WriteLine("220 go ahead", kLongMs);
        c.StartTls(*serverContext_, kLongMs);
        c.WriteLine("250 " + c.ReadLineOrThrow(100, kLongMs), kLongMs);
        std::string block;
        EXPECT_EQ(c.ReadDotBlock(block, true, 1000, kLongMs), ReadStatus::Line);
        c.Write(block, kLongMs);
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "220 ready");
    client->WriteLine("STARTTLS", kLongMs);
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "220 go ahead");
    client->StartTls(*clientContext_, kLongMs);
    client->WriteLine("EHLO me", kLongMs);
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "250 EHLO me");
    client->Write("a\r\n..b\r\n.\r\n", kLongMs);
    std::string echoed;
    EXPECT_EQ(client->ReadDotBlock(echoed, false, 1000, kLongMs), ReadStatus::Line);
    EXPECT_EQ(echoed, "a\r\n.b\r\n");
    server.Join();
}

// Plain text sent behind the upgrade command must not count as protected
// input (the STARTTLS command injection of RFC 3207 §4.2).
TEST_F(TlsTest, PlainInputBufferedBeforeTheUpgradeIsDropped)
{
    OneClientServer server([&](TcpConnection& c) {
        EXPECT_EQ(c.ReadLineOrThrow(100, kLongMs), "STARTTLS");
        c.WriteLine("220 go ahead", kLongMs);
        c.StartTls(*serverContext_, kLongMs);
        c.WriteLine("got " + c.ReadLineOrThrow(100, kLongMs), kLongMs);
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    client->Write("STARTTLS\r\nRSET injected\r\n", kLongMs);
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "220 go ahead");
    client->StartTls(*clientContext_, kLongMs);
    client->WriteLine("EHLO after", kLongMs);
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "got EHLO after");
    server.Join();
}

struct CloseCase {
    const char* name;
    bool closeNotify;  // false: the peer drops TCP without TLS close_notify
};

class TlsCloseTest : public TlsTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(TlsCloseTest, PeerCloseIsClosedGracefully)
{
    OneClientServer server([&](TcpConnection& c) {
        c.StartTls(*serverContext_, kLongMs);
        c.WriteLine("bye", kLongMs);
        if (!GetParam().closeNotify)
            c.Abort();  // Close() then skips close_notify
        c.Close();
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    client->StartTls(*clientContext_, kLongMs);
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "bye");
    std::string line;
    EXPECT_EQ(client->ReadLine(line, 100, kLongMs), ReadStatus::Closed) << client->LastError();
    EXPECT_EQ(client->LastError(), "Connection Closed Gracefully.");
    server.Join();
}

INSTANTIATE_TEST_SUITE_P(Cases, TlsCloseTest,
                         ::testing::Values(CloseCase{"close_notify", true}, CloseCase{"tcp_only", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TlsTest, AbortUnblocksATlsRead)
{
    std::latch serverDone(1);
    OneClientServer server([&](TcpConnection& c) {
        c.StartTls(*serverContext_, kLongMs);
        serverDone.wait();
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    client->StartTls(*clientContext_, kLongMs);
    std::latch reading(1);
    ReadStatus status = ReadStatus::Line;
    std::thread reader([&] {
        std::string line;
        reading.count_down();
        status = client->ReadLine(line, 100, kNoTimeout);
    });
    reading.wait();
    client->Abort();
    reader.join();
    EXPECT_EQ(status, ReadStatus::Error);
    EXPECT_EQ(client->LastError(), "Connection aborted.");
    serverDone.count_down();
    server.Join();
}

struct VerifyCase {
    const char* name;
    std::string serverName;
    std::string error;  // empty: the handshake succeeds
};

class TlsVerifyTest : public TlsTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(TlsVerifyTest, VerificationChecksChainAndName)
{
    TlsClientSettings settings;
    settings.verifyPeer = true;
    settings.files.ca = files_.cert;  // the self-signed certificate as trusted root
    auto verifying = TlsContext::Client(settings);
    OneClientServer server([&](TcpConnection& c) {
        try {
            c.StartTls(*serverContext_, kLongMs);
            c.WriteLine("+OK", kLongMs);
        } catch (const ESocketError&) {
            // the client refused us: expected in the failing cases
        }
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    if (GetParam().error.empty()) {
        client->StartTls(*verifying, kLongMs, GetParam().serverName);
        EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "+OK");
    } else {
        try {
            client->StartTls(*verifying, kLongMs, GetParam().serverName);
            ADD_FAILURE() << "handshake passed";
        } catch (const ECertificateError& e) {
            EXPECT_EQ(e.Reason(), GetParam().error);
        }
        client->Close();
    }
    server.Join();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsVerifyTest,
    ::testing::Values(VerifyCase{"localhost", "localhost", ""}, VerifyCase{"ipv4_literal", "127.0.0.1", ""},
                      VerifyCase{"other_name", "mail.example.com", "hostname mismatch"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TlsTest, UntrustedCertificateFailsOnlyWhenVerifying)
{
    TlsClientSettings settings;
    settings.verifyPeer = true;  // system roots: our self-signed one is not among them
    auto verifying = TlsContext::Client(settings);
    OneClientServer server([&](TcpConnection& c) {
        try {
            c.StartTls(*serverContext_, kLongMs);
        } catch (const ESocketError&) {
        }
    });
    auto client = TcpConnection::Connect("localhost", server.Port());
    try {
        client->StartTls(*verifying, kLongMs);
        ADD_FAILURE() << "handshake passed";
    } catch (const ECertificateError& e) {
        EXPECT_EQ(e.Reason(), "self-signed certificate") << e.what();
    }
    client->Close();
    server.Join();
}

} // namespace
} // namespace bm
