// The fake module on real loopback sockets: a LoopbackServer of the module
// model's own, serving the script from its thread.
#include "fake_module.h"

#include <stdexcept>

#include "loopback_server.h"
#include "platform/bytes.h"
#include "port_lease.h"

namespace vrntest {

namespace {

constexpr std::uint32_t kLoopback = 0x0100007fu;   // 127.0.0.1, network order
constexpr std::uint32_t kLoopback2 = 0x0200007fu;  // 127.0.0.2

struct NetGuard {
    NetGuard() { plat_net_start(); }
    ~NetGuard() { plat_net_stop(); }
};

}  // namespace

struct FakeModule::Transport {
    PortLease lease;  // first: given back only once the ports are closed
    vrnsim::LoopbackServer ports;
    std::mutex mu;
    VrnSockAddr last_src[4] = {};  // where each module port's last datagram came from
};

FakeModule::FakeModule(Script script) : script_(std::move(script)), transport_(std::make_unique<Transport>()) {
    // A base leased free can still be held by a stranger: try a few.
    std::string error;
    for (int attempt = 0; !transport_->ports.open("127.0.0.1", transport_->lease.base(), &error); ++attempt) {
        if (attempt == 4) throw std::runtime_error("fake module: " + error);
        transport_->lease = PortLease();
    }
    vrnsim::LoopbackServer::Handler handler;
    handler.receive = [this](int socket, const VrnSockAddr& from, const std::uint8_t* data, std::size_t size,
                             vrnsim::LoopbackServer::Clock::time_point now) {
        Datagram d;
        d.bytes.assign(data, data + size);
        d.port_index = socket;
        d.src_port = plat_htons(from.port);
        d.dst_port = transport_->ports.local_port(socket);
        d.when = now;
        if (socket < 4) {
            std::lock_guard<std::mutex> lock(transport_->mu);
            transport_->last_src[socket] = from;
        }
        std::vector<vrnsim::Outgoing> out;
        for (Action& a : arrived(std::move(d)))
            out.push_back(vrnsim::Outgoing{std::move(a.bytes), a.from < 0 ? socket : a.from, from, 1000L * a.delay_ms});
        return out;
    };
    transport_->ports.start(std::move(handler));
}

FakeModule::~FakeModule() { transport_.reset(); }

std::uint16_t FakeModule::base_port() const { return transport_->ports.base_port(); }

std::uint16_t FakeModule::other_port() const { return transport_->ports.other_port(); }

void FakeModule::send_to_client(const Bytes& bytes, int from, int port_index, int delay_ms) {
    VrnSockAddr to;
    {
        std::lock_guard<std::mutex> lock(transport_->mu);
        to = transport_->last_src[port_index];
    }
    transport_->ports.send(vrnsim::Outgoing{bytes, from, to, 1000L * delay_ms});
}

std::uint16_t pick_free_base(int n) {
    if (n > 4) throw std::invalid_argument("pick_free_base: at most the four ports a module takes");
    return PortLease().keep();
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

}  // namespace vrntest
