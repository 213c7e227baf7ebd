#include "platform/peeruid.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bm {

namespace {

// The kernel prints an address as its raw bytes read in 32-bit words of the
// machine's order ("0100007F" is 127.0.0.1 on a little-endian machine), and
// the port as a plain big-endian hex number.
bool ParseTableAddress(const std::string& text, std::array<unsigned char, 16>& bytes, std::size_t& size,
                       uint16_t& port)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos || (colon != 8 && colon != 32))
        return false;
    size = colon / 2;
    for (std::size_t word = 0; word < colon / 8; ++word) {
        uint32_t value = 0;
        try {
            value = static_cast<uint32_t>(std::stoul(text.substr(word * 8, 8), nullptr, 16));
        } catch (const std::exception&) {
            return false;
        }
        std::memcpy(bytes.data() + word * 4, &value, 4);
    }
    try {
        port = static_cast<uint16_t>(std::stoul(text.substr(colon + 1), nullptr, 16));
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool ParsePeerAddress(const std::string& address, std::array<unsigned char, 16>& bytes, std::size_t& size)
{
    if (::inet_pton(AF_INET, address.c_str(), bytes.data()) == 1) {
        size = 4;
        return true;
    }
    if (::inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1) {
        size = 16;
        return true;
    }
    return false;
}

} // namespace

std::optional<unsigned> FindSocketOwnerInTable(const std::string& table, const std::string& address, uint16_t port)
{
    std::array<unsigned char, 16> wanted{};
    std::size_t wantedSize = 0;
    if (!ParsePeerAddress(address, wanted, wantedSize))
        return std::nullopt;
    std::istringstream in(table);
    std::string line;
    std::getline(in, line);  // the column titles
    while (std::getline(in, line)) {
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned uid = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid))
            continue;
        std::array<unsigned char, 16> bytes{};
        std::size_t size = 0;
        uint16_t rowPort = 0;
        if (!ParseTableAddress(local, bytes, size, rowPort))
            continue;
        if (rowPort == port && size == wantedSize && std::memcmp(bytes.data(), wanted.data(), size) == 0)
            return uid;
    }
    return std::nullopt;
}

std::optional<unsigned> TcpSocketOwnerUid(const std::string& address, uint16_t port)
{
    // An IPv4 client of an IPv6 socket shows as ::ffff:a.b.c.d, and its own
    // socket may be listed in either table under either form.
    std::string v4;
    if (address.starts_with("::ffff:") && address.find('.') != std::string::npos)
        v4 = address.substr(7);
    for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(file);
        if (!in)
            continue;
        std::ostringstream text;
        text << in.rdbuf();
        if (auto uid = FindSocketOwnerInTable(text.str(), address, port))
            return uid;
        if (!v4.empty())
            if (auto uid = FindSocketOwnerInTable(text.str(), v4, port))
                return uid;
    }
    return std::nullopt;
}

unsigned CurrentUid()
{
    return static_cast<unsigned>(::getuid());
}

} // namespace bm
