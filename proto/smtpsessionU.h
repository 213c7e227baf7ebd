#pragma once
// One SMTP client connection of TMailSender (proto/mailsenderdatamdl.h): the
// dialogue of RFC 5321 with STARTTLS (RFC 3207) and AUTH (RFC 4954), on a
// connection that may pass through an HTTP proxy tunnel.
//
// Used by one thread; the connection (Connection()) may be aborted from any
// other. Every member that talks to the server throws: ESmtpReplyError for
// an error reply outside a mail transaction (the greeting, EHLO and HELO,
// STARTTLS, AUTH), ESmtpProtocolError for a reply that breaks the grammar,
// ESocketTimeout ("Read timed out.") when a reply is late, EConnectionClosed,
// ETlsError and other ESocketError for the connection's failures. Replies
// are waited for as RFC 5321 §4.5.3.2 asks: settings.readTimeoutMs for the
// greeting and each command, settings.dataEndTimeoutMs after the data.

#include "net/proxyU.h"
#include "net/socketU.h"
#include "proto/mailsenderdatamdl.h"
#include "proto/smtpreplyU.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

class TlsContext;

inline constexpr const char* kTlsDowngradeSmtp =
    "The server offered STARTTLS in an earlier session but not in this one; the mail is not sent in plain text.";

// What the server said to one message.
struct TTransferResult {
    // The data was accepted: the message reached every address of Accepted.
    bool Delivered = false;
    std::vector<std::string> Accepted;      // RCPT accepted, in order
    std::vector<TRecipientRefusal> Refused; // RCPT refused, in order
    // The refusal of MAIL, of DATA or of the data, when one ended the
    // transaction; empty otherwise (also when every recipient was refused).
    std::optional<TSmtpReply> Refusal;
    // The transaction ended before DATA because holdForLogin was given and a
    // recipient refusal would be cured by a login.
    bool HeldForLogin = false;
    // The message data went out (DATA got 354).
    bool DataSent = false;
    // No reply to the end of the data came in time: the server may still
    // accept the message (see TSmtpSession::Quit).
    bool TimedOutAtDataEnd = false;
};

// Where and how one connection is made.
struct TSmtpSessionSetup {
    std::string host;
    std::uint16_t port = 25;
    std::optional<HttpProxy> proxy;     // empty: direct
    std::uint8_t sslMode = 0;           // the account's outgoing SSL value 0..3
    std::shared_ptr<TlsContext> tls;    // needed for sslMode 1..3
    // sslMode 1: an earlier session offered STARTTLS; one that does not now
    // is refused (ETlsError kTlsDowngradeSmtp) rather than sent in plain text.
    bool tlsOfferedBefore = false;
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
    // sent once), and, when at least one was accepted, DATA and the data
    // bytes, which must already be the DATA text (dot-stuffed, ending with
    // the line "."). A refused recipient does not end the transaction
    // (RFC 5321 §3.3): the message goes to those accepted. With holdForLogin,
    // a recipient refusal that a login would cure (LoginWouldCure) ends the
    // transaction before DATA, so that nothing is delivered twice when the
    // caller sends again with login. After a transaction that ends without
    // its data RSET is sent (RFC 5321 §4.1.1.5) so the connection can carry
    // the next message. Refusals of MAIL, RCPT, DATA and the data, and a
    // time-out waiting for the reply after the data, are given in the
    // result; ESmtpReplyError is thrown only for STARTTLS and AUTH.
    TTransferResult Transfer(const TMailEnvelope& envelope, std::string_view data, bool holdForLogin);

    // True when the EHLO reply of the plain connection offered STARTTLS.
    bool OffersStartTls() const { return caps_.StartTls && !connection_.IsTls(); }

    // True when the connection logged in (AUTH accepted).
    bool Authenticated() const { return authenticated_; }

    // Says QUIT and closes; never throws. Returns true when the data-end
    // reply of a timed-out Transfer arrives late as the first reply read
    // after QUIT and accepts the message (2yz other than the 221 of QUIT).
    bool Quit();

private:
    TSmtpReply ReadReply(int timeoutMs);
    TSmtpReply Command(std::string_view line, std::initializer_list<int> expected);
    TSmtpReply Expect(std::initializer_list<int> expected);
    TSmtpReply Ask(std::string_view line);
    void SendRecipients(const TMailEnvelope& envelope, bool holdForLogin, TTransferResult& result);
    void SendData(std::string_view data, TTransferResult& result);
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
    bool authenticated_ = false;      // AUTH accepted
    bool timedOutAtDataEnd_ = false;
};

// The name given in EHLO / HELO: settings.heloName, else this machine's host
// name, else "localhost".
std::string HeloName(const TMailSenderSettings& settings);

} // namespace bm
