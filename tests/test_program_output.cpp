// What every program writes: standard output whole or a failure, output
// names that are not regular files, options after the arguments, empty
// names, and the put-back line as a shell reads it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "child_process.h"
#include "dump_file.h"
#include "fake_module.h"
#include "program_args.h"

using namespace vrntest;

namespace {

constexpr int kRunMs = 120000;
const std::string kNetcfg = std::string(VRN_EXAMPLES_DIR) + "/netcfg.dat";

struct Invocation {
    const char* program;
    std::vector<std::string> args;
};

#ifndef _WIN32
// The program run by the shell with its standard output redirected.
RunResult run_redirected(const Invocation& run, const std::string& redirection) {
    std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" " + redirection, run.program};
    args.insert(args.end(), run.args.begin(), run.args.end());
    return run_program("/bin/sh", args, kRunMs);
}

// A full disk (/dev/full) and a closed standard output: each program of
// ours says so and fails, where it used to exit 0 with nothing written.
TEST(StandardOutput, AFailedWriteIsAnErrorAndAFailure) {
    TempDir dir;
    SimProcess sim({"--flash", dir.path("flash.bin")});
    ASSERT_TRUE(sim.ready()) << sim.log();
    const std::string port = sim.port_text();
    const std::vector<Invocation> runs = {
        {VRNREC_PATH, {"netcfg", "--from", kNetcfg, "--ip", "192.168.0.151"}},
        {VRNREC_PATH, {"show", kNetcfg}},
        {VRNSTAT_PATH, {"127.0.0.1", port}},
        {VRNSTAT_PATH, {"--json", "127.0.0.1", port}},
        {VRNSCAN_PATH, {"--csv", "--port", port, "127.0.0.1"}},
        {VRNSCAN_PATH, {"--port", port, "127.0.0.1"}},
        {VRNPROG_PATH, {"127.0.0.1", port, "2", kNetcfg}},
        {VRNDUMP_PATH, {"127.0.0.1", port, "2", "4", dir.path("dump.dat")}},
        {VRNSIM_PATH, {"--help"}},
    };
    for (const Invocation& run : runs) {
        for (const char* redirection : {">/dev/full", ">&-"}) {
            SCOPED_TRACE(std::string(run.program) + " " + run.args[0] + " " + redirection);
            RunResult r = run_redirected(run, redirection);
            EXPECT_NE(r.status, 0) << r.err;
            EXPECT_NE(r.err.find("### ERROR: Can't write standard output: "), std::string::npos) << r.err;
            EXPECT_FALSE(r.timed_out);
        }
    }
    // The same runs on a clean output still succeed.
    for (const Invocation& run : runs) EXPECT_EQ(run_redirected(run, ">/dev/null").status, 0) << run.program;
}

// A FIFO (or a device) given as an output file is refused before anything
// is read or sent, and stays what it was: the rename that makes files
// whole would have put a regular file in its place.
TEST(OutputFiles, ANameThatIsNotARegularFileIsRefusedAndKept) {
    TempDir dir;
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FakeModule module;
    const std::string port = std::to_string(module.base_port());
    const std::vector<Invocation> runs = {
        {VRNREC_PATH, {"netcfg", "--from", kNetcfg, "--ip", "192.168.0.151", "-o", fifo}},
        {VRNDUMP_PATH, {"127.0.0.1", port, "2", "4", fifo}},
        {VRNPROG_PATH, {"--backup", fifo, "127.0.0.1", port, "2", kNetcfg}},
    };
    for (const Invocation& run : runs) {
        SCOPED_TRACE(run.program);
        RunResult r = run_program(run.program, run.args, kRunMs);
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.out.find("### ERROR: Can't write"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("it is not a regular file"), std::string::npos) << r.out;
        struct stat st;
        ASSERT_EQ(stat(fifo.c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
    }
    EXPECT_TRUE(module.received().empty());
}

// The line that puts a backup back, pasted into a shell, names the file
// itself whatever it holds, and runs nothing; names without anything
// special stay as the lines always showed them.
TEST(PutBackLine, AShellReadsTheFileNameBackExactly) {
    TempDir dir;
    struct Case {
        std::string name;
        std::string word;  // "": only read back through the shell
    };
    const std::vector<Case> cases = {
        {"netcfg-saved.dat", "netcfg-saved.dat"},
        {"old netcfg.dat", "\"old netcfg.dat\""},
        {"old $(touch PWNED) \"x\".dat", ""},
        {"back`touch PWNED`tick", ""},
        {"it's; touch PWNED", ""},
        {"a\\b\\n", ""},
        {"bang!!", ""},
        {"tab\there", ""},
        {"~home", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string word;
        ASSERT_TRUE(vrn_shell_word(c.name, &word));
        if (!c.word.empty()) {
            EXPECT_EQ(word, c.word);
        }
        RunResult r = run_program("/bin/sh", {"-c", "cd \"$0\" && printf '%s' " + word, dir.path("")}, kRunMs);
        EXPECT_EQ(r.out, c.name);
        EXPECT_FALSE(std::filesystem::exists(dir.path("PWNED")));
        EXPECT_EQ(vrn_write_back_line("127.0.0.1", "3011", 2, c.name), "vrnprog 127.0.0.1 3011 2 " + word);
    }
}

// vrnrec -o - is standard output, as for most tools; no file named "-".
TEST(OutputFiles, ADashIsStandardOutput) {
    TempDir dir;
    const std::vector<std::string> args = {"netcfg", "--from", kNetcfg, "--ip", "192.168.0.151"};
    RunResult plain = run_program(VRNREC_PATH, args, kRunMs);
    ASSERT_EQ(plain.status, 0);
    std::vector<std::string> dash = {"-c", "cd \"$0\" && exec \"$@\"", dir.path(""), VRNREC_PATH};
    dash.insert(dash.end(), args.begin(), args.end());
    dash.insert(dash.end(), {"-o", "-"});
    RunResult r = run_program("/bin/sh", dash, kRunMs);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, plain.out);
    EXPECT_FALSE(std::filesystem::exists(dir.path("-")));
}
#endif

// Refused before anything is sent: an option after the positional
// arguments (taken for nothing, a late --backup would leave no backup), an
// empty output name, a backup name too long for its put-back line.
TEST(CommandLine, RefusedBeforeAnythingIsSent) {
    TempDir dir;
    FakeModule module;
    const std::string port = std::to_string(module.base_port());
    struct Case {
        Invocation run;
        std::string error;  // in standard output
        int status;
    };
    const std::vector<Case> cases = {
        {{VRNPROG_PATH, {"127.0.0.1", port, "2", kNetcfg, "--backup", dir.path("late.dat")}},
         "### ERROR: Option --backup after the arguments: options go before <ip> (vrnprog --help lists them)\n", 255},
        {{VRNPROG_PATH, {"127.0.0.1", port, "2", kNetcfg, "extra", "--skip-erased"}},
         "### ERROR: Option --skip-erased after the arguments", 255},
        {{VRNSTAT_PATH, {"127.0.0.1", port, "--json"}},
         "### ERROR: Option --json after the arguments: options go before <ip> (vrnstat --help lists them)\n", 255},
        {{VRNSTAT_PATH, {"127.0.0.1", port, "--bogus"}}, "### ERROR: Option --bogus after the arguments", 255},
        {{VRNDUMP_PATH, {"127.0.0.1", port, "2", "4", ""}}, "### ERROR: Can't write dump file : no file name\n",
         254},
        {{VRNREC_PATH, {"netcfg", "--from", kNetcfg, "-o", ""}},
         "### ERROR: -o needs a file name (- for standard output)\n", 255},
        {{VRNPROG_PATH, {"--backup", dir.path(std::string(300, 'b')), "127.0.0.1", port, "2", kNetcfg}},
         "characters vrnprog takes, so the line that writes it back would be refused\n", 245},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        RunResult r = run_program(c.run.program, c.run.args, kRunMs);
        EXPECT_NE(r.out.find(c.error), std::string::npos) << r.out;
        EXPECT_EQ(r.status, c.status);
    }
    EXPECT_TRUE(module.received().empty());
    EXPECT_FALSE(std::filesystem::exists(dir.path("late.dat")));
}

}  // namespace
