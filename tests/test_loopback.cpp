// The library end to end over real loopback sockets, a few cases a layer:
// the fake module's answers and the module model's chips reach the
// library through the system's own sockets and waits. The cases that time
// out run over the scripted platform, in the other test programs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "fake_module.h"
#include "module.h"
#include "vrn.h"

using namespace vrntest;

namespace {

using Clock = std::chrono::steady_clock;

// --- link: exchanges, waits and strangers over the system's sockets -----------

TEST(LoopbackLink, SplitAcknowledgeIsJoinedAndThePeerFollowsTheReplyingPort) {
    FakeModule fm([](const Datagram&, int seq) {
        const Bytes ack = make_ack(36, {static_cast<std::uint32_t>(seq)});
        Action first{Bytes(ack.begin(), ack.begin() + 16)}, rest{Bytes(ack.begin() + 16, ack.end()), 30};
        if (seq == 0) first.from = rest.from = Action::kOtherPort;
        return std::vector<Action>{first, rest};
    });
    Conn c(fm.address());
    ASSERT_GE(c.h, 0);
    Bytes ack(36);
    ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 36);
    EXPECT_EQ(ack, make_ack(36, {0}));
    EXPECT_EQ(peer_port(1), fm.other_port());
    ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 36);
    EXPECT_EQ(word_at(ack, 32), 1u);
    const auto log = fm.received();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].port_index, 1);
    EXPECT_EQ(log[1].port_index, Action::kOtherPort);
    EXPECT_EQ(log[1].bytes, kChannelRequest);
    EXPECT_FALSE(link_troubled(c.h));
}

// The system's own wait runs its course; a stranger's datagram does not end it.
TEST(LoopbackLink, TimedReceiveWaitsAndDropsStrangers) {
    const bool foreign = foreign_source_possible();
    FakeModule fm([foreign](const Datagram&, int seq) {
        std::vector<Action> out;
        if (foreign) out.push_back({words_le({0xBAD}), 0, Action::kForeignAddress});
        if (seq == 0) out.push_back({words_le({0x600D}), 150});
        return out;
    });
    Conn c(fm.address());
    ASSERT_GE(c.h, 0);
    vrn_socket s = c.ep()->fixed_sock[1];
    unsigned char buf[16] = {};
    ASSERT_EQ(udp_send_timed(s, buf, 4, 0, 0), 4);
    auto t0 = Clock::now();
    ASSERT_EQ(udp_recv_timed(s, buf, 16, 0, 2000), 4);
    EXPECT_GE(ms_since(t0), 100);
    EXPECT_EQ(word_at(Bytes(buf, buf + 4), 0), 0x600Du);

    ASSERT_EQ(udp_send_timed(s, buf, 4, 0, 0), 4);
    t0 = Clock::now();
    EXPECT_EQ(udp_recv_timed(s, buf, 16, 0, 300), 0);
    const long waited = ms_since(t0);
    EXPECT_GE(waited, 280);
    EXPECT_LT(waited, 2000);
    EXPECT_EQ(peer_port(1), fm.base_port() + 1);
}

TEST(LoopbackLink, EchoProbeIsAnswered) {
    FakeModule fm([](const Datagram& d, int) { return std::vector<Action>{{d.bytes}}; });
    Conn c(fm.address(), 1);
    EXPECT_GE(c.h, 0);
    ASSERT_EQ(fm.count(1), 1u);
    EXPECT_EQ(hex(fm.received()[0].bytes), "68 24 57 13 dd cc bb aa 11 00 ff ee aa 33 ff 00");
}

TEST(LoopbackLink, SeventeenthOpenLeavesNoSocketBehind) {
    FakeModule fm;
    std::string a = fm.address();
    for (int i = 0; i < 16; ++i) ASSERT_EQ(vrn_open(a.c_str(), 0), i);
    [[maybe_unused]] UdpEndpoint* last = g_conn_table[15].endpoint;
    EXPECT_EQ(vrn_open(a.c_str(), 0), -1);
#ifndef _WIN32  // WinSock hands out socket handles in no such order
    // The refused open's sockets are gone: a new socket reuses the lowest
    // free descriptor, which is below the last open endpoint's.
    vrn_socket probe = plat_udp_socket();
    EXPECT_LE(probe, last->fixed_sock[3] + 1);
    plat_close_socket(probe);
#endif
    for (int i = 0; i < 16; ++i) EXPECT_EQ(vrn_close(i), 0);
}

// A read channel's datagrams come from the module's base+2 port, which
// learns the client's socket from a first datagram sent on it.
TEST(LoopbackLink, StreamReadTakesPushedDatagramsChunkByChunk) {
    FakeModule fm([](const Datagram& d, int) {
        return d.port_index == 1 ? std::vector<Action>{{make_ack(32)}} : std::vector<Action>{};
    });
    Conn c(fm.address());
    ASSERT_GE(c.h, 0);
    std::uint32_t descriptor[9] = {4, 96, 0, 0, 0, 0, 0, 0, 0};
    const int slot = vrn_channel_open(c.h, descriptor);
    ASSERT_GE(slot, 0);
    ASSERT_EQ(vrn_channel_start(c.h, slot, 0), 0);
    unsigned char hello[4] = {};
    ASSERT_EQ(udp_chan_send(c.ep(), 0, hello, 4, 0), 4);
    ASSERT_TRUE(fm.wait_for(1, 2000, 2));
    fm.send_to_client(Bytes(96, 0x11), 2, 2);
    fm.send_to_client(Bytes(8, 0x22), 2, 2, 50);
    Bytes buf(200, 0);
    EXPECT_EQ(vrn_stream_read(c.h, slot, buf.data(), 104, 2000), 104);
    EXPECT_EQ(buf[95], 0x11);
    EXPECT_EQ(buf[96], 0x22);
    EXPECT_EQ(buf[103], 0x22);
}

// --- the flash driver against the module model's chips ----------------------

class FlashOnModule : public ::testing::TestWithParam<vrnsim::ChipConfig> {
protected:
    void SetUp() override {
        g_flash_info = vrnFlashInfo{};
        vrnsim::ModuleConfig config;
        config.base_port = vrntest::pick_free_base(4);
        config.chip = GetParam();
        server_ = std::make_unique<vrnsim::ModuleServer>(config);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        handle_ = vrn_open(server_->address().c_str(), 0);
        ASSERT_GE(handle_, 0);
    }
    void TearDown() override {
        g_flash_bounds = VRN_FLASH_BOUNDS;
        if (handle_ >= 0) {
            vrn_close(handle_);
        }
    }
    std::unique_ptr<vrnsim::ModuleServer> server_;
    int handle_ = -1;
};

TEST_P(FlashOnModule, IdentifiesErasesProgramsAndReadsBack) {
    const vrnsim::ChipConfig& chip = GetParam();
    ASSERT_EQ(vrn_flash_identify(handle_), 0);
    vrnFlashInfo info{};
    vrn_flash_get_info(handle_, &info);
    const vrnsim::ChipGeometry geometry = vrnsim::chip_geometry(chip);
    EXPECT_EQ(info.vendor_id, chip.maker);
    EXPECT_EQ(info.device_id, chip.device);
    EXPECT_EQ(info.data_width, chip.width);
    EXPECT_EQ(info.sector_size, static_cast<std::int32_t>(geometry.sector_cells));
    EXPECT_EQ(info.sector_count, static_cast<std::int32_t>(geometry.sector_count));

    const int sector = 2;
    const int offset = 5;
    EXPECT_EQ(vrn_flash_erase_sector(handle_, sector), sector);
    std::vector<std::uint8_t> data(40);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(0xC3 ^ (i * 7));
    }
    const unsigned failures = link_health(handle_)->failed_reads;
    EXPECT_EQ(vrn_flash_program(handle_, sector, offset, data.data(), 40), 40);
    std::vector<std::uint8_t> back(40, 0);
    EXPECT_EQ(vrn_flash_read(handle_, sector, offset, back.data(), 40), 40);
    EXPECT_EQ(back, data);
    EXPECT_EQ(link_health(handle_)->failed_reads, failures);
    const std::size_t first = static_cast<std::size_t>(sector) * geometry.sector_cells + offset;
    for (std::size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(server_->cell(first + i) & 0xFF, data[i]) << "cell " << i;
    }
    // The run ended with the chip's reset at bus address 0.
    const auto log = server_->bus_log();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().write);
    EXPECT_EQ(log.back().address, 0u);
    EXPECT_EQ(log.back().value, chip.maker == 0x89 ? 0xFFu : 0xF0u);
}

TEST_P(FlashOnModule, StuckCellStopsTheRunAndAnEndlessEraseIsBounded) {
    ASSERT_EQ(vrn_flash_identify(handle_), 0);
    const long sector_cells = g_flash_info.sector_size;
    ASSERT_EQ(vrn_flash_erase_sector(handle_, 3), 3);

    vrnsim::ChipFaults faults = GetParam().faults;
    faults.stuck_cell = 3 * sector_cells + 6;
    server_->set_chip_faults(faults);
    const std::uint8_t data[8] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    EXPECT_EQ(vrn_flash_program(handle_, 3, 0, data, 8), 6);
    EXPECT_EQ(server_->cell(static_cast<std::size_t>(3 * sector_cells + 7)) & 0xFF, 0xFF);

    faults.stuck_cell = -1;
    faults.erase_never_ends = true;
    server_->set_chip_faults(faults);
    g_flash_bounds.erase_ms = 300;
    const auto start = Clock::now();
    EXPECT_EQ(vrn_flash_erase_sector(handle_, 4), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
}

vrnsim::ChipConfig chip_config(vrnsim::ChipKind kind, std::uint8_t maker, std::uint8_t device, int width) {
    vrnsim::ChipConfig c;
    c.kind = kind;
    c.maker = maker;
    c.device = device;
    c.width = width;
    return c;
}

INSTANTIATE_TEST_SUITE_P(Chips, FlashOnModule, ::testing::Values(chip_config(vrnsim::ChipKind::Amd, 0x01, 0xA3, 8),
                                                                 chip_config(vrnsim::ChipKind::Intel, 0x89, 0x18, 16)),
                         [](const ::testing::TestParamInfo<vrnsim::ChipConfig>& info) {
                             return info.param.kind == vrnsim::ChipKind::Intel ? std::string("Intel16")
                                                                                : std::string("Amd8");
                         });

}  // namespace
