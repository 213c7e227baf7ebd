#pragma once
// One SMTP client connection of TMailSender (check/mailsenderdatamdl.h): the
// dialogue of RFC 5321 with STARTTLS (RFC 3207) and AUTH (RFC 4954), on a
// connection that may pass through an HTTP proxy tunnel.
//
// Used by one thread; the connection (Connection()) may be aborted from any
// other. Every member that talks to the server throws: ESmtpReplyError for
// an error reply, ESmtpProtocolError for a reply that breaks the grammar,
// ESocketTimeout ("Read timed out.") when a reply is late, EConnectionClosed,
// ETlsError and other ESocketError for the connection's failures.

#include "check/mailsenderdatamdl.h"
#include "check/smtpreplyU.h"
#include "net/proxyU.h"
#include "net/socketU.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace bm {

class TlsContext;

// Where and how one connection is made.
struct TSmtpSessionSetup {
    std::string host;
    std::uint16_t port = 25;
    std::optional<HttpProxy> proxy;     // empty: direct
    std::uint8_t sslMode = 0;           // the account's outgoing SSL value 0..3
    std::shared_ptr<TlsContext> tls;    // needed for sslMode 1..3
    std::string userName;               // empty: no authentication
    std::string password;
};

class TSmtpSession {
public:
    TSmtpSession(const TMailSenderSettings& settings, TSmtpSessionSetup setup);
    TSmtpSession(const TSmtpSession&) = delete;
    TSmtpSession& operator=(const TSmtpSession&) = delete;

    // The connection object, made at construction (not open yet), so that an
    // owner can publish it for Abort() before Open().
    TcpConnection& Connection() { return connection_; }

    // Connects (proxy tunnel, TLS from the first byte for SSL value 2), reads
    // the 220 greeting and says EHLO, falling back to HELO when EHLO gets an
    // error reply (RFC 5321 §4.1.4).
    void Open();

    // Sends one message: before the connection's first message STARTTLS when
    // the SSL value asks for it (1: when offered; 3: required, else ETlsError
    // "SSL is not available on this server.") and EHLO again, then AUTH
    // (LOGIN preferred, PLAIN when only that is offered) when a user name is
    // set; then MAIL FROM, RCPT TO for each recipient (repeats ignoring case
    // sent once), DATA and the data bytes, which must already be the DATA
    // text (dot-stuffed, ending with the line "."). After an error reply
    // inside a transaction RSET is sent (RFC 5321 §4.1.1.5) so the
    // connection can carry the next message; then the error is thrown.
    void Transfer(const TMailEnvelope& envelope, std::string_view data);

    // True when the last Transfer timed out waiting for the reply to the end
    // of the data: the server may still accept the message.
    bool TimedOutAtDataEnd() const { return timedOutAtDataEnd_; }

    // Says QUIT and closes; never throws. Returns true when the data-end
    // reply of a timed-out Transfer arrives late as the first reply read
    // after QUIT and accepts the message (2yz other than the 221 of QUIT).
    bool Quit();

private:
    int ReadTimeout() const;
    TSmtpReply ReadReply();
    TSmtpReply Command(std::string_view line, std::initializer_list<int> expected);
    TSmtpReply Expect(std::initializer_list<int> expected);
    void Hello();
    void StartTlsWhenAsked();
    void Authenticate();
    void ResetTransaction();

    const TMailSenderSettings& settings_;
    TSmtpSessionSetup setup_;
    TcpConnection connection_;
    TSmtpCapabilities caps_;
    std::string heloName_;
    bool started_ = false;            // STARTTLS and AUTH done
    bool timedOutAtDataEnd_ = false;
};

// The name given in EHLO / HELO: settings.heloName, else this machine's host
// name, else "localhost".
std::string HeloName(const TMailSenderSettings& settings);

} // namespace bm
