// The platform interface over a script instead of sockets (fake_platform.h).
#include "fake_platform.h"

#include <cstring>
#include <deque>
#include <map>

#include "platform/platform.h"

namespace fuzzplat {

namespace {

constexpr std::uint32_t kModuleIp = 0x0100007fu;   // 127.0.0.1, network order
constexpr std::uint32_t kStranger = 0x0900007fu;   // 127.0.0.9
constexpr std::size_t kMaxDatagram = 1500;
constexpr std::uint8_t kHead[32] = {0x6b, 0x24, 0x5a, 0x13, 0x06, 0, 0, 0, 0xdf, 0x2b, 0xa1, 0xec, 0x13, 0, 0, 0,
                                    0xaa, 0x94, 0x45, 0xcd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

struct Datagram {
    std::vector<std::uint8_t> bytes;
    VrnSockAddr from;
};

struct State {
    const std::uint8_t* script = nullptr;
    std::size_t size = 0, at = 0;
    std::uint64_t requests = 0;
    std::uint32_t now_ms = 1000;
    vrn_socket next_socket = 100;
    std::map<vrn_socket, std::deque<Datagram>> queues;
    std::vector<std::vector<std::uint8_t>> delivered;  // since the last send, whole, from the module
    int last_error = 0;
} g;

std::uint8_t take() { return g.at < g.size ? g.script[g.at++] : 0; }

VrnSockAddr addr(std::uint32_t ip, std::uint16_t port_be) {
    VrnSockAddr a;
    std::memset(&a, 0, sizeof a);
    a.family = 2;
    a.port = port_be;
    a.addr = ip;
    return a;
}

// The answer to one datagram sent on s to `to`.
void answer(vrn_socket s, const VrnSockAddr& to) {
    if (g.at >= g.size) return;
    std::uint8_t flags = take();
    int count = flags & 3;
    bool stranger = flags & 4, head = flags & 8;
    for (int i = 0; i < count; ++i) {
        std::size_t word = std::size_t(take());
        word |= std::size_t(take()) << 8;
        vrn_socket into = word & 0x8000 ? s + 1 : s;
        std::size_t len = (word & 0x7FFF) % (kMaxDatagram + 1);
        Datagram d;
        d.bytes.resize(len);
        std::size_t k = 0;
        if (head)
            for (; k < len && k < sizeof kHead; ++k) d.bytes[k] = kHead[k];
        for (; k < len; ++k) d.bytes[k] = take();
        d.from = addr(stranger ? kStranger : kModuleIp, to.port);
        g.queues[into].push_back(std::move(d));
    }
}

}  // namespace

void reset(const std::uint8_t* script, std::size_t size) {
    g.script = script;
    g.size = size;
    g.at = 0;
    g.requests = 0;
    g.queues.clear();
    g.delivered.clear();
}

std::vector<std::vector<std::uint8_t>> answers_for_last_request(std::size_t len) {
    // Every choice of datagrams, in order, that ends with the last one and
    // is len bytes long: the parts of an answer, with strays left out.
    std::vector<std::vector<std::uint8_t>> found;
    const std::size_t n = g.delivered.size();
    if (n == 0 || n > 12) return found;
    for (std::uint32_t mask = 1u << (n - 1); mask < (1u << n); ++mask) {
        std::vector<std::uint8_t> joined;
        for (std::size_t i = 0; i < n; ++i)
            if (mask & (1u << i)) joined.insert(joined.end(), g.delivered[i].begin(), g.delivered[i].end());
        if (joined.size() == len) found.push_back(std::move(joined));
    }
    return found;
}
std::uint64_t requests_sent() { return g.requests; }

}  // namespace fuzzplat

using fuzzplat::g;

int plat_net_start() { return 0; }
void plat_net_stop() {}
vrn_socket plat_udp_socket() { return g.next_socket++; }
int plat_set_nonblocking(vrn_socket, unsigned long) { return 0; }

int plat_wait_readable(vrn_socket s, long sec, long usec) {
    if (!g.queues[s].empty()) return 1;
    g.now_ms += static_cast<std::uint32_t>(sec * 1000 + usec / 1000);
    return 0;
}

int plat_wait_writable(vrn_socket, long, long) { return 1; }

int plat_poll_readable(const vrn_socket* socks, int n, int* ready, long timeout_ms) {
    int count = 0;
    for (int i = 0; i < n; ++i) {
        ready[i] = g.queues[socks[i]].empty() ? 0 : 1;
        count += ready[i];
    }
    if (count == 0) g.now_ms += static_cast<std::uint32_t>(timeout_ms);
    return count;
}

int plat_bind(vrn_socket, const VrnSockAddr*) { return 0; }
int plat_set_rcvbuf(vrn_socket, int) { return 0; }

int plat_sendto(vrn_socket s, const void*, int len, const VrnSockAddr* to) {
    ++g.requests;
    g.delivered.clear();
    fuzzplat::answer(s, *to);
    return len;
}

int plat_recvfrom(vrn_socket s, void* buf, int len, VrnSockAddr* from) {
    std::deque<fuzzplat::Datagram>& q = g.queues[s];
    if (q.empty()) {
        g.last_error = VRN_WSAEWOULDBLOCK;
        return -1;
    }
    fuzzplat::Datagram d = std::move(q.front());
    q.pop_front();
    if (from) *from = d.from;
    if (d.bytes.size() > static_cast<std::size_t>(len < 0 ? 0 : len)) {
        g.last_error = VRN_WSAEMSGSIZE;
        return -1;
    }
    if (!d.bytes.empty()) std::memcpy(buf, d.bytes.data(), d.bytes.size());
    if (d.from.addr == fuzzplat::kModuleIp) g.delivered.push_back(d.bytes);
    return static_cast<int>(d.bytes.size());
}

int plat_send(vrn_socket, const void*, int len) { return len; }

int plat_recv(vrn_socket, void*, int) {
    g.last_error = VRN_WSAEWOULDBLOCK;
    return -1;
}

int plat_shutdown(vrn_socket, int) { return 0; }

int plat_close_socket(vrn_socket s) {
    g.queues.erase(s);
    return 0;
}

int plat_last_error() { return g.last_error; }

int plat_local_addr(vrn_socket, VrnSockAddr* out) {
    *out = fuzzplat::addr(fuzzplat::kModuleIp, 0);
    return 0;
}

std::uint32_t plat_inet_addr(const char* text) {
    std::uint32_t parts[4];
    int n = 0;
    const char* p = text;
    for (; n < 4; ++n) {
        if (*p < '0' || *p > '9') return 0xFFFFFFFFu;
        std::uint32_t v = 0;
        while (*p >= '0' && *p <= '9') v = v * 10 + std::uint32_t(*p++ - '0');
        if (v > 255) return 0xFFFFFFFFu;
        parts[n] = v;
        if (n < 3 && *p++ != '.') return 0xFFFFFFFFu;
    }
    if (*p) return 0xFFFFFFFFu;
    return parts[0] | (parts[1] << 8) | (parts[2] << 16) | (parts[3] << 24);
}

std::uint16_t plat_htons(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
std::uint32_t plat_ntohl(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
std::uint32_t plat_htonl(std::uint32_t v) { return plat_ntohl(v); }

// One thread: a mutex only has to be a handle that is not 0.
vrn_handle plat_mutex_create() { return 1; }
int plat_mutex_wait(vrn_handle m) { return m ? 0 : -1; }
int plat_mutex_release(vrn_handle m) { return m ? 0 : -1; }
int plat_handle_close(vrn_handle h) { return h ? 0 : -1; }
int plat_event_reset(vrn_handle e) { return e ? 0 : -1; }
int plat_event_wait(vrn_handle, std::uint32_t) { return -1; }

// Moves on a little with every look, so that loops bounded by time end
// even while the script keeps answering.
std::uint32_t plat_tick_ms() { return g.now_ms++; }
void plat_sleep_ms(std::uint32_t ms) { g.now_ms += ms; }
int plat_wait_key() { return -1; }
int plat_stderr_is_terminal() { return 0; }
