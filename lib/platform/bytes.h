// Byte and address helpers that do not differ between systems: the
// little-endian words of the protocol and IPv4 socket addresses.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

// Protocol words are little-endian on the wire.
inline void put_u32(void* p, std::uint32_t v) {
    auto* b = static_cast<unsigned char*>(p);
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
    b[2] = static_cast<unsigned char>(v >> 16);
    b[3] = static_cast<unsigned char>(v >> 24);
}

inline std::uint32_t get_u32(const void* p) {
    const auto* b = static_cast<const unsigned char*>(p);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

// n words one after the other, each little-endian, from p on.
inline void put_words(void* p, const std::uint32_t* words, int n) {
    for (int i = 0; i < n; ++i) put_u32(static_cast<unsigned char*>(p) + 4 * i, words[i]);
}

// An IPv4 socket address: ip_net in network order, port in host order.
inline VrnSockAddr vrn_sockaddr(std::uint32_t ip_net, std::uint16_t port) {
    VrnSockAddr a;
    std::memset(&a, 0, sizeof a);
    a.family = 2;
    a.port = plat_htons(port);
    a.addr = ip_net;
    return a;
}
