// The fake module inside the scripted platform: it listens on the
// addresses of its six ports and answers inside the library's own send,
// each answer arriving on the fake clock.
#include <stdexcept>

#include "fake_module.h"
#include "fake_platform.h"
#include "platform/bytes.h"

namespace vrntest {

namespace {

// An answer without a delay of its own still takes this long, so that a
// loop of exchanges lets time pass as it would on a wire.
constexpr std::uint32_t kTurnaroundMs = 1;
// Bases of the modules of one program, apart so that their ports never meet.
constexpr std::uint16_t kFirstBase = 30000;
constexpr std::uint16_t kBaseStep = 10;
constexpr int kBases = 1000;

std::uint16_t next_base() {
    static int n = 0;
    return static_cast<std::uint16_t>(kFirstBase + kBaseStep * (n++ % kBases));
}

}  // namespace

struct FakeModule::Transport {
    std::uint16_t base = next_base();
    VrnSockAddr ports[vrnsim::kServerSockets] = {};  // base..base+3, another port, another address
    int listeners[vrnsim::kServerSockets] = {};
    VrnSockAddr last_src[4] = {};

    Transport() {
        const std::uint32_t module = plat_inet_addr("127.0.0.1"), foreign = plat_inet_addr("127.0.0.2");
        for (int i = 0; i < 4; ++i) ports[i] = vrn_sockaddr(module, static_cast<std::uint16_t>(base + i));
        ports[vrnsim::kOtherPort] = vrn_sockaddr(module, static_cast<std::uint16_t>(base + 6));
        ports[vrnsim::kForeignAddress] = vrn_sockaddr(foreign, static_cast<std::uint16_t>(base + 7));
    }
    ~Transport() {
        for (int id : listeners) fakenet::unlisten(id);
    }
};

FakeModule::FakeModule(Script script) : script_(std::move(script)), transport_(std::make_unique<Transport>()) {
    for (int i = 0; i < vrnsim::kServerSockets; ++i) {
        transport_->listeners[i] = fakenet::listen(transport_->ports[i], [this, i](const fakenet::Sent& sent) {
            Datagram d;
            d.bytes.assign(sent.data, sent.data + sent.size);
            d.port_index = i;
            d.src_port = plat_htons(sent.from.port);
            d.dst_port = plat_htons(transport_->ports[i].port);
            d.when = std::chrono::steady_clock::time_point(std::chrono::milliseconds(fakenet::now_ms()));
            if (i < 4) transport_->last_src[i] = sent.from;
            for (Action& a : arrived(std::move(d))) {
                const int from = a.from < 0 ? i : a.from;
                fakenet::deliver_to(sent.from, transport_->ports[from], std::move(a.bytes),
                                    kTurnaroundMs + static_cast<std::uint32_t>(a.delay_ms));
            }
        });
    }
}

FakeModule::~FakeModule() { transport_.reset(); }

std::uint16_t FakeModule::base_port() const { return transport_->base; }

std::uint16_t FakeModule::other_port() const {
    return plat_htons(transport_->ports[vrnsim::kOtherPort].port);  // htons and ntohs are the same swap
}

void FakeModule::send_to_client(const Bytes& bytes, int from, int port_index, int delay_ms) {
    fakenet::deliver_to(transport_->last_src[port_index], transport_->ports[from], bytes,
                        static_cast<std::uint32_t>(delay_ms));
}

// Every fake source address is possible here.
bool foreign_source_possible() { return true; }

std::uint16_t pick_free_base(int n) {
    if (n > 4) throw std::invalid_argument("pick_free_base: at most the four ports a module takes");
    return next_base();
}

}  // namespace vrntest
