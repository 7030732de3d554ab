// What the six programs do alike: `--version` prints one line of the
// program's name and the project's version, and an option a program does
// not know is refused in the same words by all of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"

namespace {

using vrntest::RunResult;
using vrntest::run_program;

constexpr int kRunMs = 20000;

struct Program {
    const char* name;
    const char* path;
    std::vector<std::string> before;  // a command to give the option to
    bool to_stderr;                   // vrnsim reports on standard error, exits 1
};

const Program kPrograms[] = {
    {"vrnprog", VRNPROG_PATH, {}, false}, {"vrnstat", VRNSTAT_PATH, {}, false},
    {"vrndump", VRNDUMP_PATH, {}, false}, {"vrnrec", VRNREC_PATH, {}, false},
    {"vrnrec", VRNREC_PATH, {"netcfg"}, false}, {"vrnscan", VRNSCAN_PATH, {}, false},
    {"vrnsim", VRNSIM_PATH, {}, true},
};

TEST(Programs, VersionIsOneLineOfTheProjectVersion) {
    for (const Program& p : kPrograms) {
        if (!p.before.empty()) continue;
        RunResult r = run_program(p.path, {"--version"}, kRunMs);
        EXPECT_EQ(r.status, 0) << p.name;
        EXPECT_EQ(r.out, std::string(p.name) + " " + VRN_PROJECT_VERSION + "\n") << p.name;
        EXPECT_EQ(r.err, "") << p.name;
    }
}

// An option alone, and one among arguments that also lack or exceed what
// the program wants: the unknown option is what is said.
TEST(Programs, AnUnknownOptionIsRefusedInOneWording) {
    for (const Program& p : kPrograms) {
        const std::string line = "### ERROR: Unknown option --frobnicate (" + std::string(p.name) + " --help lists them)\n";
        std::vector<std::string> args = p.before;
        args.push_back("--frobnicate");
        RunResult r = run_program(p.path, args, kRunMs);
        EXPECT_EQ(r.status, p.to_stderr ? 1 : 255) << p.name;
        EXPECT_EQ(p.to_stderr ? r.err : r.out, line) << p.name;
        EXPECT_EQ(p.to_stderr ? r.out : r.err, "") << p.name;
    }
    // CLI11 on its own names a missing argument or a surplus one first.
    struct Case {
        const char* path;
        std::vector<std::string> args;
        const char* says;
    } const cases[] = {
        {VRNDUMP_PATH, {"--frobnicate", "127.0.0.1"}, "Unknown option --frobnicate (vrndump --help lists them)"},
        {VRNSCAN_PATH, {"--frobnicate"}, "Unknown option --frobnicate (vrnscan --help lists them)"},
        {VRNREC_PATH, {"show", "--frobnicate"}, "Unknown option --frobnicate (vrnrec --help lists them)"},
        {VRNREC_PATH, {"show", "a.dat", "b.dat", "-x"}, "Unknown option -x (vrnrec --help lists them)"},
    };
    for (const Case& c : cases) {
        RunResult r = run_program(c.path, c.args, kRunMs);
        EXPECT_EQ(r.status, 255) << c.says;
        EXPECT_EQ(r.out, "### ERROR: " + std::string(c.says) + "\n");
    }
}

}  // namespace
