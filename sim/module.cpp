// ModuleServer: the module model on four loopback UDP ports, plus a fifth
// socket on another port and a sixth on another loopback address from
// which the faults answer. One thread serves them all.
#include "module.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "module_model.h"

namespace vrnsim {

namespace {

using Clock = std::chrono::steady_clock;

VrnSockAddr make_addr(std::uint32_t ip_net, std::uint16_t port) {
    VrnSockAddr a{};
    a.family = 2;
    a.port = plat_htons(port);
    a.addr = ip_net;
    return a;
}

bool is_loopback(std::uint32_t ip_net) { return (plat_ntohl(ip_net) >> 24) == 127; }

vrn_socket open_bound(std::uint32_t ip_net, std::uint16_t port, std::string* error, const std::string& label) {
    vrn_socket s = plat_udp_socket();
    if (s == VRN_NO_SOCKET) {
        *error = "cannot make a socket for " + label;
        return VRN_NO_SOCKET;
    }
    VrnSockAddr a = make_addr(ip_net, port);
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

struct Pending {
    Clock::time_point due;
    Outgoing out;
};

}  // namespace

ModuleServer::ModuleServer(ModuleConfig config) : config_(std::move(config)) {}

ModuleServer::~ModuleServer() { stop(); }

bool ModuleServer::start(std::string* error) {
    std::string dummy;
    if (!error) error = &dummy;
    if (running_) return true;
    std::uint32_t ip = plat_inet_addr(config_.address.c_str());
    if (ip == 0xFFFFFFFFu || !is_loopback(ip)) {
        *error = "address " + config_.address + " is not a loopback address (127.x.y.z)";
        return false;
    }
    if (config_.base_port == 0 || config_.base_port > 65532) {
        *error = "base port " + std::to_string(config_.base_port) + " leaves no room for four ports";
        return false;
    }
    if (plat_net_start() != 0) {
        *error = "cannot start the socket library";
        return false;
    }
    auto fail = [&]() {
        for (vrn_socket& s : socks_)
            if (s != VRN_NO_SOCKET) {
                plat_close_socket(s);
                s = VRN_NO_SOCKET;
            }
        plat_net_stop();
        return false;
    };
    for (int i = 0; i < 4; ++i) {
        std::uint16_t port = std::uint16_t(config_.base_port + i);
        socks_[i] = open_bound(ip, port, error, "port " + config_.address + ":" + std::to_string(port));
        if (socks_[i] == VRN_NO_SOCKET) return fail();
    }
    socks_[kOtherPort] = open_bound(ip, 0, error, "a fifth port on " + config_.address);
    if (socks_[kOtherPort] == VRN_NO_SOCKET) return fail();
    VrnSockAddr local{};
    plat_local_addr(socks_[kOtherPort], &local);
    other_port_ = plat_htons(local.port);  // htons and ntohs are the same swap
    // Another loopback address for answers from a foreign source.
    std::uint32_t host = plat_ntohl(ip);
    std::uint32_t foreign = plat_htonl(host == 0x7F000002u ? 0x7F000003u : 0x7F000002u);
    // Optional: where the system cannot bind it, such answers leave from the command port.
    std::string ignored;
    socks_[kForeignAddress] = open_bound(foreign, 0, &ignored, "a port on another loopback address");

    foreign_address_.clear();
    if (socks_[kForeignAddress] != VRN_NO_SOCKET) {
        std::uint32_t f = plat_ntohl(foreign);
        foreign_address_ = std::to_string(f >> 24) + "." + std::to_string((f >> 16) & 255) + "." +
                           std::to_string((f >> 8) & 255) + "." + std::to_string(f & 255);
    }
    for (int i = 0; i < 6; ++i)
        if (socks_[i] != VRN_NO_SOCKET) plat_local_addr(socks_[i], &local_[i]);
    std::unique_ptr<Module> m = Module::create(config_, error);
    if (!m) return fail();
    pcap_.reset();
    if (!config_.pcap_file.empty()) {
        pcap_ = std::make_unique<PcapWriter>();
        // A restart of this server goes on with the capture it began.
        if (!pcap_->open(config_.pcap_file, pcap_begun_, error)) return fail();
        pcap_begun_ = true;
    }
    m->set_foreign_available(socks_[kForeignAddress] != VRN_NO_SOCKET);
    {
        std::lock_guard<std::mutex> lk(mu_);
        module_ = std::move(m);
    }
    stop_ = false;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void ModuleServer::stop() {
    if (!running_) return;
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (vrn_socket& s : socks_)
        if (s != VRN_NO_SOCKET) {
            plat_close_socket(s);
            s = VRN_NO_SOCKET;
        }
    plat_net_stop();
    running_ = false;
    pcap_.reset();  // closes the capture; each record was written whole as it came
    // The module (and with it the flash store) stays for the views until
    // the server goes; the store's writes were durable as they were made.
}

void ModuleServer::run() {
    std::vector<Pending> pending;
    std::vector<std::uint8_t> buf(65536);
    auto send = [&](const Outgoing& o) {
        vrn_socket s = socks_[o.from];
        if (s == VRN_NO_SOCKET) return;
        // Only what left: a datagram the socket layer refused was never on the wire.
        if (plat_sendto(s, o.bytes.data(), int(o.bytes.size()), &o.to) >= 0 && pcap_)
            pcap_->datagram(local_[o.from], o.to, o.bytes.data(), o.bytes.size());
    };
    auto dispatch = [&](std::vector<Outgoing>& outs, Clock::time_point now) {
        for (Outgoing& o : outs) {
            if (o.delay_ms > 0)
                pending.push_back(Pending{now + std::chrono::milliseconds(o.delay_ms), std::move(o)});
            else
                send(o);
        }
    };
    while (!stop_) {
        Clock::time_point now = Clock::now();
        Clock::time_point wake = now + std::chrono::milliseconds(20);
        for (const Pending& p : pending) wake = std::min(wake, p.due);
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (auto due = module_->next_due()) wake = std::min(wake, *due);
        }
        long wait_ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count());
        if (wait_ms < 0) wait_ms = 0;
        int ready[6] = {0};
        plat_poll_readable(socks_, 6, ready, wait_ms);
        for (int i = 0; i < 6; ++i) {
            if (!ready[i]) continue;
            for (int n = 0; n < 256; ++n) {  // drain, but let the others have a turn
                VrnSockAddr from{};
                int got = plat_recvfrom(socks_[i], buf.data(), int(buf.size()), &from);
                if (got < 0) break;
                if (pcap_) pcap_->datagram(from, local_[i], buf.data(), std::size_t(got));
                std::vector<Outgoing> outs;
                {
                    std::lock_guard<std::mutex> lk(mu_);
                    outs = module_->receive(buf.data(), std::size_t(got), i, from, Clock::now());
                }
                dispatch(outs, Clock::now());
            }
        }
        now = Clock::now();
        {
            std::vector<Outgoing> outs;
            {
                std::lock_guard<std::mutex> lk(mu_);
                outs = module_->poll(now);
            }
            dispatch(outs, now);
        }
        // Send what is due, in the order it was decided.
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due <= now) {
                send(it->out);
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
    }
}

std::uint16_t ModuleServer::base_port() const { return config_.base_port; }

std::string ModuleServer::address() const { return config_.address + ":" + std::to_string(config_.base_port); }

std::vector<BusEvent> ModuleServer::bus_log() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->bus_log() : std::vector<BusEvent>{};
}

std::vector<RegEvent> ModuleServer::reg_log() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->reg_log() : std::vector<RegEvent>{};
}

void ModuleServer::clear_logs() {
    std::lock_guard<std::mutex> lk(mu_);
    if (module_) module_->clear_logs();
}

std::uint16_t ModuleServer::cell(std::size_t index) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (!module_ || index >= module_->store().cells()) return 0xFFFF;
    return module_->store().get(index);
}

std::size_t ModuleServer::cells() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->store().cells() : 0;
}

std::string ModuleServer::flash_error() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->store().write_error() : std::string();
}

std::string ModuleServer::pcap_error() const { return pcap_ ? pcap_->error() : std::string(); }

ChipFaults& ModuleServer::chip_faults() {
    std::lock_guard<std::mutex> lk(mu_);
    if (module_) return module_->chip().faults();
    return config_.chip.faults;
}

void ModuleServer::set_chip_faults(const ChipFaults& faults) {
    std::lock_guard<std::mutex> lk(mu_);
    config_.chip.faults = faults;
    if (module_) module_->chip().faults() = faults;
}

std::uint64_t ModuleServer::requests_seen() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->requests_seen() : 0;
}

std::uint64_t ModuleServer::refused() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->refused() : 0;
}

FaultCounts ModuleServer::fault_counts() const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->faults().counts() : FaultCounts{};
}

std::string ModuleServer::fault_summary() const {
    std::lock_guard<std::mutex> lk(mu_);
    if (!module_) return "no module";
    return module_->faults().summary() + " (command datagrams " + std::to_string(module_->requests_seen()) +
           ", refused " + std::to_string(module_->refused()) + ")";
}

void ModuleServer::set_wire_faults(const WireFaults& faults) {
    std::lock_guard<std::mutex> lk(mu_);
    config_.faults = faults;
    if (module_) module_->set_wire_faults(faults);
}

std::uint16_t ModuleServer::other_port() const { return other_port_; }

std::string ModuleServer::foreign_address() const { return foreign_address_; }

std::vector<std::uint8_t> ModuleServer::stream_received(int port_index) const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->channels().captured(port_index) : std::vector<std::uint8_t>{};
}

std::uint64_t ModuleServer::stream_datagrams(int port_index) const {
    std::lock_guard<std::mutex> lk(mu_);
    return module_ ? module_->channels().datagrams_in(port_index) : 0;
}

}  // namespace vrnsim
