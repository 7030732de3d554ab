// The platform layer over in-process sockets and a fake clock
// (fake_platform.h).
#include "fake_platform.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace fakenet {

namespace {

constexpr std::uint32_t kAny = 0;
constexpr std::uint32_t kLoopback = 0x0100007fu;  // 127.0.0.1, network order
constexpr std::uint16_t kFirstEphemeral = 50000;
constexpr vrn_socket kFirstSocket = 100;

struct Arrival {
    std::uint32_t due;
    VrnSockAddr from;
    Bytes bytes;
    int error = 0;  // not a datagram: a socket error the receive meets
};

struct Socket {
    bool bound = false;
    VrnSockAddr local{};
    std::vector<Arrival> queue;  // by arrival, in the order sent
};

struct State {
    std::uint32_t now = 1000;
    vrn_socket next_socket = kFirstSocket;
    std::uint16_t next_ephemeral = kFirstEphemeral;
    vrn_handle next_handle = 1;
    std::map<vrn_socket, Socket> sockets;
    std::map<int, std::pair<VrnSockAddr, Listener>> listeners;
    Listener rest;
    int rest_id = 0;
    int next_listener = 1;
    Taken taken;
    int last_error = 0;
} g;

VrnSockAddr addr(std::uint32_t ip, std::uint16_t port_net) {
    VrnSockAddr a;
    std::memset(&a, 0, sizeof a);
    a.family = 2;
    a.port = port_net;
    a.addr = ip;
    return a;
}

bool same(const VrnSockAddr& a, const VrnSockAddr& b) { return a.addr == b.addr && a.port == b.port; }

// A bound socket takes datagrams for its port on its address, or on any
// address when bound to all of them.
bool takes(const Socket& s, const VrnSockAddr& to) {
    return s.bound && s.local.port == to.port && (s.local.addr == kAny || s.local.addr == to.addr);
}

Socket* find(vrn_socket s) {
    auto it = g.sockets.find(s);
    return it == g.sockets.end() ? nullptr : &it->second;
}

Socket* bound_at(const VrnSockAddr& to) {
    for (auto& [handle, s] : g.sockets)
        if (takes(s, to)) return &s;
    return nullptr;
}

int fail(int error) {
    g.last_error = error;
    return -1;
}

// A free port, in network order, as a bind to port 0 gets one.
std::uint16_t ephemeral_port_net() {
    for (;;) {
        const std::uint16_t port = plat_htons(g.next_ephemeral++);
        if (g.next_ephemeral == 0) g.next_ephemeral = kFirstEphemeral;
        bool used = false;
        for (const auto& [handle, s] : g.sockets) used = used || (s.bound && s.local.port == port);
        if (!used) return port;
    }
}

void enqueue(Socket& s, const VrnSockAddr& from, Bytes bytes, std::uint32_t delay_ms, int error = 0) {
    const std::uint32_t due = g.now + delay_ms;
    auto at = std::upper_bound(s.queue.begin(), s.queue.end(), due,
                               [](std::uint32_t d, const Arrival& a) { return d < a.due; });
    s.queue.insert(at, Arrival{due, from, std::move(bytes), error});
}

bool due_now(const Socket& s) { return !s.queue.empty() && s.queue.front().due <= g.now; }

// Moves the clock for a wait of ms on these sockets: to the first arrival
// within it, or past its end (1 ms at least).
void wait_on(const std::vector<const Socket*>& socks, long ms) {
    std::uint32_t first = 0;
    bool any = false;
    for (const Socket* s : socks)
        if (!s->queue.empty() && (!any || s->queue.front().due < first)) {
            first = s->queue.front().due;
            any = true;
        }
    const std::uint32_t span = ms < 1 ? 1u : static_cast<std::uint32_t>(ms);
    if (any && first - g.now <= static_cast<std::uint32_t>(ms < 0 ? 0 : ms)) g.now = first;
    else g.now += span;
}

}  // namespace

std::uint32_t now_ms() { return g.now; }
void advance(std::uint32_t ms) { g.now += ms; }

int listen(const VrnSockAddr& at, Listener listener) {
    const int id = g.next_listener++;
    g.listeners[id] = {at, std::move(listener)};
    return id;
}

int listen_rest(Listener listener) {
    g.rest = std::move(listener);
    g.rest_id = g.next_listener++;
    return g.rest_id;
}

void unlisten(int id) {
    g.listeners.erase(id);
    if (id == g.rest_id) g.rest = nullptr;
}

void deliver(vrn_socket to, const VrnSockAddr& from, Bytes bytes, std::uint32_t delay_ms) {
    if (Socket* s = find(to)) enqueue(*s, from, std::move(bytes), delay_ms);
}

void deliver_error(vrn_socket to, int error, std::uint32_t delay_ms) {
    if (Socket* s = find(to)) enqueue(*s, addr(kAny, 0), {}, delay_ms, error);
}

bool deliver_to(const VrnSockAddr& to, const VrnSockAddr& from, Bytes bytes, std::uint32_t delay_ms) {
    Socket* s = bound_at(to);
    if (!s) return false;
    enqueue(*s, from, std::move(bytes), delay_ms);
    return true;
}

void on_taken(Taken taken) { g.taken = std::move(taken); }

void reset() {
    const std::uint32_t now = g.now;
    g = State{};
    g.now = now;
}

}  // namespace fakenet

using fakenet::g;

int plat_net_start() { return 0; }
void plat_net_stop() {}

vrn_socket plat_udp_socket() {
    const vrn_socket s = g.next_socket++;
    g.sockets[s] = fakenet::Socket{};
    return s;
}

int plat_set_nonblocking(vrn_socket s, unsigned long) {
    return fakenet::find(s) ? 0 : fakenet::fail(VRN_WSAENOTSOCK);
}

int plat_wait_readable(vrn_socket s, long sec, long usec) {
    const fakenet::Socket* sock = fakenet::find(s);
    if (!sock) return fakenet::fail(VRN_WSAENOTSOCK);
    if (fakenet::due_now(*sock)) return 1;
    fakenet::wait_on({sock}, sec * 1000 + (usec + 999) / 1000);
    return fakenet::due_now(*sock) ? 1 : 0;
}

int plat_wait_writable(vrn_socket s, long, long) { return fakenet::find(s) ? 1 : fakenet::fail(VRN_WSAENOTSOCK); }

int plat_poll_readable(const vrn_socket* socks, int n, int* ready, long timeout_ms) {
    std::vector<const fakenet::Socket*> open;
    for (int i = 0; i < n; ++i)
        if (const fakenet::Socket* s = fakenet::find(socks[i])) open.push_back(s);
    auto mark = [&] {
        int count = 0;
        for (int i = 0; i < n; ++i) {
            const fakenet::Socket* s = fakenet::find(socks[i]);
            ready[i] = s && fakenet::due_now(*s) ? 1 : 0;
            count += ready[i];
        }
        return count;
    };
    if (int count = mark()) return count;
    fakenet::wait_on(open, timeout_ms);
    return mark();
}

int plat_poll_readable_us(const vrn_socket* socks, int n, int* ready, long timeout_us) {
    return plat_poll_readable(socks, n, ready, (timeout_us + 999) / 1000);
}

int plat_bind(vrn_socket s, const VrnSockAddr* a) {
    fakenet::Socket* sock = fakenet::find(s);
    if (!sock) return fakenet::fail(VRN_WSAENOTSOCK);
    if (sock->bound) return fakenet::fail(VRN_WSAEINVAL);
    VrnSockAddr local = fakenet::addr(a->addr, a->port);
    if (local.port == 0) {
        local.port = fakenet::ephemeral_port_net();
    } else {
        for (const auto& [handle, other] : g.sockets)
            if (other.bound && other.local.port == local.port &&
                (other.local.addr == local.addr || other.local.addr == fakenet::kAny || local.addr == fakenet::kAny))
                return fakenet::fail(VRN_WSAEADDRINUSE);
    }
    sock->local = local;
    sock->bound = true;
    return 0;
}

int plat_set_rcvbuf(vrn_socket s, int) { return fakenet::find(s) ? 0 : fakenet::fail(VRN_WSAENOTSOCK); }

int plat_sendto(vrn_socket s, const void* data, int len, const VrnSockAddr* to) {
    fakenet::Socket* sock = fakenet::find(s);
    if (!sock) return fakenet::fail(VRN_WSAENOTSOCK);
    if (!sock->bound) {
        const VrnSockAddr any = fakenet::addr(fakenet::kAny, 0);
        plat_bind(s, &any);
    }
    // A socket bound to every address sends from the loopback address.
    VrnSockAddr from = sock->local;
    if (from.addr == fakenet::kAny) from.addr = fakenet::kLoopback;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::size_t size = len > 0 ? static_cast<std::size_t>(len) : 0;
    if (fakenet::deliver_to(*to, from, fakenet::Bytes(bytes, bytes + size), 0)) return len;
    for (auto& [id, entry] : g.listeners) {
        if (fakenet::same(entry.first, *to)) {
            const fakenet::Listener listener = entry.second;  // it may unlisten
            listener(fakenet::Sent{s, from, *to, bytes, size});
            return len;
        }
    }
    if (g.rest) {
        const fakenet::Listener rest = g.rest;
        rest(fakenet::Sent{s, from, *to, bytes, size});
    }
    return len;
}

int plat_recvfrom(vrn_socket s, void* buf, int len, VrnSockAddr* from) {
    fakenet::Socket* sock = fakenet::find(s);
    if (!sock) return fakenet::fail(VRN_WSAENOTSOCK);
    if (!fakenet::due_now(*sock)) return fakenet::fail(VRN_WSAEWOULDBLOCK);
    fakenet::Arrival a = std::move(sock->queue.front());
    sock->queue.erase(sock->queue.begin());
    if (a.error) return fakenet::fail(a.error);
    if (from) *from = a.from;
    // Too long for the buffer: an error, and the datagram is gone.
    if (a.bytes.size() > static_cast<std::size_t>(len < 0 ? 0 : len)) return fakenet::fail(VRN_WSAEMSGSIZE);
    if (!a.bytes.empty()) std::memcpy(buf, a.bytes.data(), a.bytes.size());
    if (g.taken) g.taken(s, a.from, a.bytes.data(), a.bytes.size());
    return static_cast<int>(a.bytes.size());
}

// Nothing connects a fake socket: a send has nowhere to go.
int plat_send(vrn_socket s, const void*, int) {
    return fakenet::fail(fakenet::find(s) ? VRN_WSAEOTHER : VRN_WSAENOTSOCK);
}

int plat_recv(vrn_socket s, void* buf, int len) { return plat_recvfrom(s, buf, len, nullptr); }

int plat_shutdown(vrn_socket s, int) { return fakenet::find(s) ? 0 : fakenet::fail(VRN_WSAENOTSOCK); }

int plat_close_socket(vrn_socket s) {
    if (!g.sockets.erase(s)) return fakenet::fail(VRN_WSAENOTSOCK);
    return 0;
}

int plat_last_error() { return g.last_error; }

int plat_local_addr(vrn_socket s, VrnSockAddr* out) {
    const fakenet::Socket* sock = fakenet::find(s);
    if (!sock) return fakenet::fail(VRN_WSAENOTSOCK);
    *out = sock->bound ? sock->local : fakenet::addr(fakenet::kAny, 0);
    return 0;
}

std::uint32_t plat_inet_addr(const char* text) {
    std::uint8_t parts[4];
    const char* p = text;
    for (int n = 0; n < 4; ++n) {
        if (*p < '0' || *p > '9') return 0xFFFFFFFFu;
        std::uint32_t v = 0;
        while (*p >= '0' && *p <= '9' && v <= 255) v = v * 10 + static_cast<std::uint32_t>(*p++ - '0');
        if (v > 255) return 0xFFFFFFFFu;
        parts[n] = static_cast<std::uint8_t>(v);
        if (n < 3 && *p++ != '.') return 0xFFFFFFFFu;
    }
    if (*p) return 0xFFFFFFFFu;
    std::uint32_t ip;
    std::memcpy(&ip, parts, sizeof ip);  // network order: the first part first in memory
    return ip;
}

// One thread: a handle only has to be something other than 0.
vrn_handle plat_mutex_create() { return g.next_handle++; }
int plat_mutex_wait(vrn_handle m) { return m ? 0 : -1; }
int plat_mutex_release(vrn_handle m) { return m ? 0 : -1; }
int plat_mutex_try(vrn_handle m) { return m ? 0 : -1; }
long plat_raise_descriptor_limit(long) { return -1; }
int plat_handle_close(vrn_handle h) { return h ? 0 : -1; }
int plat_event_reset(vrn_handle e) { return e ? 0 : -1; }
int plat_event_wait(vrn_handle, std::uint32_t) { return -1; }

std::uint32_t plat_tick_ms() { return g.now; }
void plat_sleep_ms(std::uint32_t ms) { g.now += ms; }
int plat_wait_key() { return -1; }
int plat_stderr_is_terminal() { return 0; }
