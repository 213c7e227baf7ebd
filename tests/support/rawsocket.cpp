#include "tests/support/rawsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bm::test {

RawConnection::RawConnection(std::uint16_t port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

RawConnection::~RawConnection()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool RawConnection::Send(const std::string& bytes)
{
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

std::string RawConnection::ReadLine(std::chrono::milliseconds timeout, std::size_t limit)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0) {
        const std::size_t lf = buffer_.find('\n');
        if (lf != std::string::npos || buffer_.size() >= limit) {
            const std::size_t take = lf != std::string::npos ? lf + 1 : limit;
            std::string line = buffer_.substr(0, take);
            buffer_.erase(0, take);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return {};
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return {};
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    return {};
}

} // namespace bm::test
