// Per-exchange cost of the library on loopback: a raw blocking UDP
// ping-pong of a 40-byte request and a 36-byte answer, against
// vrn_bus_read of one item, both served by the same minimal peer thread.
// Target: the library's rate at no less than 0.87 of the raw rate. For
// reference it also reads through the module model, whose decoding and
// chip state machine add their own cost on the serving side.
// Usage: bench_bus_read [exchanges per round] [rounds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "model_server.h"
#include "module.h"
#include "vrn.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double TARGET_RATIO = 0.87;
constexpr int DEFAULT_ROUNDS = 9;
constexpr int MAX_ROUNDS = 101;
constexpr int DEFAULT_EXCHANGES = 10000;
constexpr int WARMUP_EXCHANGES = 500;
constexpr int QUIT_BYTES = 4;

VrnSockAddr loopback(std::uint16_t port) { return vrn_sockaddr(plat_inet_addr("127.0.0.1"), port); }

// Answers every 40-byte datagram with a 36-byte bus read acknowledge, as
// cheaply as a peer can; a 4-byte datagram ends it.
void run_peer(vrn_socket s) {
    unsigned char ack[36] = {};
    put_u32(ack + 0, VRN_MAGIC_A);
    put_u32(ack + 4, 7);
    put_u32(ack + 8, VRN_MAGIC_B);
    put_u32(ack + 12, 0x13);
    put_u32(ack + 16, VRN_REG_MAGIC);
    put_u32(ack + 20, BUS_READ_COMMAND);
    put_u32(ack + 24, 3);
    put_u32(ack + 32, 0x5A);
    unsigned char buf[1500];
    for (;;) {
        VrnSockAddr from{};
        const int n = plat_recvfrom(s, buf, sizeof buf, &from);
        if (n == QUIT_BYTES) {
            return;
        }
        if (n == 40) {
            plat_sendto(s, ack, sizeof ack, &from);
        }
    }
}

// Binds the peer on the first free loopback port from 21000 on, away from
// the ephemeral ports client sockets get and the tests' ports (30000-32699, 10000-19999);
// in steps of 10, as the scripts' simulators take theirs (scripts/sim.sh).
vrn_socket bind_peer(std::uint16_t* port) {
    for (std::uint16_t p = 21000; p < 29999; p += 10) {
        vrn_socket s = plat_udp_socket();
        if (s == VRN_NO_SOCKET) {
            return VRN_NO_SOCKET;
        }
        const VrnSockAddr a = loopback(p);
        if (plat_bind(s, &a) == 0) {
            *port = p;
            return s;
        }
        plat_close_socket(s);
    }
    return VRN_NO_SOCKET;
}

// Exchanges per second of n raw ping-pongs; 0 on a failed exchange.
double raw_rate(vrn_socket s, const VrnSockAddr& peer, int n) {
    unsigned char req[40] = {};
    put_u32(req + 0, VRN_MAGIC_A);
    put_u32(req + 4, 8);
    put_u32(req + 8, VRN_MAGIC_B);
    put_u32(req + 12, 0x31);
    unsigned char ans[64];
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        put_u32(req + 32, static_cast<std::uint32_t>(8 * i));
        if (plat_sendto(s, req, sizeof req, &peer) != 40) {
            return 0;
        }
        VrnSockAddr from{};
        if (plat_recvfrom(s, ans, sizeof ans, &from) != 36) {
            return 0;
        }
    }
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

double bus_rate(int handle, int n) {
    unsigned char b = 0;
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        if (vrn_bus_read(handle, BUS_DIRECT, 0, 0, static_cast<std::uint32_t>(8 * i), &b, 1) != 0) {
            return 0;
        }
    }
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

// vrn_bus_read of one item against the module model on loopback.
void report_module_model(int n, int rounds) {
    vrnsim::ModuleConfig config;
    config.keep_logs = false;
    const std::unique_ptr<vrnsim::ModuleServer> server = start_model_server(config);
    if (!server) {
        std::printf("### ERROR: no loopback ports for the module model\n");
        return;
    }
    const int handle = vrn_open(server->address().c_str(), 0);
    double best = 0;
    if (handle >= 0 && bus_rate(handle, WARMUP_EXCHANGES) > 0) {
        for (int r = 0; r < rounds; ++r) {
            best = std::max(best, bus_rate(handle, n));
        }
    }
    if (handle >= 0) {
        vrn_close(handle);
    }
    if (best > 0) {
        std::printf("vrn_bus_read via the module model: %8.0f exchanges/s  %7.2f us each (best round)\n", best,
                    1e6 / best);
    } else {
        std::printf("### ERROR: the module model did not answer\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Arguments: exchanges per round, rounds.
    const int n = argc > 1 ? std::atoi(argv[1]) : DEFAULT_EXCHANGES;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : DEFAULT_ROUNDS;
    if (n <= 0 || rounds <= 0 || rounds > MAX_ROUNDS) {
        std::printf("### ERROR: usage: bench_bus_read [exchanges per round > 0] [rounds 1..%d]\n", MAX_ROUNDS);
        return 1;
    }
    if (plat_net_start() != 0) {
        std::printf("### ERROR: socket library did not start\n");
        return 1;
    }
    std::uint16_t port = 0;
    const vrn_socket peer_sock = bind_peer(&port);
    if (peer_sock == VRN_NO_SOCKET) {
        std::printf("### ERROR: no loopback port for the peer\n");
        return 1;
    }
    std::thread peer(run_peer, peer_sock);
    const VrnSockAddr peer_addr = loopback(port);

    vrn_socket raw = plat_udp_socket();
    // The module takes commands on its control port + 1.
    char address[32];
    std::snprintf(address, sizeof address, "127.0.0.1:%u", static_cast<unsigned>(port - 1));
    const int handle = vrn_open(address, 0);
    int status = 0;
    if (raw == VRN_NO_SOCKET || handle < 0) {
        std::printf("### ERROR: could not open the client side\n");
        status = 1;
    } else if (raw_rate(raw, peer_addr, WARMUP_EXCHANGES) <= 0 || bus_rate(handle, WARMUP_EXCHANGES) <= 0) {
        std::printf("### ERROR: the peer did not answer\n");
        status = 1;
    } else {
        // Alternate the two so that machine load hits both alike: the
        // ratio of each adjacent pair, and the median of those ratios.
        double best_raw = 0;
        double best_bus = 0;
        double ratios[MAX_ROUNDS];
        for (int r = 0; r < rounds; ++r) {
            const double a = raw_rate(raw, peer_addr, n);
            const double b = bus_rate(handle, n);
            best_raw = std::max(best_raw, a);
            best_bus = std::max(best_bus, b);
            ratios[r] = a > 0 ? b / a : 0;
        }
        std::sort(ratios, ratios + rounds);
        const double ratio = ratios[rounds / 2];
        std::printf("raw UDP ping-pong (40/36 bytes): %10.0f exchanges/s  %7.2f us each (best round)\n", best_raw,
                    1e6 / best_raw);
        std::printf("vrn_bus_read of one item:        %10.0f exchanges/s  %7.2f us each (best round)\n", best_bus,
                    1e6 / best_bus);
        std::printf("ratio of best rounds: %.3f; median ratio of %d adjacent rounds: %.3f (target >= %.2f): %s\n",
                    best_bus / best_raw, rounds, ratio, TARGET_RATIO, ratio >= TARGET_RATIO ? "met" : "NOT met");
    }
    if (status == 0) {
        report_module_model(n, rounds);
    }

    if (handle >= 0) {
        vrn_close(handle);
    }
    unsigned char quit[QUIT_BYTES] = {};
    const vrn_socket q = raw != VRN_NO_SOCKET ? raw : plat_udp_socket();
    plat_sendto(q, quit, sizeof quit, &peer_addr);
    peer.join();
    plat_close_socket(peer_sock);
    plat_close_socket(q);
    plat_net_stop();
    return status;
}
