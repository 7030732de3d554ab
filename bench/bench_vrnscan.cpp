// Time of vrnscan over a /24 of loopback addresses that holds three
// modules (the module model served in this process on 127.0.77.2-4),
// without and with --info, each run a whole program from start to exit.
// Goals: all three found in every run, the scan under 2 s without --info
// and under 3 s with it.
// Usage: bench_vrnscan [repeats, default 5]    (POSIX only: not built on Windows)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "model_server.h"
#include "run_program.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kNet = "127.0.77.";
constexpr int kModules = 3;
constexpr double kGoalSeconds = 2.0, kGoalInfoSeconds = 3.0;

// The three modules on one base port free on all their addresses.
std::vector<std::unique_ptr<vrnsim::ModuleServer>> start_modules(std::uint16_t* base) {
    std::vector<vrnsim::ModuleConfig> configs(kModules);
    for (int i = 0; i < kModules; ++i) {
        configs[std::size_t(i)].address = kNet + std::to_string(2 + i);
        configs[std::size_t(i)].keep_logs = false;
    }
    auto servers = start_model_servers(configs);
    if (!servers.empty()) *base = servers.front()->base_port();
    return servers;
}

// Lines of the CSV after its header whose module field is true.
int modules_listed(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    int n = 0;
    for (std::getline(in, line); std::getline(in, line);) n += line.find(",true,") != std::string::npos ? 1 : 0;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::uint16_t base = 0;
    const auto servers = start_modules(&base);
    if (servers.empty()) {
        std::puts("no base port free on 127.0.77.2-4");
        return 1;
    }
    const std::string out = "/tmp/vrnbench_scan_" + std::to_string(getpid()) + ".csv";
    bool goals_met = true;
    std::printf("%-10s %7s %9s %9s %9s %7s\n", "scan", "runs", "median s", "longest s", "goal s", "found");
    for (const bool info : {false, true}) {
        std::vector<std::string> args = {VRNSCAN_PATH, "--csv", "--port", std::to_string(base)};
        if (info) args.push_back("--info");
        args.push_back(std::string(kNet) + "0/24");
        std::vector<double> seconds;
        int found_in_all = kModules;
        for (int k = 0; k < repeats; ++k) {
            const auto t0 = Clock::now();
            const int status = run_program(args, out.c_str());
            seconds.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
            const int found = status == 0 ? modules_listed(out) : -1;
            found_in_all = std::min(found_in_all, found);
        }
        std::sort(seconds.begin(), seconds.end());
        const double goal = info ? kGoalInfoSeconds : kGoalSeconds;
        std::printf("%-10s %7d %9.3f %9.3f %9.1f %4d of %d\n", info ? "--info" : "plain", repeats,
                    seconds[seconds.size() / 2], seconds.back(), goal, found_in_all, kModules);
        if (seconds.back() >= goal || found_in_all != kModules) goals_met = false;
    }
    std::remove(out.c_str());
    std::printf("goals %s\n", goals_met ? "met" : "NOT met");
    return goals_met ? 0 : 1;
}
