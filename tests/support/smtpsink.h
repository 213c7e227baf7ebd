#pragma once
// A real SMTP server (Python's aiosmtpd) on 127.0.0.1 that keeps what it receives.

#include "tests/support/peerprocess.h"
#include "tests/support/testenv.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bm::test {

struct SmtpSinkOptions {
    // Offer STARTTLS on the plain port (RFC 3207).
    bool startTls = true;
    // With a user name, AUTH PLAIN and LOGIN are offered (also without TLS) and
    // accept exactly this user and password.
    std::string user;
    std::string password;
    // Refuse MAIL until AUTH has succeeded ("530"); needs `user`.
    bool requireAuth = false;
    // AUTH mechanisms not offered (e.g. {"LOGIN"} leaves PLAIN alone); needs `user`.
    std::vector<std::string> excludeAuth;
    // RCPT TO for these addresses (compared ignoring case) gets "550 5.1.1
    // Recipient refused".
    std::vector<std::string> refuseRecipients;
    // Postfix refusing to relay for a client that has not logged in:
    // "554 5.7.1 <address>: Relay access denied" (kRelayDenied). A session
    // that authenticated may relay to them.
    std::vector<std::string> relayDenied;
    // postgrey greylisting (with --delay=0) for a client that has not logged
    // in: the first RCPT TO of each sender and recipient pair gets "450 4.2.0
    // <address>: Recipient address rejected: Greylisted, see
    // http://postgrey.schweikert.ch/help/<domain>.html"; a later try passes.
    std::vector<std::string> greylist;
    // The reply to the end of the data comes this much later (a content
    // scanner at work).
    std::chrono::milliseconds dataReplyDelay{0};
    // When set, the end of the data is answered with this reply line and
    // the message is not kept, e.g. "554 5.7.1 Message rejected as spam".
    std::string dataReply;
    // Largest message taken, in bytes; 0: aiosmtpd's default (32 MiB).
    std::size_t dataSizeLimit = 0;
};

// The refusal texts above, as the sink sends them for `address`.
std::string RelayDeniedReply(const std::string& address);
std::string GreylistedReply(const std::string& address);

// One accepted message.
struct SmtpReceived {
    std::string from;                    // MAIL FROM address
    std::vector<std::string> recipients; // accepted RCPT TO addresses
    std::string data;                    // the DATA bytes, dot-unstuffed, without the final "."
    std::string authUser;                // "" when the session did not authenticate
    bool tls = false;                    // received over TLS (STARTTLS or implicit)
    std::uint16_t port = 0;              // which of the two listeners took it
};

// Starts tests/support/smtpsink.py with /usr/bin/python3 on two free loopback
// ports: Port() (plain, STARTTLS per the options) and SslPort() (TLS from the
// first byte), presenting GetTestCertificate(). The constructor returns once both
// listen, and throws std::runtime_error (quoting the sink's output) when they do
// not within `startTimeout` (ports taken meanwhile by another program are
// retried with others). The destructor stops it. Test thread only.
class SmtpSink {
public:
    explicit SmtpSink(SmtpSinkOptions options = {},
                      std::chrono::milliseconds startTimeout = std::chrono::seconds(20));
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    std::uint16_t Port() const { return port_; }
    std::uint16_t SslPort() const { return sslPort_; }
    const std::filesystem::path& CertFile() const;

    // Messages accepted so far, in order of arrival.
    std::vector<SmtpReceived> Messages() const;
    // True once at least `count` messages have arrived; false after `timeout`.
    bool WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const;

    void Stop();
    // The sink's process id (benchmarks read its memory); -1 before it started.
    pid_t Pid() const;
    // The sink's output so far, for failure messages.
    std::string Log() const;

private:
    // One start on newly found ports; false when the sink ended or did not
    // become ready in time (stopped then).
    bool StartOnce(const SmtpSinkOptions& options, std::chrono::milliseconds startTimeout);

    TempDir dir_;
    std::uint16_t port_ = 0;
    std::uint16_t sslPort_ = 0;
    std::unique_ptr<PeerProcess> process_;
};

} // namespace bm::test
