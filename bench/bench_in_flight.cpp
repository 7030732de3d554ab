// A module across a network: vrnstat, vrndump and vrnprog against the
// module model answering every request `--latency` microseconds late (the
// requests in between served meanwhile), one exchange at a time against N
// requests in flight, on both chips. Beside each run: the module's
// requests and the round-trip floor, the requests over N times the
// latency.
//
// Jobs: vrnstat (the records); dumps of 152, 2048 and 65536 cells; writes
// of the NetCfg example and a 2048-byte image (with a 64 KiB image when
// asked: its one-at-a-time write takes minutes). Each run is the median
// of `repeats`; one still running at the cap is stopped and marked.
//
// Usage: bench_in_flight [repeats, default 1] [in flight, default 8]
//        [cap s, default 600] [--big]                  (POSIX only)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "model_server.h"
#include "module.h"
#include "run_program.h"
#include "vrn.h"
#include "vrnprog_bench.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace vrnbench;

struct Chip {
    const char* name;
    vrnsim::ChipConfig config;
};

struct Job {
    const char* name;
    const char* program;
    std::vector<std::string> tail;  // after ip and port; IMAGE and DUMP stand for the files
    std::vector<std::uint8_t> image;
};

struct Run {
    double seconds = 0;
    std::uint64_t requests = 0;
    int status = -1;
};

Run run_job(const Job& job, const Chip& chip, long latency_us, int in_flight, double cap_s, const std::string& dir) {
    Run r;
    const std::string data = dir + "/image.dat", dump = dir + "/dump.dat";
    if (!job.image.empty()) write_data_file(data, job.image);
    vrnsim::ModuleConfig config;
    config.chip = chip.config;
    config.latency_us = latency_us;
    config.keep_logs = false;
    const std::unique_ptr<vrnsim::ModuleServer> server = start_model_server(config);
    if (!server) return r;
    std::vector<std::string> args = {job.program};
    if (in_flight > 1) args.insert(args.end(), {"--in-flight", std::to_string(in_flight)});
    args.insert(args.end(), {"127.0.0.1", std::to_string(server->base_port())});
    for (const std::string& t : job.tail) args.push_back(t == "IMAGE" ? data : t == "DUMP" ? dump : t);
    const auto t0 = Clock::now();
    r.status = wait_program(spawn_program(args), t0, cap_s);
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.requests = server->requests_seen();
    server->stop();
    return r;
}

Run median_run(const Job& job, const Chip& chip, long latency_us, int in_flight, double cap_s, const std::string& dir,
               int repeats) {
    std::vector<Run> runs;
    for (int k = 0; k < repeats; ++k) runs.push_back(run_job(job, chip, latency_us, in_flight, cap_s, dir));
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
    return runs[runs.size() / 2];
}

std::string seconds_text(const Run& r) {
    char t[32];
    std::snprintf(t, sizeof t, r.status == kRunStopped ? ">%.1f" : r.status != 0 ? "%.2f!" : "%.2f", r.seconds);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    const int in_flight = argc > 2 ? std::clamp(std::atoi(argv[2]), 2, VRN_MAX_IN_FLIGHT) : 8;
    const double cap_s = argc > 3 ? std::max(1.0, std::atof(argv[3])) : 600;
    const bool big = argc > 4 && std::strcmp(argv[4], "--big") == 0;
    char dir_template[] = "/tmp/vrnbench_XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (!dir) return 1;
    vrnsim::ChipConfig intel;
    intel.kind = vrnsim::ChipKind::Intel;
    intel.maker = 0x89;
    intel.device = 0x18;
    intel.width = 16;
    const Chip chips[] = {{"amd 8-bit", vrnsim::ChipConfig{}}, {"intel 16-bit", intel}};
    std::vector<Job> jobs = {
        {"vrnstat", VRNSTAT_PATH, {}, {}},
        {"dump 152", VRNDUMP_PATH, {"1", "152", "DUMP"}, {}},
        {"dump 2048", VRNDUMP_PATH, {"1", "2048", "DUMP"}, {}},
        {"dump 65536", VRNDUMP_PATH, {"1", "65536", "DUMP"}, {}},
        {"write NetCfg", VRNPROG_PATH, {"2", "IMAGE"}, netcfg_example()},
        {"write 2048", VRNPROG_PATH, {"2", "IMAGE"}, pattern(2048, 7)},
    };
    if (big) jobs.push_back({"write 65536", VRNPROG_PATH, {"2", "IMAGE"}, pattern(65536, 8)});
    std::printf("%-13s %-13s %6s %9s %8s %9s %8s %8s %7s %9s\n", "job", "chip", "lat us", "requests", "N=1 s",
                "floor s", ("N=" + std::to_string(in_flight) + " s").c_str(), "floor s", "faster", "requests");
    for (long latency_us : {200L, 1000L}) {
        for (const Chip& chip : chips) {
            for (const Job& job : jobs) {
                const Run one = median_run(job, chip, latency_us, 1, cap_s, dir, repeats);
                const Run many = median_run(job, chip, latency_us, in_flight, cap_s, dir, repeats);
                // The round-trip floor: the requests over the count in
                // flight, one latency each.
                const double per = double(latency_us) / 1e6;
                const double floor_one = double(one.requests) * per;
                const double floor_many = double(many.requests) * per / in_flight;
                std::printf("%-13s %-13s %6ld %9llu %8s %9.2f %8s %8.2f %7.1f %9llu\n", job.name, chip.name, latency_us,
                            static_cast<unsigned long long>(one.requests), seconds_text(one).c_str(), floor_one,
                            seconds_text(many).c_str(), floor_many, many.seconds > 0 ? one.seconds / many.seconds : 0,
                            static_cast<unsigned long long>(many.requests));
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
