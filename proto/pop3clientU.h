#pragma once
// The POP3 client connection of the Mail check (RFC 1939, CAPA RFC 2449,
// STLS RFC 2595, AUTH RFC 5034), directly or through an HTTP proxy tunnel.
//
// Threads: one thread (the checker thread) drives a client; only Abort() may
// be called from another thread, at any time.
//
// A session that breaks is never ended with QUIT. Any failure of the
// transport (time-out, reset, abort, cut mid-reply, a reply that is neither
// "+OK" nor "-ERR") closes the socket at once, without QUIT, so the server
// never enters its UPDATE state and removes nothing (RFC 1939 §6); a late
// reply can never be taken for the answer to a later command either. Only a
// "-ERR" reply (EPop3Error) and a message over the size limit leave the
// session usable.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "net/proxyU.h"
#include "net/socketU.h"
#include "proto/pop3saslU.h"

namespace bm {

class TlsContext;

// A "-ERR" reply. what() is the reply's text after "-ERR " ("-ERR" when it
// has none). LoginRefused(): the reply answered the login (USER, PASS, or
// the end of the last SASL exchange). ResponseCode(): the extended response
// code the text begins with (RFC 2449 §8), upper case and without its
// brackets ("IN-USE", "SYS/TEMP", "AUTH"), or "" when it carries none.
class EPop3Error : public std::runtime_error {
public:
    EPop3Error(const std::string& text, bool loginRefused);
    bool LoginRefused() const { return loginRefused_; }
    const std::string& ResponseCode() const { return code_; }

private:
    bool loginRefused_;
    std::string code_;
};

// A reply that breaks the protocol ("Invalid POP3 response: <line>"), or a
// login that cannot be carried out. The session is closed.
class EPop3ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How TLS is used, by an account's SSL value 0..3.
enum class TPop3Tls {
    None,      // 0: plain socket
    Explicit,  // 1: STLS after the greeting when CAPA offers it, else plain
    Implicit,  // 2: TLS from the first byte
    Required,  // 3: STLS must succeed
};
// SSL values above 3 read as Required: never weaker than asked.
TPop3Tls Pop3TlsFromSSLValue(int ssl);

inline constexpr const char* kTlsDowngradePop3 =
    "The server offered STLS in an earlier session but not in this one; the login is not sent in plain text.";

enum class TPop3Login { UserPass, Sasl };

struct TPop3ClientSettings {
    int ConnectTimeoutMs = 30000;
    // Longest wait without any progress for one reply or one write.
    int ReadTimeoutMs = 60000;
    int WriteTimeoutMs = 60000;
    // Longest single-line reply (RFC 1939 §3 allows 512 octets).
    std::size_t MaxReplyLine = 8192;
    // Longest multi-line listing (UIDL, CAPA) kept.
    std::size_t MaxListing = 64u * 1024 * 1024;
    // Longest message text RETR keeps; beyond it the message is skipped.
    std::size_t MaxMessageBytes = 256u * 1024 * 1024;
};

struct TPop3ConnectParams {
    std::string Host;
    std::uint16_t Port = 110;
    TPop3Tls Tls = TPop3Tls::None;
    std::shared_ptr<TlsContext> Context; // needed unless Tls is None
    // Explicit only: an earlier session offered STLS. A session that does not
    // then refuses to log in (ETlsError kTlsDowngradePop3) instead of going on
    // in plain text, where a man in the middle could have removed the offer.
    bool TlsOfferedBefore = false;
    std::optional<HttpProxy> Proxy;
    TPop3Login Login = TPop3Login::UserPass;
    // The SASL mechanisms configured; of those the server announces, the
    // strongest is tried first (pop3saslU.h).
    std::vector<TSaslMechanism> Mechanisms{TSaslMechanism::Plain, TSaslMechanism::Login,
                                           TSaslMechanism::CramMD5, TSaslMechanism::Otp,
                                           TSaslMechanism::SKey};
    std::string UserName;
    std::string Password;
};

// One line of a UIDL listing: the text before the first blank and the text
// after it (not trimmed).
struct TUidlLine {
    std::string Number;
    std::string Uid;
};

// RETR of a message over the size limit (the session stays usable).
class EPop3MessageTooLarge : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TPop3Client {
public:
    explicit TPop3Client(const TPop3ClientSettings& settings = {});
    ~TPop3Client();
    TPop3Client(const TPop3Client&) = delete;
    TPop3Client& operator=(const TPop3Client&) = delete;

    // Connects (through the proxy when given), runs TLS as params.Tls asks,
    // reads the greeting, asks CAPA (again after STLS: RFC 2595 §4) and logs
    // in. Closes a session still open first. Throws EPop3Error for a "-ERR"
    // (greeting, STLS required, USER, PASS, AUTH), EPop3ProtocolError, or the
    // net layer's ESocketError family (ETlsError, EProxyError...); the
    // connection is closed after any throw except an EPop3Error of the login,
    // which leaves it open for the caller to close.
    void Connect(const TPop3ConnectParams& params);

    // STAT: the message count. Throws as described in the file comment.
    int Stat();
    // UIDL for all messages, one item per listing line in order (lines
    // without a blank give an empty Uid).
    std::vector<TUidlLine> Uidl();
    // LIST n: the size the server gives (0 when the reply carries none).
    std::int64_t List(int number);
    // RETR n: the message in the message text form (dot-stuffed lines, CR LF,
    // final ".\r\n"), as received. Throws EPop3MessageTooLarge beyond
    // MaxMessageBytes (the rest is read and dropped; the session stays usable).
    std::string Retr(int number, std::size_t sizeHint = 0);
    // DELE n.
    void Dele(int number);

    // --- pipelining (RFC 2449 §6.6), only when the server announces it ---
    // Commands are sent ahead and their answers read later in the same
    // order; no other command may be sent while answers are outstanding
    // (one that is closes the session). Quit() with answers outstanding
    // closes without QUIT.
    bool CanPipeline() const;
    // Sends "LIST n" and "RETR n" together.
    void RequestRetrieval(int number);
    // The answers to the oldest RequestRetrieval: the LIST size and the
    // message as Retr gives it. Both answers are read before anything is
    // thrown: EPop3Error (the first "-ERR"), EPop3MessageTooLarge.
    std::pair<std::int64_t, std::string> ReadRetrieval(std::size_t sizeHint = 0);
    // Sends "DELE n"; ReadDele reads the oldest one's answer: false for "-ERR".
    void RequestDele(int number);
    bool ReadDele();
    int Outstanding() const { return outstanding_; }
    // QUIT when the session is usable, then closes; the server commits its
    // deletions only here. Throws EPop3Error when QUIT is refused (RFC 1939
    // §6: some messages not removed) and transport errors; closed after.
    void Quit();
    // Closes without QUIT (nothing marked is removed). Never throws.
    void Disconnect();

    // True while a session is usable.
    bool Connected() const;
    // True when the session runs over TLS.
    bool IsTls() const { return conn_ && conn_->IsTls(); }
    // The capability names and arguments of the last CAPA, upper-case names.
    const std::vector<std::string>& Capabilities() const { return capabilities_; }
    // The mechanism that logged in, for the trace; empty for USER/PASS.
    const std::string& LoginMechanism() const { return loginMechanism_; }

    // Closes the socket at once: a blocked read or write fails now, and so do
    // every later command and every later Connect of this client. Any thread,
    // never blocks.
    void Abort();
    bool Aborted() const;

private:
    template <class Fn>
    auto Guarded(Fn&& fn) -> decltype(fn());
    template <class Fn>
    auto Exchange(Fn&& fn) -> decltype(fn());
    void OpenTransport(const TPop3ConnectParams& params);
    void ReadGreeting();
    void ReadCapabilities();
    void UpgradeToTls(const TPop3ConnectParams& params);
    void LoginUserPass(const std::string& user, const std::string& password);
    void LoginSasl(const TPop3ConnectParams& params);
    bool TrySasl(TSaslMechanism mechanism, const std::string& user, const std::string& password,
                 std::string& failure);
    std::string Command(const std::string& line, bool loginRefused = false);
    std::string ReadReplyLine();
    std::string ReadListing(std::size_t limit);
    std::string ReadStatusLine(bool loginRefused = false);
    std::string ReadMessageBlock(std::size_t sizeHint);
    void Send(const std::string& line);
    void CloseSocket();

    TPop3ClientSettings settings_;
    mutable std::mutex mutex_; // guards conn_ against Abort() from another thread
    std::unique_ptr<TcpConnection> conn_;
    bool aborted_ = false;
    bool usable_ = false;
    std::vector<std::string> capabilities_;
    std::string loginMechanism_;
    int outstanding_ = 0; // pipelined answers not read yet
};

} // namespace bm
