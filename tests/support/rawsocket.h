#pragma once
// Plain blocking loopback sockets for fixtures and smoke tests that talk to the
// test peers directly (not the product's own socket layer).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bm::test {

// An open TCP connection to 127.0.0.1:port, closed on destruction.
class RawConnection {
public:
    // Connects; Ok() tells whether it worked.
    explicit RawConnection(std::uint16_t port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // Writes all bytes; false on error.
    bool Send(const std::string& bytes);
    // One line up to and including LF, at most `limit` bytes; "" on time-out,
    // error or end of stream.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10),
                         std::size_t limit = 4096);

private:
    int fd_ = -1;
    std::string buffer_;
};

} // namespace bm::test
