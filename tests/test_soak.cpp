// The soak: the real job, many times over, on a link that loses, delays and
// duplicates datagrams. Each run writes the example NetCfg record (152
// bytes) into sector 2, which holds older data, with sector 0 and the
// neighbouring sectors seeded and checked unchanged, and vrnstat reads the
// module every other run; each run is judged like the fault suite. Prints,
// per profile, the share of runs that succeeded with exact contents, the
// silent corruptions and hangs, and the median and longest run times next
// to those of a clean link.
//
// Run on request only (ctest --preset soak); a short soak of the same
// profiles (SoakShort.*) is part of the default tests.
//
// Environment: VRN_SOAK_RUNS (runs per profile; default per profile),
// VRN_SOAK_WORKERS (runs at once, default 16: they mostly wait out
// receive timeouts), VRN_SOAK_STAT_EVERY (vrnstat on every n-th run,
// default 2), VRN_SOAK_SEED (first seed, default 1000).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "data_file.h"
#include "fault_run.h"

namespace {

long env_number(const char* name, long fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    return (*end || n < 0) ? fallback : n;
}

std::vector<std::uint8_t> netcfg_example() {
    std::vector<std::uint8_t> image(VRN_IMAGE_BYTES);
    std::FILE* f = std::fopen(VRN_EXAMPLES_DIR "/netcfg.dat", "rb");
    int n = f ? vrn_parse_data_file(f, image.data()) : -1;
    if (f) std::fclose(f);
    image.resize(n > 0 ? std::size_t(n) : 0);
    return image;
}

// A link profile: the simulator's wire faults, and the share of runs of
// each program that must end with exact contents.
struct Profile {
    const char* name;
    std::vector<std::string> faults;
    double prog_share;
    double stat_share;
    long runs;        // full soak
    long short_runs;  // short soak
    bool both_chips;  // every other run on a 16-bit Intel chip
    bool late_acks = false;  // acknowledges late within the wait on two runs of three, past it on the third
};

// Half of the loss on requests, half on acknowledges.
std::vector<std::string> loss(const char* half) { return {"--drop-request", half, "--drop-ack", half}; }

const Profile kClean = {"clean link", {}, 1.0, 1.0, 8, 4, true};
const Profile kLoss01 = {"0.1% loss", loss("0.0005"), 0.995, 0.995, 400, 8, false};
const Profile kLoss1 = {"1% loss", loss("0.005"), 0.99, 0.99, 200, 8, false};
const Profile kLoss5 = {"5% loss", loss("0.025"), 0.95, 0.95, 60, 0, false};
// Every wire fault at a low rate; late acknowledges come both within and
// past the client's wait.
const Profile kEveryFault = {"every wire fault",
                             {"--drop-request", "0.001", "--drop-ack", "0.001", "--dup-ack", "0.005", "--split-ack",
                              "0.01", "--corrupt-magic", "0.002", "--other-port", "0.005", "--foreign-address", "0.002"},
                             0.99,
                             0.99,
                             200,
                             8,
                             true,
                             true};

struct Figures {
    long runs = 0, prog_ok = 0, stat_runs = 0, stat_ok = 0;
    long silent = 0, hangs = 0, other_violations = 0;
    std::vector<long> prog_ms, stat_ms;
    vrntest::FaultTally faults;
    std::vector<std::string> examples;  // the first few violations and failures, for the report
};

long median(std::vector<long> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long longest(const std::vector<long>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

vrntest::Scenario scenario(const Profile& p, std::uint32_t seed, long i, long stat_every) {
    static const std::vector<std::uint8_t> image = netcfg_example();
    vrntest::Scenario s;
    s.chip = p.both_chips && i % 2 ? "intel:0x18:16" : "amd:0xA3:8";
    s.image = image;
    s.old_image = vrntest::make_image(200, seed);
    s.seed_neighbours = true;
    s.timeout_ms = 1800000;  // a 5% loss run costs some 70 four-second waits
    s.prog_sim = {"--seed", std::to_string(seed)};
    s.prog_sim.insert(s.prog_sim.end(), p.faults.begin(), p.faults.end());
    auto late = [&](std::vector<std::string>* sw) {
        if (p.late_acks) sw->insert(sw->end(), {"--delay-ack", seed % 3 ? "0.005:40" : "0.002:4500"});
    };
    late(&s.prog_sim);
    s.run_stat = i % stat_every == 0;
    s.stat_sim = {"--seed", std::to_string(seed + 500000)};
    s.stat_sim.insert(s.stat_sim.end(), p.faults.begin(), p.faults.end());
    late(&s.stat_sim);
    return s;
}

Figures soak(const Profile& p, long runs) {
    const long workers = std::max(1L, env_number("VRN_SOAK_WORKERS", 16));
    const long stat_every = std::max(1L, env_number("VRN_SOAK_STAT_EVERY", 2));
    const long first_seed = env_number("VRN_SOAK_SEED", 1000);
    Figures f;
    std::mutex mu;
    std::atomic<long> next{0};
    auto worker = [&] {
        for (long i; (i = next++) < runs;) {
            const std::uint32_t seed = std::uint32_t(first_seed + i);
            vrntest::Outcome o = vrntest::run_scenario(scenario(p, seed, i, stat_every));
            std::lock_guard<std::mutex> lk(mu);
            ++f.runs;
            if (o.prog_ok()) ++f.prog_ok;
            f.prog_ms.push_back(o.prog.elapsed_ms);
            if (o.stat_ran) {
                ++f.stat_runs;
                if (o.stat_ok()) ++f.stat_ok;
                f.stat_ms.push_back(o.stat.elapsed_ms);
            }
            f.faults += o.faults;
            if (o.silent_corruption) ++f.silent;
            if (o.hang) ++f.hangs;
            if (!o.silent_corruption && !o.hang && !o.violations.empty()) ++f.other_violations;
            const bool failed = !o.prog_ok() || (o.stat_ran && !o.stat_ok());
            if ((failed || !o.violations.empty()) && f.examples.size() < 4)
                f.examples.push_back("seed " + std::to_string(seed) + ":\n" + o.report());
        }
    };
    std::vector<std::thread> pool;
    for (long w = 0; w < std::min(workers, runs); ++w) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
    return f;
}

double share(long ok, long of) { return of ? double(ok) / double(of) : 1.0; }

void print_figures(const Profile& p, const Figures& f, long seconds) {
    std::printf(
        "\n%s: %ld runs in %ld s\n"
        "  vrnprog succeeded %ld of %ld (%.1f%%), median %.1f s, longest %.1f s\n"
        "  vrnstat succeeded %ld of %ld (%.1f%%), median %.1f s, longest %.1f s\n"
        "  silent corruptions %ld, hangs %ld, other violations %ld\n"
        "  faults injected %llu: %s\n",
        p.name, f.runs, seconds, f.prog_ok, f.runs, 100 * share(f.prog_ok, f.runs), median(f.prog_ms) / 1000.0,
        longest(f.prog_ms) / 1000.0, f.stat_ok, f.stat_runs, 100 * share(f.stat_ok, f.stat_runs),
        median(f.stat_ms) / 1000.0, longest(f.stat_ms) / 1000.0, f.silent, f.hangs, f.other_violations,
        static_cast<unsigned long long>(f.faults.total()), f.faults.text().c_str());
    for (const std::string& e : f.examples) std::printf("---\n%s", e.c_str());
    std::fflush(stdout);
}

// The promise always; the shares only over enough runs to mean something.
void run_profile(const Profile& p, long default_runs) {
#ifdef _WIN32
    GTEST_SKIP() << "fault runs are POSIX only";
#endif
    const long runs = env_number("VRN_SOAK_RUNS", default_runs);
    if (runs == 0) {
        GTEST_SKIP() << "no runs of this profile in this soak";
    }
    const auto t0 = std::chrono::steady_clock::now();
    const Figures f = soak(p, runs);
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0);
    print_figures(p, f, long(took.count()));
    EXPECT_EQ(f.runs, runs);
    EXPECT_EQ(f.silent, 0);
    EXPECT_EQ(f.hangs, 0);
    EXPECT_EQ(f.other_violations, 0);
    if (!p.faults.empty()) {
        EXPECT_GT(f.faults.total(), 0u);
    }
    if (runs >= 50 || p.faults.empty()) {
        EXPECT_GE(share(f.prog_ok, f.runs), p.prog_share);
        EXPECT_GE(share(f.stat_ok, f.stat_runs), p.stat_share);
    }
}

}  // namespace

TEST(Soak, CleanLink) { run_profile(kClean, kClean.runs); }
TEST(Soak, OneInAThousandLost) { run_profile(kLoss01, kLoss01.runs); }
TEST(Soak, OneInAHundredLost) { run_profile(kLoss1, kLoss1.runs); }
TEST(Soak, FiveInAHundredLost) { run_profile(kLoss5, kLoss5.runs); }
TEST(Soak, EveryWireFault) { run_profile(kEveryFault, kEveryFault.runs); }

TEST(SoakShort, CleanLink) { run_profile(kClean, kClean.short_runs); }
TEST(SoakShort, OneInAThousandLost) { run_profile(kLoss01, kLoss01.short_runs); }
TEST(SoakShort, OneInAHundredLost) { run_profile(kLoss1, kLoss1.short_runs); }
TEST(SoakShort, EveryWireFault) { run_profile(kEveryFault, kEveryFault.short_runs); }
