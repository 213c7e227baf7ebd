// Reading the owner of a TCP socket from the kernel's socket tables.
#include "platform/peeruid.h"

#include <gtest/gtest.h>

#include <bit>

namespace bm {
namespace {

// Rows as /proc/net/tcp and /proc/net/tcp6 print them on a little-endian
// machine: 127.0.0.1:51234 (C822) of uid 1000, 127.0.0.1:8080 (1F90) of
// uid 0, and ::1:51234 of uid 1001.
constexpr const char* kTable =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:C822 0100007F:2AF8 01 00000000:00000000 00:00000000 00000000  1000        0 1 1 0\n"
    "   1: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 2 1 0\n"
    "   2: 00000000000000000000000001000000:C822 00000000000000000000000001000000:2AF8 01 "
    "00000000:00000000 00:00000000 00000000  1001        0 3 1 0\n"
    "   3: garbage\n";

struct OwnerCase {
    const char* name;
    std::string address;
    uint16_t port;
    std::optional<unsigned> uid;
};

class PeerUidTable : public testing::TestWithParam<OwnerCase> {};

TEST_P(PeerUidTable, FindsTheRowOfTheLocalAddress)
{
    if constexpr (std::endian::native != std::endian::little)
        GTEST_SKIP() << "the table rows are written for a little-endian machine";
    EXPECT_EQ(FindSocketOwnerInTable(kTable, GetParam().address, GetParam().port), GetParam().uid);
}

INSTANTIATE_TEST_SUITE_P(
    Platform, PeerUidTable,
    testing::Values(OwnerCase{"Ipv4Client", "127.0.0.1", 51234, 1000u},
                    OwnerCase{"Ipv4Listener", "127.0.0.1", 8080, 0u},
                    OwnerCase{"Ipv6Client", "::1", 51234, 1001u},
                    // The remote column is the server end, never the client.
                    OwnerCase{"RemoteColumnIgnored", "127.0.0.1", 11000, std::nullopt},
                    OwnerCase{"OtherPort", "127.0.0.1", 51235, std::nullopt},
                    OwnerCase{"OtherAddress", "127.0.0.2", 51234, std::nullopt},
                    OwnerCase{"NotAnAddress", "localhost", 51234, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace bm
