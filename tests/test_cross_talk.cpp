// Two modules from one process over real loopback sockets: whatever the
// order of opens, failed opens and closes, and whatever descriptors the
// system hands out meanwhile, a connection reaches only its own module,
// and one that may not exchange datagrams fails rather than reaching
// another module's ports; one with state of its own always reaches its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "fake_module.h"
#include "module.h"
#include "test_clock.h"
#include "vrn.h"

using namespace vrntest;

namespace {

constexpr int kSector = 2;
const std::uint8_t kData[4] = {0xDE, 0xAD, 0xBE, 0xEF};

std::unique_ptr<vrnsim::ModuleServer> start_module(vrnsim::ChipConfig chip = {}) {
    vrnsim::ModuleConfig config;
    config.base_port = pick_free_base(4);
    config.chip = chip;
    auto server = std::make_unique<vrnsim::ModuleServer>(config);
    std::string error;
    if (!server->start(&error)) ADD_FAILURE() << error;
    return server;
}

// The first cells of the sector on the module, as it holds them (the
// default chip's sectors unless given).
std::vector<std::uint8_t> head_of_sector(const vrnsim::ModuleServer& m, std::size_t count = 4,
                                         std::size_t sector_cells = 0x10000) {
    const std::size_t first = std::size_t(kSector) * sector_cells;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(std::uint8_t(m.cell(first + i) & 0xFF));
    return out;
}

// How the second connection ends before the first one writes; and
// whether a file is opened in between, taking the lowest free descriptor.
enum class SecondEnds { Closed, FailedProbe };
struct CrossTalkCase {
    const char* name;
    SecondEnds second;
    bool file_between;
    bool own;  // both opened with state of their own
};

class CrossTalk : public ::testing::TestWithParam<CrossTalkCase> {
protected:
    void TearDown() override {
        if (file_) std::fclose(file_);
        if (a_ >= 0) vrn_close(a_);
        g_flash_info = vrnFlashInfo{};
    }
    int a_ = -1;
    std::FILE* file_ = nullptr;
};

TEST_P(CrossTalk, AWriteReachesOnlyItsOwnModuleOrFails) {
    const CrossTalkCase& c = GetParam();
    auto module_a = start_module();
    auto module_b = start_module();
    // B answers the echo probe wrongly: the open with the probe fails.
    FakeModule refuses([](const Datagram&, int) { return std::vector<Action>{{Bytes(16, 0)}}; });

    g_flash_info = vrnFlashInfo{};
    auto open = [&](const std::string& address, bool probe) {
        if (c.own) return vrn_open_own(address.c_str(), probe ? VRN_OPEN_ECHO_PROBE : 0);
        udp_set_echo_probe(probe ? 1 : 0);
        const int h = vrn_open(address.c_str(), 0);
        udp_set_echo_probe(0);
        return h;
    };
    a_ = open(module_a->address(), false);
    ASSERT_GE(a_, 0);
    vrnFlashInfo info{};
    ASSERT_EQ(vrn_recover_identify(a_, &info), 0);
    const std::uint64_t b_seen = module_b->requests_seen();
    if (c.second == SecondEnds::Closed) {
        const int b = open(module_b->address(), false);
        ASSERT_GE(b, 0);
        ASSERT_EQ(vrn_close(b), 0);
    } else {
        const int b = open(refuses.address(), true);
        ASSERT_EQ(b, -1);
        ASSERT_EQ(refuses.count(1), 2u);
    }
    if (c.file_between) {
        file_ = std::tmpfile();
        ASSERT_NE(file_, nullptr);
    }

    VrnWriteReport report{};
    const auto t0 = SteadyClock::now();
    const int r = vrn_recover_write(a_, kSector, kData, 4, 0, &report);
    const long took = ms_since(t0);

    // Nothing reached the other module, whatever became of the write.
    EXPECT_EQ(module_b->requests_seen(), b_seen);
    EXPECT_EQ(head_of_sector(*module_b), std::vector<std::uint8_t>(4, 0xFF));
    EXPECT_EQ(refuses.count(1), c.second == SecondEnds::FailedProbe ? 2u : 0u);
    if (c.own || c.second == SecondEnds::FailedProbe) {
        // The failed open left the peer table as it found it: A, the
        // connection opened last, still writes to its module; one with
        // state of its own always does.
        EXPECT_EQ(r, 0);
        EXPECT_EQ(head_of_sector(*module_a), std::vector<std::uint8_t>(kData, kData + 4));
    } else {
        // A was opened before B: it may not exchange datagrams, and its
        // sends fail at once instead of going anywhere.
        EXPECT_NE(r, 0);
        EXPECT_EQ(head_of_sector(*module_a), std::vector<std::uint8_t>(4, 0xFF));
        EXPECT_LT(took, 10000);
    }
}

INSTANTIATE_TEST_SUITE_P(Sequences, CrossTalk,
                         ::testing::Values(CrossTalkCase{"SecondClosedThenAFile", SecondEnds::Closed, true, false},
                                           CrossTalkCase{"SecondClosed", SecondEnds::Closed, false, false},
                                           CrossTalkCase{"SecondFailedItsProbeThenAFile", SecondEnds::FailedProbe,
                                                         true, false},
                                           CrossTalkCase{"OwnSecondClosedThenAFile", SecondEnds::Closed, true, true},
                                           CrossTalkCase{"OwnSecondFailedItsProbeThenAFile",
                                                         SecondEnds::FailedProbe, true, true}),
                         [](const ::testing::TestParamInfo<CrossTalkCase>& info) { return std::string(info.param.name); });

// A socket closed behind the table's back leaves its entry naming a
// descriptor the system hands to the next socket made: a replacement of
// another endpoint's socket must not become that entry's.
TEST(PeerTable, AReplacedSocketTakesOnlyTheEntryItsPredecessorHeld) {
    FakeModule module_a, module_b;
    Endpoint first(module_a.address()), second(module_b.address());
    ASSERT_TRUE(first.ep && second.ep);
    plat_close_socket(second.ep->fixed_sock[1]);
    second.ep->fixed_sock[1] = VRN_NO_SOCKET;
    ASSERT_EQ(udp_replace_socket(first.ep, 1), 0);
    EXPECT_EQ(udp_peer_find(first.ep->fixed_sock[1]), -1);
    const unsigned char request[4] = {1, 2, 3, 4};
    EXPECT_EQ(udp_send_all(first.ep->fixed_sock[1], request, 4, 0), -1);
    EXPECT_FALSE(module_b.wait_for(1, 200));
    EXPECT_EQ(module_a.count(1) + module_b.count(1), 0u);
}

// Modules of both chips written from threads at once, each through a
// connection of its own, while the process-wide connection serves another:
// every module ends with its own data and its own chip description.
TEST(OwnConnections, MixedChipsWrittenFromThreadsAtOnce) {
    vrnsim::ChipConfig intel;
    intel.kind = vrnsim::ChipKind::Intel;
    intel.maker = 0x89;
    intel.device = 0x18;
    intel.width = 16;
    constexpr int kModules = 6;
    std::vector<std::unique_ptr<vrnsim::ModuleServer>> modules;
    for (int m = 0; m < kModules; ++m) modules.push_back(start_module(m % 2 ? intel : vrnsim::ChipConfig{}));
    auto plain = start_module();
    g_flash_info = vrnFlashInfo{};
    const int shared = vrn_open(plain->address().c_str(), 0);
    ASSERT_GE(shared, 0);

    struct Outcome {
        int written = -1, read = -1;
        vrnFlashInfo info{};
        std::vector<std::uint8_t> back = std::vector<std::uint8_t>(16);
    };
    std::vector<Outcome> out(kModules + 1);
    auto data_of = [](int m) {
        std::vector<std::uint8_t> d(16);
        for (int i = 0; i < 16; ++i) d[std::size_t(i)] = std::uint8_t(0x10 * m + i);
        return d;
    };
    auto serve = [&](int m, int h) {
        Outcome& o = out[std::size_t(m)];
        if (vrn_recover_identify(h, &o.info) != 0) return;
        VrnWriteReport report{};
        o.written = vrn_recover_write(h, kSector, data_of(m).data(), 16, 0, &report);
        o.read = vrn_recover_read(h, kSector, 0, o.back.data(), 16, nullptr);
    };
    std::vector<std::thread> threads;
    for (int m = 0; m < kModules; ++m) {
        threads.emplace_back([&, m] {
            const int h = vrn_open_own(modules[std::size_t(m)]->address().c_str(), 0);
            if (h < 0) return;
            serve(m, h);
            vrn_close(h);
        });
    }
    threads.emplace_back([&] { serve(kModules, shared); });
    for (auto& t : threads) t.join();
    vrn_close(shared);

    for (int m = 0; m <= kModules; ++m) {
        SCOPED_TRACE(m);
        const Outcome& o = out[std::size_t(m)];
        const bool is_intel = m < kModules && m % 2 == 1;
        EXPECT_EQ(o.info.vendor_id, is_intel ? 0x89 : 0x01);
        EXPECT_EQ(o.info.data_width, is_intel ? 16 : 8);
        EXPECT_EQ(o.written, 0);
        EXPECT_EQ(o.read, 0);
        EXPECT_EQ(o.back, data_of(m));
        const auto& server = m < kModules ? *modules[std::size_t(m)] : *plain;
        EXPECT_EQ(head_of_sector(server, 17, std::size_t(o.info.sector_size)),
                  [&] { auto d = data_of(m); d.push_back(0xFF); return d; }());
    }
    g_flash_info = vrnFlashInfo{};
}

}  // namespace
