// Query and set, the info query, block transfers, the register list write,
// raw and bulk datagrams, against a scripted module on the fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "fake_module.h"
#include "vrn.h"

using namespace vrntest;

namespace {

void put(Bytes& b, std::size_t off, std::uint32_t w) { std::memcpy(&b[off], words_le({w}).data(), 4); }

std::string hex_range(const Bytes& b, std::size_t from, std::size_t to) {
    if (to > b.size()) return "short datagram: " + std::to_string(b.size());
    return hex(Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to)));
}

// Answers as the module would: query acknowledges carrying status byte 0x5A
// and words 0x1000 + i, blocks with every request word inverted, 32-byte
// acknowledges for channel commands and register list writes.
class Commands : public ::testing::Test {
protected:
    enum Mode { kNormal, kPartialQuery, kBadAck };

    void SetUp() override {
        fm.set_script([this](const Datagram& d, int) -> std::vector<Action> {
            if (d.port_index != 1 || word_at(d.bytes, 0) != 0x135a246bu) return {};
            const std::uint32_t magic = word_at(d.bytes, 16), cmd = word_at(d.bytes, 20);
            if (magic == 0x1b24aa55u && cmd == 2 && word_at(d.bytes, 24) == 0x3002u) {
                Bytes a = make_ack(48 + word_at(d.bytes, 28));
                a[24] = 0x5A;
                for (std::size_t off = 48; off + 4 <= a.size(); off += 4) put(a, off, 0x1000u + (off - 48) / 4);
                if (mode == kPartialQuery) a.resize(100);
                return {{a}};
            }
            if (magic == 0x1b24aa55u && cmd == 2) return {{make_ack(48)}};
            Bytes a = make_ack(magic == 0xcd4594aau && cmd == 0x310A1800u ? 128 : 32);
            if (a.size() == 128)
                for (std::size_t off = 32; off < 128; off += 4) put(a, off, ~word_at(d.bytes, off));
            if (mode == kBadAck) put(a, 12, 0x31);  // the request type echoed back
            return {{a}};
        });
        h = vrn_open(fm.address().c_str(), 0);
        ASSERT_GE(h, 0);
    }
    void TearDown() override {
        if (h >= 0) vrn_close(h);
    }
    UdpEndpoint* ep() { return g_conn_table[h].endpoint; }
    std::vector<Bytes> on_port(int port_index) {
        std::vector<Bytes> out;
        for (const Datagram& d : fm.received())
            if (d.port_index == port_index) out.push_back(d.bytes);
        return out;
    }
    // The one datagram that came to the command port, in hex; else how many came.
    std::string sole_command() {
        const std::vector<Bytes> sent = on_port(1);
        return sent.size() == 1 ? hex(sent[0]) : std::to_string(sent.size()) + " datagrams";
    }
    std::size_t settled_count(int port_index) {
        plat_sleep_ms(50);
        return fm.count(port_index);
    }
    int open_channel(std::uint32_t kind) {
        std::uint32_t d[9] = {kind, 1024, 0, 0, 0, 0, 0, 0, 0};
        return vrn_channel_open(h, d);
    }
    // Datagrams to the client's read-channel socket, from the module's port.
    void push_stream(const Bytes& b) {
        if (fm.count(2) == 0) {
            // The module learns the client's socket from its first datagram.
            unsigned char hello[4] = {};
            ASSERT_EQ(udp_chan_send(ep(), 0, hello, 4, 0), 4);
            ASSERT_TRUE(fm.wait_for(1, 1000, 2));
        }
        fm.send_to_client(b, 2, 2);
    }

    FakeModule fm;
    std::atomic<int> mode{kNormal};
    int h = -1;
};

}  // namespace

TEST_F(Commands, QueryRequestAcknowledgeAndStatus) {
    std::uint32_t buf[60];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(vrn_query(h, 2, buf, 236), 0);
    EXPECT_EQ(sole_command(),
              "6b 24 5a 13 0a 00 00 00 df 2b a1 ec 36 00 00 00 "
              "55 aa 24 1b 02 00 00 00 02 30 00 00 ec 00 00 00 "
              "02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(g_conn_table[h].status, 0x5A);
    for (int i = 0; i < 59; ++i) EXPECT_EQ(buf[i], 0x1000u + i) << i;
    EXPECT_EQ(buf[59], 0xEEEEEEEEu);  // 236 bytes are 59 words

    // The largest query whose acknowledge fits the receive buffer.
    std::vector<std::uint32_t> big(353);
    EXPECT_EQ(vrn_query(h, 7, big.data(), 1412), 0);
    EXPECT_EQ(big[352], 0x1000u + 352);

    EXPECT_EQ(vrn_set_value(h, 0x11, 0x22), 0);
    ASSERT_TRUE(fm.wait_for(3, 1000));
    EXPECT_EQ(hex(on_port(1)[2]),
              "6b 24 5a 13 0a 00 00 00 df 2b a1 ec 36 00 00 00 "
              "55 aa 24 1b 02 00 00 00 03 30 00 00 11 00 00 00 "
              "22 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(vrn_set_value(h + 1, 1, 2), -1);
    EXPECT_EQ(vrn_query(h + 1, 2, buf, 236), -1);
    EXPECT_EQ(settled_count(1), 3u);
}

TEST_F(Commands, QueryInfoChecksTheCallersSize) {
    unsigned char caller[64];
    std::memset(caller, 0xAB, sizeof caller);
    EXPECT_EQ(vrn_query_info(h, caller, 27), -1);
    EXPECT_EQ(settled_count(1), 0u);
    EXPECT_EQ(vrn_query_info(h, caller, 28), 1);
    auto sent = on_port(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex_range(sent[0], 16, 48),
              "55 aa 24 1b 02 00 00 00 02 30 00 00 ec 00 00 00 "
              "02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    for (unsigned char c : caller) EXPECT_EQ(c, 0xAB);
    EXPECT_EQ(g_conn_table[h].status, 0x5A);
    EXPECT_EQ(vrn_query_info(h + 1, caller, 64), -1);
}

// An acknowledge cut short counts as none: status and data are zeros, not
// a fragment.
TEST_F(Commands, QueryLengthIsBoundedAndAPartialAcknowledgeCountsAsNone) {
    std::uint32_t buf[60];
    EXPECT_EQ(vrn_query(h, 2, buf, 1413), -1);  // would overrun the receive buffer
    EXPECT_EQ(vrn_query(h, 2, buf, -4), -1);
    EXPECT_EQ(settled_count(1), 0u);

    mode = kPartialQuery;
    std::memset(buf, 0xEE, sizeof buf);
    g_conn_table[h].status = 9;
    EXPECT_EQ(vrn_query(h, 2, buf, 236), 0);
    EXPECT_EQ(g_conn_table[h].status, 0);
    for (int i = 0; i < 59; ++i) EXPECT_EQ(buf[i], 0u) << i;
}

TEST_F(Commands, BlockTransferRequestsAndReplies) {
    std::uint32_t req[25], reply[40];
    for (int i = 0; i < 25; ++i) req[i] = static_cast<std::uint32_t>(i + 1);
    std::memset(reply, 0xEE, sizeof reply);
    EXPECT_EQ(vrn_transfer_blocks(h, 1, reply, req, 100), 0);
    auto sent = on_port(1);
    ASSERT_EQ(sent.size(), 2u);
    ASSERT_EQ(sent[0].size(), 128u);
    ASSERT_EQ(sent[1].size(), 128u);
    EXPECT_EQ(hex_range(sent[0], 0, 40),
              "6b 24 5a 13 1e 00 00 00 df 2b a1 ec 30 00 00 00 "
              "aa 94 45 cd 00 18 0a 31 03 00 00 00 00 00 00 00 "
              "01 00 00 00 02 00 00 00");
    EXPECT_EQ(word_at(sent[0], 124), 24u);
    // The short last block: its word, then zeros to a full block.
    EXPECT_EQ(hex_range(sent[1], 28, 40), "00 00 00 00 19 00 00 00 00 00 00 00");
    EXPECT_EQ(sent[1], [&] {
        Bytes b = sent[0];
        std::fill(b.begin() + 32, b.end(), 0);
        put(b, 32, 25);
        return b;
    }());
    for (int i = 0; i < 25; ++i) EXPECT_EQ(reply[i], ~static_cast<std::uint32_t>(i + 1)) << i;
    // Only the asked-for length lands in the reply buffer.
    for (int i = 25; i < 40; ++i) EXPECT_EQ(reply[i], 0xEEEEEEEEu) << i;

    EXPECT_EQ(vrn_transfer_blocks_io(h, 2, req, reply, 96), 0);
    ASSERT_TRUE(fm.wait_for(3, 1000));
    EXPECT_EQ(hex_range(on_port(1)[2], 12, 28), "37 00 00 00 aa 94 45 cd 00 18 0a 31 03 00 00 00");
    EXPECT_EQ(reply[0], ~1u);

    EXPECT_EQ(vrn_transfer_blocks(h, 3, reply, req, 100), -1);
    EXPECT_EQ(vrn_transfer_blocks(h, 0, reply, req, 100), -1);
    EXPECT_EQ(vrn_transfer_blocks(h, 1, reply, req, 0), 0);
    EXPECT_EQ(vrn_transfer_blocks(h + 1, 1, reply, req, 100), -1);
    EXPECT_EQ(vrn_transfer_blocks_io(h + 1, 1, req, reply, 100), -1);
    EXPECT_EQ(settled_count(1), 3u);

    mode = kBadAck;
    EXPECT_EQ(vrn_transfer_blocks(h, 1, reply, req, 200), -1);
    EXPECT_EQ(settled_count(1), 4u);  // the first bad acknowledge ends it
}

TEST_F(Commands, RegisterListWrite) {
    const std::uint32_t addr[2] = {0x100, 0x200}, val[2] = {0xA, 0xB};
    EXPECT_EQ(vrn_reg_write_list(h, 2, 0, 0, addr, val, 8, 1), 0);
    EXPECT_EQ(sole_command(),
              "6b 24 5a 13 0a 00 00 00 df 2b a1 ec 31 00 00 00 "
              "aa 94 45 cd 00 04 1a 31 03 00 00 00 00 00 00 00 "
              "00 01 00 00 0a 00 00 00 00 02 00 00 0b 00 00 00");

    EXPECT_EQ(vrn_reg_write_list(h, 34, 0, 0, addr, val, 4, 1), 0);
    ASSERT_TRUE(fm.wait_for(2, 1000));
    EXPECT_EQ(hex(on_port(1)[1]),
              "6b 24 5a 13 08 00 00 00 df 2b a1 ec 12 00 00 00 "
              "aa 94 45 cd 00 02 1a 34 01 00 00 00 00 00 00 00 "
              "00 01 00 00 0a 00 00 00");

    std::vector<std::uint32_t> addrs(120), vals(120);
    for (std::uint32_t i = 0; i < 120; ++i) {
        addrs[i] = 0x5000 + 3 * i;  // no stride: each value has its address
        vals[i] = 0xF00 + i;
    }
    EXPECT_EQ(vrn_reg_write_list(h, 2, 0, 0, addrs.data(), vals.data(), 480, 99), 0);
    const std::vector<Bytes> sent = on_port(1);
    ASSERT_EQ(sent.size(), 4u);
    for (int r = 2; r < 4; ++r) {
        ASSERT_EQ(sent[r].size(), 512u);
        EXPECT_EQ(hex_range(sent[r], 4, 8), "7e 00 00 00");
        EXPECT_EQ(hex_range(sent[r], 20, 24), "00 78 1a 31");
    }
    EXPECT_EQ(word_at(sent[2], 32), 0x5000u);
    EXPECT_EQ(word_at(sent[2], 32 + 8 * 59 + 4), 0xF00u + 59);
    EXPECT_EQ(word_at(sent[3], 32), 0x5000u + 3 * 60);
    EXPECT_EQ(word_at(sent[3], 36), 0xF00u + 60);
    EXPECT_EQ(word_at(sent[3], 32 + 8 * 59), 0x5000u + 3 * 119);
    EXPECT_EQ(word_at(sent[3], 32 + 8 * 59 + 4), 0xF00u + 119);

    // Refused before any traffic: space 0 (read only), unknown codes, a
    // bad handle, and a length that is no whole number of words.
    for (int space : {0, 4, 48}) EXPECT_EQ(vrn_reg_write_list(h, space, 0, 0, addr, val, 8, 1), -1) << space;
    EXPECT_EQ(vrn_reg_write_list(h + 1, 2, 0, 0, addr, val, 8, 1), -1);
    EXPECT_EQ(vrn_reg_write_list(h, 2, 0, 0, addr, val, 6, 1), -1);
    EXPECT_EQ(vrn_reg_write_list(h, 2, 0, 0, addr, val, 0, 1), 0);
    EXPECT_EQ(settled_count(1), 4u);

    mode = kBadAck;
    EXPECT_EQ(vrn_reg_write_list(h, 2, 0, 0, addr, val, 8, 1), -1);
}

TEST_F(Commands, RawSendAndReceiveCarryNoHeader) {
    const Bytes out = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(vrn_raw_send(h, out.data(), 10), 0);
    ASSERT_TRUE(fm.wait_for(1, 1000));
    EXPECT_EQ(on_port(1)[0], out);

    const Bytes in = words_le({0xCAFEF00D, 0x12345678, 0x9ABCDEF0});
    fm.send_to_client(Bytes(in.begin(), in.begin() + 4), 1);
    fm.send_to_client(Bytes(in.begin() + 4, in.end()), 1);
    Bytes got(12, 0);
    EXPECT_EQ(vrn_raw_receive(h, got.data(), 12), 12);
    EXPECT_EQ(got, in);

    EXPECT_EQ(vrn_raw_send(h + 1, out.data(), 10), -1);
    EXPECT_EQ(vrn_raw_receive(h + 1, got.data(), 12), -1);
}

TEST_F(Commands, BulkSendInWholeDatagramsOnTheReadChannel) {
    Bytes data(1500);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 1);
    // No read channel: channel socket entry 0 is empty.
    ASSERT_EQ(open_channel(8), 0);
    EXPECT_EQ(vrn_bulk_send(h, data.data(), 1500, 1000), -1);
    ASSERT_EQ(open_channel(4), 1);
    EXPECT_EQ(vrn_bulk_send(h, data.data(), 0, 1000), 0);
    EXPECT_EQ(settled_count(2), 0u);

    EXPECT_EQ(vrn_bulk_send(h, data.data(), 1500, 1000), 1024);
    ASSERT_TRUE(fm.wait_for(2, 1000, 2));
    auto sent = on_port(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], Bytes(data.begin(), data.begin() + 1024));
    ASSERT_EQ(sent[1].size(), 1024u);
    EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 476), Bytes(data.begin() + 1024, data.end()));
    // Past the caller's data the last datagram is zeros.
    EXPECT_EQ(Bytes(sent[1].begin() + 476, sent[1].end()), Bytes(548, 0));
    EXPECT_EQ(fm.count(3), 0u);
    EXPECT_EQ(vrn_bulk_send(h + 1, data.data(), 1500, 1000), -1);
}

TEST_F(Commands, BulkReceiveAndDrain) {
    ASSERT_EQ(open_channel(4), 0);
    std::vector<unsigned char> buf(1000 + 1031, 0);
    EXPECT_EQ(vrn_bulk_receive(h, buf.data(), 1000, 0), 0);  // nothing there

    push_stream(Bytes(500, 1));
    push_stream(Bytes(500, 2));
    push_stream(Bytes(100, 3));
    EXPECT_EQ(vrn_bulk_receive(h, buf.data(), 1000, 500), 1000);
    EXPECT_EQ(buf[499], 1);
    EXPECT_EQ(buf[500], 2);
    EXPECT_EQ(buf[999], 2);
    EXPECT_EQ(vrn_bulk_receive(h, buf.data(), 1, 500), 100);
    EXPECT_EQ(buf[0], 3);

    for (int i = 0; i < 5; ++i) push_stream(Bytes(1032, static_cast<std::uint8_t>(i)));
    plat_sleep_ms(50);
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_bulk_receive(h, buf.data(), 0, 5000), 1);  // the time-out is not used
    EXPECT_LT(ms_since(t0), 100);
    EXPECT_EQ(buf[0], 4);  // each datagram lands at the start
    EXPECT_EQ(vrn_bulk_receive(h, buf.data(), 1000, 0), 0);
    EXPECT_EQ(vrn_bulk_receive(h + 1, buf.data(), 0, 0), -1);
}
