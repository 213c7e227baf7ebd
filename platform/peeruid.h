#pragma once
// Who is at the other end of a local TCP connection: Linux lists every TCP
// socket of the machine with its owner's uid in /proc/net/tcp and
// /proc/net/tcp6, so the socket a local client connected from tells which
// user runs that client.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace bm {

// The uid owning the TCP socket of this machine whose local address and
// port are address (numeric, IPv4 or IPv6) and port: for a client on this
// machine, its connecting socket. nullopt when no row matches (the peer is
// on another machine, or gone) or the tables cannot be read. Any thread.
std::optional<unsigned> TcpSocketOwnerUid(const std::string& address, uint16_t port);

// TcpSocketOwnerUid or a test's stand-in.
using TSocketOwnerLookup = std::function<std::optional<unsigned>(const std::string& address, uint16_t port)>;

// The rows of one /proc/net/tcp-style table (its text): the uid of the row
// whose local address is address:port. What TcpSocketOwnerUid reads.
std::optional<unsigned> FindSocketOwnerInTable(const std::string& table, const std::string& address,
                                               uint16_t port);

// The uid this process runs as.
unsigned CurrentUid();

} // namespace bm
