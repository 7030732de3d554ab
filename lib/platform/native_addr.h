// VrnSockAddr to and from the system's own sockaddr_in, which has the same
// fields on both systems: each side includes this after its socket headers.
#pragma once

#include <cstring>

#include "platform/platform.h"

template <typename SockaddrIn>
void to_native(const VrnSockAddr* in, SockaddrIn* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = in->port;
    out->sin_addr.s_addr = in->addr;
}

template <typename SockaddrIn>
void from_native(const SockaddrIn& in, VrnSockAddr* out) {
    std::memset(out, 0, sizeof *out);
    out->family = 2;
    out->port = in.sin_port;
    out->addr = in.sin_addr.s_addr;
}
