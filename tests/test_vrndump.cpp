// vrndump as a process against vrnsim: dumps that vrnprog writes back byte
// for byte, the whole backup-edit-restore workflow with vrnrec, refusals and
// failures that leave no file; and the line on standard error that says
// why a program could not connect.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "data_file.h"
#include "fake_module.h"
#include "fault_run.h"

using namespace vrntest;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kRunMs = 120000;

RunResult run(const char* program, const std::vector<std::string>& args) {
    return run_program(program, args, kRunMs);
}

std::string connecting(const std::string& port) { return "\nConnecting to server 127.0.0.1 : " + port + " \n"; }

std::string flash_info(int vendor, int device, int sectors, int width) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "VRN FLASH INFO:\nVendor ID = 0x%02X\nDevice ID = 0x%02X\nVolume = %d bytes\n"
                  "Size of Sector = 0x00010000 bytes\nNumber of Sectors = %d\nData Width = %d bites\n"
                  "Base Address = 0x00000000\n",
                  vendor, device, sectors * 0x10000, sectors, width);
    return buf;
}

const std::string kAmdInfo = flash_info(0x01, 0xA3, 64, 8);

Bytes parse_file(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rt");
    if (!f) return {};
    Bytes image(VRN_IMAGE_BYTES);
    int n = vrn_parse_data_file(f, image.data(), nullptr);
    std::fclose(f);
    image.resize(static_cast<std::size_t>(n < 0 ? 0 : n));
    return image;
}

// The low bytes of cells 0..count-1 of a sector in a vrnsim flash file.
Bytes flash_cells(const std::string& flash, const std::string& chip, int sector, int count) {
    FlashLayout l = flash_layout(chip);
    Bytes out;
    for (int k = 0; k < count; ++k) {
        std::size_t at = (static_cast<std::size_t>(sector) * l.sector_cells + static_cast<std::size_t>(k)) * l.cell_bytes;
        if (at < flash.size()) out.push_back(static_cast<std::uint8_t>(flash[at]));
    }
    return out;
}

// Names in dir other than the ones given: a temporary file left behind.
std::vector<std::string> strays(const TempDir& dir, const std::vector<std::string>& known) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(dir.path("x")).parent_path())) {
        std::string name = e.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end()) found.push_back(name);
    }
    return found;
}

// The block of vrnstat's output that starts with title, up to its empty line.
std::string block(const std::string& out, const std::string& title) {
    std::size_t at = out.find(title);
    if (at == std::string::npos) return "";
    return out.substr(at, out.find("\n\n", at) + 2 - at);
}

}  // namespace

TEST(VrndumpRun, ADumpWritesBackByteForByte) {
    TempDir dir;
    const std::string chip = "intel:0x18:16";
    std::string flash_a = dir.path("a.bin"), flash_b = dir.path("b.bin");
    SimProcess a({"--chip", chip, "--flash", flash_a});
    SimProcess b({"--flash", flash_b});
    ASSERT_TRUE(a.ready() && b.ready()) << a.log() << b.log();
    // A few hundred cells: each costs a dozen exchanges to write, milliseconds
    // each under Wine.
    constexpr int kCells = 300;
    const Bytes image = make_image(kCells, 5);
    ASSERT_EQ(run(VRNPROG_PATH, {"127.0.0.1", a.port_text(), "3", dir.write("image.dat", data_file_text(image))}).status,
              0);

    std::string dump = dir.path("dump.dat");
    RunResult r = run(VRNDUMP_PATH, {"127.0.0.1", a.port_text(), "3", std::to_string(kCells), dump});
    EXPECT_EQ(r.out, connecting(a.port_text()) + flash_info(0x89, 0x18, 128, 16) + "Dumped " + std::to_string(kCells) + " cells of sector 3 into " +
                         dump + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "") << "no progress line when standard error is not a terminal";
    EXPECT_EQ(parse_file(dump), image);
    // A text file: CR LF line ends on Windows.
    std::string text;
    for (char ch : read_file_bytes(dump))
        if (ch != '\r') text += ch;
    EXPECT_EQ(text.substr(0, text.find("; read ")),
              "; vrndump of the module at 127.0.0.1:" + a.port_text() + ": " + std::to_string(kCells) + " cells from cell 0 of flash sector 3\n");
    EXPECT_NE(text.find("\n; chip: vendor 0x89, device 0x18, 128 sectors of 0x00010000 cells, 16 bits wide\n"
                        "; Write it back with\n;     vrnprog 127.0.0.1 " + a.port_text() + " 3 " + dump + "\n0x"),
              std::string::npos)
        << text.substr(0, 400);

    // Written into another module (another chip), the dump gives the same cells.
    ASSERT_EQ(run(VRNPROG_PATH, {"127.0.0.1", b.port_text(), "5", dump}).status, 0);
    b.stop();
    EXPECT_EQ(flash_cells(read_file_bytes(flash_b), "amd:0xA3:8", 5, kCells + 1),
              [&] { Bytes w = image; w.push_back(0xFF); return w; }());

    // The whole sector, the erased rest included. Not under Wine, where each
    // exchange costs milliseconds and 65,536 reads alone outlast the test's
    // limit: the native suite reads it.
#ifndef _WIN32
    std::string whole = dir.path("whole.dat");
    r = run(VRNDUMP_PATH, {"127.0.0.1", a.port_text(), "3", "65536", whole});
    EXPECT_EQ(r.status, 0) << r.out;
    Bytes want = image;
    want.resize(65536, 0xFF);
    EXPECT_EQ(parse_file(whole), want);
#endif
    EXPECT_TRUE(strays(dir, {"a.bin", "b.bin", "image.dat", "dump.dat", "whole.dat"}).empty());
}

#ifndef _WIN32
// With standard error on a terminal the read shows a progress line there;
// standard output stays the same.
TEST(VrndumpRun, ProgressOnATerminalOnly) {
    TempDir dir;
    PseudoTerminal pty;
    if (!pty.usable()) GTEST_SKIP() << "no pseudo-terminals here";
    SimProcess sim({});
    ASSERT_TRUE(sim.ready()) << sim.log();
    pty.start_reading();
    std::string file = dir.path("d.dat");
    RunResult r = run_program(VRNDUMP_PATH, {"127.0.0.1", sim.port_text(), "1", "3000", file}, kRunMs, nullptr,
                              &pty.slave());
    std::string seen = pty.stop_reading();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, connecting(sim.port_text()) + kAmdInfo + "Dumped 3000 cells of sector 1 into " + file + "\n");
    EXPECT_NE(seen.find("read 3000/3000 bytes"), std::string::npos) << seen;
    EXPECT_NE(seen.find(" left"), std::string::npos) << seen;
}
#endif

// The job the programs are for: back up the network settings, change the
// IP address, write them back, check.
TEST(VrndumpWorkflow, ChangeAModulesIpAddress) {
    TempDir dir;
    const std::string chip = "amd:0xA3:8";
    std::string flash = dir.path("flash.bin");
    SimProcess sim({"--chip", chip, "--flash", flash});
    ASSERT_TRUE(sim.ready()) << sim.log();
    const std::string port = sim.port_text();
    ASSERT_EQ(run(VRNPROG_PATH, {"127.0.0.1", port, "2", std::string(VRN_EXAMPLES_DIR) + "/netcfg.dat"}).status, 0);
    RunResult before = run(VRNSTAT_PATH, {"127.0.0.1", port});
    ASSERT_EQ(before.status, 0) << before.out;
    std::string flash_before = read_file_bytes(flash);

    std::string saved = dir.path("saved.dat"), changed = dir.path("changed.dat");
    ASSERT_EQ(run(VRNDUMP_PATH, {"127.0.0.1", port, "2", "152", saved}).status, 0);
    RunResult shown = run(VRNREC_PATH, {"show", saved});
    EXPECT_EQ(shown.out, block(before.out, "NetCfg VRN info:\n")) << "vrnrec show prints what vrnstat prints";
    ASSERT_EQ(run(VRNREC_PATH, {"netcfg", "--from", saved, "--ip", "10.20.30.40", "-o", changed}).status, 0);
    RunResult written = run(VRNPROG_PATH, {"127.0.0.1", port, "2", changed});
    EXPECT_EQ(written.out, connecting(port) + kAmdInfo);
    EXPECT_EQ(written.status, 0);

    RunResult after = run(VRNSTAT_PATH, {"127.0.0.1", port});
    EXPECT_EQ(after.status, 0);
    std::string want = before.out;
    const std::string old_ip = "IP        - \t192.168.0.150\n";
    want.replace(want.find(old_ip), old_ip.size(), "IP        - \t10.20.30.40\n");
    EXPECT_EQ(after.out, want);
    sim.stop();

    // Every other byte of the flash as it was.
    std::string flash_after = read_file_bytes(flash);
    ASSERT_EQ(flash_after.size(), flash_before.size());
    std::string expect = flash_before;
    std::size_t ip = 2 * flash_layout(chip).sector_cells + 4;
    expect.replace(ip, 4, std::string("\x0A\x14\x1E\x28", 4));
    EXPECT_TRUE(flash_after == expect);

    // The record vrnsim's module came with, in sector 1, shows as vrnstat shows it.
    std::string icr = dir.path("icr.dat");
    SimProcess again({"--chip", chip, "--flash", flash});
    ASSERT_TRUE(again.ready()) << again.log();
    ASSERT_EQ(run(VRNDUMP_PATH, {"127.0.0.1", again.port_text(), "1", "164", icr}).status, 0);
    EXPECT_EQ(run(VRNREC_PATH, {"show", icr}).out, block(before.out, "ICR VRN info:\n"));
}

// vrnprog reads data files with the same parser: the same warning, and its
// standard output as it always was.
TEST(VrndumpWorkflow, VrnprogWarnsOfALineReadInPieces) {
    TempDir dir;
    SimProcess sim({});
    ASSERT_TRUE(sim.ready()) << sim.log();
    std::string file = dir.write("long.dat", "0x01\n0x02\n; " + std::string(125, '-') + "; the rest\n0x03\n");
    RunResult r = run(VRNPROG_PATH, {"127.0.0.1", sim.port_text(), "2", file});
    EXPECT_EQ(r.out, connecting(sim.port_text()) + kAmdInfo);
    EXPECT_EQ(r.err, "line 3 is longer than 127 characters; its remainder is read as a separate value\n");
    EXPECT_EQ(r.status, 0);
}

TEST(VrndumpRefusals, NothingIsWrittenAndAnOlderFileStays) {
    TempDir dir;
    SimProcess amd({});
    SimProcess unlisted({"--chip", "amd:0x77:8"});
    SimProcess dead({"--dead-chip"});
    ASSERT_TRUE(amd.ready() && unlisted.ready() && dead.ready());
    const std::string target = dir.path("out.dat");
    const std::string missing_dir = dir.path("no-such-dir/out.dat");
    const std::string a_dir = dir.path("a-dir");
    std::filesystem::create_directory(a_dir);
    struct Case {
        const SimProcess* sim;
        std::vector<std::string> args;  // after ip and port
        std::string out;                // after the connecting line and the flash lines when connected
        int status;
        bool connects;
    };
    const std::vector<Case> cases = {
        {&amd, {"2", "0", target}, "### ERROR: Bad count 0 (1..65536 expected)\n", 255, false},
        {&amd, {"2", "65537", target}, "### ERROR: Bad count 65537 (1..65536 expected)\n", 255, false},
        {&amd, {"2", "15x", target}, "### ERROR: Bad count 15x (1..65536 expected)\n", 255, false},
        {&amd, {"x", "152", target}, "### ERROR: Bad sector x (non-negative decimal number expected)\n", 255, false},
        {&amd, {"2", "152", missing_dir}, "### ERROR: Can't write dump file " + missing_dir + ": *", 254, false},
        {&amd, {"2", "152", a_dir}, "### ERROR: Can't write dump file " + a_dir + ": it is a directory\n", 254, false},
        {&amd, {"64", "152", target}, "### ERROR: Sector 64 is beyond the last sector 63, nothing read\n", 251, true},
        {&unlisted, {"2", "152", target},
         "### ERROR: Flash chip not identified (vendor 0x01, device 0x77), nothing read\n", 252, true},
        {&dead, {"2", "152", target}, "### ERROR: Flash chip not identified (vendor 0xFF, device 0xFF), nothing read\n",
         252, true},
    };
    for (bool older_file : {false, true}) {
        if (older_file) dir.write("out.dat", "older\n");
        for (const Case& c : cases) {
            std::vector<std::string> args = {"127.0.0.1", c.sim->port_text()};
            args.insert(args.end(), c.args.begin(), c.args.end());
            RunResult r = run(VRNDUMP_PATH, args);
            std::string head;
            if (c.connects) {
                head = connecting(c.sim->port_text());
                if (c.sim == &unlisted) head += "VRN FLASH INFO:\nVendor ID = 0x01\nDevice ID = 0x77\n";
                else if (c.sim == &dead) head += "VRN FLASH INFO:\nVendor ID = 0xFF\nDevice ID = 0xFF\n";
                else head += kAmdInfo;
            }
            ASSERT_EQ(r.out.substr(0, head.size()), head) << c.out;
            if (c.out.back() == '*') {
                EXPECT_EQ(r.out.substr(head.size(), c.out.size() - 1), c.out.substr(0, c.out.size() - 1)) << r.out;
            } else {
                EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), c.out.size())), c.out) << r.out;
            }
            EXPECT_EQ(r.status, c.status) << c.out;
            if (older_file) {
                EXPECT_EQ(read_file_bytes(target), "older\n") << c.out;
            } else {
                EXPECT_FALSE(std::filesystem::exists(target)) << c.out;
            }
            EXPECT_TRUE(strays(dir, {"out.dat", "a-dir"}).empty()) << c.out;
        }
    }
}

TEST(VrndumpCommandLine, PositionalsHelpAndVersion) {
    RunResult r = run(VRNDUMP_PATH, {"127.0.0.1", "3011", "2", "152"});
    EXPECT_EQ(r.out.rfind("### ERROR: ", 0), 0u) << r.out;
    EXPECT_EQ(r.status, 255);
    RunResult help = run(VRNDUMP_PATH, {"--help"});
    EXPECT_NE(help.out.find("vrndump [OPTIONS] ip port sector count file"), std::string::npos) << help.out;
    EXPECT_EQ(help.status, 0);
    RunResult version = run(VRNDUMP_PATH, {"--version"});
    EXPECT_EQ(version.out.rfind("vrndump ", 0), 0u) << version.out;
    EXPECT_EQ(version.status, 0);
    RunResult bare = run(VRNDUMP_PATH, {});
    EXPECT_EQ(bare.out, help.out) << "a bare start shows the help and waits for a key";
    EXPECT_EQ(bare.status, 255);
}

// A module that goes away mid-dump: the reads fail, and neither the dump
// file nor a temporary one is left; an older file stays as it was.
TEST(VrndumpFaults, AModuleLostMidDumpLeavesNoFile) {
    TempDir dir;
    // Every answer 5 ms late: the identification takes some 50 ms, the whole
    // sector minutes, so the module is surely lost in the middle of the read.
    SimProcess sim({"--flash", dir.path("flash.bin"), "--delay-ack", "1:5"});
    ASSERT_TRUE(sim.ready()) << sim.log();
    std::string target = dir.write("out.dat", "older\n");
    auto dump = std::async(std::launch::async, [&] {
        return run(VRNDUMP_PATH, {"127.0.0.1", sim.port_text(), "2", "65536", target});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sim.kill();
    RunResult r = dump.get();
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("\n### ERROR: Read of sector 2 failed, nothing written to " + target + "\n"), std::string::npos)
        << r.out;
    EXPECT_TRUE(read_file_bytes(target) == "older\n");
    EXPECT_TRUE(strays(dir, {"out.dat", "flash.bin"}).empty());
}

// On a link with duplicated, split and misdirected answers a dump either
// holds exactly the flash's cells or fails with nothing written.
TEST(VrndumpFaults, ATroubledLinkNeverGivesAWrongFile) {
    TempDir dir;
    const std::string chip = "amd:0xA3:8";
    int written = 0;
    for (int seed = 1; seed <= 6; ++seed) {
        std::string flash = dir.path("flash" + std::to_string(seed) + ".bin");
        std::string target = dir.path("dump" + std::to_string(seed) + ".dat");
        SimProcess sim({"--flash", flash, "--seed", std::to_string(seed), "--dup-ack", "0.03", "--split-ack", "0.03",
                        "--other-port", "0.03"});
        ASSERT_TRUE(sim.ready()) << sim.log();
        RunResult r = run(VRNDUMP_PATH, {"127.0.0.1", sim.port_text(), "1", "300", target});
        sim.stop();
        if (r.status == 0) {
            ++written;
            EXPECT_EQ(parse_file(target), flash_cells(read_file_bytes(flash), chip, 1, 300)) << "seed " << seed;
        } else {
            EXPECT_TRUE(has_line_starting(r.out, "### ERROR: ")) << r.out;
            EXPECT_FALSE(std::filesystem::exists(target)) << "seed " << seed;
        }
    }
    EXPECT_GT(written, 0) << "some dumps get through";
}

// Answers carry no sequence number: once the link has shown trouble (here
// an unanswered attempt, made good by its repeat) the chip is identified
// until two identifications without trouble agree, and the cells take two
// passes that agree, the second guarded by a write of all ones before each
// read. A clean link costs the plain traffic.
TEST(VrndumpFaults, AfterTroubleTheCellsTakeTwoPasses) {
#ifdef _WIN32
    GTEST_SKIP() << "the datagram count comes from vrnsim's summary, which it prints when signalled; POSIX only";
#endif
    TempDir dir;
    auto datagrams = [&](const std::vector<std::string>& faults) {
        SimProcess sim(faults);
        if (!sim.ready()) return std::uint64_t(0);
        RunResult r = run(VRNDUMP_PATH, {"127.0.0.1", sim.port_text(), "1", "164", dir.path("icr.dat")});
        EXPECT_EQ(r.status, 0) << r.out;
        sim.stop();
        return parse_fault_summary(sim.log()).command_datagrams;
    };
    const std::uint64_t clean = datagrams({});
    ASSERT_GT(clean, 0u);
    // The probe, the identification (the DFA head, five command writes, two
    // code reads, the reset), 164 cell reads and their reset.
    EXPECT_EQ(clean, 1u + 9u + 165u);
    // The answer of datagram 2, the DFA head read after the echo probe, is
    // lost: its repeat and an identification without trouble, one pass; or
    // it comes from another address, which may have stood in for an
    // answer: the repeat, the troubled identification and two more that
    // agree, the guarded pass.
    EXPECT_EQ(datagrams({"--drop-ack", "1", "--faults-after", "1", "--fault-limit", "1"}), clean + 1 + 9);
    if (!foreign_source_possible()) return;
    EXPECT_EQ(datagrams({"--foreign-address", "1", "--faults-after", "1", "--fault-limit", "1"}),
              clean + 1 + 2 * 9 + (2 * 164 + 1));
}

// ---------------------------------------------------------------------------
// A failed connection open: standard output keeps the connecting line alone;
// standard error says what failed.

TEST(ConnectFailure, SaysWhyOnStandardError) {
    // Each datagram comes back with one bit changed.
    FakeModule wrong([](const Datagram& d, int) {
        Bytes b = d.bytes;
        b[3] ^= 1;
        return std::vector<Action>{{b}};
    });
    FakeModule silent;
    TempDir dir;
    const std::string unused = dir.path("unused.dat");
    struct Case {
        const char* program;
        const FakeModule* module;
        std::vector<std::string> more;
        std::string why;
        bool json = false;  // vrnstat --json: the object with its error on standard output
    };
    const std::vector<Case> cases = {
        {VRNSTAT_PATH, &silent, {}, "no answer to the echo probe"},
        {VRNDUMP_PATH, &silent, {"2", "152", unused}, "no answer to the echo probe"},
        {VRNSTAT_PATH, &wrong, {}, "wrong answer to the echo probe"},
        {VRNDUMP_PATH, &wrong, {"2", "152", unused}, "wrong answer to the echo probe"},
        {VRNSTAT_PATH, &wrong, {}, "wrong answer to the echo probe", true},
    };
    // Two probes unanswered take 8 s: the cases run side by side.
    std::vector<std::future<RunResult>> runs;
    for (const Case& c : cases) {
        std::vector<std::string> args = {"127.0.0.1", std::to_string(c.module->base_port())};
        if (c.json) args.insert(args.begin(), "--json");
        args.insert(args.end(), c.more.begin(), c.more.end());
        runs.push_back(std::async(std::launch::async, [&c, args] { return run(c.program, args); }));
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        RunResult r = runs[i].get();
        std::string port = std::to_string(cases[i].module->base_port());
        const std::string error = "Can't connect to 127.0.0.1:" + port + ": " + cases[i].why;
        EXPECT_EQ(r.out, cases[i].json ? "{\n  \"address\": \"127.0.0.1\",\n  \"port\": " + port + ",\n  \"error\": \"" +
                                             error + "\"\n}\n"
                                       : connecting(port))
            << cases[i].program;
        EXPECT_EQ(r.err, "### ERROR: " + error + "\n")
            << cases[i].program;
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_TRUE(strays(dir, {}).empty());
}

#ifndef _WIN32
// vrnprog opens without the probe: what can fail is the socket itself,
// here for want of file descriptors (three free ones for four sockets).
TEST(ConnectFailure, VrnprogNamesTheSocketError) {
    FakeModule module;
    std::string port = std::to_string(module.base_port());
    RunResult r = run("/bin/sh", {"-c", std::string("exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 6; exec ") +
                                            VRNPROG_PATH + " 127.0.0.1 " + port + " 2 " + VRN_EXAMPLES_DIR +
                                            "/netcfg.dat"});
    EXPECT_EQ(r.out, connecting(port));
    EXPECT_EQ(r.err.rfind("### ERROR: Can't connect to 127.0.0.1:" + port + ": cannot make a UDP socket: ", 0), 0u)
        << r.err;
    EXPECT_EQ(r.status, 255);
}
#endif
