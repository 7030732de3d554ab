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
// default 2), VRN_SOAK_SEED (first seed, default 1000), VRN_SOAK_IN_FLIGHT
// (reads in flight of every profile's runs, --in-flight; default each
// profile's own).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
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
    double share;     // of the runs of each program that must end with exact contents
    long runs;        // full soak, default wait
    long short_runs;  // short soak, default wait
    // With --wait auto a lost datagram costs milliseconds: more runs make
    // the shares mean something, at little cost.
    long auto_runs = runs;
    long auto_short_runs = short_runs;
    bool both_chips = false;  // every other run on a 16-bit Intel chip
    bool late_acks = false;   // acknowledges late within the wait on two runs of three, past it on the third
    bool counted = true;      // the simulator counts its faults (a slow module has none)
    int in_flight = 1;        // --in-flight of both programs
};

// Half of the loss on requests, half on acknowledges.
std::vector<std::string> loss(const char* half) { return {"--drop-request", half, "--drop-ack", half}; }
std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The profile with eight reads in flight.
Profile in_flight(Profile p, const char* name) {
    p.name = name;
    p.in_flight = 8;
    return p;
}

const Profile kClean = {.name = "clean link", .faults = {}, .share = 1.0, .runs = 8, .short_runs = 4,
                        .both_chips = true};
const Profile kLoss01 = {.name = "0.1% loss", .faults = loss("0.0005"), .share = 0.999, .runs = 400,
                         .short_runs = 8, .auto_runs = 2000, .auto_short_runs = 40};
const Profile kLoss1 = {.name = "1% loss", .faults = loss("0.005"), .share = 0.999, .runs = 200, .short_runs = 8,
                        .auto_runs = 2000, .auto_short_runs = 40};
const Profile kLoss5 = {.name = "5% loss", .faults = loss("0.025"), .share = 0.99, .runs = 60, .short_runs = 0,
                        .auto_runs = 1000, .auto_short_runs = 20};
// Every wire fault at a low rate; late acknowledges come both within and
// past the client's wait.
const Profile kEveryFault = {.name = "every wire fault",
                             .faults = {"--drop-request", "0.001", "--drop-ack", "0.001", "--dup-ack", "0.005",
                                        "--split-ack", "0.01", "--corrupt-magic", "0.002", "--other-port", "0.005",
                                        "--foreign-address", "0.002"},
                             .share = 0.99, .runs = 200, .short_runs = 8, .auto_runs = 1000, .auto_short_runs = 20,
                             .both_chips = true, .late_acks = true};
// Every answer 0 to 20 ms late, one in 200 by 300 ms more, and 0.1% loss.
const Profile kJitter = {.name = "jitter", .faults = plus(loss("0.0005"), {"--jitter", "20", "--delay-ack", "0.005:300"}),
                         .share = 0.999, .runs = 200, .short_runs = 4, .auto_runs = 1000, .auto_short_runs = 20,
                         .both_chips = true};
// A slow module: every answer 30 ms late (a NetCfg write takes about a minute).
const Profile kSlow = {.name = "slow module", .faults = {"--answer-delay", "30"}, .share = 0.999, .runs = 32,
                       .short_runs = 2, .auto_runs = 32, .auto_short_runs = 2, .both_chips = true, .counted = false};
const Profile kEveryFaultInFlight = in_flight(kEveryFault, "every wire fault, 8 reads in flight");
const Profile kDuplicates = {.name = "20% duplicated", .faults = {"--dup-ack", "0.2"}, .share = 0.99, .runs = 200,
                             .short_runs = 8, .auto_runs = 1000, .auto_short_runs = 20, .both_chips = true};
// The copy of a duplicated answer up to 20 ms behind the original: past
// the turn of the ports a copy waits at, into a later request's wait.
// A module across a network: every answer 1 ms late, the requests in
// between served meanwhile, and 0.1% loss; one exchange at a time, and
// eight reads in flight.
const Profile kNetwork = {.name = "1 ms away", .faults = plus(loss("0.0005"), {"--latency", "1000"}), .share = 0.999,
                          .runs = 100, .short_runs = 2, .auto_runs = 200, .auto_short_runs = 4, .both_chips = true};
const Profile kNetworkInFlight = in_flight(kNetwork, "1 ms away, 8 reads in flight");
// One request in a hundred served 5 ms late, after those sent behind it,
// with 8 in flight: a byte's program steps sent together arrive out of
// order (each such byte costs its verify's whole poll).
const Profile kOutOfOrderInFlight = in_flight(
    Profile{.name = "", .faults = {"--hold-request", "0.01:5"}, .share = 0.99, .runs = 100, .short_runs = 2,
            .auto_runs = 100, .auto_short_runs = 4, .both_chips = true},
    "1% out of order, 8 in flight");
const Profile kTrailingDuplicates = {.name = "20% duplicated, copies up to 20 ms late",
                                     .faults = {"--dup-ack", "0.2:0-20"}, .share = 0.99, .runs = 200,
                                     .short_runs = 8, .auto_runs = 200, .auto_short_runs = 8, .both_chips = true};

struct Figures {
    long runs = 0, prog_ok = 0, stat_runs = 0, stat_ok = 0;
    long silent = 0, hangs = 0, false_alarms = 0, other_violations = 0;
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

vrntest::Scenario scenario(const Profile& p, bool adaptive, std::uint32_t seed, long i, long stat_every) {
    static const std::vector<std::uint8_t> image = netcfg_example();
    vrntest::Scenario s;
    s.chip = p.both_chips && i % 2 ? "intel:0x18:16" : "amd:0xA3:8";
    s.image = image;
    s.old_image = vrntest::make_image(200, seed);
    s.seed_neighbours = true;
    s.timeout_ms = 1800000;  // a 5% loss run costs some 70 four-second waits
    if (adaptive) s.options = {"--wait", "auto"};
    const long reads = env_number("VRN_SOAK_IN_FLIGHT", p.in_flight);
    if (reads > 1) s.options.insert(s.options.end(), {"--in-flight", std::to_string(reads)});
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

Figures soak(const Profile& p, bool adaptive, long runs) {
    const long workers = std::max(1L, env_number("VRN_SOAK_WORKERS", 16));
    const long stat_every = std::max(1L, env_number("VRN_SOAK_STAT_EVERY", 2));
    const long first_seed = env_number("VRN_SOAK_SEED", 1000);
    Figures f;
    std::mutex mu;
    std::atomic<long> next{0};
    auto worker = [&] {
        for (long i; (i = next++) < runs;) {
            const std::uint32_t seed = std::uint32_t(first_seed + i);
            vrntest::Outcome o = vrntest::run_scenario(scenario(p, adaptive, seed, i, stat_every));
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
            if (o.false_alarm) ++f.false_alarms;
            if (!o.silent_corruption && !o.hang && !o.false_alarm && !o.violations.empty()) ++f.other_violations;
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

void print_figures(const Profile& p, bool adaptive, const Figures& f, long seconds) {
    std::printf(
        "\n%s, %s%s: %ld runs in %ld s\n"
        "  vrnprog succeeded %ld of %ld (%.1f%%), median %.1f s, longest %.1f s\n"
        "  vrnstat succeeded %ld of %ld (%.1f%%), median %.1f s, longest %.1f s\n"
        "  silent corruptions %ld, hangs %ld, false \"differs\" %ld, other violations %ld\n"
        "  faults injected %llu: %s\n",
        p.name, adaptive ? "--wait auto" : "default wait",
        env_number("VRN_SOAK_IN_FLIGHT", 1) > 1 ? (", --in-flight " + std::to_string(env_number("VRN_SOAK_IN_FLIGHT", 1))).c_str() : "",
        f.runs, seconds, f.prog_ok, f.runs, 100 * share(f.prog_ok, f.runs), median(f.prog_ms) / 1000.0,
        longest(f.prog_ms) / 1000.0, f.stat_ok, f.stat_runs, 100 * share(f.stat_ok, f.stat_runs),
        median(f.stat_ms) / 1000.0, longest(f.stat_ms) / 1000.0, f.silent, f.hangs, f.false_alarms, f.other_violations,
        static_cast<unsigned long long>(f.faults.total()), f.faults.text().c_str());
    for (const std::string& e : f.examples) std::printf("---\n%s", e.c_str());
    std::fflush(stdout);
}

// The promise always; the shares only over enough runs to mean something.
void run_profile(const Profile& p, bool adaptive, long default_runs) {
#ifdef _WIN32
    GTEST_SKIP() << "fault runs are POSIX only";
#endif
    const long runs = env_number("VRN_SOAK_RUNS", default_runs);
    if (runs == 0) {
        GTEST_SKIP() << "no runs of this profile in this soak";
    }
    const auto t0 = std::chrono::steady_clock::now();
    const Figures f = soak(p, adaptive, runs);
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0);
    print_figures(p, adaptive, f, long(took.count()));
    EXPECT_EQ(f.runs, runs);
    EXPECT_EQ(f.silent, 0);
    EXPECT_EQ(f.hangs, 0);
    EXPECT_EQ(f.false_alarms, 0);
    EXPECT_EQ(f.other_violations, 0);
    if (p.counted && !p.faults.empty()) {
        EXPECT_GT(f.faults.total(), 0u);
    }
    if (runs >= 50 || p.faults.empty()) {
        EXPECT_GE(share(f.prog_ok, f.runs), p.share);
        EXPECT_GE(share(f.stat_ok, f.stat_runs), p.share);
    }
}

struct Case {
    const char* name;
    const Profile* profile;
};
const Case kCases[] = {{"CleanLink", &kClean},         {"OneInAThousandLost", &kLoss01}, {"OneInAHundredLost", &kLoss1},
                       {"FiveInAHundredLost", &kLoss5}, {"EveryWireFault", &kEveryFault}, {"Jitter", &kJitter},
                       {"SlowModule", &kSlow},          {"TwentyInAHundredDuplicated", &kDuplicates},
                       {"TwentyInAHundredDuplicatedCopiesLate", &kTrailingDuplicates},
                       {"OneMillisecondAway", &kNetwork},    {"OneMillisecondAwayInFlight", &kNetworkInFlight},
                       {"EveryWireFaultInFlight", &kEveryFaultInFlight},
                       {"OneInAHundredOutOfOrderInFlight", &kOutOfOrderInFlight}};

// Each profile with the default wait and with --wait auto.
class SoakTest : public testing::TestWithParam<std::tuple<Case, bool>> {
protected:
    const Profile& profile() const { return *std::get<0>(GetParam()).profile; }
    bool adaptive() const { return std::get<1>(GetParam()); }
};
std::string case_name(const testing::TestParamInfo<std::tuple<Case, bool>>& info) {
    return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "WaitAuto" : "");
}

class Soak : public SoakTest {};
class SoakShort : public SoakTest {};

}  // namespace

TEST_P(Soak, Profile) { run_profile(profile(), adaptive(), adaptive() ? profile().auto_runs : profile().runs); }
TEST_P(SoakShort, Profile) {
    run_profile(profile(), adaptive(), adaptive() ? profile().auto_short_runs : profile().short_runs);
}
INSTANTIATE_TEST_SUITE_P(Profiles, Soak, testing::Combine(testing::ValuesIn(kCases), testing::Bool()), case_name);
INSTANTIATE_TEST_SUITE_P(Profiles, SoakShort, testing::Combine(testing::ValuesIn(kCases), testing::Bool()), case_name);
