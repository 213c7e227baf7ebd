#pragma once
// TMailSender: the program's SMTP client (RFC 5321). Two owners, each with an
// instance of its own:
//  - the Mail check's classifier sends an account's queued challenges and
//    confirmations over one connection (SendQueue), in the checker thread;
//  - the local SMTP server relays each message its client hands over, one
//    connection per message (SendMail / SendText), with CaptureErrors set.
//
// One connection: proxy tunnel (HTTP CONNECT) when the options ask for it;
// TLS by the account's outgoing SSL value (0 plain; 1 STARTTLS when offered;
// 2 TLS from the first byte; 3 STARTTLS required); EHLO, HELO when EHLO is
// refused; after STARTTLS EHLO again (RFC 3207 §4.2); AUTH LOGIN when a user
// name is set and the server lists LOGIN, else AUTH PLAIN (RFC 4616) when it
// lists only PLAIN, else no authentication; MAIL FROM, RCPT TO for every
// recipient, DATA. The server's certificate is verified (see SetupTls).
//
// Credentials rule: with login not forced and the account's LoginRequired
// clear, no user name is used. Otherwise the incoming user name and password
// when UseAccountUser is set, else the outgoing ones. A relay refused without
// login is sent once more with login; when that is accepted the account's
// LoginRequired is set and the account list saved, so later sends log in
// from the start.
//
// Threads: an instance is used by one thread at a time (its owner's worker
// thread); only Abort() may be called from another thread. OnAddressWhitelisted
// is handed to the main thread with bm::Synchronize and the worker waits for
// it, so the main thread must keep processing events while a relay runs; the
// other hooks run on the sending thread. The options,
// account list and Friends list given to the constructor are process-wide
// objects with their own locks; they must outlive the sender.
//
// Replies are judged by their codes (RFC 5321 §4.2.1): 2yz accepted, 4yz a
// temporary, 5yz a permanent refusal, whatever the text says. A refused
// recipient does not stop the others (RFC 5321 §3.3). A refusal that a
// login would cure (LoginWouldCure) on a connection that did not log in
// makes the message go once more over a connection that logs in.
//
// A read time-out while waiting for the reply to the end of the data leaves
// the outcome open: QUIT is sent, and when the first reply read then is the
// late acceptance (2yz other than 221) the message counts as sent; otherwise
// the send failed with "Read timed out.".
//
// Failures: nothing is thrown from SendMail, SendText or SendQueue for a
// network or protocol failure; such errors are captured (CaptureErrors) or
// reported. A failure to save the account list after LoginRequired was
// learned is reported the same way; the send still counts. An exception of a
// hook or of the OnAddressWhitelisted handler reaches the caller.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/clienttlsU.h"
#include "proto/smtpreplyU.h"

namespace bm {

class TAccount;
class TAccountList;
class TMailMessage;
class TOptions;
class TThreadData;
class TWhiteList;
class TcpConnection;
class TlsContext;
class TSmtpSession;
struct HttpProxy;
struct TQueuedMessage;
struct TTransferResult;

// Limits and time-outs of the SMTP client (tests shorten them).
struct TMailSenderSettings {
    // Longest wait for the greeting and for the reply to each command, on
    // either transport (RFC 5321 §4.5.3.2.1 to .3: 5 minutes for the
    // greeting, MAIL and RCPT; DATA gets no less).
    int readTimeoutMs = 5 * 60 * 1000;
    // Longest wait for the reply to the end of the data: servers scan the
    // message before they answer (RFC 5321 §4.5.3.2.6: 10 minutes).
    int dataEndTimeoutMs = 10 * 60 * 1000;
    // TCP connect, proxy answer, and each step of the TLS handshake.
    int connectTimeoutMs = 30000;
    // Longest time no byte of a command or of the message data can leave
    // (RFC 5321 §4.5.3.2.5: 3 minutes for each block of data).
    int writeTimeoutMs = 3 * 60 * 1000;
    // Longest reply line kept (RFC 5321 §4.5.3.1.5 allows 512; servers send
    // longer texts); the rest of a longer line is skipped, never misread.
    std::size_t maxReplyLineBytes = 4096;
    // Most lines of one multi-line reply ("250-..." continuations, RFC 5321
    // §4.2.1); a longer reply is a protocol error.
    std::size_t maxReplyLines = 200;
    // Name sent in EHLO / HELO; empty: this machine's host name, or
    // "localhost" when it has none.
    std::string heloName;
    // Folder of the optional client certificate files "cert.pem", "key.pem",
    // "cacert.pem"; empty: the program's folder.
    std::filesystem::path certificateFolder;
    // Most challenges one queue sends per account in an hour, and to one
    // address in a day, counted over every check (SentMessages): a flood of
    // forged senders must not make the user's server a spam source. The rest
    // wait in the queue.
    int challengesPerAccountHour = 60;
    int challengesPerAddressDay = 3;
};

// The envelope of one message: what MAIL FROM and RCPT TO carry, and the
// addresses the send rules look at.
struct TMailEnvelope {
    // Reverse-path, a bare address; "" sends "MAIL FROM:<>".
    std::string From;
    // Forward-paths, bare addresses, sent as RCPT TO in this order; an address
    // repeated (ignoring letter case) is sent once. With the option
    // WhitelistRecipients those the server accepts are added to the Friends
    // list, in this order.
    std::vector<std::string> Recipients;
    // The addresses of the message's To header, for the trace.
    std::vector<std::string> ToAddresses;
};

// The envelope a message gives: From = its first From address; Recipients =
// the addresses of To, then Cc, then Bcc; ToAddresses = those of To. Items
// without an address are left out.
TMailEnvelope EnvelopeOf(const TMailMessage& message);

// How a text handed to SendText is laid out.
enum class TMailTextForm {
    // The message text form (core/mailmsgU.h): CR LF lines, already
    // dot-stuffed, ending with the line ".". Sent byte for byte; a missing
    // final line is added.
    Stored,
    // Plain RFC 5322 bytes: no stuffing, no final line. A lone CR or LF is
    // sent as CR LF (RFC 5321 §2.3.8), each line beginning with "." gets one
    // more "." (RFC 5321 §4.5.2), and the final "." line is added. A text
    // already in CR LF lines reaches the server byte-identical.
    Raw,
};

// Outcome of one send attempt (one connection).
enum class TSendResult {
    Sent,            // accepted for at least one recipient
    RetryWithLogin,  // refused as LoginWouldCure says, without login, LoginRequired clear
    Failed,          // error captured / reported
};

// What became of the last relayed message (SendMail, SendText).
struct TRelayOutcome {
    // The server took the message for every address of Accepted.
    bool Sent = false;
    std::vector<std::string> Accepted;
    // Recipients refused at RCPT, each with the server's reply. When Sent,
    // the message reached the others.
    std::vector<TRecipientRefusal> Refused;
    // Not sent because the server refused: the reply that decides what the
    // sender of the message is told (its class is kept: temporary stays
    // temporary). When every recipient was refused, the first temporary
    // refusal among them, else the first. Empty when the send failed
    // otherwise (no connection, time-out; see LastError).
    std::optional<TSmtpReply> Refusal;
};

class TMailSender {
public:
    // options: proxy settings and WhitelistRecipients, read at each send.
    // accounts: saved when LoginRequired is learned. friends: the Friends list.
    explicit TMailSender(TOptions& options, TAccountList& accounts, TWhiteList& friends,
                         TMailSenderSettings settings = {});
    ~TMailSender();
    TMailSender(const TMailSender&) = delete;
    TMailSender& operator=(const TMailSender&) = delete;

    // When set, an error met while sending is kept in LastError instead of
    // being reported. The local SMTP server sets it; the Mail check leaves it
    // clear. The owner clears LastError before a send it wants to judge.
    bool CaptureErrors = false;
    // The text of the last error kept in capture mode; for a refusal the
    // text of the server's reply (without its code).
    std::string LastError;
    // What became of the last SendMail / SendText.
    const TRelayOutcome& LastRelay() const { return lastRelay_; }

    // Fired, on the main thread, for every recipient added to the Friends
    // list, with the address as written.
    std::function<void(const std::string& address)> OnAddressWhitelisted;
    // Status text while the queue is sent ("Sending quarantine message %d of
    // %d on %s"); called on the sending thread (the owner hands it on).
    std::function<void(const std::string& text)> OnStatus;
    // Where a reported error goes: the checker thread's ReportCheckError,
    // called on the sending thread. Unset: bm::ReportError(message, account).
    std::function<void(const std::string& message, const std::string& account)> OnReportError;
    // The checker thread's stop flag, polled before each queued message
    // (unset: never stops). A stop never cuts a message in transfer.
    std::function<bool()> StopRequested;
    // The checker thread's Interruptible flag: cleared while a queue is sent,
    // set again afterwards, also when a step fails (unset: skipped).
    std::function<void(bool interruptible)> SetInterruptible;

    // Relays one message: the envelope of EnvelopeOf(message), the text of
    // message.SaveToString() (a Bcc header is never written). Sends once
    // without forced login; on RetryWithLogin (LoginRequired clear) sends once
    // more with login forced, with CaptureErrors set for that attempt. When
    // sent, noWhitelist clear and WhitelistRecipients on: each recipient the
    // server accepted (To, Cc, Bcc in order) that the Friends list lacks is
    // added lower-cased and OnAddressWhitelisted fired; a refused one never.
    // Returns true when the message was sent to at least one recipient;
    // LastRelay() tells which were refused.
    bool SendMail(TAccount& account, const TMailMessage& message, bool noWhitelist);

    // The same for a message given as text with an explicit envelope: the
    // bytes reach the server unchanged apart from the form's rules (see
    // TMailTextForm). The local SMTP server relays what it received this
    // way. Recipients are whitelisted in envelope order. Returns true when
    // sent. An empty Recipients list fails ("No recipients").
    bool SendText(TAccount& account, const TMailEnvelope& envelope, std::string_view text,
                  TMailTextForm form, bool noWhitelist);

    // Sends the account's QuarantineQueue rows (AcctQueueQuery on data) over
    // one connection, in table order, until the stop flag is set or the
    // connection fails (reported; the rows left stay queued). Connects
    // without login, then (LoginRequired clear) with login forced, learning
    // LoginRequired; each failed attempt is reported. A message refused as
    // LoginWouldCure says on a connection without login while LoginRequired
    // is clear is sent once more over a new connection with login, learning
    // LoginRequired when that is accepted. What becomes of a row:
    //  - sent to at least one recipient: deleted, its key (KeyID not -1)
    //    gets MessageSent; each recipient refused permanently is reported;
    //  - refused temporarily (4yz: greylisting, a full mailbox), at RCPT for
    //    every recipient or at MAIL, DATA or after the data: stays queued for
    //    the next check, key untouched, traced and not reported;
    //  - refused permanently (5yz) for every recipient, at DATA or after the
    //    data: deleted and reported once; its key gets MessageSent, as a
    //    challenge that can never be sent, so its messages age out;
    //  - MAIL FROM refused permanently (the account's address, not the
    //    recipients) or a row that cannot be read: reported, stays queued;
    //  - a challenge (KeyID not -1) past the caps of the settings: stays
    //    queued, key untouched, traced.
    // The Message-ID of each challenge and confirmation sent is recorded in
    // SentMessages (a challenge once per recipient), which the caps count
    // and the classifier's loop guard reads.
    // Apart from a failed connection one row never stops the rows after it.
    // An empty queue opens no connection. Database failures (EDatabaseError)
    // propagate after Interruptible was set again.
    void SendQueue(TAccount& account, TThreadData& data);

    // Proxy of the next connection (both transports): direct when useProxy is
    // clear, else an HTTP CONNECT tunnel at host:port that sends Basic
    // credentials when userName is set. Every connect calls it with the
    // options' proxy settings (user name and password only when the options'
    // Logon is set), so a call of the owner's own holds until the next send.
    void SetProxy(bool useProxy, const std::string& host, const std::string& password,
                  const std::string& userName, int port);
    // Selects the transport and the use of TLS from the account's outgoing
    // SSL value for the next connection. Throws ETlsError when a certificate
    // file present in the certificate folder cannot be loaded.
    void SetupTls(const TAccount& account);
    // e's text; for a refused certificate followed by the accounts.ini line
    // that trusts it.
    std::string ErrorText(const std::exception& e, const TAccount& account) const;
    // With SSL value 1: the server offered STARTTLS, so later sessions
    // without it are refused (saved with the account).
    void LearnTlsOffered(TAccount& account);

    // Ends the sender's work for good: a connection in progress fails at once
    // ("Connection aborted."), and so does every later connection, so an
    // Abort() that comes just before a send starts is not lost. The send then
    // fails as any network failure does. For an owner that is stopping. Any
    // thread; never blocks.
    void Abort();

private:
    struct Credentials {
        std::string userName;
        std::string password;
    };
    class ConnectionGuard;
    struct OpenSession;

    enum class TRowResult { Sent, Refused, Deferred, RetryWithLogin, Failed };

    bool Relay(TAccount& account, const TMailEnvelope& envelope, const std::string& data,
               bool noWhitelist);
    TSendResult SendOnce(TAccount& account, const TMailEnvelope& envelope, const std::string& data,
                         bool forceLogin);
    TSendResult JudgeRelay(const TTransferResult& transfer, bool mayRetryWithLogin, const std::string& account);
    TRowResult SendQueued(OpenSession& open, TAccount& account, const std::string& stored);
    TRowResult ResendWithLogin(OpenSession& open, TAccount& account, const std::string& stored);
    TRowResult JudgeRow(const TTransferResult& transfer, bool mayRetryWithLogin, const TMailEnvelope& envelope,
                        const std::string& account);
    OpenSession Connect(TAccount& account, bool forceLogin);
    OpenSession ConnectForQueue(TAccount& account);
    void SendRows(OpenSession& open, TAccount& account, TThreadData& data, const std::vector<TQueuedMessage>& rows,
                  std::vector<int>& sentIds, std::vector<int>& sentKeys);
    bool OverChallengeCap(TAccount& account, TThreadData& data, const TQueuedMessage& row);
    void RecordSent(TAccount& account, TThreadData& data, const TQueuedMessage& row);
    Credentials CredentialsFor(const TAccount& account, bool forceLogin) const;
    void LearnLoginRequired(TAccount& account);
    void WhitelistRecipients(const std::vector<std::string>& recipients);
    void Fail(const std::string& message, const std::string& account);

    TOptions& options_;
    TAccountList& accounts_;
    TWhiteList& friends_;
    TMailSenderSettings settings_;
    std::unique_ptr<HttpProxy> proxy_;       // null: direct
    std::shared_ptr<TlsContext> tls_;        // client context of the current account
    TClientTlsContexts tlsByPin_;
    std::uint8_t sslMode_ = 0;               // SSL value of the next connection
    TRelayOutcome lastRelay_;

    std::mutex connectionMutex_;             // guards the two below for Abort()
    TcpConnection* connection_ = nullptr;    // the connection in use, or null
    bool abortRequested_ = false;            // Abort() was called
};

} // namespace bm
