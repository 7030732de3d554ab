// vrnsim's capture file: the pcap header and records byte by byte, and a
// real run of vrnprog against `vrnsim --pcap`, read back by our reader and
// by tshark.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"
#include "fake_module.h"
#include "pcap_reader.h"
#include "pcap_writer.h"

using namespace vrntest;

namespace {

VrnSockAddr addr(const char* ip, std::uint16_t port) {
    VrnSockAddr a{};
    a.family = 2;
    a.port = plat_htons(port);
    a.addr = plat_inet_addr(ip);
    return a;
}

std::uint64_t now_micros() {
    return std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count());
}

}  // namespace

TEST(PcapFormat, FileHeaderIsLittleEndianMicrosecondEthernet) {
    EXPECT_EQ(hex(vrnsim::pcap_file_header()),
              "d4 c3 b2 a1 02 00 04 00 00 00 00 00 00 00 00 00 ff ff 00 00 01 00 00 00");
}

TEST(PcapFormat, RecordsCarryEthernetIpv4AndUdpWithTheirChecksums) {
    struct Case {
        const char* what;
        VrnSockAddr from, to;
        Bytes payload;
        std::uint64_t micros;
        std::uint16_t id;
        const char* expected;
    };
    const Case cases[] = {
        {"an acknowledge's first words from the command port",
         addr("127.0.0.1", 3012), addr("127.0.0.1", 50000),
         {0x6b, 0x24, 0x5a, 0x13, 0x06, 0x00, 0x00, 0x00}, 1700000000123456ull, 0x0102,
         // time 1700000000 s 123456 us, 50 bytes captured of 50
         "00 f1 53 65 40 e2 01 00 32 00 00 00 32 00 00 00 "
         // Ethernet: zero MACs, IPv4
         "00 00 00 00 00 00 00 00 00 00 00 00 08 00 "
         // IPv4: length 36, id 0x0102, TTL 64, UDP, checksum 0x7bc5, 127.0.0.1 -> 127.0.0.1
         "45 00 00 24 01 02 00 00 40 11 7b c5 7f 00 00 01 7f 00 00 01 "
         // UDP: 3012 -> 50000, length 16, checksum 0x677f
         "0b c4 c3 50 00 10 67 7f "
         "6b 24 5a 13 06 00 00 00"},
        {"an odd-length hello to a stream port",
         addr("127.0.0.1", 50001), addr("127.0.0.1", 3013), {0x01}, 1700000001000000ull, 0xFFFF,
         "01 f1 53 65 00 00 00 00 2b 00 00 00 2b 00 00 00 "
         "00 00 00 00 00 00 00 00 00 00 00 00 08 00 "
         "45 00 00 1d ff ff 00 00 40 11 7c ce 7f 00 00 01 7f 00 00 01 "
         // the odd byte is summed as the high half of a word
         "c3 51 0b c5 00 09 31 c3 "
         "01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(hex(vrnsim::pcap_record(c.from, c.to, c.payload.data(), c.payload.size(), c.micros, c.id)),
                  c.expected);
    }
}

// The whole path: vrnprog against vrnsim --pcap, the simulator then killed
// as by a power loss, and every datagram of the run in the file.
TEST(PcapRun, VrnprogRunIsCapturedWholeEvenWhenTheSimulatorIsKilled) {
    TempDir dir;
    const std::string pcap = dir.path("run.pcap");
    const std::string data = dir.write("image.dat", "; two bytes\n0x41\n0x42\n");
    const std::uint64_t before = now_micros();
    SimProcess sim({"--pcap", pcap});
    ASSERT_TRUE(sim.ready()) << sim.log();
    RunResult prog = run_program(VRNPROG_PATH, {"127.0.0.1", sim.port_text(), "2", data}, 120000);
    ASSERT_EQ(prog.status, 0) << prog.out << prog.err;
    sim.kill();
    const std::uint64_t after = now_micros();

    std::vector<PcapDatagram> d;
    std::string why;
    ASSERT_TRUE(read_pcap(pcap, &d, &why)) << why;
    const std::uint16_t command = std::uint16_t(sim.port() + 1);
    ASSERT_FALSE(d.empty());
    const std::uint16_t client = d[0].src_port;
    // The first request reads the DFA head: 32 words, a 288-byte datagram.
    EXPECT_EQ(d[0].payload.size(), 288u);
    std::size_t in = 0, out = 0;
    for (std::size_t i = 0; i < d.size(); ++i) {
        SCOPED_TRACE("datagram " + std::to_string(i + 1));
        EXPECT_EQ(d[i].src_ip, 0x7F000001u);
        EXPECT_EQ(d[i].dst_ip, 0x7F000001u);
        EXPECT_GE(d[i].micros, before);
        EXPECT_LE(d[i].micros, after);
        if (i > 0) {
            EXPECT_GE(d[i].micros, d[i - 1].micros);
        }
        const bool request = i % 2 == 0;  // a clean run: each request, then its acknowledge
        EXPECT_EQ(d[i].src_port, request ? client : command);
        EXPECT_EQ(d[i].dst_port, request ? command : client);
        ++(request ? in : out);
    }
    EXPECT_EQ(in, out);

    const std::string tshark = find_program("tshark");
    if (tshark.empty()) GTEST_SKIP() << "tshark is not installed here; our own reader checked the file";
    RunResult shown = run_program(tshark, {"-r", pcap}, 60000);
    EXPECT_EQ(shown.status, 0) << shown.err;
    std::size_t lines = 0;
    for (char ch : shown.out) lines += ch == '\n';
    EXPECT_EQ(lines, d.size()) << shown.out;
    EXPECT_NE(shown.out.find("UDP"), std::string::npos) << shown.out;
}

TEST(PcapRun, UnwritableFileIsRefusedAtStart) {
    TempDir dir;
    RunResult r = run_program(VRNSIM_PATH, {"--port", std::to_string(pick_free_base(4)), "--pcap",
                                            dir.path("no-such-dir/run.pcap")},
                              20000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("### ERROR: cannot write pcap file"), std::string::npos) << r.err;
}
