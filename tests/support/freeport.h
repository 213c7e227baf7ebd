#pragma once
// Free loopback TCP ports for test peers.

#include <cstdint>
#include <functional>

namespace bm::test {

// A TCP port on 127.0.0.1 that was free a moment ago: binds port 0, reads the
// port the kernel chose and closes the socket. Another process may take it before
// the caller binds it; the ephemeral range makes that unlikely within a test.
// Throws std::runtime_error when no socket can be bound. Any thread.
std::uint16_t FindFreePort();

// True when check(port) holds for one of a few ports that were free a moment
// ago: a check that needs the port to stay free (a port test, a server to
// start on it) is tried again on another port when some other process took
// the first one meanwhile, while a check that is wrong fails every try.
bool ForSomeFreePort(const std::function<bool(std::uint16_t port)>& check, int tries = 5);

// A loopback port where nothing listens, for as long as this object lives:
// it holds the port bound on 127.0.0.1 (and on ::1 where that exists)
// without listening, so a connection is refused at once and no other
// process can start listening there meanwhile. Throws std::runtime_error
// when no such port is found.
class TClosedPort {
public:
    TClosedPort();
    ~TClosedPort();
    TClosedPort(const TClosedPort&) = delete;
    TClosedPort& operator=(const TClosedPort&) = delete;

    std::uint16_t Port() const { return port_; }
    operator std::uint16_t() const { return port_; }

private:
    int v4_ = -1;
    int v6_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace bm::test
