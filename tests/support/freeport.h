#pragma once
// Free loopback TCP ports for test peers.

#include <cstdint>

namespace bm::test {

// A TCP port on 127.0.0.1 that was free a moment ago: binds port 0, reads the
// port the kernel chose and closes the socket. Another process may take it before
// the caller binds it; the ephemeral range makes that unlikely within a test.
// Throws std::runtime_error when no socket can be bound. Any thread.
std::uint16_t FindFreePort();

} // namespace bm::test
