// Channel commands, the raw command, stream transfers and the event waits,
// against a scripted module on the fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "fake_module.h"
#include "vrn.h"

using namespace vrntest;

namespace {

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

// Acknowledges every channel command with 32 bytes (except the one muted)
// and answers the raw command with its argument words plus 0x100.
class Channels : public ::testing::Test {
protected:
    void SetUp() override {
        fm.set_script([this](const Datagram& d, int) -> std::vector<Action> {
            if (d.port_index != 1) return {};
            if (word_at(d.bytes, 0) == 0x1b24aa55u) {
                Bytes a(64, 0);
                for (int i = 0; i < 9; ++i) {
                    std::uint32_t w = word_at(d.bytes, 24 + 4 * i) + 0x100;
                    std::memcpy(&a[24 + 4 * i], words_le({w}).data(), 4);
                }
                return {{a}};
            }
            if (word_at(d.bytes, 20) == mute.load()) return {};
            return {{make_ack(32)}};
        });
        h = vrn_open(fm.address().c_str(), 0);
        ASSERT_GE(h, 0);
    }
    void TearDown() override {
        if (h >= 0) vrn_close(h);
    }
    ConnEntry& conn() { return g_conn_table[h]; }
    UdpEndpoint* ep() { return conn().endpoint; }
    ChannelSlot& slot(int i) { return conn().slots[i]; }
    Bytes last(int port_index) {
        auto log = fm.received();
        for (auto it = log.rbegin(); it != log.rend(); ++it)
            if (it->port_index == port_index) return it->bytes;
        return {};
    }
    int open(std::uint32_t kind, std::uint32_t chunk) {
        std::uint32_t d[9] = {kind, chunk, 0, 0, 0, 0, 0, 0, 0};
        return vrn_channel_open(h, d);
    }
    int started(std::uint32_t kind, std::uint32_t chunk) {
        int s = open(kind, chunk);
        if (s >= 0 && vrn_channel_start(h, s, 0) != 0) return -1;
        return s;
    }
    // A read channel's data comes from the module's base+2 port, which
    // learns the client's socket from a first datagram sent on it.
    void hello() {
        unsigned char x[4] = {};
        ASSERT_EQ(udp_chan_send(ep(), 0, x, 4, 0), 4);
        ASSERT_TRUE(fm.wait_for(1, 1000, 2));
    }
    void push(const Bytes& b, int delay_ms = 0) { fm.send_to_client(b, 2, 2, delay_ms); }
    // Lets time pass and proves nothing new arrived.
    std::size_t settled_count(int port_index) {
        plat_sleep_ms(50);
        return fm.count(port_index);
    }

    FakeModule fm;
    std::atomic<std::uint32_t> mute{0xFFFFFFFFu};
    int h = -1;
};

}  // namespace

TEST_F(Channels, OpenSendsTheClippedDescriptorAndFillsTheSlot) {
    std::uint32_t d[9] = {4, 5000, 0x22222222, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(vrn_channel_open(h, d), 0);
    EXPECT_EQ(d[1], 1456u);
    ASSERT_TRUE(fm.wait_for(1, 1000));
    EXPECT_EQ(hex(last(1)),
              "6b 24 5a 13 0f 00 00 00 df 2b a1 ec 36 00 00 00 "
              "55 aa 24 1b 00 13 00 00 09 00 00 00 00 00 00 00 "
              "04 00 00 00 b0 05 00 00 22 22 22 22 03 00 00 00 04 00 00 00 "
              "05 00 00 00 06 00 00 00 07 00 00 00 08 00 00 00");
    ChannelSlot& s = slot(0);
    EXPECT_EQ(s.conn, h);
    EXPECT_EQ(s.index, 0);
    EXPECT_EQ(s.state, SLOT_OPEN);
    EXPECT_EQ(s.direction, 0);
    EXPECT_NE(s.lock, 0);
    EXPECT_EQ(std::memcmp(s.descriptor, d, sizeof d), 0);
    EXPECT_EQ(ep()->chan_sock[0], ep()->fixed_sock[2]);
    EXPECT_EQ(ep()->chan_sock[1], VRN_NO_SOCKET);

    // A write channel: direction 1, the base+3 socket in entry 1.
    std::uint32_t w[9] = {8, 100, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(vrn_channel_open(h, w), 1);
    EXPECT_EQ(w[1], 96u);
    ASSERT_TRUE(fm.wait_for(2, 1000));
    Bytes req = last(1);
    ASSERT_EQ(req.size(), 68u);
    EXPECT_EQ(hex(Bytes(req.begin() + 32, req.begin() + 40)), "08 00 00 00 60 00 00 00");
    EXPECT_EQ(slot(1).direction, 1);
    EXPECT_EQ(ep()->chan_sock[1], ep()->fixed_sock[3]);
    EXPECT_EQ(ep()->chan_sock[0], ep()->fixed_sock[2]);
}

TEST_F(Channels, ChunkSizeClipping) {
    struct Case {
        std::uint32_t in, out;
    };
    // Not below 1460 becomes 1460, then down to a multiple of 8; the
    // comparison is signed, so a negative size is only rounded.
    for (Case c : {Case{5000, 1456}, Case{100, 96}, Case{1460, 1456}, Case{1459, 1456}, Case{8, 8}, Case{7, 0},
                   Case{0xFFFFFFFBu, 0xFFFFFFF8u}}) {
        std::uint32_t d[9] = {4, c.in, 0, 0, 0, 0, 0, 0, 0};
        int s = vrn_channel_open(h, d);
        ASSERT_GE(s, 0);
        EXPECT_EQ(d[1], c.out) << c.in;
        EXPECT_EQ(slot(s).descriptor[1], c.out) << c.in;
        EXPECT_EQ(word_at(last(1), 36), c.out) << c.in;
        ASSERT_EQ(vrn_channel_close(h, s), 0);
    }
}

TEST_F(Channels, OpenRefusals) {
    for (int i = 0; i < 16; ++i) ASSERT_EQ(open(8, 64), i);
    std::size_t sent = settled_count(1);
    EXPECT_EQ(open(8, 64), -1);  // no free slot
    std::uint32_t d[9] = {4, 64};
    EXPECT_EQ(vrn_channel_open(h + 1, d), -1);
    EXPECT_EQ(vrn_channel_open(-1, d), -1);
    EXPECT_EQ(settled_count(1), sent);
}

TEST_F(Channels, OpenWithoutAcknowledgeLeavesTheSlotFree) {
    mute = 0x1300;
    std::uint32_t d[9] = {4, 5000};
    EXPECT_EQ(vrn_channel_open(h, d), -1);
    EXPECT_EQ(d[1], 1456u);
    EXPECT_EQ(slot(0).state, SLOT_FREE);
    EXPECT_EQ(slot(0).lock, 0);
    EXPECT_EQ(ep()->chan_sock[0], VRN_NO_SOCKET);
    EXPECT_EQ(fm.count(1), 1u);
}

TEST_F(Channels, StartStopCloseAndTheirStates) {
    int s = open(8, 200);
    ASSERT_EQ(s, 0);
    std::size_t sent = settled_count(1);

    // Stop before start, and bad slot numbers: refused without traffic.
    EXPECT_EQ(vrn_channel_stop(h, s), -1);
    EXPECT_EQ(vrn_channel_start(h, 16, 0), -1);
    EXPECT_EQ(vrn_channel_start(h, -1, 0), -1);
    EXPECT_EQ(vrn_channel_stop(h, 16), -1);
    EXPECT_EQ(vrn_channel_close(h, 16), -1);
    EXPECT_EQ(vrn_channel_close(h, -1), -1);
    EXPECT_EQ(vrn_channel_start(h + 1, s, 0), -1);
    EXPECT_EQ(settled_count(1), sent);

    EXPECT_EQ(vrn_channel_start(h, s, 0x12345678), 0);
    EXPECT_EQ(slot(s).state, SLOT_STARTED);
    ASSERT_TRUE(fm.wait_for(sent + 1, 1000));
    EXPECT_EQ(hex(last(1)),
              "6b 24 5a 13 06 00 00 00 df 2b a1 ec 36 00 00 00 "
              "55 aa 24 1b 00 11 00 00 78 56 34 12 01 00 00 00");
    EXPECT_EQ(vrn_channel_start(h, s, 0), -1);
    EXPECT_EQ(settled_count(1), sent + 1);

    EXPECT_EQ(vrn_channel_stop(h, s), 0);
    EXPECT_EQ(slot(s).state, SLOT_OPEN);
    ASSERT_TRUE(fm.wait_for(sent + 2, 1000));
    EXPECT_EQ(hex(last(1)),
              "6b 24 5a 13 06 00 00 00 df 2b a1 ec 36 00 00 00 "
              "55 aa 24 1b 00 12 00 00 00 00 00 00 01 00 00 00");

    ASSERT_EQ(vrn_channel_start(h, s, 1), 0);
    EXPECT_EQ(vrn_channel_close(h, s), 0);
    ASSERT_TRUE(fm.wait_for(sent + 4, 1000));
    EXPECT_EQ(hex(last(1)),
              "6b 24 5a 13 06 00 00 00 df 2b a1 ec 36 00 00 00 "
              "55 aa 24 1b 00 14 00 00 00 00 00 00 01 00 00 00");
    ChannelSlot zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&slot(s), &zero, sizeof zero), 0);
    EXPECT_EQ(vrn_channel_start(h, s, 0), -1);

    // Close needs no state: a free slot is closed as direction 0.
    EXPECT_EQ(vrn_channel_close(h, 5), 0);
    ASSERT_TRUE(fm.wait_for(sent + 5, 1000));
    EXPECT_EQ(word_at(last(1), 20), 0x1400u);
    EXPECT_EQ(word_at(last(1), 28), 0u);
}

TEST_F(Channels, RawCommandSequenceAndModes) {
    // The only raw commands of this program: the counter starts at 0.
    ASSERT_EQ(g_raw_sequence, 0u);
    const std::uint32_t args[9] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
    std::uint32_t res[9];
    std::memset(res, 0xEE, sizeof res);
    EXPECT_EQ(vrn_raw_command(-1, args, res, -1), -1);
    EXPECT_EQ(g_raw_sequence, 0u);

    // Send only: 64 bytes out, nothing awaited, zeros in the results.
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_raw_command(h, args, res, 0), 1);
    EXPECT_EQ(ms_since(t0), 0);
    ASSERT_TRUE(fm.wait_for(1, 1000));
    EXPECT_EQ(hex(last(1)),
              "55 aa 24 1b 40 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 00 00 "
              "a0 00 00 00 a1 00 00 00 a2 00 00 00 a3 00 00 00 a4 00 00 00 a5 00 00 00 "
              "a6 00 00 00 a7 00 00 00 a8 00 00 00 00 00 00 00");
    for (std::uint32_t r : res) EXPECT_EQ(r, 0u);
    // The module's answer to that send is still on its way; let it land,
    // the next send discards it.
    plat_sleep_ms(50);

    EXPECT_EQ(vrn_raw_command(h, args, res, -1), 1);
    ASSERT_TRUE(fm.wait_for(2, 1000));
    EXPECT_EQ(word_at(last(1), 8), 1u);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(res[i], 0x1A0u + i);

    // Receive only: nothing goes out, the counter still moves on.
    Bytes answer(64, 0);
    std::memcpy(&answer[24], words_le({7, 6, 5, 4, 3, 2, 1, 0, 9}).data(), 36);
    fm.send_to_client(answer, 1);
    EXPECT_EQ(vrn_raw_command(h, args, res, 1), 1);
    EXPECT_EQ(g_raw_sequence, 3u);
    EXPECT_EQ(settled_count(1), 2u);
    EXPECT_EQ(res[0], 7u);
    EXPECT_EQ(res[8], 9u);

    EXPECT_EQ(vrn_link_control(h, 1, 2), 0);
    EXPECT_EQ(vrn_link_control(h + 1, 1, 2), -1);
}

TEST_F(Channels, StreamRefusalsTouchNoSocket) {
    int rd = open(4, 96);  // open, not started
    int wr = started(8, 96);
    ASSERT_EQ(rd, 0);
    ASSERT_EQ(wr, 1);
    unsigned char buf[256] = {};
    EXPECT_EQ(vrn_stream_read(h, rd, buf, 96, 0), -1);
    EXPECT_EQ(vrn_stream_read(h, wr, buf, 96, 0), -1);   // write channel
    EXPECT_EQ(vrn_stream_write(h, rd, buf, 96, 0), -1);  // not started
    ASSERT_EQ(vrn_channel_start(h, rd, 0), 0);
    EXPECT_EQ(vrn_stream_write(h, rd, buf, 96, 0), -1);  // read channel
    EXPECT_EQ(vrn_stream_write(h, 16, buf, 96, 0), -1);
    EXPECT_EQ(vrn_stream_read(h, -1, buf, 96, 0), -1);
    EXPECT_EQ(vrn_stream_write(h, 5, buf, 96, 0), -1);  // free slot
    EXPECT_EQ(vrn_stream_read(h + 1, rd, buf, 96, 0), -1);
    EXPECT_EQ(vrn_stream_write(h, wr, buf, 0, 0), 0);
    EXPECT_EQ(vrn_stream_read(h, rd, buf, -5, 0), 0);
    EXPECT_EQ(settled_count(2), 0u);
    EXPECT_EQ(fm.count(3), 0u);
}

TEST_F(Channels, StreamWriteChunksByDescriptorWordOne) {
    int wr = started(8, 100);  // chunk 96
    ASSERT_GE(wr, 0);
    Bytes data = pattern(250, 1);
    EXPECT_EQ(vrn_stream_write(h, wr, data.data(), 250, 1000), 250);
    ASSERT_TRUE(fm.wait_for(3, 1000, 3));
    auto log = fm.received();
    std::vector<Bytes> got;
    for (const Datagram& d : log)
        if (d.port_index == 3) got.push_back(d.bytes);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], Bytes(data.begin(), data.begin() + 96));
    EXPECT_EQ(got[1], Bytes(data.begin() + 96, data.begin() + 192));
    EXPECT_EQ(got[2], Bytes(data.begin() + 192, data.end()));

    // Time-out 0: one datagram, however much remains.
    EXPECT_EQ(vrn_stream_write(h, wr, data.data(), 250, 0), 96);
    ASSERT_TRUE(fm.wait_for(4, 1000, 3));
    EXPECT_EQ(settled_count(3), 4u);
}

TEST_F(Channels, StreamReadChunksAndTimeOutZero) {
    int rd = started(4, 96);
    ASSERT_GE(rd, 0);
    hello();
    Bytes a = pattern(96, 3), b = pattern(96, 50), c = pattern(8, 99);
    push(a);
    push(b);

    Bytes buf(400, 0);
    EXPECT_EQ(vrn_stream_read(h, rd, buf.data(), 300, 0), 96);  // one receive only
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 96), a);

    push(c);
    // 104 bytes: a chunk of 96, then one of the 8 that remain.
    EXPECT_EQ(vrn_stream_read(h, rd, buf.data(), 104, 1000), 104);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 96), b);
    EXPECT_EQ(Bytes(buf.begin() + 96, buf.begin() + 104), c);

    // A datagram longer than the chunk fails the receive: nothing is read.
    push(pattern(100, 0));
    EXPECT_EQ(vrn_stream_read(h, rd, buf.data(), 300, 1000), 0);
}

TEST_F(Channels, StreamReadPositiveTimeOutBoundsTheCall) {
    int rd = started(4, 96);
    ASSERT_GE(rd, 0);
    Bytes buf(2000);
    std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_stream_read(h, rd, buf.data(), 500, 300), 0);
    EXPECT_EQ(ms_since(t0), 300);

    // A trickle of datagrams, one every 60 ms: the clock ends the call once
    // its time-out has passed although bytes remain. The receive under way
    // at 250 ms still takes the datagram of 300 ms.
    hello();
    for (int i = 0; i < 12; ++i) push(pattern(96, static_cast<std::uint8_t>(i)), 60 * i);
    t0 = plat_tick_ms();
    EXPECT_EQ(vrn_stream_read(h, rd, buf.data(), 2000, 250), 6 * 96);
    EXPECT_EQ(ms_since(t0), 300);
    EXPECT_EQ(Bytes(buf.begin() + 5 * 96, buf.begin() + 6 * 96), pattern(96, 5));
}

TEST_F(Channels, StreamReadTimeOutMinusOneAndOtherNegatives) {
    int rd = started(4, 96);
    ASSERT_GE(rd, 0);
    hello();
    Bytes buf(600);

    // Other negative time-outs run until the length is done.
    for (int i = 0; i < 3; ++i) push(pattern(96, static_cast<std::uint8_t>(i)), 50 * (i + 1));
    std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_stream_read(h, rd, buf.data(), 288, -2), 288);
    EXPECT_GE(ms_since(t0), 150);
    EXPECT_EQ(Bytes(buf.begin() + 192, buf.begin() + 288), pattern(96, 2));

    // -1 stops at the first chunk that brings nothing within 4 seconds.
    push(pattern(96, 9));
    t0 = plat_tick_ms();
    EXPECT_EQ(vrn_stream_read(h, rd, buf.data(), 500, -1), 96);
    EXPECT_EQ(ms_since(t0), 4000);
}

TEST_F(Channels, EventsFailAtOnceAndClearStoresZero) {
    std::int32_t v = 77;
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_event_wait(h, &v, 2000), -1);
    EXPECT_EQ(vrn_event_wait_next(h, &v, 2000), -1);
    EXPECT_EQ(vrn_event_wait(h, &v, -1), -1);
    EXPECT_EQ(ms_since(t0), 0);
    EXPECT_EQ(v, 77);
    EXPECT_EQ(vrn_event_clear(h, &v), -1);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(conn().event_value, 0);
    v = 5;
    EXPECT_EQ(vrn_event_clear(h + 1, &v), -1);
    EXPECT_EQ(v, 5);  // refused before anything is stored
    EXPECT_EQ(vrn_event_wait(-1, &v, 0), -1);
}

// A chunk size that clips to zero (or below) can move nothing; a write
// would otherwise send empty datagrams for as long as it may.
TEST_F(Channels, StreamsRefuseAChunkSizeBelowEight) {
    int rd = started(4, 7);
    int wr = started(8, 5);
    ASSERT_GE(rd, 0);
    ASSERT_GE(wr, 0);
    EXPECT_EQ(slot(wr).descriptor[1], 0u);
    unsigned char buf[64] = {};
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_stream_write(h, wr, buf, 64, -2), -1);
    EXPECT_EQ(vrn_stream_read(h, rd, buf, 64, -2), -1);
    EXPECT_EQ(ms_since(t0), 0);
    EXPECT_EQ(settled_count(3), 0u);
}
