// LoopbackServer: binding the six sockets, and the loop that serves them.
#include "loopback_server.h"

#include <algorithm>
#include <atomic>
#include <random>

#include "platform/bytes.h"

namespace vrnsim {

namespace {

constexpr std::uint32_t kLoopbackNet = 127;
constexpr int kBaseAttempts = 200;
constexpr long kIdleWaitMs = 20;  // the longest a turn waits with nothing due
constexpr int kTurnReads = 256;   // datagrams read from one socket a turn, so the others get theirs

std::string dotted(std::uint32_t ip_net) {
    const std::uint32_t h = plat_ntohl(ip_net);
    return std::to_string(h >> 24) + "." + std::to_string((h >> 16) & 255) + "." + std::to_string((h >> 8) & 255) +
           "." + std::to_string(h & 255);
}

vrn_socket open_bound(std::uint32_t ip_net, std::uint16_t port, std::string* error, const std::string& label) {
    vrn_socket s = plat_udp_socket();
    if (s == VRN_NO_SOCKET) {
        *error = "cannot make a socket for " + label;
        return VRN_NO_SOCKET;
    }
    VrnSockAddr a = vrn_sockaddr(ip_net, port);
    if (plat_bind(s, &a) != 0) {
        int e = plat_last_error();
        plat_close_socket(s);
        *error = label + (e == VRN_WSAEADDRINUSE ? " is already in use" : " cannot be bound");
        return VRN_NO_SOCKET;
    }
    plat_set_nonblocking(s, 1);
    plat_set_rcvbuf(s, 1 << 20);
    return s;
}

// Bases for servers that pick their own, spread so that two servers of one
// process, or of several test programs, seldom try the same one.
std::uint16_t random_base() {
    static std::atomic<unsigned> counter{0};
    static std::mutex rng_mu;
    static std::mt19937 rng(static_cast<unsigned>(std::random_device{}()) ^ static_cast<unsigned>(plat_tick_ms()));
    std::lock_guard<std::mutex> lock(rng_mu);
    const unsigned r = rng() + counter++ * 7919u;
    return static_cast<std::uint16_t>(20000 + (r % 1000) * 10);
}

}  // namespace

bool is_loopback_address(std::uint32_t ip_net) { return (plat_ntohl(ip_net) >> 24) == kLoopbackNet; }

std::string not_loopback_message(const std::string& address) {
    return "address " + address + " is not a loopback address (127.x.y.z)";
}

LoopbackServer::~LoopbackServer() { stop(); }

bool LoopbackServer::open(const std::string& address, std::uint16_t base, std::string* error) {
    std::string dummy;
    if (!error) error = &dummy;
    const std::uint32_t ip_net = plat_inet_addr(address.c_str());
    if (ip_net == 0xFFFFFFFFu || !is_loopback_address(ip_net)) {
        *error = not_loopback_message(address);
        return false;
    }
    if (plat_net_start() != 0) {
        *error = "cannot start the socket library";
        return false;
    }
    net_started_ = true;
    auto fail = [this] {
        close_all();
        plat_net_stop();
        net_started_ = false;
        return false;
    };
    for (int attempt = 0; base_ == 0 && attempt < (base == 0 ? kBaseAttempts : 1); ++attempt) {
        const std::uint16_t b = base == 0 ? random_base() : base;
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i) {
            const std::uint16_t port = static_cast<std::uint16_t>(b + i);
            socks_[i] = open_bound(ip_net, port, error, "port " + address + ":" + std::to_string(port));
            ok = socks_[i] != VRN_NO_SOCKET;
        }
        if (ok) base_ = b;
        else close_all();
    }
    if (base_ == 0) return fail();
    socks_[kOtherPort] = open_bound(ip_net, 0, error, "a fifth port on " + address);
    if (socks_[kOtherPort] == VRN_NO_SOCKET) return fail();
    // Another loopback address for answers from a foreign source; where the
    // system cannot bind one, such answers are never asked for.
    const std::uint32_t foreign = plat_htonl(plat_ntohl(ip_net) == 0x7F000002u ? 0x7F000003u : 0x7F000002u);
    std::string ignored;
    socks_[kForeignAddress] = open_bound(foreign, 0, &ignored, "a port on another loopback address");
    for (int i = 0; i < kServerSockets; ++i)
        if (socks_[i] != VRN_NO_SOCKET) plat_local_addr(socks_[i], &local_[i]);
    return true;
}

void LoopbackServer::close_all() {
    for (vrn_socket& s : socks_)
        if (s != VRN_NO_SOCKET) {
            plat_close_socket(s);
            s = VRN_NO_SOCKET;
        }
    base_ = 0;
}

std::uint16_t LoopbackServer::other_port() const { return local_port(kOtherPort); }

std::uint16_t LoopbackServer::local_port(int socket) const {
    if (socket < 0 || socket >= kServerSockets) return 0;
    return plat_htons(local_[socket].port);  // htons and ntohs are the same swap
}

std::string LoopbackServer::foreign_address() const {
    return socks_[kForeignAddress] == VRN_NO_SOCKET ? std::string() : dotted(local_[kForeignAddress].addr);
}

void LoopbackServer::start(Handler handler) {
    handler_ = std::move(handler);
    stop_ = false;
    thread_ = std::thread([this] { run(); });
}

void LoopbackServer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close_all();
    if (net_started_) plat_net_stop();
    net_started_ = false;
    std::lock_guard<std::mutex> lock(pending_mu_);
    pending_.clear();
}

void LoopbackServer::send(const Outgoing& o) {
    if (o.delay_us <= 0) {
        send_now(o);
        return;
    }
    std::lock_guard<std::mutex> lock(pending_mu_);
    pending_.push_back(Pending{Clock::now() + std::chrono::microseconds(o.delay_us), o});
}

void LoopbackServer::send_now(const Outgoing& o) {
    if (o.from < 0 || o.from >= kServerSockets) return;
    vrn_socket s = socks_[o.from];
    if (s == VRN_NO_SOCKET) return;
    // Taken before it leaves: once the peer has it, the capture must too,
    // even if this process is killed the next moment.
    if (handler_.tap) handler_.tap(local_[o.from], o.to, o.bytes.data(), o.bytes.size());
    plat_sendto(s, o.bytes.data(), static_cast<int>(o.bytes.size()), &o.to);
}

void LoopbackServer::run() {
    std::vector<std::uint8_t> buf(65536);
    auto dispatch = [this](std::vector<Outgoing>& outs, Clock::time_point now) {
        for (Outgoing& o : outs) {
            if (o.delay_us > 0) {
                std::lock_guard<std::mutex> lock(pending_mu_);
                pending_.push_back(Pending{now + std::chrono::microseconds(o.delay_us), std::move(o)});
            } else {
                send_now(o);
            }
        }
    };
    while (!stop_) {
        Clock::time_point now = Clock::now();
        Clock::time_point wake = now + std::chrono::milliseconds(kIdleWaitMs);
        {
            std::lock_guard<std::mutex> lock(pending_mu_);
            for (const Pending& p : pending_) wake = std::min(wake, p.due);
        }
        if (handler_.next_due)
            if (auto due = handler_.next_due()) wake = std::min(wake, *due);
        // In microseconds: a network's delay of a fraction of a millisecond
        // is kept as it is, not rounded to the next tick.
        long wait_us = long(std::chrono::ceil<std::chrono::microseconds>(wake - now).count());
        if (wait_us < 0) wait_us = 0;
        int ready[kServerSockets] = {0};
        plat_poll_readable_us(socks_, kServerSockets, ready, wait_us);
        for (int i = 0; i < kServerSockets; ++i) {
            if (!ready[i]) continue;
            for (int n = 0; n < kTurnReads; ++n) {
                VrnSockAddr from{};
                const int got = plat_recvfrom(socks_[i], buf.data(), static_cast<int>(buf.size()), &from);
                if (got < 0) break;
                if (handler_.tap) handler_.tap(from, local_[i], buf.data(), static_cast<std::size_t>(got));
                std::vector<Outgoing> outs =
                    handler_.receive(i, from, buf.data(), static_cast<std::size_t>(got), Clock::now());
                dispatch(outs, Clock::now());
            }
        }
        now = Clock::now();
        if (handler_.poll) {
            std::vector<Outgoing> outs = handler_.poll(now);
            dispatch(outs, now);
        }
        // Send what is due, in the order it was decided.
        std::vector<Outgoing> due;
        {
            std::lock_guard<std::mutex> lock(pending_mu_);
            for (auto it = pending_.begin(); it != pending_.end();) {
                if (it->due <= now) {
                    due.push_back(std::move(it->out));
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const Outgoing& o : due) send_now(o);
    }
}

}  // namespace vrnsim
