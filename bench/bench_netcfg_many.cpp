// Time of writing the NetCfg example into sector 2 of many modules from one
// process, against one module alone: (a) vrnprog given the modules as one
// range, written all at once (--jobs, up to its 64), (b) Python threads
// with a vrn.Module each, and (c) vrnscan --info over 32 modules (its
// default --jobs). The modules are the module model served in this process
// on 127.0.78.2 on, every other one an AMD 8-bit chip (amd:0xA3:8) and an
// Intel 16-bit one (intel:0x16:16), every answer 1 ms late. Each run is a
// whole program from start to exit; the runs of many modules and of one
// alone go in pairs, the order turning from pair to pair, so that a drift
// of the machine's speed moves both sides of a pair alike, and the ratio is
// the median of the pairs'. Every module written must have seen the run's
// requests and hold the image at the end.
// Goals: NetCfg into 32 modules within 2x the time of one module alone
// (vrnprog, and Python threads where the package is built); vrnscan --info
// over 32 modules under 3 s.
// Usage: bench_netcfg_many [pairs, default 3] [vrnprog] [python] [scan]   (default: all three)
//        bench_netcfg_many --serve SECONDS   (the 128 modules alone, for timing by hand)
// POSIX only: not built on Windows.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "model_server.h"
#include "run_program.h"
#include "vrnprog_bench.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kNet = "127.0.78.";
constexpr int kMostModules = 128;
constexpr int kCounts[] = {8, 32, 128};
constexpr int kScanModules = 32;
constexpr int kGoalModules = 32;
constexpr double kGoalRatio = 2.0, kGoalScanSeconds = 3.0;
constexpr double kCapSeconds = 300;  // a run still going then is stopped and counted as failed

std::string address(int i) { return kNet + std::to_string(2 + i); }

vrnsim::ChipConfig chip_of(int i) {
    vrnsim::ChipConfig chip;
    if (i % 2 == 1) {
        chip.kind = vrnsim::ChipKind::Intel;
        chip.maker = 0x89;
        chip.device = 0x16;
        chip.width = 16;
    }
    return chip;
}

// kMostModules modules on one base port free on all their addresses.
std::vector<std::unique_ptr<vrnsim::ModuleServer>> start_modules(std::uint16_t* base) {
    std::vector<vrnsim::ModuleConfig> configs(kMostModules);
    for (int i = 0; i < kMostModules; ++i) {
        vrnsim::ModuleConfig& config = configs[std::size_t(i)];
        config.address = address(i);
        config.chip = chip_of(i);
        config.answer_delay_ms = 1;
        config.keep_logs = false;
    }
    auto servers = start_model_servers(configs);
    if (!servers.empty()) *base = servers.front()->base_port();
    return servers;
}

struct Setup {
    std::vector<std::unique_ptr<vrnsim::ModuleServer>> servers;
    std::string port, image_file, out_file;
    std::vector<std::uint8_t> image;
    bool vrnprog_targets;  // vrnprog takes many targets (--jobs in its help)
};

// Whether vrnprog's help offers --jobs: it then takes many targets.
bool vrnprog_takes_targets(const std::string& out_file) {
    run_program({VRNPROG_PATH, "--help"}, out_file.c_str());
    std::ifstream in(out_file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str().find("--jobs") != std::string::npos;
}

// One way of writing the image into the first n modules.
struct Writer {
    const char* name;
    // Runs the writes of n modules to their end: 0 when all succeeded.
    int (*run)(const Setup& s, int n);
};

// vrnprog's most modules written at once.
constexpr int kMostJobs = 64;

// The first n modules as one target: a range of the last part.
std::string range_of(int n) { return n == 1 ? address(0) : address(0) + "-" + std::to_string(1 + n); }

int vrnprog_write(const Setup& s, int n) {
    const std::string sector = std::to_string(vrnbench::kSector);
    if (n == 1 || s.vrnprog_targets) {
        std::vector<std::string> args = {VRNPROG_PATH};
        if (n > 1) args.insert(args.end(), {"--jobs", std::to_string(std::min(n, kMostJobs))});
        args.insert(args.end(), {range_of(n), s.port, sector, s.image_file});
        return run_program(args, s.out_file.c_str(), kCapSeconds);
    }
    // A vrnprog that takes one target: a process of its own for each
    // module, all started at once.
    const auto t0 = Clock::now();
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) pids.push_back(spawn_program({VRNPROG_PATH, address(i), s.port, sector, s.image_file}));
    int failed = 0;
    for (pid_t pid : pids) failed += wait_program(pid, t0, kCapSeconds) != 0 ? 1 : 0;
    return failed;
}

#ifdef VRN_PYTHON_EXE
// A thread with a Module of its own for each address, all started at once;
// the failures printed, exit status 1 after any.
constexpr const char* kPythonWrite = R"(import sys, threading, vrn
port, image, failures = int(sys.argv[1]), vrn.load_data_file(sys.argv[2]), []
def write(ip):
    try:
        with vrn.Module(ip, port) as module:
            module.write(2, image)
    except Exception as e:
        failures.append(f"{ip}: {e}")
threads = [threading.Thread(target=write, args=(ip,)) for ip in sys.argv[3:]]
for t in threads: t.start()
for t in threads: t.join()
print("\n".join(failures))
sys.exit(1 if failures else 0)
)";

int python_write(const Setup& s, int n) {
    std::vector<std::string> args = {VRN_PYTHON_EXE, "-c", kPythonWrite, s.port, s.image_file};
    for (int i = 0; i < n; ++i) args.push_back(address(i));
    return run_program(args, s.out_file.c_str(), kCapSeconds);
}
#endif

// What the first n modules have served so far.
std::vector<std::uint64_t> requests(const Setup& s, int n) {
    std::vector<std::uint64_t> seen;
    for (int i = 0; i < n; ++i) seen.push_back(s.servers[std::size_t(i)]->requests_seen());
    return seen;
}

// One timed run: its seconds, or -1 when it failed or a module was not written.
double timed_write(const Setup& s, const Writer& w, int n) {
    const std::vector<std::uint64_t> before = requests(s, n);
    const auto t0 = Clock::now();
    const int status = w.run(s, n);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const std::vector<std::uint64_t> after = requests(s, n);
    // A write of the image asks for more than one datagram a byte.
    for (int i = 0; i < n; ++i)
        if (after[std::size_t(i)] - before[std::size_t(i)] < s.image.size()) return -1;
    return status == 0 ? seconds : -1;
}

// Whether each of the first n modules holds the image at the start of the sector.
bool written(const Setup& s, int n) {
    const std::size_t first = std::size_t(vrnbench::kSector) * vrnbench::kSectorCells;
    for (int i = 0; i < n; ++i)
        for (std::size_t k = 0; k < s.image.size(); ++k)
            if ((s.servers[std::size_t(i)]->cell(first + k) & 0xFF) != s.image[k]) return false;
    return true;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// The pairs of one writer; true when its goal holds. Prints a line per
// count of modules: the medians of many and of one alone, and of the ratios.
bool bench_writer(const Setup& s, const Writer& w, int pairs) {
    bool goal = true;
    std::printf("\n%s\n%8s %6s %12s %12s %12s %14s\n", w.name, "modules", "pairs", "median s", "alone s",
                "ratio", "ratio range");
    for (int n : kCounts) {
        std::vector<double> many, alone, ratios;
        bool failed = false;
        for (int p = 0; p < pairs && !failed; ++p) {
            double a = 0, m = 0;
            if (p % 2 == 0) {
                a = timed_write(s, w, 1);
                m = timed_write(s, w, n);
            } else {
                m = timed_write(s, w, n);
                a = timed_write(s, w, 1);
            }
            failed = a < 0 || m < 0 || !written(s, n);
            many.push_back(m);
            alone.push_back(a);
            ratios.push_back(m / a);
        }
        if (failed) {
            std::printf("%8d   FAILED (a run ended with an error, or a module was not written)\n", n);
            if (n == kGoalModules) goal = false;
            continue;
        }
        std::printf("%8d %6d %12.3f %12.3f %12.2f %6.2f..%-6.2f\n", n, pairs, median(many), median(alone),
                    median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()));
        if (n == kGoalModules && median(ratios) > kGoalRatio) goal = false;
    }
    std::printf("goal: %d modules within %.1fx one alone: %s\n", kGoalModules, kGoalRatio, goal ? "met" : "NOT met");
    return goal;
}

// Lines of the CSV whose module was found and read without an error (the
// error field, the last, empty).
int modules_read(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    int n = 0;
    for (std::getline(in, line); std::getline(in, line);)
        n += line.find(",true,") != std::string::npos && !line.empty() && line.back() == ',' ? 1 : 0;
    return n;
}

bool bench_scan(const Setup& s, int pairs) {
    std::printf("\nvrnscan --info\n%8s %6s %12s %12s %12s %8s\n", "modules", "pairs", "median s", "alone s",
                "longest s", "read");
    std::vector<double> many, alone;
    int read_in_all = kScanModules;
    for (int p = 0; p < 2 * pairs; ++p) {
        const int n = p % 2 == 0 ? 1 : kScanModules;
        const auto t0 = Clock::now();
        const int status = run_program({VRNSCAN_PATH, "--info", "--csv", "--port", s.port, range_of(n)},
                                       s.out_file.c_str(), kCapSeconds);
        (n == 1 ? alone : many).push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        const int read = status == 0 ? modules_read(s.out_file) : -1;
        if (n > 1) read_in_all = std::min(read_in_all, read);
        else if (read != 1) read_in_all = -1;
    }
    const double longest = *std::max_element(many.begin(), many.end());
    std::printf("%8d %6d %12.3f %12.3f %12.3f %4d of %d\n", kScanModules, pairs, median(many), median(alone),
                longest, read_in_all, kScanModules);
    const bool goal = read_in_all == kScanModules && longest < kGoalScanSeconds;
    std::printf("goal: all %d read, under %.1f s: %s\n", kScanModules, kGoalScanSeconds, goal ? "met" : "NOT met");
    return goal;
}

}  // namespace

int main(int argc, char** argv) {
    const bool serve = argc > 2 && std::strcmp(argv[1], "--serve") == 0;
    const int pairs = argc > 1 && !serve ? std::max(1, std::atoi(argv[1])) : 3;
    std::uint16_t base = 0;
    Setup s;
    s.servers = start_modules(&base);
    if (s.servers.empty()) {
        std::printf("no base port free on %s2-%d\n", kNet, 1 + kMostModules);
        return 1;
    }
    s.port = std::to_string(base);
    if (serve) {
        std::printf("%d modules on %s2-%d, base port %s, for %s s\n", kMostModules, kNet, 1 + kMostModules,
                    s.port.c_str(), argv[2]);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[2])));
        return 0;
    }
    const std::string stem = "/tmp/vrnbench_many_" + std::to_string(getpid());
    s.image_file = VRN_EXAMPLES_DIR "/netcfg.dat";
    s.out_file = stem + ".out";
    s.image = vrnbench::netcfg_example();
    s.vrnprog_targets = vrnprog_takes_targets(s.out_file);

    std::printf("NetCfg (%zu bytes) into sector 2 of N modules (%s2 on, AMD 8-bit and Intel 16-bit by turns, "
                "answers 1 ms late), against module 1 alone; %d pairs\n",
                s.image.size(), kNet, pairs);
    bool goals = true;
    const Writer vrnprog = {s.vrnprog_targets ? "(a) vrnprog --jobs N TARGETS (N: the modules, at most 64)"
                                              : "(a) vrnprog takes one target here: N processes side by side",
                            vrnprog_write};
    const auto part = [&](const char* name) {
        if (argc <= 2) return true;
        for (int i = 2; i < argc; ++i)
            if (std::strcmp(argv[i], name) == 0) return true;
        return false;
    };
    if (part("vrnprog")) goals &= bench_writer(s, vrnprog, pairs);
#ifdef VRN_PYTHON_EXE
    setenv("PYTHONPATH", VRN_PYTHON_DIR, 1);
    if (part("python"))
        goals &= bench_writer(s, {"(b) Python: a thread and a vrn.Module for each module", python_write}, pairs);
#else
    if (part("python")) std::printf("\n(b) Python: the package is not built here\n");
#endif
    if (part("scan")) goals &= bench_scan(s, pairs);
    std::remove(s.out_file.c_str());
    std::printf("\ngoals %s\n", goals ? "met" : "NOT met");
    return goals ? 0 : 1;
}
