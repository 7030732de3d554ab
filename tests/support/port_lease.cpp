// The test processes' port blocks: claimed with a held socket, bases leased
// first in, first out, so that a base given back is used again as late as
// possible.
#include "port_lease.h"

#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>

#include "platform/bytes.h"

namespace vrntest {

namespace {

constexpr std::uint32_t kLoopback = 0x0100007fu;  // 127.0.0.1, network order
// 30000-32699 (the ephemeral ports start at 32768 on Linux, 49152 on
// Windows), then 10000-19999: with the scripts in the 20000s between, a
// few suites run at once still find blocks.
constexpr int kBlockPorts = 100;
constexpr int kHighFirst = 30000, kHighBlocks = 27;
constexpr int kLowFirst = 10000, kLowBlocks = 100;
constexpr int kBlocks = kHighBlocks + kLowBlocks;
constexpr int kBaseStep = 10;

int block_first_port(int block) {
    return block < kHighBlocks ? kHighFirst + kBlockPorts * block : kLowFirst + kBlockPorts * (block - kHighBlocks);
}

// "first-last" of a range of blocks, for the message of an empty pool.
std::string block_range(int first, int blocks) {
    return std::to_string(first) + "-" + std::to_string(first + blocks * kBlockPorts - 1);
}

struct Pool {
    std::mutex mu;
    std::deque<std::uint16_t> free;
    int next_block = -1;
    int blocks_tried = 0;
};

// Never destroyed: a lease may go back during the process's exit.
Pool& pool() {
    static Pool* p = [] {
        plat_net_start();  // never stopped: the held sockets live to the end
        return new Pool;
    }();
    return *p;
}

// Takes the next block no other process holds; false when none is left.
// The socket bound to its first port is never closed.
bool claim_block(Pool& p) {
    if (p.next_block < 0) p.next_block = static_cast<int>(std::random_device{}() % kBlocks);
    for (; p.blocks_tried < kBlocks; ++p.blocks_tried) {
        const int first = block_first_port((p.next_block + p.blocks_tried) % kBlocks);
        if (bound_socket(kLoopback, static_cast<std::uint16_t>(first)) == VRN_NO_SOCKET) continue;
        for (int b = first + kBaseStep; b < first + kBlockPorts; b += kBaseStep) p.free.push_back(static_cast<std::uint16_t>(b));
        ++p.blocks_tried;
        return true;
    }
    return false;
}

// Whether base..base+3 can be bound now (a simulator left behind by a
// process that ended holds its ports past the end of its block's claim).
bool ports_free(std::uint16_t base) {
    vrn_socket s[4];
    int bound = 0;
    while (bound < 4 && (s[bound] = bound_socket(kLoopback, static_cast<std::uint16_t>(base + bound))) != VRN_NO_SOCKET)
        ++bound;
    for (int i = 0; i < bound; ++i) plat_close_socket(s[i]);
    return bound == 4;
}

}  // namespace

vrn_socket bound_socket(std::uint32_t ip_net, std::uint16_t port) {
    vrn_socket s = plat_udp_socket();
    if (s == VRN_NO_SOCKET) return s;
    VrnSockAddr a = vrn_sockaddr(ip_net, port);
    if (plat_bind(s, &a) != 0) {
        plat_close_socket(s);
        return VRN_NO_SOCKET;
    }
    plat_set_nonblocking(s, 1);
    return s;
}

PortLease::PortLease() {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mu);
    while (base_ == 0) {
        if (p.free.empty() && !claim_block(p))
            throw std::runtime_error("no free block of test ports in " + block_range(kLowFirst, kLowBlocks) + " and " +
                                     block_range(kHighFirst, kHighBlocks));
        const std::uint16_t b = p.free.front();
        p.free.pop_front();
        if (ports_free(b)) base_ = b;  // else left out for good
    }
}

PortLease::~PortLease() {
    if (base_ == 0) return;
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mu);
    p.free.push_back(base_);
}

PortLease::PortLease(PortLease&& other) noexcept : base_(other.base_) { other.base_ = 0; }

PortLease& PortLease::operator=(PortLease&& other) noexcept {
    if (this != &other) {
        PortLease old(std::move(*this));
        base_ = other.base_;
        other.base_ = 0;
    }
    return *this;
}

std::uint16_t PortLease::keep() {
    const std::uint16_t b = base_;
    base_ = 0;
    return b;
}

}  // namespace vrntest
