// The long soak, run only on request (ctest --preset soak): many seeded
// fault runs of vrnprog, and of vrnstat every few runs, each judged like the
// fault suite. Prints its figures: runs, faults injected, silent
// corruptions, hangs, longest run.
//
// Environment: VRN_SOAK_RUNS (default 1000), VRN_SOAK_WORKERS (runs at
// once, default 8: the runs mostly wait out receive timeouts),
// VRN_SOAK_STAT_EVERY (vrnstat on every n-th run, default 10),
// VRN_SOAK_SEED (first seed, default 1000).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "fault_run.h"

namespace {

long env_number(const char* name, long fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    return (*end || n < 0) ? fallback : n;
}

struct Figures {
    long runs = 0, succeeded = 0, reported = 0, stat_runs = 0, stat_reported = 0;
    long silent = 0, hangs = 0, other_violations = 0;
    long longest_ms = 0;
    vrntest::FaultTally faults;
    std::vector<std::string> examples;  // the first few violations, for the report
};

// Runs `runs` seeded scenarios made by make(seed, index) on `workers` threads.
Figures soak(long runs, long workers, long first_seed,
             const std::function<vrntest::Scenario(std::uint32_t seed, long index)>& make) {
    Figures f;
    std::mutex mu;
    std::atomic<long> next{0};
    auto worker = [&] {
        for (long i; (i = next++) < runs;) {
            std::uint32_t seed = std::uint32_t(first_seed + i);
            vrntest::Outcome o = vrntest::run_scenario(make(seed, i));
            std::lock_guard<std::mutex> lk(mu);
            ++f.runs;
            (o.prog_ok() ? f.succeeded : f.reported)++;
            if (o.stat_ran) {
                ++f.stat_runs;
                if (!o.stat_ok()) ++f.stat_reported;
            }
            f.faults += o.faults;
            f.longest_ms = std::max(f.longest_ms, o.longest_ms());
            if (o.silent_corruption) ++f.silent;
            if (o.hang) ++f.hangs;
            if (!o.silent_corruption && !o.hang && !o.violations.empty()) ++f.other_violations;
            if (!o.violations.empty() && f.examples.size() < 5)
                f.examples.push_back("seed " + std::to_string(seed) + ":\n" + o.report());
        }
    };
    std::vector<std::thread> pool;
    for (long w = 0; w < std::max(1L, workers); ++w) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
    return f;
}

void print_figures(const char* name, const Figures& f, std::chrono::seconds took) {
    std::printf(
        "\n%s: %ld runs in %lld s: vrnprog succeeded %ld, reported a failure %ld; vrnstat runs %ld, reported a "
        "failure %ld\n  faults injected %llu: %s\n  silent corruptions %ld, hangs %ld, other violations %ld, "
        "longest run %ld ms\n",
        name, f.runs, static_cast<long long>(took.count()), f.succeeded, f.reported, f.stat_runs, f.stat_reported,
        static_cast<unsigned long long>(f.faults.total()), f.faults.text().c_str(), f.silent, f.hangs,
        f.other_violations, f.longest_ms);
    for (const std::string& e : f.examples) std::printf("---\n%s", e.c_str());
    std::fflush(stdout);
}

void expect_promise_kept(const Figures& f, long runs) {
    EXPECT_EQ(f.runs, runs);
    EXPECT_EQ(f.silent, 0);
    EXPECT_EQ(f.hangs, 0);
    EXPECT_EQ(f.other_violations, 0);
    EXPECT_GT(f.faults.total(), 0u);
}

}  // namespace

#ifdef _WIN32
#define SKIP_ON_WINDOWS() GTEST_SKIP() << "fault runs are POSIX only"
#else
#define SKIP_ON_WINDOWS() (void)0
#endif

// One percent of the command datagrams lost, half of them requests and
// half acknowledges, on a small image.
TEST(Soak, SeededRunsAtOnePercentLoss) {
    SKIP_ON_WINDOWS();
    const long runs = env_number("VRN_SOAK_RUNS", 1000), workers = env_number("VRN_SOAK_WORKERS", 8);
    const long stat_every = std::max(1L, env_number("VRN_SOAK_STAT_EVERY", 10));
    auto t0 = std::chrono::steady_clock::now();
    Figures f = soak(runs, workers, env_number("VRN_SOAK_SEED", 1000), [&](std::uint32_t seed, long i) {
        vrntest::Scenario s;
        s.image = vrntest::make_image(16, seed);
        const std::vector<std::string> loss = {"--drop-request", "0.005", "--drop-ack", "0.005"};
        s.prog_sim = {"--seed", std::to_string(seed)};
        s.prog_sim.insert(s.prog_sim.end(), loss.begin(), loss.end());
        s.run_stat = i % stat_every == 0;
        s.stat_sim = {"--seed", std::to_string(seed + 500000)};
        s.stat_sim.insert(s.stat_sim.end(), loss.begin(), loss.end());
        return s;
    });
    print_figures("Soak at 1% loss", f,
                  std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0));
    expect_promise_kept(f, runs);
}

// Every wire fault at a low rate, on both command sets; late acknowledges
// come both within and past the client's wait.
TEST(Soak, SeededRunsWithEveryWireFault) {
    SKIP_ON_WINDOWS();
    const long runs = env_number("VRN_SOAK_RUNS", 1000) / 4, workers = env_number("VRN_SOAK_WORKERS", 8);
    auto t0 = std::chrono::steady_clock::now();
    Figures f = soak(runs, workers, env_number("VRN_SOAK_SEED", 1000) + 100000, [](std::uint32_t seed, long i) {
        vrntest::Scenario s;
        s.chip = i % 2 ? "intel:0x18:16" : "amd:0xA3:8";
        s.image = vrntest::make_image(16, seed);
        const std::vector<std::string> mix = {
            "--drop-request", "0.002", "--drop-ack", "0.002", "--dup-ack", "0.005", "--split-ack", "0.01",
            "--corrupt-magic", "0.002", "--other-port", "0.005", "--foreign-address", "0.002",
            "--delay-ack", seed % 3 ? "0.005:40" : "0.002:4500"};
        s.prog_sim = {"--seed", std::to_string(seed)};
        s.prog_sim.insert(s.prog_sim.end(), mix.begin(), mix.end());
        s.run_stat = i % 5 == 0;
        s.stat_sim = {"--seed", std::to_string(seed + 500000)};
        s.stat_sim.insert(s.stat_sim.end(), mix.begin(), mix.end());
        return s;
    });
    print_figures("Soak with every wire fault", f,
                  std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0));
    expect_promise_kept(f, runs);
}
