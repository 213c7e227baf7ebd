#pragma once
// The local SMTP server that the user's mail client sends its mail through:
// one listener (TLocalSMTPServerMdl). It delivers nothing itself: a message
// is matched to the account its sender addresses belong to and relayed,
// before the reply to its data, through that account's real SMTP server
// (proto/mailsenderdatamdl.h TMailSender). SMTP per RFC 5321 with
// PIPELINING (RFC 2920), ENHANCEDSTATUSCODES (RFC 2034) and STARTTLS
// (RFC 3207); no AUTH.
//
// What is relayed is the text the client sent, byte for byte, with one
// "Received:" line put in front and any Bcc field removed, to exactly the
// RCPT TO addresses the client gave (RFC 5321 §3.3): a client that resends
// or redirects a message names its new recipients only there, and the
// header addresses must not get it again.
//
// The client hears the truth after its data: 250 when the account's server
// took the message for at least one recipient; otherwise that server's
// refusal, its class kept (a temporary refusal stays 4yz, so the client
// keeps the message and tries again). Recipients refused while others were
// accepted are told in a delivery status notification (RFC 3464) put into
// the account's inbox folder, where the client collects it.
//
// Bounds, so a misbehaving client cannot harm the server: command lines of
// at most maxLineLength bytes (a longer one is answered and skipped, the
// session stays in step), messages of at most maxMessageBytes (a larger one
// is read to its end and dropped), at most maxRecipients RCPT TO per
// message, and an idle client is closed after timeouts.idleMs.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "core/mailmsgU.h"
#include "proto/mailsenderdatamdl.h"
#include "servers/srvbasethdU.h"

namespace bm {

// Everything an SMTP listener needs, given to it rather than looked up, so a
// test can run a server over its own accounts, options and Friends list.
struct TSMTPServerSettings {
    // The relay's settings (proxy, WhitelistRecipients), the accounts a
    // message is matched against (saved when the relay learns LoginRequired)
    // and the Friends list recipients are added to. All three must be set
    // and outlive the server; they are read at every message.
    TOptions* options = nullptr;
    TAccountList* accounts = nullptr;
    TWhiteList* friends = nullptr;
    // Time-outs of the relay's own SMTP client.
    TMailSenderSettings sender;
    std::vector<std::string> listenAddresses{kLoopbackAddress};
    uint16_t port = 0;     // plain listener, STARTTLS offered (TSMTPServerThread)
    uint16_t portSSL = 0;  // TLS from the first byte (TSMTPServerThread)
    TServerCertFolders certFolders;
    // RFC 5321 §4.5.3.2.7: a server waits at least 5 minutes for the next
    // command, and so long for each data block, before it gives up.
    TServerTimeouts timeouts{5 * 60 * 1000, 60 * 1000, 30 * 1000};
    // Longest command line, without CR LF. RFC 5321 §4.5.3.1.4 asks 512 of
    // every server; clients send long parameters, so more room is given.
    std::size_t maxLineLength = 4096;
    // Largest message text (un-dot-stuffed, without the final "." line).
    std::size_t maxMessageBytes = 64u * 1024 * 1024;
    // Most RCPT TO per message; RFC 5321 §4.5.3.1.8 asks at least 100.
    std::size_t maxRecipients = 1000;
    int maxConnections = 64;
    // Local clients of other users are refused before the greeting.
    TPeerPolicy peerPolicy;
    // Where relay errors go (message, account name); unset: bm::ReportError.
    std::function<void(const std::string& message, const std::string& account)> reportError;
    // This machine's name in the Received line; empty: the host name.
    std::string serverHostName;
    // The quarantine database, where the Message-ID of every relayed message
    // is recorded so that the Mail check knows replies to it; empty:
    // QuarantineDbPath().
    std::filesystem::path database;
};

// Settings of the program's own server: the options, accounts and Friends
// list given, the options' ports and listen address, the program
// folder for the certificate files (the data folder as fallback). Any thread.
TSMTPServerSettings SMTPSettingsFromOptions(TOptions& options, TAccountList& accounts, TWhiteList& friends);

// --- The parts of the relay rule, public so tests can hold them to it ------

// The address of a MAIL FROM / RCPT TO argument: the text after the colon
// ("FROM:" / "TO:" already removed), e.g. "<joe@example.com> SIZE=100".
// The address between the angle brackets (a source route "@a,@b:" dropped,
// RFC 5321 §4.1.2), or a bare address up to the first blank; nullopt when
// the path is malformed (an opening bracket without its closing one).
// "<>" gives "".
std::optional<std::string> ParseMailPath(std::string_view argument);

// The first account, in list order, that one of the message's From
// addresses, else its Sender address, else one of its Reply-To addresses
// belongs to (Outgoing EMailAddresses, ignoring letter case); null when none.
// Any thread.
TAccountPtr FindRelayAccount(const TAccountList& accounts, const TMailMessage& message);

// Where the header block of a message text ends: the offset of its first
// empty line (CR LF or a lone LF), or the text's size when it has none.
std::size_t HeaderBlockEnd(std::string_view text);

// The text without its Bcc header fields (every one, each with its folded
// continuation lines; RFC 5322 §3.6.3). Only the header block is looked at;
// the rest is returned unchanged.
std::string RemoveBccHeader(std::string text);

// What the Received line tells about one connection.
struct TReceivedInfo {
    std::string clientHost;     // the client's host name (its address when it has none)
    std::string clientAddress;  // numeric
    std::string helo;           // the name given in HELO / EHLO
    std::string serverHost;
    std::string serverAddress;
    bool esmtp = false;         // EHLO was used
};

// RFC 5322 §3.3 date-time of `now` in local time, with names that never
// depend on the process locale: "Mon, 2 Jan 2006 15:04:05 +0100".
std::string FormatMailDate(std::time_t now);

// What a delivery status notification tells.
struct TDeliveryNotice {
    std::string reportingHost;  // this machine's name (Reporting-MTA)
    std::string remoteHost;     // the account's SMTP server (Remote-MTA)
    std::string sender;         // who gets the notice: the message's sender
    std::string headerBlock;    // the relayed message's header lines, CR LF ended
    std::vector<TRecipientRefusal> refused;
};

// A delivery status notification for the refused recipients of a message
// that reached the others: an RFC 5322 text with CR LF lines, From "Mail
// Delivery System", a multipart/report (RFC 6522) of a text for people, the
// message/delivery-status part of RFC 3464 (per recipient Final-Recipient,
// Action failed, Status, Remote-MTA, Diagnostic-Code with the server's
// reply) and the message's header as text/rfc822-headers.
std::string BuildDeliveryNotice(const TDeliveryNotice& notice, std::time_t now);

// Writes the notice as an inbox message file of the account (store/msgfilesU.h),
// under an id of its own beginning with "dsn-". Returns the id. Throws what
// SaveMessageText throws.
std::string SaveDeliveryNotice(const std::string& account, const std::string& text, std::time_t now);

// "Received: from $hostname[$ipaddress] (helo=$helo) by
// $svrhostname[$svripaddress] with esmtp|smtp (Brixmoor SMTP Server); date"
// with CR LF. Control characters a client put in its HELO name become "?"
// and the name is cut to 255 bytes (RFC 5321 §4.5.3.1.2), so it can neither
// start a new header line nor pass the 998-byte line limit. date: RFC 5322
// §3.3 form of `now`, which the field must end with (§3.6.7).
std::string BuildReceivedLine(const TReceivedInfo& info, std::time_t now);

// The server name the Received line carries.
inline constexpr const char* kSMTPServerName = "Brixmoor SMTP Server";
// The first port ChooseFreePorts tries.
inline constexpr uint16_t kFirstSMTPPort = 2525;
// What a sender that matches no account is reported as.
inline constexpr const char* kUnknownAccountError = "Unknown account - unable to send message";
inline constexpr const char* kUnknownAccountName = "Unknown";

// Outcome of relaying one received message.
enum class TRelayResult { Relayed, UnknownAccount, Failed };

struct TRelayAnswer {
    TRelayResult result = TRelayResult::Failed;
    // Failed because the account's server refused: its reply, for the client.
    std::optional<TSmtpReply> refusal;
};

class TLocalSMTPServerMdl {
public:
    // (sender, address) for every recipient the relay added to the Friends
    // list, one at a time. The relay hands these to the main thread, so the
    // handler runs there. Set it before StartListening.
    using TAddressWhitelistedEvent = std::function<void(TLocalSMTPServerMdl& sender, const std::string& address)>;

    // Creates the module's own TMailSender (CaptureErrors set) over the
    // settings' options, accounts and Friends list. Throws std::logic_error
    // when one of them is not set.
    explicit TLocalSMTPServerMdl(TSMTPServerSettings settings);
    ~TLocalSMTPServerMdl();  // StopListening()
    TLocalSMTPServerMdl(const TLocalSMTPServerMdl&) = delete;
    TLocalSMTPServerMdl& operator=(const TLocalSMTPServerMdl&) = delete;

    // Listens on the settings' addresses at port (0: a free one, see Port()).
    // Modes other than None load the certificate files first. A listener
    // already running is stopped first. Throws ESocketError when the port
    // cannot be bound, ETlsError when the certificate cannot be loaded.
    // Owner thread only.
    void StartListening(TTlsMode mode, uint16_t port);
    // Stops accepting and ends every connection at once, waiting for their
    // threads; a relay in progress is aborted (nothing of it counts as sent
    // by this server: the client never got its "250"). A relay handing an
    // event to the main thread must get it, so the main thread must not call
    // this without running its event loop (TSMTPServerThread calls it on its
    // own thread). Owner thread only; idempotent.
    void StopListening();

    uint16_t Port() const { return listener_.Port(); }
    TTlsMode TlsMode() const { return mode_; }
    const TSMTPServerSettings& Settings() const { return settings_; }
    int ConnectionCount() const { return listener_.ConnectionCount(); }

    // Matches the received text (un-dot-stuffed, the Received line already
    // in front) to an account and relays it to the envelope recipients
    // given, and to them only. When some of them were refused, writes the
    // delivery status notification (a failure to write it is reported).
    // Errors are reported (kUnknownAccountError under kUnknownAccountName;
    // a relay failure under the account's name) and never thrown. Relays of
    // all connections run one at a time. Any connection thread.
    TRelayAnswer RelayMessage(std::string text, const std::string& clientFrom,
                              const std::vector<std::string>& envelope);

    // Finds two free ports from 2525 upward on the options' listen
    // addresses, skipping POP3Port and POP3PortSSL, stores them as SMTPPort
    // and SMTPPortSSL and saves the options (to optionsFile, or their
    // default file when empty). Returns them. Throws ESocketError when none
    // is found, and what saving throws.
    static std::pair<uint16_t, uint16_t> ChooseFreePorts(TOptions& options,
                                                         const std::filesystem::path& optionsFile = {});
    // Listens on the options' SMTPPort for a moment and connects to
    // "localhost" there; true when the connection was made.
    static bool TestPort(const TOptions& options);

    TAddressWhitelistedEvent OnAddressWhitelisted;

private:
    friend class TSMTPSession;
    void RunSession(TcpConnection& connection);
    void Refuse(TcpConnection& connection) const;
    void Report(const std::string& message, const std::string& account) const;
    TRelayAnswer Relay(TAccount& account, const TMailMessage& message, std::string text,
                       const std::string& clientFrom, const std::vector<std::string>& envelope);
    void NoticeRefusals(TAccount& account, const std::string& sender, const std::string& text);
    void RecordSent(const TAccount& account, const TMailMessage& message) const;
    // settings.serverHostName, else this machine's name, else "localhost".
    std::string ServerHostName() const;

    TSMTPServerSettings settings_;
    TTlsMode mode_ = TTlsMode::None;
    std::shared_ptr<TlsContext> tls_;
    std::mutex relayMutex_;  // one relay at a time through sender_
    std::atomic<bool> stopping_{false};  // StopListening has begun
    std::unique_ptr<TMailSender> sender_;
    TServerListener listener_;
};

} // namespace bm
