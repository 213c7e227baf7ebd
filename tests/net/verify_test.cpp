// Verification of a server's certificate by the client side: a chain from a
// root in the given CA file, the name (DNS and IP entries), a self-signed
// certificate refused with what identifies it and accepted once pinned.

#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "net/tlsU.h"
#include "tests/net/loopback.h"
#include "tests/support/peerprocess.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

namespace fs = std::filesystem;
using test::kLongMs;
using test::OneClientServer;

// Certificates made once with the openssl tool: a root CA, a server
// certificate it signed (CN localhost, DNS:localhost, IP:127.0.0.1), and a
// self-signed one of another name.
struct Pki {
    fs::path caCert;
    CertificateFiles signedServer;
    CertificateFiles selfSigned;
    std::string selfSignedFingerprint;  // as the openssl tool prints it
};

void Run(const std::vector<std::string>& argv, const fs::path& log)
{
    if (!test::RunCommand(argv, log))
        throw std::runtime_error("openssl failed: " + test::ReadLog(log));
}

const Pki& GetPki()
{
    static test::TempDir dir;
    static const Pki pki = [] {
        const fs::path d = dir.path();
        const fs::path log = d / "openssl.log";
        const std::string openssl = "/usr/bin/openssl";
        const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
            a.insert(a.end(), b.begin(), b.end());
            return a;
        };
        Pki p;
        p.caCert = d / "ca.pem";
        Run(with(with({openssl, "req", "-x509"}, ec),
                 {"-days", "30", "-subj", "/CN=Brixmoor Test Root", "-addext",
                  "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                  "-keyout", (d / "ca.key").string(), "-out", p.caCert.string()}),
            log);
        p.signedServer = {d / "server.pem", d / "server.key", {}};
        Run(with(with({openssl, "req", "-new"}, ec),
                 {"-subj", "/CN=localhost", "-keyout", p.signedServer.key.string(), "-out",
                  (d / "server.csr").string()}),
            log);
        std::ofstream(d / "server.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n";
        Run({openssl, "x509", "-req", "-in", (d / "server.csr").string(), "-CA", p.caCert.string(), "-CAkey",
             (d / "ca.key").string(), "-set_serial", "2", "-days", "30", "-extfile", (d / "server.ext").string(),
             "-out", p.signedServer.cert.string()},
            log);
        p.selfSigned = {d / "evil.pem", d / "evil.key", {}};
        Run(with(with({openssl, "req", "-x509"}, ec),
                 {"-days", "30", "-subj", "/CN=evil.example", "-addext", "subjectAltName=DNS:evil.example",
                  "-keyout", p.selfSigned.key.string(), "-out", p.selfSigned.cert.string()}),
            log);
        const fs::path out = d / "fingerprint.txt";
        Run({openssl, "x509", "-in", p.selfSigned.cert.string(), "-noout", "-fingerprint", "-sha256"}, out);
        std::string text = test::ReadLog(out);
        text = text.substr(text.find('=') + 1);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        p.selfSignedFingerprint = text;
        return p;
    }();
    return pki;
}

struct VerifyCase {
    const char* name;
    bool selfSignedServer;  // else the CA-signed one
    bool trustCa;           // the root in files.ca
    std::string pin;        // "self": the self-signed one's fingerprint, lower case
    std::string serverName;
    std::string refusedReason;  // empty: accepted
};

class TlsPeerVerify : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(TlsPeerVerify, AcceptsOnlyATrustedChainWithTheRightNameOrThePinnedCertificate)
{
    const VerifyCase& c = GetParam();
    const Pki& pki = GetPki();
    const CertificateFiles& serverFiles = c.selfSignedServer ? pki.selfSigned : pki.signedServer;
    auto serverContext = TlsContext::Server(serverFiles);
    TlsClientSettings settings;
    settings.verifyPeer = true;
    if (c.trustCa)
        settings.files.ca = pki.caCert;
    if (c.pin == "self") {
        std::string lower;
        for (const char ch : pki.selfSignedFingerprint)
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        settings.pinnedFingerprint = lower;  // as a user might paste it
    } else {
        settings.pinnedFingerprint = c.pin;
    }
    auto client = TlsContext::Client(settings);

    std::string received;  // what a refusing client still sent: must stay empty
    OneClientServer server([&](TcpConnection& conn) {
        try {
            conn.StartTls(*serverContext, kLongMs);
            conn.WriteLine("+OK", kLongMs);
            std::string line;
            if (conn.ReadLine(line, 100, kLongMs) == ReadStatus::Line)
                received = line;
        } catch (const ESocketError&) {
            // refused by the client: the failing cases
        }
    });
    auto conn = TcpConnection::Connect("127.0.0.1", server.Port());
    if (c.refusedReason.empty()) {
        conn->StartTls(*client, kLongMs, c.serverName);
        EXPECT_EQ(conn->ReadLineOrThrow(100, kLongMs), "+OK");
        conn->WriteLine("USER me", kLongMs);
        server.Join();
        EXPECT_EQ(received, "USER me");
    } else {
        try {
            conn->StartTls(*client, kLongMs, c.serverName);
            ADD_FAILURE() << "handshake passed";
        } catch (const ECertificateError& e) {
            EXPECT_EQ(e.Reason(), c.refusedReason);
            if (c.selfSignedServer) {
                EXPECT_EQ(e.Subject(), "CN=evil.example");
                EXPECT_EQ(e.Issuer(), "CN=evil.example");
                EXPECT_EQ(e.Fingerprint(), pki.selfSignedFingerprint);
                EXPECT_NE(std::string(e.what()).find(pki.selfSignedFingerprint), std::string::npos) << e.what();
            } else {
                EXPECT_EQ(e.Subject(), "CN=localhost");
                EXPECT_EQ(e.Issuer(), "CN=Brixmoor Test Root");
            }
        }
        conn->Close();
        server.Join();
        EXPECT_EQ(received, "");
    }
}

const std::string kOtherPin(64, 'A');

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsPeerVerify,
    ::testing::Values(
        VerifyCase{"ca_signed_by_name", false, true, "", "localhost", ""},
        VerifyCase{"ca_signed_by_address", false, true, "", "127.0.0.1", ""},
        VerifyCase{"ca_signed_other_name", false, true, "", "mail.example.com", "hostname mismatch"},
        VerifyCase{"ca_signed_other_address", false, true, "", "127.0.0.2", "IP address mismatch"},
        VerifyCase{"ca_not_trusted", false, false, "", "localhost", "unable to get local issuer certificate"},
        VerifyCase{"self_signed", true, true, "", "evil.example", "self-signed certificate"},
        VerifyCase{"self_signed_pinned", true, false, "self", "localhost", ""},
        VerifyCase{"self_signed_other_pin", true, false, kOtherPin, "evil.example", "self-signed certificate"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TlsPeerVerifyName, VerificationWithoutANameIsRefused)
{
    TlsClientSettings settings;
    settings.verifyPeer = true;
    auto client = TlsContext::Client(settings);
    OneClientServer server([](TcpConnection&) {});
    auto conn = TcpConnection::Connect("127.0.0.1", server.Port());
    conn->SetRemoteHost("");
    EXPECT_THROW(conn->StartTls(*client, kLongMs, ""), ETlsError);
    conn->Close();
    server.Join();
}

TEST(TlsPeerVerifyName, AnInvalidPinIsRefusedWhenTheContextIsMade)
{
    TlsClientSettings settings;
    settings.verifyPeer = true;
    settings.pinnedFingerprint = "AB:CD";
    EXPECT_THROW(TlsContext::Client(settings), ETlsError);
}

struct FingerprintCase {
    std::string in;
    std::string out;
};

TEST(NormalizeFingerprint, AcceptsHexInAnyCaseWithColonsOrBlanks)
{
    const std::string hex = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    const std::string canon = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:"
                              "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
    const FingerprintCase cases[] = {
        {hex, canon},
        {canon, canon},
        {" " + hex.substr(0, 32) + " " + hex.substr(32), canon},
        {hex.substr(2), ""},         // 31 bytes
        {hex + "00", ""},            // 33 bytes
        {"g" + hex.substr(1), ""},   // not hex
        {"", ""},
    };
    for (const FingerprintCase& c : cases)
        EXPECT_EQ(NormalizeFingerprint(c.in), c.out) << c.in;
}

} // namespace
} // namespace bm
