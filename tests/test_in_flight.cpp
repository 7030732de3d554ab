// Reads in flight, through the programs against vrnsim: on a clean link
// the module sees the requests of one exchange at a time, in the same
// order, and the output is the same; a troubled link never gives a wrong
// file; a bad count is refused before anything is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "fault_run.h"

using namespace vrntest;

namespace {

constexpr int kRunMs = 120000;

// The requests the module saw, as its trace decodes them, in order.
std::vector<std::string> requests(const std::string& log) {
    std::vector<std::string> out;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("vrnsim <- ", 0) == 0) out.push_back(line);
    return out;
}

// What a program printed and what the module saw of it.
struct Seen {
    RunResult run;
    std::vector<std::string> requests;
    std::string file;  // a dump's cells, without its header
};

std::string cells_of(const std::string& dump) {
    std::string out;
    std::istringstream lines(dump);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != ';') out += line + "\n";
    return out;
}

Seen run_with(const char* program, const std::string& chip, const std::vector<std::string>& options,
              const std::vector<std::string>& tail, const TempDir& dir) {
    SimProcess sim({"--chip", chip, "--trace"});
    Seen s;
    if (!sim.ready()) return s;
    std::vector<std::string> args = options;
    args.insert(args.end(), {"127.0.0.1", sim.port_text()});
    const std::string target = dir.path("dump.dat");
    std::filesystem::remove(target);
    for (const std::string& t : tail) args.push_back(t == "FILE" ? target : t);
    s.run = run_program(program, args, kRunMs);
    sim.stop();
    s.requests = requests(sim.log());
    s.file = cells_of(read_file_bytes(target));
    return s;
}

struct Program {
    const char* name;
    const char* path;
    std::vector<std::string> tail;  // the arguments after ip and port
};

}  // namespace

// Both command sets: the records of vrnstat, a dump of a sector, and a
// write, whose AMD program writes and verify reads go out together (the
// model's chip takes the same reads for every byte, so even their number
// is the same).
TEST(InFlight, OnACleanLinkTheSameRequestsInTheSameOrderAndTheSameOutput) {
    TempDir dir;
    const Program programs[] = {{"vrnstat", VRNSTAT_PATH, {}},
                                {"vrndump", VRNDUMP_PATH, {"1", "400", "FILE"}},
                                {"vrnprog", VRNPROG_PATH, {"2", VRN_EXAMPLES_DIR "/netcfg.dat"}}};
    for (const Program& p : programs) {
        for (const std::string chip : {"amd:0xA3:8", "intel:0x18:16"}) {
            const Seen one = run_with(p.path, chip, {}, p.tail, dir);
            const Seen eight = run_with(p.path, chip, {"--in-flight", "8"}, p.tail, dir);
            ASSERT_EQ(one.run.status, 0) << p.name << " " << chip << one.run.out;
            EXPECT_EQ(eight.run.status, 0) << p.name << " " << chip << eight.run.out;
            EXPECT_GT(one.requests.size(), 300u) << p.name << " " << chip;
            EXPECT_EQ(eight.requests, one.requests) << p.name << " " << chip;
            if (p.path != std::string(VRNDUMP_PATH)) {
                // All but the connecting line, which names each simulator's port.
                const auto after_port = [](const std::string& out) { return out.substr(out.find(" \n", 2)); };
                EXPECT_EQ(after_port(eight.run.out), after_port(one.run.out)) << chip;
            } else {
                EXPECT_EQ(std::count(one.file.begin(), one.file.end(), '\n'), 400) << chip;
                EXPECT_EQ(eight.file, one.file) << chip;
            }
        }
    }
}

// Duplicated (the copies up to 20 ms late), split, lost and misdirected
// answers with eight reads in flight: the dump is the sector's cells, or an
// error line and no file. A copy taken for a later read's answer on one
// port is found by the real answer it leaves behind, up to the last read
// of each port.
TEST(InFlight, ATroubledLinkNeverGivesAWrongDump) {
    TempDir dir;
    const Seen clean = run_with(VRNDUMP_PATH, "amd:0xA3:8", {}, {"1", "400", "FILE"}, dir);
    ASSERT_EQ(clean.run.status, 0) << clean.run.out;
    int exact = 0;
#ifdef _WIN32
    constexpr int kSeeds = 4;  // a process start under Wine costs seconds; the window's code is the same
#else
    constexpr int kSeeds = 10;
#endif
    for (int seed = 1; seed <= kSeeds; ++seed) {
        const std::string target = dir.path("troubled.dat");
        std::filesystem::remove(target);
        SimProcess sim({"--seed", std::to_string(seed), "--dup-ack", "0.1:0-20", "--split-ack", "0.02", "--drop-ack",
                        "0.01", "--other-port", "0.02"});
        ASSERT_TRUE(sim.ready()) << sim.log();
        RunResult r = run_program(
            VRNDUMP_PATH, {"--in-flight", "8", "--wait", "auto", "127.0.0.1", sim.port_text(), "1", "400", target},
            kRunMs);
        sim.stop();
        if (r.status == 0) {
            ++exact;
            EXPECT_EQ(cells_of(read_file_bytes(target)), clean.file) << "seed " << seed;
        } else {
            EXPECT_TRUE(has_line_starting(r.out, "### ERROR: ")) << r.out;
            EXPECT_FALSE(std::filesystem::exists(target)) << "seed " << seed;
        }
    }
    EXPECT_GE(exact, kSeeds - 1) << "the dumps get through";
}

TEST(InFlight, ABadCountIsRefusedBeforeAnythingIsSent) {
    TempDir dir;
    const Program programs[] = {{"vrnstat", VRNSTAT_PATH, {}},
                                {"vrndump", VRNDUMP_PATH, {"1", "4", "FILE"}},
                                {"vrnprog", VRNPROG_PATH, {"2", VRN_EXAMPLES_DIR "/netcfg.dat"}}};
    for (const Program& p : programs) {
        for (const char* bad : {"0", "33", "x", "-1"}) {
            const Seen s = run_with(p.path, "amd:0xA3:8", {"--in-flight", bad}, p.tail, dir);
            EXPECT_NE(s.run.status, 0) << p.name << " " << bad;
            EXPECT_NE(s.run.out.find("### ERROR: Bad in-flight count " + std::string(bad) + " (1..32 reads at once expected)"),
                      std::string::npos)
                << p.name << " " << bad << ": " << s.run.out;
            EXPECT_TRUE(s.requests.empty()) << p.name << " " << bad;
        }
    }
}
