// Single datagrams with a caller's time-out, the channel socket entries and
// the endpoint extras, against a scripted module on the fake clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "connection.h"
#include "fake_module.h"
#include "vrn.h"

using namespace vrntest;

namespace {

// A loopback socket of the test's own, for datagrams aimed at one of the
// client's sockets from 127.0.0.1.
struct LocalSender {
    vrn_socket s = plat_udp_socket();
    LocalSender() {
        VrnSockAddr a{};
        a.family = 2;
        a.addr = plat_inet_addr("127.0.0.1");
        plat_bind(s, &a);
    }
    ~LocalSender() { plat_close_socket(s); }
    void send(vrn_socket client, const Bytes& b) const {
        VrnSockAddr to{};
        plat_local_addr(client, &to);
        to.addr = plat_inet_addr("127.0.0.1");
        plat_sendto(s, b.data(), static_cast<int>(b.size()), &to);
    }
};

Script reply_from(int from) {
    return [from](const Datagram& d, int) {
        Action a{d.bytes};
        a.from = from;
        return std::vector<Action>{a};
    };
}

}  // namespace

TEST(TimedDatagrams, TimeOutArithmetic) {
    FakeModule fm;  // silent
    Endpoint e(fm.address());
    ASSERT_NE(e.ep, nullptr);
    vrn_socket s = e.ep->fixed_sock[1];
    unsigned char buf[64];
    // Time-out given, the wait it makes: 0 polls, -1 stands for 4 s, and
    // other negative values poll (a wait that finds nothing costs the fake
    // clock its one millisecond).
    const struct {
        int timeout_ms;
        long waited_ms;
    } cases[] = {{0, 1}, {2500, 2500}, {999, 999}, {-1, 4000}, {-7, 1}};
    for (const auto& c : cases) {
        const std::uint32_t t0 = plat_tick_ms();
        EXPECT_EQ(udp_recv_timed(s, buf, sizeof buf, 0, c.timeout_ms), 0) << c.timeout_ms;
        EXPECT_EQ(ms_since(t0), c.waited_ms) << c.timeout_ms;
    }

    // A writable socket sends at once, whatever the time-out.
    for (int t : {0, 2500, -1}) EXPECT_EQ(udp_send_timed(s, buf, 12, 0, t), 12) << t;
    EXPECT_EQ(fm.count(1), 3u);
}

TEST(TimedDatagrams, OneDatagramAndThePeerFollowsItsSource) {
    FakeModule fm(reply_from(Action::kOtherPort));
    Endpoint e(fm.address());
    ASSERT_NE(e.ep, nullptr);
    vrn_socket s = e.ep->fixed_sock[1];
    Bytes req = words_le({0x01020304, 0x05060708});
    ASSERT_EQ(udp_send_timed(s, req.data(), 8, 0, 1000), 8);
    Bytes got(64, 0xEE);
    // Two datagrams are never joined: the buffer takes the first alone.
    ASSERT_EQ(udp_send_timed(s, req.data(), 4, 0, 1000), 4);
    EXPECT_EQ(udp_recv_timed(s, got.data(), 64, 0, 1000), 8);
    EXPECT_EQ(hex(Bytes(got.begin(), got.begin() + 9)), "04 03 02 01 08 07 06 05 ee");
    EXPECT_EQ(peer_port(1), fm.other_port());
    EXPECT_EQ(udp_recv_timed(s, got.data(), 64, 0, 1000), 4);

    // The next send goes where the last answer came from.
    ASSERT_EQ(udp_send_timed(s, req.data(), 8, 0, 1000), 8);
    ASSERT_TRUE(fm.wait_for(1, 2000, Action::kOtherPort));
    EXPECT_EQ(fm.received().back().bytes, req);
}

TEST(TimedDatagrams, OversizedDatagramIsAnError) {
    FakeModule fm([](const Datagram&, int) { return std::vector<Action>{{Bytes(100, 7)}}; });
    Endpoint e(fm.address());
    ASSERT_NE(e.ep, nullptr);
    unsigned char buf[64];
    ASSERT_EQ(udp_send_timed(e.ep->fixed_sock[1], buf, 4, 0, 0), 4);
    EXPECT_EQ(udp_recv_timed(e.ep->fixed_sock[1], buf, 64, 0, 1000), -1);
}

TEST(TimedDatagrams, DatagramsFromAnotherAddressDoNotEndTheWait) {
    FakeModule fm([](const Datagram&, int seq) {
        Action foreign{words_le({0xBAD}), 0, Action::kForeignAddress};
        if (seq == 0) return std::vector<Action>{foreign, {words_le({0x600D}), 150}};
        return std::vector<Action>{foreign};
    });
    Endpoint e(fm.address());
    ASSERT_NE(e.ep, nullptr);
    vrn_socket s = e.ep->fixed_sock[1];
    unsigned char buf[16] = {};
    ASSERT_EQ(udp_send_timed(s, buf, 4, 0, 0), 4);
    std::uint32_t t0 = plat_tick_ms();
    ASSERT_EQ(udp_recv_timed(s, buf, 16, 0, 1000), 4);
    EXPECT_GE(ms_since(t0), 150);  // the stranger's datagram did not end the wait
    EXPECT_EQ(word_at(Bytes(buf, buf + 4), 0), 0x600Du);
    EXPECT_EQ(peer_port(1), fm.base_port() + 1);

    // A stranger alone: the wait runs its course, no longer, and the peer stays.
    ASSERT_EQ(udp_send_timed(s, buf, 4, 0, 0), 4);
    t0 = plat_tick_ms();
    EXPECT_EQ(udp_recv_timed(s, buf, 16, 0, 300), 0);
    EXPECT_EQ(ms_since(t0), 300);
    EXPECT_EQ(peer_port(1), fm.base_port() + 1);
}

TEST(ChannelDatagrams, EntriesAndRefusals) {
    FakeModule fm;
    Endpoint e(fm.address());
    ASSERT_NE(e.ep, nullptr);
    unsigned char buf[32] = {9, 8, 7, 6};
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(udp_chan_recv(e.ep, 0, buf, 32, 2000), -1);  // entry holds -1
    EXPECT_EQ(udp_chan_send(e.ep, 0, buf, 4, 2000), -1);
    EXPECT_EQ(udp_chan_recv(e.ep, 16, buf, 32, 2000), -1);
    EXPECT_EQ(udp_chan_send(e.ep, -1, buf, 4, 2000), -1);
    EXPECT_EQ(udp_chan_recv(nullptr, 0, buf, 32, 2000), -1);
    // A socket that no peer table entry holds fails at once as well.
    EXPECT_EQ(udp_recv_timed(VRN_NO_SOCKET, buf, 32, 0, 2000), -1);
    EXPECT_EQ(udp_send_timed(VRN_NO_SOCKET, buf, 4, 0, 2000), -1);
    EXPECT_EQ(ms_since(t0), 0);

    // Entries 0 and 1 aimed at the two stream ports.
    e.ep->chan_sock[0] = e.ep->fixed_sock[2];
    e.ep->chan_sock[1] = e.ep->fixed_sock[3];
    EXPECT_EQ(udp_chan_send(e.ep, 0, buf, 4, 0), 4);
    EXPECT_EQ(udp_chan_send(e.ep, 1, buf, 2, 0), 2);
    ASSERT_TRUE(fm.wait_for(1, 2000, 2));
    ASSERT_TRUE(fm.wait_for(1, 2000, 3));
    EXPECT_EQ(fm.count(1), 0u);

    LocalSender local;
    local.send(e.ep->fixed_sock[2], words_le({0xA1A2A3A4, 5}));
    Bytes got(32, 0);
    EXPECT_EQ(udp_chan_recv(e.ep, 0, got.data(), 32, 1000), 8);
    EXPECT_EQ(hex(Bytes(got.begin(), got.begin() + 8)), "a4 a3 a2 a1 05 00 00 00");
    EXPECT_EQ(udp_chan_recv(e.ep, 0, got.data(), 32, 0), 0);
}

std::string quiet_address() { return "127.0.0.1:" + std::to_string(pick_free_base(4)); }

TEST(EndpointExtras, AddedChannelSocketsAndClose) {
    Endpoint e(quiet_address());
    ASSERT_NE(e.ep, nullptr);
    const int base = e.ep->base_port;
    EXPECT_EQ(e.ep->next_port, base + 4);
    e.ep->chan_sock[0] = e.ep->fixed_sock[2];
    EXPECT_EQ(udp_add_chan_socket(e.ep, 0), 1);
    EXPECT_EQ(e.ep->next_port, base + 5);
    EXPECT_EQ(udp_add_chan_socket(e.ep, 30000), 2);
    EXPECT_EQ(e.ep->next_port, base + 6);
    vrn_socket added = e.ep->chan_sock[1];
    EXPECT_NE(added, VRN_NO_SOCKET);
    EXPECT_EQ(udp_peer_find(added), -1);
    unsigned char buf[4] = {};
    EXPECT_EQ(udp_chan_send(e.ep, 1, buf, 4, 0), -1);  // not in the peer table
    for (int i = 3; i < 16; ++i) EXPECT_EQ(udp_add_chan_socket(e.ep, 0), i);
    EXPECT_EQ(udp_add_chan_socket(e.ep, 0), -1);
    EXPECT_EQ(e.ep->next_port, base + 19);
    EXPECT_EQ(udp_add_chan_socket(nullptr, 0), -1);

    EXPECT_EQ(udp_close_socket(VRN_NO_SOCKET), 0);
    vrn_socket own = plat_udp_socket();
    ASSERT_NE(own, VRN_NO_SOCKET);
    EXPECT_EQ(udp_close_socket(own), 0);
}

TEST(EndpointExtras, TestPatternGoesOutOnTheCommandSocket) {
    FakeModule fm;
    Endpoint e(fm.address());
    ASSERT_NE(e.ep, nullptr);
    EXPECT_EQ(udp_send_test_pattern(e.ep), 16);
    ASSERT_TRUE(fm.wait_for(1, 2000));
    EXPECT_EQ(hex(fm.received()[0].bytes), "44 33 22 11 88 77 66 55 cc bb aa 99 00 ff ee dd");
}

TEST(EndpointExtras, StreamSocket) {
    Endpoint e(quiet_address());
    ASSERT_NE(e.ep, nullptr);
    std::uint32_t words[4] = {1, 2, 3, 4};
    EXPECT_EQ(udp_stream_send(e.ep, words, 16), -1);  // no stream socket on this system
    EXPECT_EQ(udp_stream_recv(e.ep, words, 16), -1);

    // Any bound datagram socket stands in for one; the endpoint closes it.
    vrn_socket s = plat_udp_socket();
    VrnSockAddr a{};
    a.family = 2;
    a.addr = plat_inet_addr("127.0.0.1");
    ASSERT_EQ(plat_bind(s, &a), 0);
    e.ep->stream_sock = s;
    LocalSender local;
    local.send(s, Bytes{0x11, 0x22, 0x33, 0x44, 0xAA, 0xBB, 0xCC, 0xDD});
    std::uint32_t got[4] = {0x01020304, 0x01020304, 0x01020304, 0x01020304};
    ASSERT_EQ(plat_wait_readable(s, 1, 0), 1);
    EXPECT_EQ(udp_stream_recv(e.ep, got, 16), 8);
    EXPECT_EQ(got[0], 0x11223344u);
    EXPECT_EQ(got[1], 0xAABBCCDDu);
    // Words that did not arrive keep their value.
    EXPECT_EQ(got[2], 0x01020304u);
    EXPECT_EQ(got[3], 0x01020304u);
}
