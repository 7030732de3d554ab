// vrnscan: its targets, its refusals, and whole scans as a child process:
// simulators on several loopback addresses found and read, devices that
// answer with something other than the echo told apart, a lost probe
// resent. Results are judged from the JSON and CSV as a reader parses them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "fake_module.h"
#include "platform/bytes.h"
#include "scan_report.h"
#include "scan_targets.h"

using namespace vrntest;
using Json = nlohmann::json;

namespace {

constexpr int kRunMs = 60000;

RunResult vrnscan(const std::vector<std::string>& args) { return run_program(VRNSCAN_PATH, args, kRunMs); }

const Bytes kProbe = {0x68, 0x24, 0x57, 0x13, 0xdd, 0xcc, 0xbb, 0xaa, 0x11, 0x00, 0xff, 0xee, 0xaa, 0x33, 0xff, 0x00};

// A device at ip:port that answers each datagram with what `answer` makes
// of it (nothing when empty).
class Responder {
public:
    Responder(const std::string& ip, std::uint16_t port, std::function<Bytes(const Bytes&)> answer)
        : answer_(std::move(answer)) {
        plat_net_start();
        socket_ = plat_udp_socket();
        const VrnSockAddr at = vrn_sockaddr(plat_inet_addr(ip.c_str()), port);
        if (socket_ == VRN_NO_SOCKET || plat_bind(socket_, &at) != 0) return;
        thread_ = std::thread([this] { serve(); });
    }
    ~Responder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (socket_ != VRN_NO_SOCKET) plat_close_socket(socket_);
        plat_net_stop();
    }
    bool ready() const { return thread_.joinable(); }

private:
    void serve() {
        while (!stop_) {
            if (plat_wait_readable(socket_, 0, 20000) <= 0) continue;
            Bytes got(2048);
            VrnSockAddr from{};
            const int n = plat_recvfrom(socket_, got.data(), int(got.size()), &from);
            if (n <= 0) continue;
            got.resize(std::size_t(n));
            const Bytes reply = answer_(got);
            if (!reply.empty()) plat_sendto(socket_, reply.data(), int(reply.size()), &from);
        }
    }

    std::function<Bytes(const Bytes&)> answer_;
    vrn_socket socket_ = VRN_NO_SOCKET;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

TEST(ScanTargets, AddressesRangesAndBlocks) {
    struct Case {
        std::vector<std::string> targets;
        std::size_t count;
        std::string first, last;
    };
    const Case cases[] = {
        {{"192.168.0.7"}, 1, "192.168.0.7", "192.168.0.7"},
        {{"192.168.0.10-40"}, 31, "192.168.0.10", "192.168.0.40"},
        {{"10.0.0.250-10.0.1.5"}, 12, "10.0.0.250", "10.0.1.5"},
        {{"127.0.5.77/24"}, 254, "127.0.5.1", "127.0.5.254"},  // network and broadcast left out
        {{"10.1.0.0/16"}, 65534, "10.1.0.1", "10.1.255.254"},
        {{"10.0.0.4/31"}, 2, "10.0.0.4", "10.0.0.5"},
        {{"10.0.0.9/32"}, 1, "10.0.0.9", "10.0.0.9"},
        {{"10.0.0.5-9", "10.0.0.1-6", "10.0.0.3"}, 9, "10.0.0.1", "10.0.0.9"},  // sorted, each once
    };
    for (const Case& c : cases) {
        std::vector<std::uint32_t> got;
        ASSERT_EQ(vrn_scan_targets(c.targets, &got), "") << c.targets[0];
        ASSERT_EQ(got.size(), c.count) << c.targets[0];
        EXPECT_EQ(vrn_ip_text(got.front()), c.first);
        EXPECT_EQ(vrn_ip_text(got.back()), c.last);
        for (std::size_t i = 1; i < got.size(); ++i) ASSERT_LT(got[i - 1], got[i]);
    }
}

TEST(ScanTargets, RefusalsAreOneErrorLineWithoutTraffic) {
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"10.0.0.0/15"}, "### ERROR: Target 10.0.0.0/15 is larger than a /16 (at most 65536 addresses)"},
        {{"10.0.0.0-10.1.0.0"}, "### ERROR: Target 10.0.0.0-10.1.0.0 is larger than a /16 (at most 65536 addresses)"},
        {{"10.0.0.0/16", "10.1.0.0/16"}, "### ERROR: The targets hold more than 65536 addresses (a /16); scan them in parts"},
        {{"10.0.0"}, "### ERROR: Bad target 10.0.0 (an IPv4 address, a range like 192.168.0.10-40 or a block like "
                     "192.168.0.0/24 expected)"},
        {{"10.0.0.9-3"}, "### ERROR: Bad target 10.0.0.9-3 (an IPv4 address, a range like 192.168.0.10-40 or a block "
                         "like 192.168.0.0/24 expected)"},
        {{"10.0.0.1/33"}, "### ERROR: Bad target 10.0.0.1/33 (an IPv4 address, a range like 192.168.0.10-40 or a "
                          "block like 192.168.0.0/24 expected)"},
        {{"--port", "65533", "127.0.0.1"}, "### ERROR: Bad port 65533 (1..65532 expected: a module takes PORT..PORT+3)"},
        {{"--wait", "0", "127.0.0.1"}, "### ERROR: Bad wait 0 (auto, or 1..4000 milliseconds expected)"},
        {{"--info", "--jobs", "0", "127.0.0.1"}, "### ERROR: Bad jobs 0 (1..64 modules at once expected)"},
        {{"--info", "--jobs", "65", "127.0.0.1"}, "### ERROR: Bad jobs 65 (1..64 modules at once expected)"},
    };
    for (const auto& c : cases) {
        RunResult r = vrnscan(c.args);
        EXPECT_EQ(r.out, c.line + "\n") << c.args[0];
        EXPECT_EQ(r.status, 255);
    }
    RunResult r = vrnscan({"--json", "--csv", "127.0.0.1"});
    EXPECT_EQ(r.out.rfind("### ERROR: ", 0), 0u) << r.out;
    EXPECT_EQ(r.status, 255);
}

// Three simulators in 127.0.41.0/24 (AMD and Intel chips, each with its own
// DeviceID, one with the NetCfg example written), three devices that answer
// the probe with something else, and one that echoes the probe and nothing
// more: each module is read, the one that cannot be is listed with why.
TEST(VrnscanBlock, FindsTheModulesOfABlockAndReadsWhatEachHolds) {
    if (!foreign_source_possible()) GTEST_SKIP() << kNoForeignSource;
    const std::string net = "127.0.41.";
    struct Module {
        std::string host, chip, device_id;
        int vendor, device, sectors, width;
        std::string netcfg_ip;
        int netcfg_port;
    };
    const Module modules[] = {
        {"2", "amd:0xA3:8", "0x1111", 0x01, 0xA3, 64, 8, "255.255.255.255", -1},
        {"3", "amd:0xA3:8", "0x2222", 0x01, 0xA3, 64, 8, "192.168.0.150", 3011},
        {"4", "intel:0x18:16", "0x3333", 0x89, 0x18, 128, 16, "255.255.255.255", -1},
    };
    std::vector<std::vector<std::string>> extras;
    for (const Module& m : modules)
        extras.push_back({"--address", net + m.host, "--chip", m.chip, "--vrbus",
                          "0xB2,0x101," + m.device_id + ",0x3,0x10,0,0x7,0"});
    std::uint16_t base = 0;
    const std::vector<std::unique_ptr<SimProcess>> sims = start_sims_on_one_base(extras, &base);
    ASSERT_EQ(sims.size(), 3u) << "no base port free on every address";
    const std::string port = std::to_string(base);
    ASSERT_EQ(run_program(VRNPROG_PATH, {net + "3", port, "2", std::string(VRN_EXAMPLES_DIR) + "/netcfg.dat"}, kRunMs)
                  .status,
              0);

    Bytes spoilt = kProbe;
    spoilt.at(kProbe.size() - 1) ^= 1;  // at(): GCC 12 takes back() of a copy for a write before its start
    Bytes longer = kProbe;
    longer.push_back(0);
    const std::uint16_t command = std::uint16_t(base + 1);
    Responder not_echo(net + "5", command, [&](const Bytes&) { return spoilt; });
    Responder echo_and_more(net + "6", command, [&](const Bytes&) { return longer; });
    Responder acknowledge(net + "7", command, [](const Bytes&) { return make_ack(32); });
    Responder echo_only(net + "8", command, [](const Bytes& got) { return got.size() == 16 ? got : Bytes{}; });
    ASSERT_TRUE(not_echo.ready() && echo_and_more.ready() && acknowledge.ready() && echo_only.ready());

    RunResult r = vrnscan({"--info", "--json", "--wait", "50", "--port", port, net + "0/24"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const Json got = Json::parse(r.out);
    ASSERT_EQ(got.size(), 7u) << r.out;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Json& row = got[i];
        EXPECT_EQ(row["address"], net + std::to_string(i + 2));
        EXPECT_EQ(row["port"], base);
        EXPECT_TRUE(row["rtt_ms"].is_number());
        EXPECT_EQ(row["module"], i < 3 || i == 6) << row;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        const Module& m = modules[i];
        const Json& row = got[i];
        EXPECT_FALSE(row.contains("error")) << row;
        EXPECT_EQ(row["flash"], Json({{"vendor", m.vendor}, {"device", m.device}, {"volume", m.sectors * 65536},
                                      {"sector_size", 65536}, {"sectors", m.sectors}, {"width", m.width}}));
        EXPECT_EQ(row["icr"]["serial"], 1001);  // vrnsim's factory record
        EXPECT_EQ(row["icr"]["devid"], std::stoi(m.device_id, nullptr, 16));
        EXPECT_EQ(row["icr"]["comment"], "vrnsim factory record");
        EXPECT_EQ(row["netcfg"]["ip"], m.netcfg_ip);
        EXPECT_EQ(row["netcfg"]["port"], m.netcfg_port);
    }
    for (std::size_t i = 3; i < 6; ++i) EXPECT_FALSE(got[i].contains("flash") || got[i].contains("error")) << got[i];
    // (Identification ends on the link's budget of lost requests, which
    // the recovery layer reports as an identification that did not hold.)
    EXPECT_NE(got[6].value("error", "").find("; Can't read ICR VRN info: flash chip not identified; "
                                             "Can't read NetCfg VRN info: flash chip not identified"),
              std::string::npos)
        << got[6];

    // The table and the CSV of a scan without --info say the same.
    r = vrnscan({"--port", port, net + "0/24"});
    std::vector<std::string> table = lines_of(r.out);
    ASSERT_EQ(table.size(), 9u) << r.out;
    EXPECT_EQ(table[0].substr(0, 7), "ADDRESS");
    EXPECT_EQ(table[4].substr(0, 10), net + "5");
    EXPECT_NE(table[4].find("  answers, not a module"), std::string::npos) << table[4];
    EXPECT_EQ(table[8], "Found 4 modules among 254 addresses (port " + port +
                            "); 3 addresses answer, not a module.");
    r = vrnscan({"--csv", "--port", port, net + "2-7"});
    std::vector<std::string> csv = lines_of(r.out);
    ASSERT_EQ(csv.size(), 7u) << r.out;
    EXPECT_EQ(csv[0], "address,port,module,rtt_ms");
    EXPECT_EQ(csv[3].substr(0, csv[3].rfind(',')), net + "4," + port + ",true");
    EXPECT_EQ(csv[6].substr(0, csv[6].rfind(',')), net + "7," + port + ",false");
}

// The first probe is lost: the resend finds the module. On 127.0.0.1 only,
// so that it runs under Wine too.
TEST(VrnscanProbe, AModuleThatLostTheFirstProbeAnswersTheResend) {
    SimProcess sim({"--drop-request", "1", "--fault-limit", "1"});
    ASSERT_TRUE(sim.ready()) << sim.log();
    RunResult r = vrnscan({"--json", "--port", sim.port_text(), "127.0.0.1"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const Json got = Json::parse(r.out);
    ASSERT_EQ(got.size(), 1u) << r.out;
    EXPECT_EQ(got[0]["address"], "127.0.0.1");
    EXPECT_EQ(got[0]["module"], true);
}
// An erased record's comment (all 0xFF) is U+FFFD in the CSV as in the
// JSON: both are UTF-8 that a reader takes as such.
TEST(VrnscanReport, CsvIsUtf8AsTheJsonIs) {
    VrnScanRow row{};
    row.answer.module = true;
    row.read = true;
    row.info.icr_read = row.info.netcfg_read = true;
    std::fill(std::begin(row.info.icr), std::end(row.info.icr), std::uint8_t(0xFF));
    const std::vector<nlohmann::ordered_json> rows = {vrn_scan_row_json(row, 3011)};
    for (const std::string& out : {vrn_scan_csv(rows, true), vrn_scan_json(rows)}) {
        EXPECT_EQ(out.find('\xFF'), std::string::npos) << out;
        EXPECT_NE(out.find("\xEF\xBF\xBD\xEF\xBF\xBD"), std::string::npos) << out;
    }
}

// Each module is read from a clean chip description, on a connection of
// its own: six modules of six geometries, each with its own DeviceID, read
// four at a time, then as many at once as there are modules, then one after
// another. Each row has its own chip and record, in address order; read one
// after another, a chip the driver does not list, read right after a
// 128-sector one, has no sector count of its own and takes none from the
// module before it.
TEST(VrnscanInfo, EachModuleHasItsOwnChip) {
    if (!foreign_source_possible()) GTEST_SKIP() << kNoForeignSource;
    const std::string net = "127.0.42.";
    const struct {
        std::string chip;
        int vendor, device, sectors, sector_size, width;
        std::string table;  // the FLASH column
    } chips[] = {
        {"intel:0x18:16", 0x89, 0x18, 128, 65536, 16, "89:18 128x64K x16"},
        {"intel:0x99:16", 0x89, 0x99, 0, 65536, 16, "89:99 0x64K x16"},
        {"amd:0xA3:8", 0x01, 0xA3, 64, 65536, 8, "01:A3 64x64K x8"},
        {"intel:0x17:8", 0x89, 0x17, 64, 131072, 8, "89:17 64x128K x8"},
        {"amd:0x5B:8", 0x01, 0x5B, 0, 65536, 8, "01:5B 0x64K x8"},
        {"amd:0xC8:16", 0x01, 0xC8, 32, 65536, 16, "01:C8 32x64K x16"},
    };
    constexpr std::size_t kModules = std::size(chips);
    const auto devid = [](std::size_t i) { return int(0x4100 + i); };
    std::vector<std::vector<std::string>> extras;
    for (std::size_t i = 0; i < kModules; ++i)
        extras.push_back({"--address", net + std::to_string(i + 2), "--chip", chips[i].chip, "--vrbus",
                          "0xB2,0x101," + std::to_string(devid(i)) + ",0x3,0x10,0,0x7,0"});
    std::uint16_t base = 0;
    const std::vector<std::unique_ptr<SimProcess>> sims = start_sims_on_one_base(extras, &base);
    ASSERT_EQ(sims.size(), kModules) << "no base port free on every address";
    const std::string port = std::to_string(base), targets = net + "2-7";

    RunResult r = vrnscan({"--info", "--jobs", "4", "--json", "--wait", "50", "--port", port, targets});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const Json got = Json::parse(r.out);
    ASSERT_EQ(got.size(), kModules) << r.out;
    for (std::size_t i = 0; i < kModules; ++i) {
        const auto& c = chips[i];
        EXPECT_EQ(got[i]["address"], net + std::to_string(i + 2));
        EXPECT_EQ(got[i]["flash"], Json({{"vendor", c.vendor}, {"device", c.device},
                                         {"volume", c.sectors * c.sector_size}, {"sector_size", c.sector_size},
                                         {"sectors", c.sectors}, {"width", c.width}}))
            << got[i];
        EXPECT_EQ(got[i]["icr"]["devid"], devid(i)) << got[i];
        EXPECT_FALSE(got[i].contains("error")) << got[i];
    }

    r = vrnscan({"--info", "--wait", "50", "--port", port, targets});
    const std::vector<std::string> table = lines_of(r.out);
    ASSERT_EQ(table.size(), kModules + 2) << r.out;
    for (std::size_t i = 0; i < kModules; ++i) {
        EXPECT_EQ(table[i + 1].substr(0, 10), net + std::to_string(i + 2)) << table[i + 1];
        EXPECT_NE(table[i + 1].find("  " + chips[i].table + "  "), std::string::npos) << table[i + 1];
    }

    r = vrnscan({"--info", "--jobs", "1", "--csv", "--wait", "50", "--port", port, targets});
    const std::vector<std::string> csv = lines_of(r.out);
    ASSERT_EQ(csv.size(), kModules + 1) << r.out;
    std::vector<std::string> header;
    std::istringstream fields(csv[0]);
    for (std::string f; std::getline(fields, f, ',');) header.push_back(f);
    const auto column = std::find(header.begin(), header.end(), "flash.sectors") - header.begin();
    ASSERT_LT(std::size_t(column), header.size()) << csv[0];
    for (std::size_t i = 0; i < kModules; ++i) {
        std::vector<std::string> cells;
        std::istringstream row(csv[i + 1]);
        for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
        ASSERT_GT(cells.size(), std::size_t(column)) << csv[i + 1];
        EXPECT_EQ(cells[0], net + std::to_string(i + 2));
        EXPECT_EQ(cells[std::size_t(column)], std::to_string(chips[i].sectors)) << csv[i + 1];
    }
}
