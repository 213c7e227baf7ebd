#pragma once
// TCP connections and listeners over POSIX sockets, IPv4 and IPv6.
//
// A `TcpConnection` is used by one thread at a time (the protocol thread that
// owns it); only `Abort()` may be called from any other thread. A connection
// carries plain bytes or, after `StartTls`, TLS (see net/tlsU.h); reads and
// writes look the same either way.
//
// What a peer sends is never an exception in the reading functions: they
// return a `ReadStatus` and leave the failure text in `LastError()`. The
// `...OrThrow` conveniences turn those values into exceptions for callers that
// prefer them. Local failures (cannot connect, cannot write, TLS set-up) throw.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace bm {

class TlsContext;
class TlsSession;

// The networking layer's text for a peer that closed the connection in order.
// The error list and the Mail check recognise failures by this exact text.
inline constexpr const char* kConnectionClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* kReadTimedOut = "Read timed out.";
inline constexpr const char* kLineTooLong = "Line too long.";
inline constexpr const char* kConnectionAborted = "Connection aborted.";
inline constexpr const char* kMessageTooLarge = "Message too large.";

// Any failure of the socket layer; what() is the text shown to the user.
class ESocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// A read or write waited longer than its time-out ("Read timed out.").
class ESocketTimeout : public ESocketError {
public:
    ESocketTimeout() : ESocketError(kReadTimedOut) {}
    using ESocketError::ESocketError;
};
// The peer closed the connection in order ("Connection Closed Gracefully.").
class EConnectionClosed : public ESocketError {
public:
    EConnectionClosed() : ESocketError(kConnectionClosedGracefully) {}
};
// A line exceeded the reader's limit ("Line too long.").
class ELineTooLong : public ESocketError {
public:
    ELineTooLong() : ESocketError(kLineTooLong) {}
};

// Outcome of one read call.
enum class ReadStatus {
    Line,      // a complete line / block / byte count was read
    NeedMore,  // the time-out passed first; what arrived so far is kept and
               // the next call goes on from there (nothing is lost)
    TooLong,   // the line (or block) exceeded its limit; see ReadLine
    Closed,    // the peer closed in order; LastError() is kConnectionClosedGracefully
    Error,     // reset, abort, TLS failure...; LastError() tells
};

// Time-outs are in milliseconds; a negative value waits without limit.
// A read or write time-out is the longest wait with no progress at all (no
// byte arriving / leaving), not a limit on the whole call, so a large message
// arriving steadily never times out.
inline constexpr int kNoTimeout = -1;

struct ConnectOptions {
    // Limit of the TCP connect to each address tried, and of each step of a
    // proxy's answer. Name resolution uses the system resolver's own limits.
    int connectTimeoutMs = 30000;
};

class TcpConnection {
public:
    // Resolves host (name, IPv4 or IPv6 literal; "[::1]" brackets allowed) and
    // connects to the first address that answers, trying each in turn.
    // Throws ESocketError: "Host not found: <host>", "Connection refused: <host>:<port>",
    // "Connect timed out: <host>:<port>", or another text naming host and port.
    static std::unique_ptr<TcpConnection> Connect(const std::string& host, uint16_t port,
                                                  const ConnectOptions& options = {});

    // A connection not opened yet. Publish it to the thread that may Abort()
    // first, then Open(): an Abort() during the connect then ends it at once.
    TcpConnection();
    // Connects as Connect() does; throws the same. An open connection is closed first.
    void Open(const std::string& host, uint16_t port, const ConnectOptions& options = {});

    // Takes over an accepted or connected socket descriptor (closed on
    // destruction, and also when this constructor throws ESocketError).
    // remoteHost is the name TLS uses for SNI and verification by default.
    TcpConnection(int fd, std::string remoteHost);
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // --- reading (buffered: data is taken from the socket in large chunks) ---

    // Reads one line into `line`, without its end. A line ends at LF; one CR
    // right before it is dropped too (a lone LF is accepted from lenient peers).
    // maxLength counts the line's bytes without its end.
    // TooLong: `line` holds the first maxLength bytes; the rest of that line is
    // skipped on the following calls up to and including its LF, so the next
    // ReadLine gives the next line (keeps protocol synchronisation).
    // Returns Line, NeedMore, TooLong, Closed or Error (bytes of an unfinished
    // line are dropped on Closed).
    ReadStatus ReadLine(std::string& line, std::size_t maxLength, int timeoutMs);

    // As ReadLine, but throws ESocketTimeout, ELineTooLong, EConnectionClosed
    // or ESocketError for the non-Line outcomes. After ELineTooLong the
    // connection stays usable as described for ReadLine.
    std::string ReadLineOrThrow(std::size_t maxLength, int timeoutMs);

    // Reads a multi-line block ended by a line holding a single "." (RFC 1939
    // §3, RFC 5321 §4.5.2) and APPENDS it to `out`, each line ended by CR LF.
    //  - keepRaw true: the lines are appended as received (dot-stuffing kept),
    //    including the final ".\r\n" (the stored message text form);
    //  - keepRaw false: a leading "." of a line is removed and the final line
    //    is not appended.
    // maxTotal bounds the bytes appended by this block (over resumed calls);
    // lines themselves have no limit below it (a long one is read and passed
    // on in pieces, so only a piece of it is buffered). When it is exceeded the rest
    // of the block is read and dropped up to its final line, then TooLong is
    // returned (`out` keeps what fitted; LastError() "Message too large.").
    // NeedMore: the time-out passed; what was read stays appended to `out`;
    // call again with the same `out` to go on. Line: the block is complete.
    ReadStatus ReadDotBlock(std::string& out, bool keepRaw, std::size_t maxTotal, int timeoutMs);
    // The same, but every piece of the block goes to `sink` as it is read
    // instead of being appended to one string, so a large block need not be
    // held at once (the local SMTP server spools big messages to a file).
    // The pieces, joined, are what the string form would append. The view is
    // valid only during the call. The sink must not throw.
    using BlockSink = std::function<void(std::string_view piece)>;
    ReadStatus ReadDotBlock(const BlockSink& sink, bool keepRaw, std::size_t maxTotal, int timeoutMs);

    // Reads exactly n bytes and APPENDS them to `out`. NeedMore keeps the bytes
    // read so far appended; a second call must ask only for the remainder.
    ReadStatus ReadExact(std::string& out, std::size_t n, int timeoutMs);

    // Text of the last non-Line outcome of a read.
    const std::string& LastError() const { return lastError_; }

    // True when received bytes wait in the buffer (e.g. pipelined commands).
    bool HasBufferedInput() const { return readPos_ < readBuf_.size(); }

    // --- writing ---

    // Writes all bytes. Throws ESocketTimeout when no byte could leave for
    // timeoutMs, ESocketError (abort, reset, TLS failure) otherwise.
    void Write(std::string_view data, int timeoutMs);
    // Writes text followed by CR LF, as one write.
    void WriteLine(std::string_view text, int timeoutMs);

    // --- TLS (net/tlsU.h) ---

    // Runs the TLS handshake on this connection, either right after connect or
    // accept (TLS from the first byte) or after a STLS / STARTTLS exchange.
    // A client context uses serverName (default: the host this connection was
    // opened with) for SNI (not sent for IP literals) and, when verification
    // is on, for the name check. Input still buffered in plain text is
    // discarded first: it arrived before the handshake and must not be taken
    // as protected (RFC 3207 §4.2, RFC 2595 §4).
    // Throws ETlsError (net/tlsU.h) with OpenSSL's reason, or ESocketError /
    // ESocketTimeout; the connection is unusable afterwards.
    void StartTls(const TlsContext& context, int timeoutMs, const std::string& serverName = {});
    bool IsTls() const { return tls_ != nullptr; }

    // --- lifetime ---

    // Makes every blocked and every later connect, read or write of this
    // connection fail at once (Error / ESocketError "Connection aborted.").
    // Any thread; never blocks; safe to call more than once and concurrently
    // with Close. The object itself must outlive the call (the owner's lock).
    void Abort();
    bool IsAborted() const { return aborted_.load(); }

    // Ends the connection in order (TLS close_notify, then FIN) and closes the
    // socket. Never throws. Owner thread only; also done by the destructor.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // Numeric address and port of the peer, "127.0.0.1:51234" or "[::1]:51234".
    std::string PeerAddress() const;
    uint16_t LocalPort() const;
    const std::string& RemoteHost() const { return remoteHost_; }
    // The name StartTls uses by default; a proxy tunnel sets the target host.
    void SetRemoteHost(std::string host) { remoteHost_ = std::move(host); }

private:
    enum class Fill { Data, Timeout, Closed, Error };
    Fill FillBuffer(int timeoutMs);
    ReadStatus Fail(ReadStatus status, std::string text);
    bool SkipLongLineRest(int timeoutMs, ReadStatus& status);
    long RawRead(char* data, std::size_t size, int timeoutMs, std::string& error);
    long RawWrite(const char* data, std::size_t size, int timeoutMs, std::string& error);
    void CompactBuffer();

    int fd_ = -1;
    int abortFd_ = -1;  // eventfd polled together with the socket
    std::atomic<bool> aborted_{false};
    std::string remoteHost_;
    std::string readBuf_;
    std::size_t readPos_ = 0;
    bool skippingLine_ = false;    // rest of a too-long line still to drop
    bool blockOverflow_ = false;   // ReadDotBlock dropping after maxTotal
    bool blockMidLine_ = false;    // ...and in the middle of a dropped line
    bool blockPartLine_ = false;   // the start of the current line was handed on already
    std::size_t blockBytes_ = 0;
    std::unique_ptr<TlsSession> tls_;
    std::string lastError_;
};

// The any-address bind value of TcpListener: every local IPv6 and IPv4 address.
inline constexpr const char* kAnyAddress = "*";
inline constexpr const char* kLoopbackAddress = "127.0.0.1";

// A listening TCP socket. Accept() runs on one thread; Stop() may be called
// from any thread.
class TcpListener {
public:
    // Binds and listens. address: an IPv4 or IPv6 literal ("127.0.0.1",
    // "::1"), or kAnyAddress. Port 0 takes a free port (see Port()).
    // SO_REUSEADDR is set so a restart does not wait for TIME_WAIT.
    // Throws ESocketError "Could not bind socket. Address and port are already in use."
    // when the port is taken, or another text naming address and port.
    explicit TcpListener(uint16_t port, const std::string& address = kLoopbackAddress);
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Waits for the next client. Returns nullptr once Stop() was called (at
    // once when it already was), or when timeoutMs passed (kNoTimeout: wait
    // until a client or Stop). Throws ESocketError on a socket failure.
    // Transient accept errors (the client reset before accept) are retried.
    std::unique_ptr<TcpConnection> Accept(int timeoutMs = kNoTimeout);

    // Wakes a blocked Accept and makes later ones return nullptr. Any thread,
    // never blocks, idempotent. Connections already accepted are not touched.
    void Stop();
    bool IsStopped() const { return stopped_.load(); }

    uint16_t Port() const { return port_; }
    const std::string& Address() const { return address_; }
    // The numeric address bound, "127.0.0.1:2525" or "[::]:2525".
    std::string BoundAddress() const;

private:
    int fd_ = -1;
    int stopFd_ = -1;
    std::atomic<bool> stopped_{false};
    uint16_t port_ = 0;
    std::string address_;
};

// True when a listener could be bound to port on address right now (the
// socket is closed again at once). Used to choose free ports at installation.
bool TestPort(uint16_t port, const std::string& address = kLoopbackAddress);

} // namespace bm
