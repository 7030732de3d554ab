#include "fake_module.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>

namespace vrntest {

namespace {

constexpr std::uint32_t kLoopback = 0x0100007fu;   // 127.0.0.1, network order
constexpr std::uint32_t kLoopback2 = 0x0200007fu;  // 127.0.0.2

VrnSockAddr addr_of(std::uint32_t ip_be, std::uint16_t port) {
    VrnSockAddr a;
    std::memset(&a, 0, sizeof a);
    a.family = 2;
    a.port = plat_htons(port);
    a.addr = ip_be;
    return a;
}

vrn_socket bound_socket(std::uint32_t ip_be, std::uint16_t port) {
    vrn_socket s = plat_udp_socket();
    if (s == VRN_NO_SOCKET) return s;
    VrnSockAddr a = addr_of(ip_be, port);
    if (plat_bind(s, &a) != 0) {
        plat_close_socket(s);
        return VRN_NO_SOCKET;
    }
    plat_set_nonblocking(s, 1);
    return s;
}

std::uint16_t port_of(vrn_socket s) {
    VrnSockAddr a;
    if (plat_local_addr(s, &a) != 0) return 0;
    return plat_htons(a.port);  // htons is its own inverse
}

std::uint16_t random_base() {
    static std::atomic<unsigned> counter{0};
    static std::mt19937 rng(static_cast<unsigned>(std::random_device{}()) ^ static_cast<unsigned>(plat_tick_ms()));
    static std::mutex rng_mu;
    std::lock_guard<std::mutex> lock(rng_mu);
    unsigned r = rng() + counter++ * 7919u;
    return static_cast<std::uint16_t>(20000 + (r % 1000) * 10);
}

struct NetGuard {
    NetGuard() { plat_net_start(); }
    ~NetGuard() { plat_net_stop(); }
};

}  // namespace

std::uint16_t pick_free_base(int n) {
    static NetGuard net;
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::uint16_t base = random_base();
        std::vector<vrn_socket> held;
        bool ok = true;
        for (int i = 0; i < n && ok; ++i) {
            vrn_socket s = bound_socket(kLoopback, static_cast<std::uint16_t>(base + i));
            if (s == VRN_NO_SOCKET) ok = false;
            else held.push_back(s);
        }
        for (vrn_socket s : held) plat_close_socket(s);
        if (ok) return base;
    }
    throw std::runtime_error("no free loopback ports");
}

bool foreign_source_possible() {
    NetGuard net;
    vrn_socket rx = bound_socket(kLoopback, 0), tx = bound_socket(kLoopback2, 0);
    VrnSockAddr to{}, from{};
    char c = 0;
    bool ok = rx != VRN_NO_SOCKET && tx != VRN_NO_SOCKET && plat_local_addr(rx, &to) == 0 &&
              plat_sendto(tx, "?", 1, &to) == 1 && plat_wait_readable(rx, 2, 0) > 0 &&
              plat_recvfrom(rx, &c, 1, &from) == 1;
    if (rx != VRN_NO_SOCKET) plat_close_socket(rx);
    if (tx != VRN_NO_SOCKET) plat_close_socket(tx);
    return ok && from.addr == kLoopback2;
}

FakeModule::FakeModule(Script script) : script_(std::move(script)) {
    plat_net_start();
    for (int attempt = 0; attempt < 200 && base_ == 0; ++attempt) {
        std::uint16_t base = random_base();
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i) {
            socks_[i] = bound_socket(kLoopback, static_cast<std::uint16_t>(base + i));
            ok = socks_[i] != VRN_NO_SOCKET;
        }
        if (ok) {
            base_ = base;
        } else {
            for (int i = 0; i < 4; ++i) {
                if (socks_[i] != VRN_NO_SOCKET) plat_close_socket(socks_[i]);
                socks_[i] = VRN_NO_SOCKET;
            }
        }
    }
    if (base_ == 0) throw std::runtime_error("fake module: no free loopback ports");
    socks_[Action::kOtherPort] = bound_socket(kLoopback, 0);
    other_port_ = port_of(socks_[Action::kOtherPort]);
    socks_[Action::kForeignAddress] = bound_socket(kLoopback2, 0);
    thread_ = std::thread([this] { run(); });
}

FakeModule::~FakeModule() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    thread_.join();
    for (vrn_socket s : socks_)
        if (s != VRN_NO_SOCKET) plat_close_socket(s);
    plat_net_stop();
}

std::string FakeModule::address() const { return "127.0.0.1:" + std::to_string(base_); }

void FakeModule::set_script(Script script) {
    std::lock_guard<std::mutex> lock(mu_);
    script_ = std::move(script);
}

std::vector<Datagram> FakeModule::received() const {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
}

std::size_t FakeModule::count(int port_index) const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<std::size_t>(
        std::count_if(log_.begin(), log_.end(), [&](const Datagram& d) { return d.port_index == port_index; }));
}

void FakeModule::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    log_.clear();
    seq_ = 0;
}

bool FakeModule::wait_for(std::size_t n, int ms, int port_index) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return static_cast<std::size_t>(std::count_if(log_.begin(), log_.end(), [&](const Datagram& d) {
                   return d.port_index == port_index;
               })) >= n;
    });
}

void FakeModule::send_to_client(const Bytes& bytes, int from, int port_index) {
    VrnSockAddr to;
    {
        std::lock_guard<std::mutex> lock(mu_);
        to = last_src_[port_index];
    }
    Action a;
    a.bytes = bytes;
    a.from = from;
    send_action(a, port_index, to);
}

void FakeModule::send_action(const Action& a, int default_from, const VrnSockAddr& to) {
    int from = a.from < 0 ? default_from : a.from;
    vrn_socket s = socks_[from];
    if (s == VRN_NO_SOCKET) return;
    plat_sendto(s, a.bytes.data(), static_cast<int>(a.bytes.size()), &to);
}

void FakeModule::run() {
    std::vector<std::uint8_t> buf(65536);
    for (;;) {
        std::vector<Pending> due;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) return;
            auto now = std::chrono::steady_clock::now();
            auto it = std::stable_partition(pending_.begin(), pending_.end(),
                                            [&](const Pending& p) { return p.due > now; });
            due.assign(std::make_move_iterator(it), std::make_move_iterator(pending_.end()));
            pending_.erase(it, pending_.end());
        }
        for (const Pending& p : due) send_action(p.action, p.default_from, p.to);

        int ready[6];
        if (plat_poll_readable(socks_, 6, ready, 2) <= 0) continue;
        for (int i = 0; i < 6; ++i) {
            if (!ready[i]) continue;
            VrnSockAddr from;
            int n = plat_recvfrom(socks_[i], buf.data(), static_cast<int>(buf.size()), &from);
            if (n < 0) continue;
            Datagram d;
            d.bytes.assign(buf.begin(), buf.begin() + n);
            d.port_index = i;
            d.src_port = plat_htons(from.port);
            d.dst_port = i < 4 ? static_cast<std::uint16_t>(base_ + i) : port_of(socks_[i]);
            d.when = std::chrono::steady_clock::now();
            Script script;
            int seq;
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (i < 4) last_src_[i] = from;
                log_.push_back(d);
                seq = seq_++;
                script = script_;
            }
            cv_.notify_all();
            if (!script) continue;
            std::vector<Action> actions = script(d, seq);
            for (const Action& a : actions) {
                if (a.delay_ms <= 0) {
                    send_action(a, i, from);
                } else {
                    std::lock_guard<std::mutex> lock(mu_);
                    pending_.push_back({d.when + std::chrono::milliseconds(a.delay_ms), a, i, from});
                }
            }
        }
    }
}

Bytes words_le(std::initializer_list<std::uint32_t> words) {
    Bytes b;
    for (std::uint32_t w : words) {
        b.push_back(static_cast<std::uint8_t>(w));
        b.push_back(static_cast<std::uint8_t>(w >> 8));
        b.push_back(static_cast<std::uint8_t>(w >> 16));
        b.push_back(static_cast<std::uint8_t>(w >> 24));
    }
    return b;
}

std::uint32_t word_at(const Bytes& b, std::size_t offset) {
    if (offset + 4 > b.size()) return 0xDEADBEEFu;
    return static_cast<std::uint32_t>(b[offset]) | (static_cast<std::uint32_t>(b[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(b[offset + 2]) << 16) | (static_cast<std::uint32_t>(b[offset + 3]) << 24);
}

Bytes make_ack(std::size_t n, std::initializer_list<std::uint32_t> data) {
    Bytes b(n, 0);
    auto put = [&](std::size_t off, std::uint32_t w) {
        if (off + 4 > n) return;
        b[off] = static_cast<std::uint8_t>(w);
        b[off + 1] = static_cast<std::uint8_t>(w >> 8);
        b[off + 2] = static_cast<std::uint8_t>(w >> 16);
        b[off + 3] = static_cast<std::uint8_t>(w >> 24);
    };
    put(0, 0x135a246bu);
    put(4, static_cast<std::uint32_t>(n / 4 >= 2 ? n / 4 - 2 : 0));
    put(8, 0xeca12bdfu);
    put(12, 0x13u);
    put(16, 0xcd4594aau);
    std::size_t off = 32;
    for (std::uint32_t w : data) {
        put(off, w);
        off += 4;
    }
    return b;
}

std::string hex(const Bytes& b) {
    std::string s;
    char tmp[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(tmp, sizeof tmp, "%02x", b[i]);
        if (i) s += ' ';
        s += tmp;
    }
    return s;
}

}  // namespace vrntest
