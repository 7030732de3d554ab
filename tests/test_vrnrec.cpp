// vrnrec as a process: the records it composes, byte for byte; --from keeps
// every byte not given; show prints what vrnstat prints; bad input is
// refused with nothing written.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "data_file.h"
#include "fault_run.h"

using namespace vrntest;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kRunMs = 30000;

RunResult vrnrec(const std::vector<std::string>& args) { return run_program(VRNREC_PATH, args, kRunMs); }

// The bytes a data file text gives, as vrnprog parses it; warnings dropped.
Bytes parsed(const TempDir& dir, const std::string& text) {
    std::string path = dir.write("parse.dat", text);
    std::FILE* f = std::fopen(path.c_str(), "rt");
    EXPECT_NE(f, nullptr);
    if (!f) return {};
    Bytes image(VRN_IMAGE_BYTES);
    int n = vrn_parse_data_file(f, image.data(), nullptr);
    std::fclose(f);
    EXPECT_GE(n, 0);
    image.resize(static_cast<std::size_t>(n < 0 ? 0 : n));
    return image;
}

Bytes with_comment(Bytes head, const std::string& comment, std::size_t total) {
    head.insert(head.end(), comment.begin(), comment.end());
    head.resize(total, 0);
    return head;
}

const std::vector<std::string> kNetcfgFields = {"--sig", "0x4E434647", "--ip", "172.16.9.200", "--mask",
                                                "255.255.240.0", "--gate", "172.16.0.1", "--port", "4011",
                                                "--timeout", "70000", "--comment", "lab bench"};
const Bytes kNetcfgBytes = with_comment({0x4E, 0x43, 0x46, 0x47, 172, 16, 9, 200, 255, 255, 240, 0, 172, 16, 0, 1, 0, 0,
                                         0x0F, 0xAB, 0, 0x01, 0x11, 0x70},
                                        "lab bench", 152);
const std::string kNetcfgShown =
    "NetCfg VRN info:\n"
    "SIG       - \t0x4E434647\n"
    "IP        - \t172.16.9.200\n"
    "MASK      - \t255.255.240.0\n"
    "GATE      - \t172.16.0.1\n"
    "PORT      - \t4011\n"
    "TIMEOUT   - \t70000\n"
    "COMMENT   - \tlab bench\n"
    "\n";

const std::vector<std::string> kIcrFields = {"--sig", "49435231", "--size", "164", "--serial", "2000000000",
                                             "--type", "0x2", "--ver", "0x00020001", "--devid", "0xC0D",
                                             "--date", "2000-12-31", "--comment", std::string(127, 'c')};
const Bytes kIcrBytes = with_comment({0x49, 0x43, 0x52, 0x31, 0, 0, 0, 164, 0x77, 0x35, 0x94, 0x00, 0, 0, 0, 2, 0, 2, 0,
                                      1, 0, 0, 0x0C, 0x0D, 0, 0, 0, 31, 0, 0, 0, 12, 0, 0, 0x07, 0xD0},
                                     std::string(127, 'c'), 164);
const std::string kIcrShown =
    "ICR VRN info:\n"
    "SIG       - \t0x49435231\n"
    "SIZE      - \t164\n"
    "SERIAL\t   - \t2000000000\n"
    "TYPE      - \t0x00000002\n"
    "VER       - \t0x00020001\n"
    "DEVID     - \t0x00000C0D\n"
    "DAY       - \t31\n"
    "MON       - \t12\n"
    "YEAR      - \t2000\n"
    "COMMENT   - \t" + std::string(127, 'c') + "\n"
    "\n";

std::vector<std::string> args(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(VrnrecCompose, EveryFieldGivenMakesTheRecordWrittenOutByHand) {
    TempDir dir;
    struct Case {
        std::string record;
        std::vector<std::string> fields;
        Bytes bytes;
        std::string shown;
    };
    for (const Case& c : {Case{"netcfg", kNetcfgFields, kNetcfgBytes, kNetcfgShown},
                          Case{"icr", kIcrFields, kIcrBytes, kIcrShown}}) {
        RunResult r = vrnrec(args({c.record}, c.fields));
        ASSERT_EQ(r.status, 0) << c.record << ": " << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(parsed(dir, r.out), c.bytes) << c.record;

        // -o writes the same text, replacing an older file; show prints the
        // record as vrnstat does.
        std::string file = dir.write(c.record + ".dat", "older\n");
        RunResult w = vrnrec(args({c.record, "-o", file}, c.fields));
        EXPECT_EQ(w.status, 0) << c.record;
        EXPECT_EQ(w.out, "");
        EXPECT_EQ(parsed(dir, read_file_bytes(file)), c.bytes) << c.record;
        RunResult s = vrnrec({"show", file});
        EXPECT_EQ(s.out, c.shown);
        EXPECT_EQ(s.status, 0);
    }
}

TEST(VrnrecCompose, FieldsAreCommentedAboveTheirBytes) {
    RunResult r = vrnrec(args({"netcfg"}, kNetcfgFields));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.substr(0, r.out.find("; MASK")),
              "; NetCfg record: 152 bytes for cell 0 of flash sector 2.\n"
              "; Made by vrnrec. Write it with\n"
              ";     vrnprog <ip> <port> 2 <file>\n"
              "; One byte per line; the 32-bit words are stored most significant byte first.\n"
              "; SIG 0x4E434647 (\"NCFG\")\n0x4E\n0x43\n0x46\n0x47\n"
              "; IP 172.16.9.200\n0xAC\n0x10\n0x09\n0xC8\n");
    for (const char* note : {"\n; GATE 172.16.0.1\n0xAC\n", "\n; PORT 4011\n0x00\n0x00\n0x0F\n0xAB\n",
                             "\n; TIMEOUT 70000\n0x00\n0x01\n", "\n; COMMENT \"lab bench\", then 119 NUL bytes\n0x6C\n"})
        EXPECT_NE(r.out.find(note), std::string::npos) << note;
}

// Each option changes its own field's bytes and nothing else, whatever the
// rest holds: bytes after a comment's NUL included. A gateway outside the
// module's subnet is taken, and named on standard error.
TEST(VrnrecFrom, KeepsEveryByteNotGiven) {
    TempDir dir;
    struct Case {
        std::string record;
        std::vector<std::string> option;
        std::size_t offset;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"netcfg", {"--sig", "0x01020304"}, 0, {1, 2, 3, 4}},
        {"netcfg", {"--ip", "192.168.7.250"}, 4, {192, 168, 7, 250}},
        {"netcfg", {"--mask", "255.255.0.0"}, 8, {255, 255, 0, 0}},
        {"netcfg", {"--gate", "192.168.7.254"}, 12, {192, 168, 7, 254}},
        {"netcfg", {"--gate", "10.0.0.1"}, 12, {10, 0, 0, 1}},
        {"netcfg", {"--port", "65532"}, 16, {0, 0, 0xFF, 0xFC}},
        {"netcfg", {"--timeout", "2147483647"}, 20, {0x7F, 0xFF, 0xFF, 0xFF}},
        {"netcfg", {"--comment", ""}, 24, Bytes(128, 0)},
        {"icr", {"--sig", "ffffFFFE"}, 0, {0xFF, 0xFF, 0xFF, 0xFE}},
        {"icr", {"--size", "0"}, 4, {0, 0, 0, 0}},
        {"icr", {"--serial", "305419896"}, 8, {0x12, 0x34, 0x56, 0x78}},
        {"icr", {"--type", "0XABCDEF01"}, 12, {0xAB, 0xCD, 0xEF, 0x01}},
        {"icr", {"--ver", "2"}, 16, {0, 0, 0, 2}},
        {"icr", {"--devid", "0x8042"}, 20, {0, 0, 0x80, 0x42}},
        {"icr", {"--date", "2024-02-29"}, 24, {0, 0, 0, 29, 0, 0, 0, 2, 0, 0, 0x07, 0xE8}},
        {"icr", {"--comment", "x"}, 36, with_comment({}, "x", 128)},
    };
    // A signed record with the module on 192.168.7.0/24 (an ICR record's
    // signature carries a version character of any value).
    const Bytes netcfg_head = {'N', 'C', 'F', 'G', 192, 168, 7, 20, 255, 255, 255, 0, 192, 168, 7, 1};
    const Bytes icr_head = {'I', 'C', 'R', '7'};
    for (const Case& c : cases) {
        std::size_t size = c.record == "netcfg" ? 152 : 164;
        Bytes old = make_image(size, static_cast<std::uint32_t>(c.offset + size));
        const Bytes& head = c.record == "netcfg" ? netcfg_head : icr_head;
        std::copy(head.begin(), head.end(), old.begin());
        old[size - 60] = 0;  // a NUL inside the comment, bytes after it
        std::string from = dir.write("old.dat", data_file_text(old));
        RunResult r = vrnrec(args({c.record, "--from", from}, c.option));
        ASSERT_EQ(r.status, 0) << c.option[0] << ": " << r.out;
        EXPECT_EQ(r.err, c.option[1] == "10.0.0.1"
                             ? "warning: GATE 10.0.0.1 is outside the subnet of IP 192.168.7.20 (MASK 255.255.255.0)\n"
                             : "");
        Bytes want = old;
        std::copy(c.bytes.begin(), c.bytes.end(), want.begin() + static_cast<std::ptrdiff_t>(c.offset));
        EXPECT_EQ(parsed(dir, r.out), want) << c.option[0] << " " << c.option[1];
    }
    // Nothing given: the same bytes again, of a file without the signature
    // too when forced.
    Bytes old = make_image(152, 7);
    RunResult r = vrnrec({"netcfg", "--force", "--from", dir.write("same.dat", data_file_text(old))});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(parsed(dir, r.out), old);
}

TEST(VrnrecShow, PrintsTheRecordChosenBySizeOrByAs) {
    TempDir dir;
    std::string net = dir.write("net.dat", data_file_text(kNetcfgBytes));
    std::string icr = dir.write("icr.dat", data_file_text(kIcrBytes));
    Bytes longer = kNetcfgBytes;
    longer.resize(400, 0xEE);
    std::string dump = dir.write("dump.dat", data_file_text(longer));
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"show", net}, kNetcfgShown},
        {{"show", icr}, kIcrShown},
        {{"show", "--as", "netcfg", net}, kNetcfgShown},
        {{"show", "--as", "icr", icr}, kIcrShown},
        {{"show", "--as", "netcfg", dump}, kNetcfgShown},  // the record at the start of a longer dump
    };
    for (const Case& c : cases) {
        RunResult r = vrnrec(c.args);
        EXPECT_EQ(r.out, c.out) << c.args.back();
        EXPECT_EQ(r.status, 0);
    }
}

// A long line is read in pieces, as vrnprog reads it, and named on standard
// error: harmless when its remainder is a comment, a shifted record when not.
TEST(VrnrecShow, WarnsOfALineReadInPieces) {
    TempDir dir;
    const std::string warning = "line 2 is longer than 127 characters; its remainder is read as a separate value\n";
    std::string text = data_file_text(kNetcfgBytes);
    std::size_t second_line = text.find('\n') + 1;

    std::string comment_rest = text;
    comment_rest.insert(second_line, "; " + std::string(125, '-') + "; the rest\n");
    RunResult r = vrnrec({"show", dir.write("comment.dat", comment_rest)});
    EXPECT_EQ(r.out, kNetcfgShown);
    EXPECT_EQ(r.err, warning);
    EXPECT_EQ(r.status, 0);

    std::string value_rest = text;
    value_rest.insert(second_line, "; " + std::string(125, '-') + " the rest\n");
    std::string file = dir.write("value.dat", value_rest);
    r = vrnrec({"show", file});
    EXPECT_EQ(r.out, "### ERROR: " + file +
                         " holds 153 bytes: neither a NetCfg record (152) nor an ICR record (164); choose with --as\n");
    EXPECT_EQ(r.err, warning);
    EXPECT_EQ(r.status, 254);
}

TEST(VrnrecRefusals, BadInputWritesNothing) {
    TempDir dir;
    std::string out = dir.path("out.dat");
    std::string netcfg_from = dir.write("net.dat", data_file_text(kNetcfgBytes));
    std::string icr_from = dir.write("icr.dat", data_file_text(kIcrBytes));
    std::string big;
    for (int i = 0; i < 65537; ++i) big += "1\n";
    std::string too_big = dir.write("big.dat", big);
    std::string short_file = dir.write("short.dat", data_file_text(Bytes(100, 1)));
    const std::string missing = dir.path("missing.dat");
    // A dump of sector 1 whose bytes are a NetCfg record all the same, and
    // records without their signature.
    std::string netcfg_text = data_file_text(kNetcfgBytes);
    std::string sector1 = dir.write(
        "sector1.dat",
        "; vrndump of the module at 127.0.0.1:3011: 152 cells from cell 0 of flash sector 1\n" + netcfg_text);
    Bytes unsigned_netcfg = kNetcfgBytes, unsigned_icr = kIcrBytes;
    unsigned_netcfg[3] = 'X';
    unsigned_icr[0] = 0xFF;
    std::string netcfg_unsigned = dir.write("nosig.dat", data_file_text(unsigned_netcfg));
    std::string icr_unsigned = dir.write("icrnosig.dat", data_file_text(unsigned_icr));
    const std::string one_host =
        " (the address of one host expected, not 0.0.0.0, a broadcast or a multicast address)\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;  // the whole of standard output; ending in "*": its start
        int status;
    };
    auto net = [&](std::vector<std::string> a) { return args({"netcfg", "--from", netcfg_from, "-o", out}, a); };
    const std::vector<Case> cases = {
        {net({"--ip", "10.0.0"}), "### ERROR: Bad --ip 10.0.0 (dotted IPv4 address expected)\n", 255},
        {net({"--ip", "010.0.0.1"}), "### ERROR: Bad --ip 010.0.0.1 (dotted IPv4 address expected)\n", 255},
        {net({"--gate", "1.2.3.256"}), "### ERROR: Bad --gate 1.2.3.256 (dotted IPv4 address expected)\n", 255},
        {net({"--mask", "255.0.255.0"}),
         "### ERROR: Bad --mask 255.0.255.0 (a network mask such as 255.255.255.0 expected)\n", 255},
        {net({"--mask", "0.0.0.0"}), "### ERROR: Bad --mask 0.0.0.0 (a network mask such as 255.255.255.0 expected)\n",
         255},
        {net({"--mask", "255.255.255.255"}),
         "### ERROR: Bad --mask 255.255.255.255 (a network mask such as 255.255.255.0 expected)\n", 255},
        {net({"--ip", "0.0.0.0"}), "### ERROR: Bad --ip 0.0.0.0" + one_host, 255},
        {net({"--ip", "239.255.0.1"}), "### ERROR: Bad --ip 239.255.0.1" + one_host, 255},
        {net({"--gate", "224.0.0.0"}), "### ERROR: Bad --gate 224.0.0.0" + one_host, 255},
        {net({"--gate", "255.255.255.255"}), "### ERROR: Bad --gate 255.255.255.255" + one_host, 255},
        {net({"--gate", "0.0.0.0"}), "### ERROR: Bad --gate 0.0.0.0" + one_host, 255},
        {net({"--ip", "172.16.15.255"}),
         "### ERROR: IP 172.16.15.255 is the broadcast address of its subnet (MASK 255.255.240.0)\n", 255},
        {net({"--mask", "255.255.255.0", "--gate", "172.16.9.255"}),
         "### ERROR: GATE 172.16.9.255 is the broadcast address of its subnet (MASK 255.255.255.0)\n", 255},
        {net({"--port", "0"}),
         "### ERROR: Bad --port 0 (1..65532 expected: the module takes the port and the three above it)\n", 255},
        {net({"--port", "65533"}),
         "### ERROR: Bad --port 65533 (1..65532 expected: the module takes the port and the three above it)\n", 255},
        {net({"--port", "30x"}),
         "### ERROR: Bad --port 30x (1..65532 expected: the module takes the port and the three above it)\n", 255},
        {net({"--timeout", "-1"}), "### ERROR: Bad --timeout -1 (0..2147483647 expected)\n", 255},
        {net({"--timeout", "2147483648"}), "### ERROR: Bad --timeout 2147483648 (0..2147483647 expected)\n", 255},
        {net({"--sig", "0x123456789"}),
         "### ERROR: Bad --sig 0x123456789 (hexadecimal word expected, e.g. 0x4E434647)\n", 255},
        {net({"--sig", "0x"}), "### ERROR: Bad --sig 0x (hexadecimal word expected, e.g. 0x4E434647)\n", 255},
        {net({"--sig", "12G4"}), "### ERROR: Bad --sig 12G4 (hexadecimal word expected, e.g. 0x4E434647)\n", 255},
        {net({"--comment", std::string(128, 'c')}),
         "### ERROR: --comment is 128 characters long; the field holds 127 and a NUL\n", 255},
        {net({"--comment", "bench \x1b[2J"}), "### ERROR: --comment holds a control character (0x1B at character 7)\n",
         255},
        {{"icr", "--from", icr_from, "-o", out, "--comment", "a\x7F"},
         "### ERROR: --comment holds a control character (0x7F at character 2)\n", 255},
        {{"netcfg", "--from", sector1, "-o", out},
         "### ERROR: " + sector1 +
             " is a dump of flash sector 1; the NetCfg record lies in sector 2 (--force takes it all the same)\n",
         254},
        {{"netcfg", "--from", netcfg_unsigned, "-o", out},
         "### ERROR: " + netcfg_unsigned +
             " does not carry the NetCfg signature \"NCFG\" (its SIG is 0x4E434658; --force takes it all the same)\n",
         254},
        {{"icr", "--from", icr_unsigned, "-o", out},
         "### ERROR: " + icr_unsigned +
             " does not carry the ICR signature \"ICR\" (its SIG is 0xFF435231; --force takes it all the same)\n",
         254},
        {{"icr", "--from", icr_from, "-o", out, "--date", "2023-02-29"},
         "### ERROR: Bad --date 2023-02-29 (a date YYYY-MM-DD expected)\n", 255},
        {{"icr", "--from", icr_from, "-o", out, "--date", "2024-13-01"},
         "### ERROR: Bad --date 2024-13-01 (a date YYYY-MM-DD expected)\n", 255},
        {{"icr", "--from", icr_from, "-o", out, "--date", "2024-1-01"},
         "### ERROR: Bad --date 2024-1-01 (a date YYYY-MM-DD expected)\n", 255},
        {{"icr", "--from", netcfg_from, "-o", out, "--serial", "1"}, "### ERROR: " + netcfg_from +
                                                                         " holds 152 bytes; ICR records have 164\n",
         254},
        {{"netcfg", "--from", missing, "-o", out}, "### ERROR: Can't open data file " + missing + "\n", 254},
        {{"netcfg", "--from", dir.path(""), "-o", out}, "### ERROR: Can't open data file " + dir.path("") + "\n", 254},
        {{"show", dir.path("")}, "### ERROR: Can't open data file " + dir.path("") + "\n", 254},
        // Addresses no module can use.
        {net({"--ip", "127.0.0.1"}),
         "### ERROR: IP 127.0.0.1 is a loopback address (--force takes it all the same)\n", 255},
        {net({"--gate", "240.0.0.1"}),
         "### ERROR: GATE 240.0.0.1 is a reserved address (240.0.0.0 and above) (--force takes it all the same)\n",
         255},
        {net({"--ip", "192.168.0.0", "--mask", "255.255.255.0"}),
         "### ERROR: IP 192.168.0.0 is the network address of its subnet (MASK 255.255.255.0) (--force takes it all "
         "the same)\n",
         255},
        {net({"--ip", "10.1.2.3", "--mask", "255.255.0.0", "--gate", "10.1.2.3"}),
         "### ERROR: GATE 10.1.2.3 is the module's own IP (--force takes it all the same)\n", 255},
        {{"netcfg", "--from", too_big, "-o", out}, "### ERROR: To Big data file - 65537\n", 254},
        {{"netcfg", "--ip", "10.0.0.5", "-o", out},
         "### ERROR: Without --from, every field but --comment must be given; missing: --sig --mask --gate --port "
         "--timeout\n",
         255},
        {net({"--ipx", "1.2.3.4"}), "### ERROR: *", 255},
        {{"show", "--as", "nfs", netcfg_from}, "### ERROR: *", 255},
        {{"show", short_file}, "### ERROR: " + short_file +
                                   " holds 100 bytes: neither a NetCfg record (152) nor an ICR record (164); choose "
                                   "with --as\n",
         254},
        {{"show", "--as", "icr", netcfg_from}, "### ERROR: " + netcfg_from + " holds 152 bytes; ICR records have 164\n",
         254},
        {{"bogus"}, "### ERROR: *", 255},
        {{"netcfg", "--from", netcfg_from, "-o", dir.path("no-such-dir/out.dat")},
         "### ERROR: Can't write " + dir.path("no-such-dir/out.dat") + ": *", 253},
    };
    for (const Case& c : cases) {
        RunResult r = vrnrec(c.args);
        if (!c.out.empty() && c.out.back() == '*') {
            EXPECT_EQ(r.out.substr(0, c.out.size() - 1), c.out.substr(0, c.out.size() - 1)) << r.out;
            EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
        } else {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_EQ(r.status, c.status) << c.out;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.out;
    }
    // A refusal leaves an older output file as it was, and no temporary file.
    std::string kept = dir.write("kept.dat", "old\n");
    EXPECT_EQ(vrnrec(net({"--port", "0", "-o", kept})).status, 255);
    EXPECT_EQ(read_file_bytes(kept), "old\n");
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(kept).parent_path()))
        EXPECT_EQ(e.path().extension(), ".dat") << e.path();
    // --force insists on an address no module can use, with a warning.
    RunResult forced = vrnrec(net({"--force", "--ip", "127.0.0.1"}));
    EXPECT_EQ(forced.status, 0) << forced.out;
    EXPECT_EQ(forced.err, "warning: IP 127.0.0.1 is a loopback address; GATE 172.16.0.1 is outside the subnet of IP "
                          "127.0.0.1 (MASK 255.255.240.0)\n");
    EXPECT_TRUE(std::filesystem::exists(out));
}

TEST(VrnrecCommandLine, HelpVersionAndABareStart) {
    RunResult help = vrnrec({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: vrnrec"), std::string::npos) << help.out;
    RunResult sub = vrnrec({"icr", "--help"});
    EXPECT_EQ(sub.status, 0);
    EXPECT_NE(sub.out.find("--date YYYY-MM-DD"), std::string::npos) << sub.out;
    RunResult version = vrnrec({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("vrnrec ", 0), 0u) << version.out;
    // Without any argument (a double click on Windows): the help, then the
    // wait for a key, which the null device ends at once.
    RunResult bare = vrnrec({});
    EXPECT_EQ(bare.out, help.out);
    EXPECT_EQ(bare.status, 255);
}

#ifndef _WIN32
// An output name that is a symbolic link (a chain of them, or one whose
// file does not exist yet) writes the file it points at, whole, with the
// old file's permissions; the links stay links. A loop of links is refused.
TEST(VrnrecOutput, ThroughSymbolicLinksWithTheOldPermissions) {
    namespace fs = std::filesystem;
    TempDir dir;
    fs::create_directory(dir.path("sub"));
    const std::string real = dir.write("sub/real.dat", "old\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("sub/real.dat", dir.path("link.dat"));
    fs::create_symlink(dir.path("link.dat"), dir.path("chain.dat"));
    fs::create_symlink("new.dat", dir.path("sub/dangling.dat"));
    fs::create_symlink("loop-b.dat", dir.path("loop-a.dat"));
    fs::create_symlink("loop-a.dat", dir.path("loop-b.dat"));
    const std::string netcfg = std::string(VRN_EXAMPLES_DIR) + "/netcfg.dat";

    for (const char* name : {"chain.dat", "sub/dangling.dat"}) {
        RunResult r = vrnrec({"netcfg", "--from", netcfg, "--port", "4011", "-o", dir.path(name)});
        EXPECT_EQ(r.status, 0) << name << ": " << r.out;
        EXPECT_TRUE(fs::is_symlink(dir.path(name))) << name;
    }
    EXPECT_TRUE(fs::is_symlink(dir.path("link.dat")));
    const Bytes want = parsed(dir, vrnrec({"netcfg", "--from", netcfg, "--port", "4011"}).out);
    ASSERT_EQ(want.size(), 152u);
    EXPECT_EQ(parsed(dir, read_file_bytes(real)), want);
    EXPECT_EQ(parsed(dir, read_file_bytes(dir.path("sub/new.dat"))), want);
    EXPECT_EQ(fs::status(real).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    RunResult loop = vrnrec({"netcfg", "--from", netcfg, "-o", dir.path("loop-a.dat")});
    EXPECT_EQ(loop.out.rfind("### ERROR: Can't write " + dir.path("loop-a.dat") + ": ", 0), 0u) << loop.out;
    EXPECT_EQ(loop.status, 253);
    for (const auto& e : fs::directory_iterator(dir.path("sub")))
        EXPECT_EQ(e.path().extension(), ".dat") << "no temporary file left: " << e.path();
}
#endif
