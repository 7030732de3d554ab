// Exchanges and time of vrnprog runs, plain and with --skip-erased and
// --changed-only, against the module model on loopback, next to a bare
// blocking UDP ping-pong between two processes measured in the same run.
//
// Cases: (a) the NetCfg example into an erased sector; (b) the same again,
// the sector already holding it; (c) a 64 KiB image three quarters 0xFF
// into an erased sector; (d) a 64 KiB image that differs from what the
// sector holds in 1% of its bytes, by bits that programming can clear.
// Goals: (b) with --changed-only at most 1.05 exchanges per image byte
// after the identification (a read pass and its reset); (c) with
// --skip-erased at most 3.5; (d) with --changed-only at most 1.2 and no
// erase; every run's time per exchange within 1.15 of the ping-pong's.
//
// Usage: bench_vrnprog_options [repeats, default 1]    (POSIX only)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "model_server.h"
#include "module.h"
#include "run_program.h"
#include "vrn.h"
#include "vrnprog_bench.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace vrnbench;

constexpr int kPings = 20000;
constexpr double kGoalUnchanged = 1.05, kGoalSkipErased = 3.5, kGoalChangedOnly = 1.2, kGoalPerExchange = 1.15;
// Identification: the DFA head, five command writes, two code reads, the reset.
constexpr int kIdentifyExchanges = 9;

struct Case {
    const char* name;
    std::vector<std::uint8_t> held;   // what sector 2 holds first (empty: erased)
    std::vector<std::uint8_t> image;  // what vrnprog writes
};

std::vector<Case> cases() {
    const std::vector<std::uint8_t> netcfg = netcfg_example();
    std::vector<std::uint8_t> sparse = pattern(kSectorCells, 3);
    for (std::size_t i = 0; i < sparse.size(); ++i)
        if (i % 4 != 0) sparse[i] = 0xFF;
    const std::vector<std::uint8_t> held = pattern(kSectorCells, 4);
    std::vector<std::uint8_t> cleared = held;
    for (std::size_t i = 0; i < cleared.size(); i += 100) cleared[i] &= std::uint8_t(~(1u << (i / 100 % 8)));
    for (std::size_t i = 0; i < cleared.size(); i += 100)
        if (cleared[i] == held[i]) cleared[i] = std::uint8_t(held[i] & 0x0F);  // the bit was 0 already
    return {
        {"(a) NetCfg into an erased sector", {}, netcfg},
        {"(b) NetCfg again, unchanged", netcfg, netcfg},
        {"(c) 64 KiB, 3/4 0xFF, erased", {}, sparse},
        {"(d) 64 KiB, 1% of bytes cleared", held, cleared},
    };
}

VrnSockAddr loopback(std::uint16_t port) { return vrn_sockaddr(plat_inet_addr("127.0.0.1"), port); }

// The client half of the ping-pong, in a process of its own.
int ping(std::uint16_t port, int n) {
    plat_net_start();
    vrn_socket s = plat_udp_socket();
    const VrnSockAddr peer = loopback(port);
    unsigned char req[40] = {}, ans[64];
    for (int i = 0; i < n; ++i) {
        put_u32(req + 32, std::uint32_t(8 * i));
        VrnSockAddr from{};
        if (plat_sendto(s, req, sizeof req, &peer) != 40 || plat_recvfrom(s, ans, sizeof ans, &from) != 36) return 1;
    }
    return 0;
}

// Microseconds per exchange of a bare ping-pong: this process answers,
// a child process of this program asks.
double ping_pong_us(const std::string& self) {
    vrn_socket s = VRN_NO_SOCKET;
    std::uint16_t port = 0;
    for (std::uint16_t p = 21000; p < 29999 && s == VRN_NO_SOCKET; p += 10) {  // as bind_peer in bench_bus_read
        s = plat_udp_socket();
        const VrnSockAddr a = loopback(p);
        if (plat_bind(s, &a) == 0) {
            port = p;
        } else {
            plat_close_socket(s);
            s = VRN_NO_SOCKET;
        }
    }
    if (s == VRN_NO_SOCKET) return 0;
    std::thread pong([s] {
        unsigned char buf[64], ack[36] = {};
        for (;;) {
            VrnSockAddr from{};
            const int n = plat_recvfrom(s, buf, sizeof buf, &from);
            if (n != 40) return;
            plat_sendto(s, ack, sizeof ack, &from);
        }
    });
    const auto t0 = Clock::now();
    const int status = run_program({self, "--ping", std::to_string(port), std::to_string(kPings)});
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kPings;
    const VrnSockAddr me = loopback(port);
    unsigned char quit[4] = {};
    plat_sendto(s, quit, sizeof quit, &me);
    pong.join();
    plat_close_socket(s);
    return status == 0 ? us : 0;
}

struct Run {
    std::uint64_t exchanges = 0;
    double seconds = 0;
    int erases = 0;
    int status = -1;
};

int count_erases(const std::vector<vrnsim::BusEvent>& log) {
    int n = 0;
    for (std::size_t i = 2; i < log.size(); ++i)
        if (log[i].write && log[i].value == 0x80 && log[i - 1].value == 0x55 && log[i - 2].value == 0xAA) ++n;
    return n;
}

Run run_vrnprog(const Case& c, const std::string& option, const std::string& dir) {
    Run result;
    const std::string flash = dir + "/flash.bin", data = dir + "/image.dat";
    write_flash(flash, c.held);
    write_data_file(data, c.image);
    vrnsim::ModuleConfig config;
    config.flash_file = flash;
    const std::unique_ptr<vrnsim::ModuleServer> server = start_model_server(config);
    if (!server) return result;
    std::vector<std::string> args = {VRNPROG_PATH};
    if (!option.empty()) args.push_back(option);
    args.insert(args.end(), {"127.0.0.1", std::to_string(server->base_port()), std::to_string(kSector), data});
    const auto t0 = Clock::now();
    result.status = run_program(args);
    result.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    result.exchanges = server->requests_seen();
    result.erases = count_erases(server->bus_log());
    server->stop();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--ping") == 0) return ping(std::uint16_t(std::atoi(argv[2])), std::atoi(argv[3]));
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    char dir_template[] = "/tmp/vrnbench_XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (!dir) return 1;
    const std::string self = argv[0];
    std::printf("%-34s %-15s %9s %10s %10s %9s %7s %8s %8s\n", "case", "option", "exchanges", "per byte",
                "after id", "time s", "us/exch", "vs plain", "vs ping");
    bool goals_met = true;
    for (const Case& c : cases()) {
        double plain_seconds = 0;
        for (const char* option : {"", "--skip-erased", "--changed-only"}) {
            std::vector<double> seconds, pings;
            Run r;
            for (int k = 0; k < repeats; ++k) {
                pings.push_back(ping_pong_us(self));
                r = run_vrnprog(c, option, dir);
                seconds.push_back(r.seconds);
            }
            std::sort(seconds.begin(), seconds.end());
            std::sort(pings.begin(), pings.end());
            const double s = seconds[seconds.size() / 2], ping_us = pings[pings.size() / 2];
            if (!*option) plain_seconds = s;
            const double bytes = double(c.image.size());
            const double per_byte = double(r.exchanges) / bytes;
            const double after_id = double(r.exchanges - kIdentifyExchanges) / bytes;
            const double us = r.exchanges ? s * 1e6 / double(r.exchanges) : 0;
            std::printf("%-34s %-15s %9llu %10.3f %10.3f %9.3f %7.1f %8.3f %8.3f%s%s\n", c.name,
                        *option ? option : "plain", static_cast<unsigned long long>(r.exchanges), per_byte, after_id,
                        s, us, plain_seconds > 0 ? s / plain_seconds : 0, ping_us > 0 ? us / ping_us : 0,
                        r.erases ? "" : "  no erase", r.status == 0 ? "" : "  FAILED");
            const std::string o = option;
            if (r.status != 0) goals_met = false;
            if (c.name[1] == 'b' && o == "--changed-only" && after_id > kGoalUnchanged) goals_met = false;
            if (c.name[1] == 'c' && o == "--skip-erased" && after_id > kGoalSkipErased) goals_met = false;
            if (c.name[1] == 'd' && o == "--changed-only" && (after_id > kGoalChangedOnly || r.erases)) goals_met = false;
            // Short runs are dominated by starting the process; the goal is
            // about the exchanges of the long ones.
            if (r.exchanges > 10000 && ping_us > 0 && us / ping_us > kGoalPerExchange) goals_met = false;
        }
    }
    std::printf("ping-pong between two processes: see \"vs ping\" (each run's us/exch over the ping-pong's)\n");
    std::printf("goals %s\n", goals_met ? "met" : "NOT met");
    std::remove((std::string(dir) + "/flash.bin").c_str());
    std::remove((std::string(dir) + "/image.dat").c_str());
    rmdir(dir);
    return goals_met ? 0 : 1;
}
