// Two modules from one process over real loopback sockets: whatever the
// order of opens, failed opens and closes, and whatever descriptors the
// system hands out meanwhile, a connection reaches only its own module,
// and one that may not exchange datagrams fails rather than reaching
// another module's ports.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
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

std::unique_ptr<vrnsim::ModuleServer> start_module() {
    vrnsim::ModuleConfig config;
    config.base_port = pick_free_base(4);
    auto server = std::make_unique<vrnsim::ModuleServer>(config);
    std::string error;
    if (!server->start(&error)) ADD_FAILURE() << error;
    return server;
}

// The first cells of the sector on the module, as it holds them.
std::vector<std::uint8_t> head_of_sector(const vrnsim::ModuleServer& m) {
    const std::size_t first = std::size_t(kSector) * 0x10000;  // the default chip's sectors
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < 4; ++i) out.push_back(std::uint8_t(m.cell(first + i) & 0xFF));
    return out;
}

// How the second connection ends before the first one writes; and
// whether a file is opened in between, taking the lowest free descriptor.
enum class SecondEnds { Closed, FailedProbe };
struct CrossTalkCase {
    const char* name;
    SecondEnds second;
    bool file_between;
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
    a_ = vrn_open(module_a->address().c_str(), 0);
    ASSERT_GE(a_, 0);
    vrnFlashInfo info{};
    ASSERT_EQ(vrn_recover_identify(a_, &info), 0);
    const std::uint64_t b_seen = module_b->requests_seen();
    if (c.second == SecondEnds::Closed) {
        const int b = vrn_open(module_b->address().c_str(), 0);
        ASSERT_GE(b, 0);
        ASSERT_EQ(vrn_close(b), 0);
    } else {
        udp_set_echo_probe(1);
        const int b = vrn_open(refuses.address().c_str(), 0);
        udp_set_echo_probe(0);
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
    if (c.second == SecondEnds::FailedProbe) {
        // The failed open left the peer table as it found it: A, the
        // connection opened last, still writes to its module.
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
                         ::testing::Values(CrossTalkCase{"SecondClosedThenAFile", SecondEnds::Closed, true},
                                           CrossTalkCase{"SecondClosed", SecondEnds::Closed, false},
                                           CrossTalkCase{"SecondFailedItsProbeThenAFile", SecondEnds::FailedProbe,
                                                         true}),
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

}  // namespace
