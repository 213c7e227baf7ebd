// TcpListener and TestPort.

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/pollwaitU.h"
#include "net/socketU.h"

namespace bm {

using namespace netdetail;

namespace {

constexpr int kBacklog = 64;

struct BindAddress {
    sockaddr_storage ss{};
    socklen_t len = 0;
};

// Parses a literal bind address; kAnyAddress is the IPv6 any address, which
// also takes IPv4 clients (IPV6_V6ONLY off), or 0.0.0.0 when IPv6 is absent.
BindAddress ParseBindAddress(const std::string& address, uint16_t port, bool ipv6Any)
{
    BindAddress b;
    std::string host = address == "localhost" ? kLoopbackAddress : address;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&b.ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&b.ss);
    if (host == kAnyAddress && ipv6Any) {
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
    } else if (host == kAnyAddress) {
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
    } else {
        throw ESocketError("Invalid listen address: " + address);
    }
    if (b.ss.ss_family == AF_INET6) {
        v6->sin6_port = htons(port);
        b.len = sizeof(sockaddr_in6);
    } else {
        v4->sin_port = htons(port);
        b.len = sizeof(sockaddr_in);
    }
    return b;
}

std::string ListenFailure(const std::string& address, uint16_t port, int e)
{
    if (e == EADDRINUSE)
        return "Could not bind socket. Address and port are already in use.";
    return ErrnoText("Cannot listen on " + address + ":" + std::to_string(port), e);
}

// A listening socket, or -1 with errno set.
int OpenListening(const BindAddress& b)
{
    const int fd = ::socket(b.ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    const int zero = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (b.ss.ss_family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&b.ss), b.len) != 0 || ::listen(fd, kBacklog) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

uint16_t BoundPort(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

std::string PeerHost(const sockaddr_storage& ss, socklen_t len)
{
    char host[NI_MAXHOST] = "";
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&ss), len, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return {};
    return host;
}

// accept(2) failures that concern one client only: try the next.
bool IsTransientAcceptError(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR || e == ECONNABORTED || e == EPROTO ||
           e == ENETDOWN || e == ENOPROTOOPT || e == EHOSTDOWN || e == ENONET || e == EHOSTUNREACH ||
           e == EOPNOTSUPP || e == ENETUNREACH;
}

} // namespace

TcpListener::TcpListener(uint16_t port, const std::string& address) : address_(address)
{
    fd_ = OpenListening(ParseBindAddress(address, port, true));
    if (fd_ < 0 && address == kAnyAddress && errno == EAFNOSUPPORT)
        fd_ = OpenListening(ParseBindAddress(address, port, false));
    if (fd_ < 0)
        throw ESocketError(ListenFailure(address, port, errno));
    port_ = BoundPort(fd_);
    try {
        stopFd_ = MakeWakeFd();
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

TcpListener::~TcpListener()
{
    ::close(fd_);
    ::close(stopFd_);
}

void TcpListener::Stop()
{
    stopped_.store(true);
    Signal(stopFd_);
}

std::unique_ptr<TcpConnection> TcpListener::Accept(int timeoutMs)
{
    for (;;) {
        if (stopped_.load())
            return nullptr;
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            return std::make_unique<TcpConnection>(fd, PeerHost(ss, len));
        if (!IsTransientAcceptError(errno))
            throw ESocketError(ErrnoText("Accept failed", errno));
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            continue;
        std::string error;
        switch (WaitFd(fd_, false, stopFd_, timeoutMs, error)) {
        case Wait::Ready: continue;
        case Wait::Timeout: return nullptr;
        case Wait::Aborted: return nullptr;
        case Wait::Error: throw ESocketError(error);
        }
    }
}

std::string TcpListener::BoundAddress() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    char host[NI_MAXHOST] = "";
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0 ||
        ::getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return {};
    const std::string port = ":" + std::to_string(port_);
    return ss.ss_family == AF_INET6 ? "[" + std::string(host) + "]" + port : host + port;
}

bool TestPort(uint16_t port, const std::string& address)
{
    try {
        TcpListener probe(port, address);
        return true;
    } catch (const ESocketError&) {
        return false;
    }
}

} // namespace bm
