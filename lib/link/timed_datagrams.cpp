// Single datagrams with a caller's time-out, the channel socket entries and
// the endpoint operations that neither program calls.
#include "link/timed_datagrams.h"

#include <cstring>

#include "platform/bytes.h"

namespace {

constexpr long TIMED_DEFAULT_MS = 4000;  // what a time-out of -1 stands for
// Bounds one receive against a stranger flooding the socket: past this many
// discarded datagrams the call gives up as if the wait had run out.
constexpr unsigned FOREIGN_DISCARD_LIMIT = 1000;

// The wait of one timed call in milliseconds. Negative values other than -1
// would make an invalid select time-out; they poll, which is what such a
// wait amounts to on either system.
long timed_budget_ms(int timeout_ms) {
    if (timeout_ms == -1) return TIMED_DEFAULT_MS;
    if (timeout_ms < 0) return 0;
    return timeout_ms;
}

int soft_error() { return plat_last_error() == VRN_WSAEWOULDBLOCK ? 0 : -1; }

bool chan_index_ok(const UdpEndpoint* ep, int index) {
    return ep && index >= 0 && index < UDP_CHAN_SOCKETS && ep->chan_sock[index] != VRN_NO_SOCKET;
}

int send_timed(PeerEntry* peers, vrn_socket s, const void* data, int count, int timeout_ms) {
    int idx = udp_peer_find_in(peers, s);
    if (idx < 0) return -1;
    long budget = timed_budget_ms(timeout_ms);
    // A failing wait is not treated apart: the send decides.
    if (plat_wait_writable(s, budget / 1000, (budget % 1000) * 1000) == 0) return 0;
    int n = plat_sendto(s, data, count, &peers[idx].peer);
    if (n < 0) return soft_error();
    return n;
}

int recv_timed(PeerEntry* peers, vrn_socket s, void* buf, int size, int timeout_ms) {
    int idx = udp_peer_find_in(peers, s);
    if (idx < 0) return -1;
    unsigned strangers = 0;
    UdpModuleWait w =
        udp_module_wait(s, idx, timed_budget_ms(timeout_ms), &strangers, FOREIGN_DISCARD_LIMIT, peers);
    VrnSockAddr from;
    int err = 0;
    const int n = udp_recv_from_module(&w, buf, size, true, &from, &err);
    if (n < 0) return err == VRN_WSAEWOULDBLOCK ? 0 : -1;
    peers[idx].peer = from;
    return n;
}

}  // namespace

int udp_send_timed(vrn_socket s, const void* data, int count, int, int timeout_ms) {
    return send_timed(g_peer_table, s, data, count, timeout_ms);
}

int udp_recv_timed(vrn_socket s, void* buf, int size, int, int timeout_ms) {
    return recv_timed(g_peer_table, s, buf, size, timeout_ms);
}

int udp_chan_send(UdpEndpoint* ep, int index, const void* data, int count, int timeout_ms) {
    if (!chan_index_ok(ep, index)) return -1;
    return send_timed(ep->peers, ep->chan_sock[index], data, count, timeout_ms);
}

int udp_chan_recv(UdpEndpoint* ep, int index, void* buf, int size, int timeout_ms) {
    if (!chan_index_ok(ep, index)) return -1;
    return recv_timed(ep->peers, ep->chan_sock[index], buf, size, timeout_ms);
}

int udp_close_socket(vrn_socket s) {
    if (s == VRN_NO_SOCKET) return 0;
    plat_set_nonblocking(s, 0);
    plat_shutdown(s, 2);
    return plat_close_socket(s);
}

int udp_add_chan_socket(UdpEndpoint* ep, std::uint16_t port) {
    if (!ep) return -1;
    int index = -1;
    for (int i = 0; i < UDP_CHAN_SOCKETS; ++i) {
        if (ep->chan_sock[i] == VRN_NO_SOCKET) {
            index = i;
            break;
        }
    }
    if (index < 0) return -1;
    // The port is handed on as the endpoint open hands on its ports: the
    // socket takes whatever local port the system gives it.
    std::uint16_t p = port == 0 ? ep->next_port : port;
    vrn_socket s = udp_make_socket(ep->ip_text, p);
    if (s == VRN_NO_SOCKET) return -1;
    ep->chan_sock[index] = s;
    ++ep->next_port;
    return index;
}

int udp_stream_send(UdpEndpoint* ep, const void* data, int count) {
    if (!ep || ep->stream_sock == VRN_NO_SOCKET) return -1;
    return plat_send(ep->stream_sock, data, count) < 0 ? -1 : 0;
}

int udp_stream_recv(UdpEndpoint* ep, std::uint32_t* words, int count) {
    if (!ep || ep->stream_sock == VRN_NO_SOCKET) return -1;
    int n = plat_recv(ep->stream_sock, words, count);
    if (n < 0) return -1;
    // Only the words that arrived are turned to host order; the rest of the
    // caller's buffer is left as it was.
    for (int i = 0; i < n / 4; ++i) words[i] = plat_ntohl(words[i]);
    return n;
}

int udp_send_test_pattern(UdpEndpoint* ep) {
    if (!ep) return -1;
    unsigned char pattern[sizeof UDP_TEST_PATTERN];
    put_words(pattern, UDP_TEST_PATTERN, 4);
    return udp_ep_send_all(ep, ep->fixed_sock[1], pattern, sizeof pattern);
}
