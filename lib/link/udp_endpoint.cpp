// The UDP endpoint: open and close, the peer table, send-all and
// receive-all, and the one receive that takes only the module's datagrams.
#include "link/udp_endpoint.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/bytes.h"

PeerEntry g_peer_table[UDP_FIXED_SOCKETS];
int g_udp_error_counter = 0;

namespace {

int s_echo_probe = 0;
std::FILE* s_counter_output = nullptr;
// Per thread: modules opened side by side each learn their own reason.
thread_local char s_open_failure[160] = "";

constexpr int DRAIN_BUFFER = 2048;
constexpr int DRAIN_LIMIT = 100000;  // bounds a drain against a flooding sender

void close_made(vrn_socket* socks, int n) {
    for (int i = 0; i < n; ++i)
        if (socks[i] != VRN_NO_SOCKET) plat_close_socket(socks[i]);
}

int send_in(PeerEntry* peers, vrn_socket s, const void* data, int count);
int recv_in(PeerEntry* peers, int* counter, vrn_socket s, void* buf, int count, UdpRecvNotes* notes, long wait_ms);

// 0 when the module echoed the pattern; otherwise -1 with the reason noted.
int echo_probe(UdpEndpoint* ep, vrn_socket s) {
    unsigned char buf[UDP_PROBE_BYTES];
    udp_probe_datagram(buf);
    bool answered = false;
    for (int attempt = 0; attempt < UDP_PROBE_ATTEMPTS; ++attempt) {
        unsigned char retbuf[UDP_PROBE_BYTES];
        std::memset(retbuf, 0, sizeof retbuf);
        udp_drain(s);
        udp_ep_send_all(ep, s, buf, UDP_PROBE_BYTES);
        int got = udp_ep_recv_all(ep, s, retbuf, UDP_PROBE_BYTES, nullptr, UDP_WAIT_SECONDS * 1000);
        if (got == UDP_PROBE_BYTES && std::memcmp(retbuf, buf, UDP_PROBE_BYTES) == 0) return 0;
        answered = answered || got > 0;
    }
    udp_note_open_failure(answered ? "wrong answer to the echo probe" : "no answer to the echo probe", 0);
    return -1;
}

// Socket i of an endpoint: made, bound and sized as every one of them is.
vrn_socket make_endpoint_socket(const char* ip_text, std::uint16_t port, int i) {
    vrn_socket s = udp_make_socket(ip_text, port);
    if (s == VRN_NO_SOCKET) return s;
    // An ephemeral local port on every interface: binding to the module's
    // own address would make a local socket talk to itself.
    VrnSockAddr any = vrn_sockaddr(0, 0);
    plat_bind(s, &any);
    // The traffic sockets take bursts; the unused first one keeps the default.
    if (i >= 1) plat_set_rcvbuf(s, UDP_RCVBUF_BYTES);
    return s;
}

}  // namespace

const char* udp_socket_error_text(int error) {
    switch (error) {
    case VRN_WSAEINVAL: return "invalid argument";
    case VRN_WSAEMFILE: return "too many open files";
    case VRN_WSAENOTSOCK: return "not a socket";
    case VRN_WSAEADDRINUSE: return "address in use";
    case VRN_WSAEADDRNOTAVAIL: return "address not available";
    case VRN_WSAENETUNREACH: return "network unreachable";
    case VRN_WSAECONNRESET: return "port unreachable";
    case VRN_WSAENOBUFS: return "no buffer space";
    case VRN_WSAEHOSTUNREACH: return "host unreachable";
    default: return "socket error";
    }
}

void udp_set_error_counter_output(std::FILE* out) { s_counter_output = out; }

void udp_probe_datagram(unsigned char* buf) { put_words(buf, UDP_PROBE_PATTERN, 4); }

void udp_set_echo_probe(int enabled) { s_echo_probe = enabled ? 1 : 0; }

const char* udp_open_failure() { return s_open_failure; }

void udp_note_open_failure(const char* what, int error) {
    if (error != 0) {
        std::snprintf(s_open_failure, sizeof s_open_failure, "%s: %s (%d)", what, udp_socket_error_text(error), error);
    } else {
        std::snprintf(s_open_failure, sizeof s_open_failure, "%s", what);
    }
}
int udp_echo_probe_enabled() { return s_echo_probe; }

vrn_socket udp_make_socket(const char*, std::uint16_t) {
    vrn_socket s = plat_udp_socket();
    if (s == VRN_NO_SOCKET) return VRN_NO_SOCKET;
    if (plat_set_nonblocking(s, 1) != 0 || plat_wait_writable(s, UDP_MAKE_WAIT_SECONDS, 0) <= 0) {
        plat_close_socket(s);
        return VRN_NO_SOCKET;
    }
    return s;
}

namespace {

// Clears every entry of the table that names one of the n sockets: their
// descriptors may come back as another socket, which must not find them.
void forget_sockets(PeerEntry* table, const vrn_socket* socks, int n) {
    for (int k = 0; k < UDP_FIXED_SOCKETS; ++k)
        for (int i = 0; i < n; ++i)
            if (table[k].socket == socks[i]) table[k].socket = VRN_NO_SOCKET;
}

UdpEndpoint* ep_open(const char* address, bool own, bool probe) {
    s_open_failure[0] = '\0';
    if (!address) return nullptr;
    // The working copy holds 63 characters and a terminator; longer text
    // and text without a port are refused rather than overflowed or guessed.
    std::size_t len = std::strlen(address);
    char ip[UDP_ADDRESS_BUFFER];
    char* colon = nullptr;
    if (len < static_cast<std::size_t>(UDP_ADDRESS_BUFFER)) {
        std::memcpy(ip, address, len + 1);
        colon = std::strchr(ip, ':');
    }
    if (!colon) {
        udp_note_open_failure("address is not <ip>:<port> of at most 63 characters", 0);
        return nullptr;
    }
    *colon = '\0';
    std::uint16_t port = static_cast<std::uint16_t>(std::atoi(colon + 1));

    auto* ep = new (std::nothrow) UdpEndpoint;
    if (!ep) {
        udp_note_open_failure("out of memory", 0);
        return nullptr;
    }
    std::memset(ep, 0, sizeof *ep);
    ep->peers = own ? ep->own_peers : g_peer_table;
    ep->error_counter = own ? &ep->own_error_counter : &g_udp_error_counter;
    for (auto& p : ep->own_peers) p.socket = VRN_NO_SOCKET;
    if (plat_net_start() != 0) {
        udp_note_open_failure("socket library did not start", plat_last_error());
        delete ep;
        return nullptr;
    }
    for (auto& r : ep->retired) r = VRN_NO_SOCKET;
    for (auto& r : ep->spare) r = VRN_NO_SOCKET;
    for (auto& r : ep->flight) r = VRN_NO_SOCKET;
    std::memcpy(ep->ip_text, ip, std::strlen(ip));
    ep->base_port = port;
    ep->next_port = port;
    ep->stream_sock = VRN_NO_SOCKET;
    for (auto& c : ep->chan_sock) c = VRN_NO_SOCKET;
    for (auto& f : ep->fixed_sock) f = VRN_NO_SOCKET;

    std::uint32_t module_ip = plat_inet_addr(ep->ip_text);
    PeerEntry fresh[UDP_FIXED_SOCKETS];
    for (int i = 0; i < UDP_FIXED_SOCKETS; ++i) {
        std::uint16_t p = static_cast<std::uint16_t>(port + i);
        vrn_socket s = make_endpoint_socket(ep->ip_text, p, i);
        if (s == VRN_NO_SOCKET) {
            udp_note_open_failure("cannot make a UDP socket", plat_last_error());
            close_made(ep->fixed_sock, i);
            plat_net_stop();
            delete ep;
            return nullptr;
        }
        ep->fixed_sock[i] = s;
        fresh[i].socket = s;
        fresh[i].peer = vrn_sockaddr(module_ip, p);
        fresh[i].module_ip = module_ip;
        ++ep->next_port;
    }
    // A failed probe gives the table back as it was: the endpoint opened
    // before keeps exchanging, and no entry names a socket closed here, whose
    // descriptor the system may hand to the next socket or file.
    PeerEntry before[UDP_FIXED_SOCKETS];
    std::memcpy(before, ep->peers, sizeof before);
    std::memcpy(ep->peers, fresh, sizeof fresh);

    if (probe && echo_probe(ep, ep->fixed_sock[1]) != 0) {
        close_made(ep->fixed_sock, UDP_FIXED_SOCKETS);
        std::memcpy(ep->peers, before, sizeof before);
        plat_net_stop();
        delete ep;
        return nullptr;
    }
    return ep;
}

}  // namespace

UdpEndpoint* udp_ep_open(const char* address, int) { return ep_open(address, false, s_echo_probe != 0); }

UdpEndpoint* udp_ep_open_own(const char* address, int echo_probe) { return ep_open(address, true, echo_probe != 0); }

void udp_peer_save(PeerEntry* saved) {
    for (int i = 0; i < UDP_FIXED_SOCKETS; ++i) saved[i] = g_peer_table[i];
}

void udp_peer_restore(const PeerEntry* saved) {
    for (int i = 0; i < UDP_FIXED_SOCKETS; ++i) g_peer_table[i] = saved[i];
}

int udp_ep_close(UdpEndpoint* ep) {
    if (!ep) return -1;
    vrn_socket closed[UDP_FIXED_SOCKETS + 1 + UDP_CHAN_SOCKETS + UDP_RETIRED_SOCKETS + UDP_SPARE_SOCKETS +
                      UDP_FLIGHT_SOCKETS];
    int n = 0;
    auto close_once = [&](vrn_socket s) {
        if (s == VRN_NO_SOCKET) return;
        for (int i = 0; i < n; ++i)
            if (closed[i] == s) return;
        plat_close_socket(s);
        closed[n++] = s;
    };
    for (vrn_socket s : ep->fixed_sock) close_once(s);
    close_once(ep->stream_sock);
    for (vrn_socket s : ep->chan_sock) close_once(s);
    for (vrn_socket s : ep->retired) close_once(s);
    for (vrn_socket s : ep->spare) close_once(s);
    for (vrn_socket s : ep->flight) close_once(s);
    // The entries go with the sockets.
    forget_sockets(ep->peers, closed, n);
    delete ep;
    plat_net_stop();
    return 0;
}

int udp_peer_find_in(const PeerEntry* table, vrn_socket s) {
    if (s == VRN_NO_SOCKET) return -1;
    for (int i = 0; i < UDP_FIXED_SOCKETS; ++i)
        if (table[i].socket == s) return i;
    return -1;
}

int udp_peer_find(vrn_socket s) { return udp_peer_find_in(g_peer_table, s); }

namespace {

int source_accepted(const PeerEntry* table, int peer_index, const VrnSockAddr* from) {
    if (peer_index < 0 || peer_index >= UDP_FIXED_SOCKETS || !from) return 0;
    return from->addr == table[peer_index].module_ip ? 1 : 0;
}

}  // namespace

int udp_source_accepted(int peer_index, const VrnSockAddr* from) {
    return source_accepted(g_peer_table, peer_index, from);
}

int udp_drain(vrn_socket s) {
    unsigned char scratch[DRAIN_BUFFER];
    int dropped = 0;
    for (int i = 0; i < DRAIN_LIMIT; ++i) {
        VrnSockAddr from;
        int n = plat_recvfrom(s, scratch, sizeof scratch, &from);
        if (n >= 0) {
            ++dropped;
            continue;
        }
        int err = plat_last_error();
        // An oversized datagram or an ICMP report is consumed all the same.
        if (err == VRN_WSAEMSGSIZE || err == VRN_WSAECONNRESET) continue;
        break;
    }
    return dropped;
}

namespace {

void release_held_at(UdpEndpoint* ep, int k) {
    if (ep->retired[k] == VRN_NO_SOCKET) return;
    plat_close_socket(ep->retired[k]);
    ep->retired[k] = VRN_NO_SOCKET;
    --ep->held;
}

// A new socket for the place of socket i. Out of descriptors, the held
// sockets make room, oldest first: a port let go early still protects more
// than a command socket that can no longer be replaced at all.
vrn_socket make_with_room(UdpEndpoint* ep, int i) {
    for (int k = 0;; ++k) {
        const vrn_socket s = make_endpoint_socket(ep->ip_text, static_cast<std::uint16_t>(ep->base_port + i), i);
        if (s != VRN_NO_SOCKET || plat_last_error() != VRN_WSAEMFILE) return s;
        // Held in order of age from retired_next on.
        while (k < UDP_RETIRED_SOCKETS && ep->retired[(ep->retired_next + k) % UDP_RETIRED_SOCKETS] == VRN_NO_SOCKET)
            ++k;
        if (k == UDP_RETIRED_SOCKETS) return VRN_NO_SOCKET;
        release_held_at(ep, (ep->retired_next + k) % UDP_RETIRED_SOCKETS);
    }
}

// Holds a socket taken out of use (see udp_replace_socket) in the place of
// the oldest held; that place must be free.
void hold(UdpEndpoint* ep, vrn_socket old) {
    ep->retired[ep->retired_next] = old;
    ep->retired_ms[ep->retired_next] = plat_tick_ms();
    ++ep->held;
    ep->retired_next = (ep->retired_next + 1) % UDP_RETIRED_SOCKETS;
}

// Puts s in the place of socket i of the endpoint, for the peer table and
// the channel entries too; the socket it replaces.
vrn_socket put_in_place(UdpEndpoint* ep, int i, vrn_socket s) {
    const vrn_socket old = ep->fixed_sock[i];
    const int peer = udp_peer_find_in(ep->peers, old);
    // An entry that already names the new descriptor is stale (its socket
    // was closed): the new socket takes only the entry the old one held.
    forget_sockets(ep->peers, &s, 1);
    if (peer >= 0) ep->peers[peer].socket = s;
    for (auto& c : ep->chan_sock)
        if (c == old) c = s;
    ep->fixed_sock[i] = s;
    return old;
}

}  // namespace

int udp_release_held(UdpEndpoint* ep) {
    // Every exchange asks: a clean link holds none, and costs no scan.
    if (!ep || ep->held == 0) return 0;
    const std::uint32_t now = plat_tick_ms();
    int held = 0;
    for (int k = 0; k < UDP_RETIRED_SOCKETS; ++k) {
        if (ep->retired[k] == VRN_NO_SOCKET) continue;
        if (now - ep->retired_ms[k] >= UDP_RETIRED_HOLD_MS) release_held_at(ep, k);
        else ++held;
    }
    return held;
}

int udp_newest_held(const UdpEndpoint* ep, std::uint32_t* held_ms) {
    if (!ep) return -1;
    const int slot = (ep->retired_next + UDP_RETIRED_SOCKETS - 1) % UDP_RETIRED_SOCKETS;
    if (ep->retired[slot] == VRN_NO_SOCKET) return -1;
    if (held_ms) *held_ms = ep->retired_ms[slot];
    return slot;
}

int udp_drain_held(UdpEndpoint* ep, int slot, std::uint32_t held_ms) {
    if (!ep || slot < 0 || slot >= UDP_RETIRED_SOCKETS) return -1;
    if (ep->retired[slot] == VRN_NO_SOCKET || ep->retired_ms[slot] != held_ms) return -1;
    return udp_drain(ep->retired[slot]);
}

int udp_rotate_socket(UdpEndpoint* ep, int i) {
    if (!ep || i < 0 || i >= UDP_FIXED_SOCKETS) return -1;
    vrn_socket& spare = ep->spare[ep->spare_next];
    if (spare == VRN_NO_SOCKET) {
        spare = make_with_room(ep, i);
        if (spare == VRN_NO_SOCKET) return -1;
    }
    spare = put_in_place(ep, i, spare);
    ep->spare_next = (ep->spare_next + 1) % UDP_SPARE_SOCKETS;
    return 0;
}

int udp_replace_socket(UdpEndpoint* ep, int i) {
    if (!ep || i < 0 || i >= UDP_FIXED_SOCKETS) return -1;
    // Those held long enough, and the oldest when all places are taken,
    // make room before the new socket is made, not after.
    udp_release_held(ep);
    release_held_at(ep, ep->retired_next);
    const vrn_socket s = make_with_room(ep, i);
    if (s == VRN_NO_SOCKET) return -1;
    hold(ep, put_in_place(ep, i, s));
    return 0;
}

vrn_socket udp_flight_socket(UdpEndpoint* ep, int k) {
    if (!ep || k < 0 || k >= UDP_FLIGHT_SOCKETS) return VRN_NO_SOCKET;
    if (ep->flight[k] == VRN_NO_SOCKET) ep->flight[k] = make_with_room(ep, 1);
    return ep->flight[k];
}

int udp_flight_send(UdpEndpoint* ep, int k, const void* data, int count) {
    const vrn_socket s = udp_flight_socket(ep, k);
    const int peer = ep ? udp_peer_find_in(ep->peers, ep->fixed_sock[1]) : -1;
    if (s == VRN_NO_SOCKET || peer < 0) return -1;
    int n = plat_sendto(s, data, count, &ep->peers[peer].peer);
    if (n < 0 && plat_last_error() == VRN_WSAEWOULDBLOCK && plat_wait_writable(s, UDP_WAIT_SECONDS, 0) > 0)
        n = plat_sendto(s, data, count, &ep->peers[peer].peer);
    return n == count ? 0 : -1;
}

int udp_flight_take(UdpEndpoint* ep, int k, void* buf, int size, UdpRecvNotes* notes) {
    if (!ep || k < 0 || k >= UDP_FLIGHT_SOCKETS || ep->flight[k] == VRN_NO_SOCKET) return -1;
    const int peer = udp_peer_find_in(ep->peers, ep->fixed_sock[1]);
    if (peer < 0) return -1;
    for (int dropped = 0; dropped < DRAIN_LIMIT; ++dropped) {
        unsigned char datagram[DRAIN_BUFFER];
        VrnSockAddr from{};
        const int n = plat_recvfrom(ep->flight[k], datagram, sizeof datagram, &from);
        const int err = n < 0 ? plat_last_error() : 0;
        if (n < 0 && err == VRN_WSAEWOULDBLOCK) return 0;
        if (n < 0 && err != VRN_WSAEMSGSIZE) {
            // A report that an earlier datagram found nobody is no answer.
            if (err == VRN_WSAECONNRESET) continue;
            return -1;
        }
        if (!source_accepted(ep->peers, peer, &from)) {
            if (notes) ++notes->strangers;
            continue;
        }
        if (n < 0 || n > size) return size + 1;
        std::memcpy(buf, datagram, static_cast<std::size_t>(n));
        return n;
    }
    return 0;
}

int udp_flight_replace(UdpEndpoint* ep, int k) {
    if (!ep || k < 0 || k >= UDP_FLIGHT_SOCKETS) return -1;
    udp_release_held(ep);
    release_held_at(ep, ep->retired_next);
    const vrn_socket s = make_with_room(ep, 1);
    if (ep->flight[k] != VRN_NO_SOCKET) hold(ep, ep->flight[k]);
    ep->flight[k] = s;
    return s == VRN_NO_SOCKET ? -1 : 0;
}

int udp_send_all(vrn_socket s, const void* data, int count, int) { return send_in(g_peer_table, s, data, count); }

int udp_ep_send_all(UdpEndpoint* ep, vrn_socket s, const void* data, int count) {
    return ep ? send_in(ep->peers, s, data, count) : -1;
}

namespace {

int send_in(PeerEntry* peers, vrn_socket s, const void* data, int count) {
    int idx = udp_peer_find_in(peers, s);
    if (idx < 0) return -1;
    const auto* p = static_cast<const unsigned char*>(data);
    int remaining = count;
    while (remaining > 0) {
        // A datagram socket is nearly always writable: try first, and spend
        // the wait for writability only when the send would block.
        int n = plat_sendto(s, p, remaining, &peers[idx].peer);
        if (n < 0 && plat_last_error() == VRN_WSAEWOULDBLOCK) {
            if (plat_wait_writable(s, UDP_WAIT_SECONDS, 0) == 0) return 0;
            n = plat_sendto(s, p, remaining, &peers[idx].peer);
        }
        if (n < 0) return plat_last_error() == VRN_WSAEWOULDBLOCK ? 0 : -1;
        p += n;
        remaining -= n;
    }
    return count - remaining;
}

}  // namespace

UdpDeadline udp_deadline(long budget_ms) { return UdpDeadline{plat_tick_ms(), budget_ms}; }

long udp_ms_left(const UdpDeadline& d) {
    long spent = static_cast<long>(static_cast<std::uint32_t>(plat_tick_ms() - d.start));
    return spent >= d.budget_ms ? 0 : d.budget_ms - spent;
}

int udp_wait_readable_ms(vrn_socket s, long ms) { return plat_wait_readable(s, ms / 1000, (ms % 1000) * 1000); }

UdpModuleWait udp_module_wait(vrn_socket s, int peer, long budget_ms, unsigned* strangers, unsigned stranger_limit,
                              const PeerEntry* table) {
    return UdpModuleWait{s, table, peer, udp_deadline(budget_ms), stranger_limit, strangers, false};
}

int udp_recv_from_module(UdpModuleWait* w, void* buf, int len, bool wait, VrnSockAddr* from, int* err) {
    for (unsigned dropped = 0;; wait = true) {
        if (wait) {
            const long left = udp_ms_left(w->deadline);
            const bool passed = w->waited && left == 0;
            w->waited = true;
            if (passed || udp_wait_readable_ms(w->socket, left) == 0) {
                *err = VRN_WSAEWOULDBLOCK;
                return -1;
            }
        }
        std::memset(from, 0, sizeof *from);
        const int n = plat_recvfrom(w->socket, buf, len, from);
        *err = n < 0 ? plat_last_error() : 0;
        if (n < 0 && *err == VRN_WSAEWOULDBLOCK) return -1;
        // Only the module's address may answer; anyone else's datagram (an
        // oversized one included) is no part of the answer.
        if ((n >= 0 || *err == VRN_WSAEMSGSIZE) && !source_accepted(w->table, w->peer, from)) {
            ++*w->strangers;
            if (++dropped > w->stranger_limit) {
                *err = VRN_WSAEWOULDBLOCK;
                return -1;
            }
            continue;
        }
        return n;
    }
}

int udp_recv_all(vrn_socket s, void* buf, int count, int) {
    return udp_recv_all_noted(s, buf, count, nullptr, UDP_WAIT_SECONDS * 1000);
}

int udp_recv_all_noted(vrn_socket s, void* buf, int count, UdpRecvNotes* notes, long wait_ms) {
    return recv_in(g_peer_table, &g_udp_error_counter, s, buf, count, notes, wait_ms);
}

int udp_ep_recv_all(UdpEndpoint* ep, vrn_socket s, void* buf, int count, UdpRecvNotes* notes, long wait_ms) {
    return ep ? recv_in(ep->peers, ep->error_counter, s, buf, count, notes, wait_ms) : -1;
}

namespace {

int recv_in(PeerEntry* peers, int* counter, vrn_socket s, void* buf, int count, UdpRecvNotes* notes, long wait_ms) {
    int idx = udp_peer_find_in(peers, s);
    if (idx < 0) return -1;
    UdpRecvNotes scratch{};
    if (!notes) notes = &scratch;
    auto* answer = static_cast<unsigned char*>(buf);
    int remaining = count;
    while (remaining > 0) {
        // One wait for the next part of the answer. A datagram that cannot
        // be that part (from a stranger, or longer than what is still
        // awaited) is dropped without restarting the wait.
        UdpModuleWait w = udp_module_wait(s, idx, wait_ms, &notes->strangers, ~0u, peers);
        for (bool wait = true;;) {
            // Taken whole, so that its length can tell what it is.
            unsigned char datagram[DRAIN_BUFFER];
            VrnSockAddr from;
            int err = 0;
            const int n = udp_recv_from_module(&w, datagram, sizeof datagram, wait, &from, &err);
            if (n < 0 && err == VRN_WSAEWOULDBLOCK) return 0;
            if (n > 0 && n <= remaining) {
                peers[idx].peer = from;
                std::memcpy(answer + (count - remaining), datagram, std::size_t(n));
                remaining -= n;
                break;
            }
            std::fprintf(s_counter_output ? s_counter_output : stdout, "\nERROR COUNTER = %d\n", *counter);
            ++*counter;
            const bool limit = *counter > UDP_ERROR_COUNTER_LIMIT;
            if (limit) *counter = 0;
            if (n > remaining || err == VRN_WSAEMSGSIZE) {
                ++notes->oversized;
                if (n > remaining && n <= count) {
                    // A whole answer after a part of one: the part was a
                    // stray, late answer to a shorter request. Start over.
                    peers[idx].peer = from;
                    std::memcpy(answer, datagram, std::size_t(n));
                    remaining = count - n;
                    break;
                }
                // Otherwise not the answer: a late one to an earlier,
                // longer request. The answer may still come in this wait.
                wait = true;
                continue;
            }
            if (limit) {
                if (n < 0) return -1;
                break;  // a zero-byte datagram: wait afresh
            }
            // WinSock's report that an earlier datagram found nobody at the
            // module's port is no answer, and no reason to stop waiting for
            // one: the rest of the wait is waited out, so that a module
            // that is away costs the same silence on every system.
            wait = err == VRN_WSAECONNRESET;  // else again at once, without a new wait
        }
    }
    return count - remaining;
}

}  // namespace

int udp_max_payload(const UdpEndpoint*) { return UDP_MAX_PAYLOAD; }

int udp_control(int, int, int) { return 0; }
