// Network byte order, written once for every system: the bytes of a value
// most significant first, whatever order the host keeps them in.
#include <cstring>

#include "platform/platform.h"

std::uint16_t plat_htons(std::uint16_t v) {
    const unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    std::uint16_t r;
    std::memcpy(&r, b, sizeof r);
    return r;
}

std::uint32_t plat_htonl(std::uint32_t v) {
    const unsigned char b[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
    std::uint32_t r;
    std::memcpy(&r, b, sizeof r);
    return r;
}

// Swapping is its own inverse.
std::uint32_t plat_ntohl(std::uint32_t v) { return plat_htonl(v); }
