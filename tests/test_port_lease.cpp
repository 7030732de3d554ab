// The test servers' ports (support/port_lease.h): what keeps test processes
// run side by side off each other's ports.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "port_lease.h"

namespace {

using vrntest::bound_socket;
using vrntest::PortLease;

constexpr std::uint32_t kLoopback = 0x0100007fu;  // 127.0.0.1, network order

bool can_bind(std::uint16_t port) {
    vrn_socket s = bound_socket(kLoopback, port);
    if (s == VRN_NO_SOCKET) return false;
    plat_close_socket(s);
    return true;
}

// More bases than one block has, all held at once.
TEST(PortLease, BasesHeldAtOnceAreDistinctFreeAndTheirBlocksClaimed) {
    std::vector<PortLease> held(12);
    std::set<std::uint16_t> bases;
    for (const PortLease& l : held) {
        const std::uint16_t b = l.base();
        EXPECT_TRUE(bases.insert(b).second) << b << " handed out twice";
        EXPECT_TRUE((b >= 10000 && b + 3 <= 19999) || (b >= 30000 && b + 3 <= 32767))
            << b << ": into the scripts' ports or the ephemeral ones";
        EXPECT_EQ(b % 10, 0) << b;
        EXPECT_NE(b % 100, 0) << b << " is a block's claim";
        // No other process can take the block: its first port is bound here.
        EXPECT_FALSE(can_bind(std::uint16_t(b - b % 100))) << "block of " << b << " not claimed";
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(can_bind(std::uint16_t(b + i))) << "port " << b + i << " not free";
    }
}

TEST(PortLease, ABaseGivenBackComesLastAndNeverWhileAStrangerHoldsIt) {
    std::uint16_t given_back = PortLease().base();
    PortLease next;
    EXPECT_NE(next.base(), given_back) << "a base given back is used again before the others";
    // A process that outlived its block's claim (a simulator left behind)
    // holds a port of the base.
    vrn_socket stranger = bound_socket(kLoopback, std::uint16_t(given_back + 2));
    ASSERT_NE(stranger, VRN_NO_SOCKET);
    std::vector<PortLease> many(20);  // past the whole first block
    for (const PortLease& l : many) EXPECT_NE(l.base(), given_back);
    plat_close_socket(stranger);
}

}  // namespace
