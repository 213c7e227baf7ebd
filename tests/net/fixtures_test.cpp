// Smoke test of the real-peer fixtures: each starts, speaks its protocol over a
// plain loopback socket, and stops. The protocol tests rely on exactly this.
#include "tests/support/dovecot.h"
#include "tests/support/freeport.h"
#include "tests/support/rawsocket.h"
#include "tests/support/smtpsink.h"

#include "tests/support/peerprocess.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using bm::test::RawConnection;

// Sends one command line and returns the reply line.
std::string Ask(RawConnection& c, const std::string& line)
{
    EXPECT_TRUE(c.Send(line + "\r\n"));
    return c.ReadLine();
}

// Reads an SMTP reply up to its last line ("250 " rather than "250-").
std::string ReadSmtpReply(RawConnection& c)
{
    std::string all;
    for (std::string line = c.ReadLine(); !line.empty(); line = c.ReadLine()) {
        all += line;
        if (line.size() < 4 || line[3] != '-')
            break;
    }
    return all;
}

// A verified TLS handshake with `openssl s_client` against the test certificate
// for the name "localhost"; `startTls` is s_client's -starttls protocol or "".
bool TlsHandshakeVerifies(std::uint16_t port, const std::string& startTls, std::string& log)
{
    bm::test::TempDir dir;
    std::vector<std::string> argv{"/usr/bin/openssl", "s_client", "-brief",
                                  "-connect", "127.0.0.1:" + std::to_string(port),
                                  "-CAfile", bm::test::GetTestCertificate().certFile.string(),
                                  "-verify_hostname", "localhost", "-verify_return_error"};
    if (!startTls.empty())
        argv.insert(argv.end(), {"-starttls", startTls});
    const bool ok = bm::test::RunCommand(argv, dir.path() / "s_client.log");
    log = bm::test::ReadFileBytes(dir.path() / "s_client.log");
    return ok && log.find("Verification: OK") != std::string::npos;
}

TEST(Fixtures, FreePortIsBindable)
{
    const std::uint16_t port = bm::test::FindFreePort();
    EXPECT_GT(port, 0);
    RawConnection c(port);
    EXPECT_FALSE(c.Ok()); // nobody listens there
}

// The "nothing listens there" port of the protocol tests: refused at once,
// and nobody can start listening on it while the test holds it.
TEST(Fixtures, ClosedPortRefusesAndCannotBeTaken)
{
    const bm::test::TClosedPort closed;
    RawConnection c(closed.Port());
    EXPECT_FALSE(c.Ok());
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const int on = 1; // as servers bind
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(closed.Port());
    EXPECT_NE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

TEST(Fixtures, DovecotServesDeliveredMailAndDeletes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "Dovecot fixture needs root";
    bm::test::DovecotServer dovecot;
    dovecot.AddUser("alice", "s3cret");
    const std::string message = "Subject: one\r\n\r\nbody\r\n";
    dovecot.Deliver("alice", message);
    dovecot.Deliver("alice", "Subject: two\r\n\r\nsecond\r\n");

    RawConnection c(dovecot.Pop3Port());
    ASSERT_TRUE(c.Ok());
    EXPECT_TRUE(c.ReadLine().starts_with("+OK")) << dovecot.Log();
    EXPECT_TRUE(Ask(c, "CAPA").starts_with("+OK"));
    std::string capa;
    for (std::string line = c.ReadLine(); !line.empty() && line != ".\r\n"; line = c.ReadLine())
        capa += line;
    EXPECT_NE(capa.find("STLS"), std::string::npos) << capa;
    EXPECT_NE(capa.find("SASL PLAIN LOGIN CRAM-MD5"), std::string::npos) << capa;
    EXPECT_TRUE(Ask(c, "USER alice").starts_with("+OK"));
    EXPECT_TRUE(Ask(c, "PASS s3cret").starts_with("+OK")) << dovecot.Log();
    const std::string stat = Ask(c, "STAT");
    EXPECT_TRUE(stat.starts_with("+OK 2 ")) << stat;
    const std::string uidl = Ask(c, "UIDL 1");
    EXPECT_TRUE(uidl.starts_with("+OK 1 ")) << uidl;
    EXPECT_EQ(uidl.size(), std::string("+OK 1 ").size() + 16 + 2) << uidl; // %08Xu%08Xv
    EXPECT_TRUE(Ask(c, "DELE 1").starts_with("+OK"));
    EXPECT_TRUE(Ask(c, "QUIT").starts_with("+OK"));

    const auto left = dovecot.ListMessages("alice");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], "Subject: two\r\n\r\nsecond\r\n");
}

TEST(Fixtures, DovecotRefusesWrongPassword)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "Dovecot fixture needs root";
    bm::test::DovecotServer dovecot;
    dovecot.AddUser("bob", "right");
    RawConnection c(dovecot.Pop3Port());
    ASSERT_TRUE(c.ReadLine().starts_with("+OK"));
    EXPECT_TRUE(Ask(c, "USER bob").starts_with("+OK"));
    EXPECT_TRUE(Ask(c, "PASS wrong").starts_with("-ERR"));
}

// Logs in with USER/PASS on a fresh connection; the PASS reply.
std::string Pop3Login(std::uint16_t port, const std::string& user, const std::string& password)
{
    RawConnection c(port);
    if (!c.ReadLine().starts_with("+OK"))
        return "no greeting";
    Ask(c, "USER " + user);
    const std::string reply = Ask(c, "PASS " + password);
    Ask(c, "QUIT");
    return reply;
}

TEST(Fixtures, DovecotKnowsAUserAddedRightAfterAnotherLogin)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "Dovecot fixture needs root";
    bm::test::DovecotServer dovecot;
    dovecot.AddUser("first", "one");
    // Each login is followed at once by the next user: without a pause all of
    // them fall within the second of a passwd-file read.
    const std::vector<std::string> users{"second", "third", "fourth"};
    EXPECT_TRUE(Pop3Login(dovecot.Pop3Port(), "first", "one").starts_with("+OK")) << dovecot.Log();
    for (const std::string& user : users) {
        dovecot.AddUser(user, "pw");
        EXPECT_TRUE(Pop3Login(dovecot.Pop3Port(), user, "pw").starts_with("+OK")) << user << "\n"
                                                                                   << dovecot.Log();
    }
    EXPECT_TRUE(Pop3Login(dovecot.Pop3Port(), "first", "one").starts_with("+OK"));
}

TEST(Fixtures, DovecotSpeaksTlsOnBothPorts)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "Dovecot fixture needs root";
    bm::test::DovecotServer dovecot;
    std::string log;
    EXPECT_TRUE(TlsHandshakeVerifies(dovecot.Pop3sPort(), "", log)) << log;
    EXPECT_TRUE(TlsHandshakeVerifies(dovecot.Pop3Port(), "pop3", log)) << log;
}

TEST(Fixtures, SmtpSinkSpeaksTlsOnBothPorts)
{
    bm::test::SmtpSink sink;
    std::string log;
    EXPECT_TRUE(TlsHandshakeVerifies(sink.SslPort(), "", log)) << log << sink.Log();
    EXPECT_TRUE(TlsHandshakeVerifies(sink.Port(), "smtp", log)) << log << sink.Log();
}

TEST(Fixtures, SmtpSinkGreetsOnBothPortsAndKeepsMail)
{
    bm::test::SmtpSinkOptions options;
    options.refuseRecipients = {"nobody@example.org"};
    bm::test::SmtpSink sink(options);

    RawConnection c(sink.Port());
    ASSERT_TRUE(c.Ok());
    EXPECT_TRUE(ReadSmtpReply(c).starts_with("220")) << sink.Log();
    const std::string ehlo = (c.Send("EHLO test\r\n"), ReadSmtpReply(c));
    EXPECT_TRUE(ehlo.starts_with("250")) << ehlo;
    EXPECT_NE(ehlo.find("STARTTLS"), std::string::npos) << ehlo;
    EXPECT_TRUE(Ask(c, "MAIL FROM:<a@example.org>").starts_with("250"));
    EXPECT_TRUE(Ask(c, "RCPT TO:<nobody@example.org>").starts_with("550"));
    EXPECT_TRUE(Ask(c, "RCPT TO:<b@example.org>").starts_with("250"));
    EXPECT_TRUE(Ask(c, "DATA").starts_with("354"));
    EXPECT_TRUE(Ask(c, "Subject: hi\r\n\r\n..dot\r\n.").starts_with("250"));
    EXPECT_TRUE(Ask(c, "QUIT").starts_with("221"));

    ASSERT_TRUE(sink.WaitForMessages(1, std::chrono::seconds(10))) << sink.Log();
    const auto messages = sink.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].from, "a@example.org");
    EXPECT_EQ(messages[0].recipients, std::vector<std::string>{"b@example.org"});
    EXPECT_EQ(messages[0].data, "Subject: hi\r\n\r\n.dot\r\n");
    EXPECT_FALSE(messages[0].tls);
    EXPECT_EQ(messages[0].port, sink.Port());

    RawConnection secure(sink.SslPort());
    EXPECT_TRUE(secure.Ok()); // TLS from the first byte: accepting is all a raw socket sees
}

TEST(Fixtures, SmtpSinkRequiresAuthWhenAsked)
{
    bm::test::SmtpSinkOptions options;
    options.user = "u";
    options.password = "p";
    options.requireAuth = true;
    bm::test::SmtpSink sink(options);
    RawConnection c(sink.Port());
    ASSERT_TRUE(ReadSmtpReply(c).starts_with("220"));
    const std::string ehlo = (c.Send("EHLO test\r\n"), ReadSmtpReply(c));
    EXPECT_NE(ehlo.find("AUTH"), std::string::npos) << ehlo;
    EXPECT_TRUE(Ask(c, "MAIL FROM:<a@example.org>").starts_with("530"));
    EXPECT_TRUE(Ask(c, "AUTH PLAIN AHUAcA==").starts_with("235")); // \0u\0p
    EXPECT_TRUE(Ask(c, "MAIL FROM:<a@example.org>").starts_with("250"));
    EXPECT_TRUE(Ask(c, "RCPT TO:<b@example.org>").starts_with("250"));
    EXPECT_TRUE(Ask(c, "DATA").starts_with("354"));
    EXPECT_TRUE(Ask(c, "Subject: hi\r\n\r\nx\r\n.").starts_with("250"));
    ASSERT_TRUE(sink.WaitForMessages(1, std::chrono::seconds(10))) << sink.Log();
    EXPECT_EQ(sink.Messages().at(0).authUser, "u");
}

} // namespace
