#include "net/socketU.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/pollwaitU.h"
#include "net/tlssessionU.h"
#include "net/tlsU.h"

namespace bm {

using namespace netdetail;

namespace {

// Bytes asked of the socket at a time; large enough that a 20 KB message
// arrives in one or two system calls.
constexpr std::size_t kChunk = 64 * 1024;

std::string StripBrackets(const std::string& host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

std::string HostPort(const std::string& host, uint16_t port)
{
    return host + ":" + std::to_string(port);
}

// Outcome of one connect attempt, for choosing the final message.
enum class Attempt { Connected, Refused, TimedOut, Aborted, Failed };

Attempt ConnectOne(int fd, const addrinfo& ai, int abortFd, int timeoutMs, int& err)
{
    if (::connect(fd, ai.ai_addr, ai.ai_addrlen) == 0)
        return Attempt::Connected;
    if (errno != EINPROGRESS) {
        err = errno;
        return err == ECONNREFUSED ? Attempt::Refused : Attempt::Failed;
    }
    std::string text;
    switch (WaitFd(fd, true, abortFd, timeoutMs, text)) {
    case Wait::Timeout: return Attempt::TimedOut;
    case Wait::Aborted: return Attempt::Aborted;
    case Wait::Error: err = EIO; return Attempt::Failed;
    case Wait::Ready: break;
    }
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    if (err == 0)
        return Attempt::Connected;
    return err == ECONNREFUSED ? Attempt::Refused : Attempt::Failed;
}

std::string NumericAddress(const sockaddr* sa, socklen_t len)
{
    char host[NI_MAXHOST] = "";
    char serv[NI_MAXSERV] = "";
    if (::getnameinfo(sa, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    if (sa->sa_family == AF_INET6)
        return std::string("[") + host + "]:" + serv;
    return std::string(host) + ":" + serv;
}

// Runs one non-blocking recv or send (io) until it moves bytes: again after
// EINTR, and after waiting up to timeoutMs for the socket to become readable
// (forWrite false) or writable. Returns the byte count (0: the peer closed),
// kIoTimeout, or kIoError with error set.
template <class Io>
long RetryIo(int fd, bool forWrite, int abortFd, int timeoutMs, std::string& error, Io io)
{
    for (;;) {
        const ssize_t n = io();
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error = ErrnoText("Socket error", errno);
            return kIoError;
        }
        switch (WaitFd(fd, forWrite, abortFd, timeoutMs, error)) {
        case Wait::Ready: continue;
        case Wait::Timeout: return kIoTimeout;
        case Wait::Aborted: error = kConnectionAborted; return kIoError;
        case Wait::Error: return kIoError;
        }
    }
}

} // namespace

// --- lifetime ---

TcpConnection::TcpConnection() : abortFd_(MakeWakeFd()) {}

TcpConnection::TcpConnection(int fd, std::string remoteHost) : remoteHost_(std::move(remoteHost))
{
    try {
        abortFd_ = MakeWakeFd();
    } catch (...) {
        ::close(fd);  // the descriptor was handed over: never leak it
        throw;
    }
    fd_ = fd;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

TcpConnection::~TcpConnection()
{
    Close();
    ::close(abortFd_);
}

std::unique_ptr<TcpConnection> TcpConnection::Connect(const std::string& host, uint16_t port,
                                                      const ConnectOptions& options)
{
    auto connection = std::make_unique<TcpConnection>();
    connection->Open(host, port, options);
    return connection;
}

void TcpConnection::Open(const std::string& host, uint16_t port, const ConnectOptions& options)
{
    Close();
    const std::string name = StripBrackets(host);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &list) != 0 || !list)
        throw ESocketError("Host not found: " + host);
    Attempt last = Attempt::Failed;
    int err = 0;
    for (addrinfo* ai = list; ai && !aborted_.load(); ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        last = ConnectOne(fd, *ai, abortFd_, options.connectTimeoutMs, err);
        if (last == Attempt::Connected) {
            ::freeaddrinfo(list);
            fd_ = fd;
            remoteHost_ = name;
            const int one = 1;
            ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return;
        }
        ::close(fd);
        if (last == Attempt::Aborted)
            break;
    }
    ::freeaddrinfo(list);
    if (aborted_.load() || last == Attempt::Aborted)
        throw ESocketError(kConnectionAborted);
    if (last == Attempt::Refused)
        throw ESocketError("Connection refused: " + HostPort(host, port));
    if (last == Attempt::TimedOut)
        throw ESocketTimeout("Connect timed out: " + HostPort(host, port));
    throw ESocketError(ErrnoText("Cannot connect to " + HostPort(host, port), err));
}

void TcpConnection::Abort()
{
    aborted_.store(true);
    Signal(abortFd_);
}

void TcpConnection::Close()
{
    if (fd_ < 0)
        return;
    if (tls_ && !aborted_.load())
        tls_->Shutdown();
    tls_.reset();
    ::shutdown(fd_, SHUT_WR);
    ::close(fd_);
    fd_ = -1;
    readBuf_.clear();
    readPos_ = 0;
}

std::string TcpConnection::PeerAddress() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return {};
    return NumericAddress(reinterpret_cast<sockaddr*>(&ss), len);
}

uint16_t TcpConnection::LocalPort() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return 0;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

// --- raw transport ---

long TcpConnection::RawRead(char* data, std::size_t size, int timeoutMs, std::string& error)
{
    if (aborted_.load() || fd_ < 0) {
        error = kConnectionAborted;
        return kIoError;
    }
    if (tls_)
        return tls_->Read(data, size, timeoutMs, error);
    return RetryIo(fd_, false, abortFd_, timeoutMs, error, [&] { return ::recv(fd_, data, size, 0); });
}

long TcpConnection::RawWrite(const char* data, std::size_t size, int timeoutMs, std::string& error)
{
    if (aborted_.load() || fd_ < 0) {
        error = kConnectionAborted;
        return kIoError;
    }
    if (tls_)
        return tls_->Write(data, size, timeoutMs, error);
    return RetryIo(fd_, true, abortFd_, timeoutMs, error,
                   [&] { return ::send(fd_, data, size, MSG_NOSIGNAL); });
}

// --- writing ---

void TcpConnection::Write(std::string_view data, int timeoutMs)
{
    while (!data.empty()) {
        std::string error;
        const long n = RawWrite(data.data(), data.size(), timeoutMs, error);
        if (n == kIoTimeout)
            throw ESocketTimeout("Write timed out.");
        if (n < 0)
            throw ESocketError(error);
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

void TcpConnection::WriteLine(std::string_view text, int timeoutMs)
{
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text).append("\r\n");
    Write(line, timeoutMs);
}

// --- TLS ---

void TcpConnection::StartTls(const TlsContext& context, int timeoutMs, const std::string& serverName)
{
    if (fd_ < 0 || aborted_.load())
        throw ESocketError(kConnectionAborted);
    if (tls_)
        throw ETlsError("TLS is already active on this connection.");
    readBuf_.clear();
    readPos_ = 0;
    skippingLine_ = false;
    tls_ = TlsSession::Handshake(context, fd_, abortFd_, serverName.empty() ? remoteHost_ : serverName,
                                 timeoutMs);
}

// --- buffer ---

void TcpConnection::CompactBuffer()
{
    if (readPos_ == 0)
        return;
    if (readPos_ >= readBuf_.size()) {
        readBuf_.clear();
    } else {
        readBuf_.erase(0, readPos_);
    }
    readPos_ = 0;
}

TcpConnection::Fill TcpConnection::FillBuffer(int timeoutMs)
{
    CompactBuffer();
    const std::size_t old = readBuf_.size();
    readBuf_.resize(old + kChunk);
    std::string error;
    const long n = RawRead(readBuf_.data() + old, kChunk, timeoutMs, error);
    readBuf_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n > 0)
        return Fill::Data;
    if (n == 0) {
        lastError_ = kConnectionClosedGracefully;
        return Fill::Closed;
    }
    if (n == kIoTimeout) {
        lastError_ = kReadTimedOut;
        return Fill::Timeout;
    }
    lastError_ = error;
    return Fill::Error;
}

ReadStatus TcpConnection::Fail(ReadStatus status, std::string text)
{
    lastError_ = std::move(text);
    return status;
}

} // namespace bm
