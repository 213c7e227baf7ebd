#include "tests/support/freeport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace bm::test {

std::uint16_t FindFreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("FindFreePort: socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    const int error = errno;
    ::close(fd);
    if (!ok)
        throw std::runtime_error(std::string("FindFreePort: bind: ") + std::strerror(error));
    return ntohs(addr.sin_port);
}

bool ForSomeFreePort(const std::function<bool(std::uint16_t port)>& check, int tries)
{
    for (int i = 0; i < tries; ++i) {
        if (check(FindFreePort()))
            return true;
    }
    return false;
}

namespace {

// A socket of the family bound to the loopback address and port (0: the
// kernel chooses), not listening; -1 with errno set when it cannot be bound.
int BindLoopback(int family, std::uint16_t port)
{
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int ok = -1;
    if (family == AF_INET) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } else {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_loopback;
        addr.sin6_port = htons(port);
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    if (ok != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::uint16_t BoundPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

} // namespace

TClosedPort::TClosedPort()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        v4_ = BindLoopback(AF_INET, 0);
        if (v4_ < 0)
            throw std::runtime_error(std::string("TClosedPort: bind: ") + std::strerror(errno));
        port_ = BoundPort(v4_);
        v6_ = BindLoopback(AF_INET6, port_);
        // No IPv6 loopback on this machine: nobody can listen on ::1 either.
        if (v6_ >= 0 || errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL)
            return;
        ::close(v4_); // taken on ::1 by someone: another port
        v4_ = -1;
    }
    throw std::runtime_error("TClosedPort: no port is free on both loopback addresses");
}

TClosedPort::~TClosedPort()
{
    if (v4_ >= 0)
        ::close(v4_);
    if (v6_ >= 0)
        ::close(v6_);
}

} // namespace bm::test
