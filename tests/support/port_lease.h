// Loopback ports for the test servers that no two test processes run side
// by side (ctest -j) are ever handed at once, for as long as each runs, a
// killed simulator's ports included.
//
// The ports come in blocks of 100 in 30000-32699 and 10000-19999 (below
// the systems' ephemeral ports, and away from the 20000s where the scripts
// start their simulators). A process that takes a block binds the block's first port
// and holds it to its end, so that no other process can take the block;
// inside it, bases at +10, +20 ... +90 (four ports each, so base+5 is
// nobody's) are leased to one user of the process at a time.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace vrntest {

class PortLease {
public:
    // A base whose four ports were free a moment ago; throws
    // std::runtime_error when every block is taken.
    PortLease();
    ~PortLease();  // the base goes back to the process's free bases
    PortLease(PortLease&& other) noexcept;
    PortLease& operator=(PortLease&& other) noexcept;
    PortLease(const PortLease&) = delete;
    PortLease& operator=(const PortLease&) = delete;

    std::uint16_t base() const { return base_; }
    // Keeps the base for the rest of the process (for a server whose end
    // the caller does not see) and returns it.
    std::uint16_t keep();

private:
    std::uint16_t base_ = 0;
};

// A non-blocking UDP socket bound to ip_net (network order) and port, or
// VRN_NO_SOCKET when the port is taken.
vrn_socket bound_socket(std::uint32_t ip_net, std::uint16_t port);

}  // namespace vrntest
