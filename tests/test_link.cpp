// Endpoint, connection table and the command exchange, against a scripted
// module on the fake clock: every wait here lasts exactly as long as it
// would on a wire, and costs no real time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "connection.h"
#include "fake_platform.h"
#include "fake_module.h"
#include "vrn.h"

using namespace vrntest;

namespace {

Script echo_script() {
    return [](const Datagram& d, int) { return std::vector<Action>{{d.bytes}}; };
}

}  // namespace

TEST(PacketHeader, BuildsTheExactHeaderBytes) {
    unsigned char h[16];
    std::memset(h, 0xEE, sizeof h);
    EXPECT_EQ(make_packet_header(h, 6, 0x36), 6);
    EXPECT_EQ(hex(Bytes(h, h + 16)), "6b 24 5a 13 06 00 00 00 df 2b a1 ec 36 00 00 00");
    make_packet_header(h, 0x12345678, 0x31);
    EXPECT_EQ(hex(Bytes(h, h + 16)), "6b 24 5a 13 78 56 34 12 df 2b a1 ec 31 00 00 00");
}

TEST(CheckAck, AcceptsOnlyTheFourCheckedFields) {
    auto ack = [](std::uint32_t a, std::uint32_t b, std::uint32_t type, std::uint32_t magic) {
        return words_le({a, 99, b, type, magic, 0xDEAD, 1, 2});
    };
    for (std::uint32_t type : {0x13u, 0x33u, 0x03u, 0xF3u})
        EXPECT_EQ(check_ack(ack(0x135a246b, 0xeca12bdf, type, 0xcd4594aa).data()), 0) << type;
    for (std::uint32_t type : {0x31u, 0x12u, 0x36u, 0x00u})
        EXPECT_EQ(check_ack(ack(0x135a246b, 0xeca12bdf, type, 0xcd4594aa).data()), -1) << type;
    EXPECT_EQ(check_ack(ack(0x135a246b, 0xeca12bdf, 0x13, 0x1b24aa55).data()), 0);
    EXPECT_EQ(check_ack(ack(0x135a246c, 0xeca12bdf, 0x13, 0xcd4594aa).data()), -1);
    EXPECT_EQ(check_ack(ack(0x135a246b, 0xeca12bde, 0x13, 0xcd4594aa).data()), -1);
    EXPECT_EQ(check_ack(ack(0x135a246b, 0xeca12bdf, 0x13, 0xcd4594ab).data()), -1);
    EXPECT_EQ(check_payload_magic(words_le({0x1b24aa55}).data()), 0);
    EXPECT_EQ(check_payload_magic(words_le({0}).data()), -1);
}

TEST(LinkOps, ReleaseAndQueryOnUdp) {
    EXPECT_EQ(link_release_channel(nullptr, 15), 0);
    EXPECT_EQ(link_release_channel(nullptr, 16), -1);
    int dest = 7;
    EXPECT_EQ(link_query(nullptr, &dest, 4), 1);
    EXPECT_EQ(dest, 7);
    EXPECT_EQ(udp_max_payload(nullptr), 1460);
    EXPECT_EQ(udp_control(1, 2, 3), 0);
}

TEST(Endpoint, AddressStringAndPortArithmetic) {
    UdpEndpoint* ep = udp_ep_open("10.1.2.3:3011", 0);
    ASSERT_NE(ep, nullptr);
    EXPECT_STREQ(ep->ip_text, "10.1.2.3");
    EXPECT_EQ(ep->base_port, 3011);
    EXPECT_EQ(ep->next_port, 3015);
    EXPECT_EQ(ep->stream_sock, VRN_NO_SOCKET);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(ep->chan_sock[i], VRN_NO_SOCKET);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(g_peer_table[i].socket, ep->fixed_sock[i]);
        EXPECT_EQ(peer_port(i), 3011 + i);
        EXPECT_EQ(g_peer_table[i].peer.addr, plat_inet_addr("10.1.2.3"));
        EXPECT_EQ(g_peer_table[i].peer.family, 2);
    }
    EXPECT_EQ(udp_ep_close(ep), 0);

    ep = udp_ep_open("10.1.2.3:70000", 0);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(ep->base_port, 4464);
    udp_ep_close(ep);

    ep = udp_ep_open("10.1.2.3:65534", 0);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(peer_port(0), 65534);
    EXPECT_EQ(peer_port(1), 65535);
    EXPECT_EQ(peer_port(2), 0);
    EXPECT_EQ(peer_port(3), 1);
    udp_ep_close(ep);

    ep = udp_ep_open("10.1.2.3:3011:9", 0);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(ep->base_port, 3011);
    udp_ep_close(ep);

    EXPECT_EQ(udp_ep_close(nullptr), -1);
}

TEST(Endpoint, RefusesAddressWithoutColonOrTooLong) {
    EXPECT_EQ(udp_ep_open("10.1.2.3", 0), nullptr);
    EXPECT_EQ(udp_ep_open("", 0), nullptr);
    std::string ok63 = "10.1.2.3:" + std::string(63 - 9, '1');
    ASSERT_EQ(ok63.size(), 63u);
    UdpEndpoint* ep = udp_ep_open(ok63.c_str(), 0);
    ASSERT_NE(ep, nullptr);
    udp_ep_close(ep);
    std::string bad64 = ok63 + "1";
    EXPECT_EQ(udp_ep_open(bad64.c_str(), 0), nullptr);
    EXPECT_EQ(vrn_open(bad64.c_str(), 0), -1);
    EXPECT_EQ(vrn_open("no-port-here", 0), -1);
}

TEST(Endpoint, SocketsNotInPeerTableFailAtOnce) {
    FakeModule fm(echo_script());
    UdpEndpoint* first = udp_ep_open(fm.address().c_str(), 0);
    ASSERT_NE(first, nullptr);
    UdpEndpoint* second = udp_ep_open(fm.address().c_str(), 0);
    ASSERT_NE(second, nullptr);
    unsigned char buf[16] = {1, 2, 3};
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(udp_send_all(first->fixed_sock[1], buf, 16, 0), -1);
    EXPECT_EQ(udp_recv_all(first->fixed_sock[1], buf, 16, 0), -1);
    EXPECT_EQ(udp_send_all(VRN_NO_SOCKET, buf, 16, 0), -1);
    EXPECT_EQ(ms_since(t0), 0);
    EXPECT_EQ(udp_send_all(second->fixed_sock[1], buf, 16, 0), 16);
    EXPECT_EQ(udp_send_all(second->fixed_sock[1], buf, 0, 0), 0);
    EXPECT_TRUE(fm.wait_for(1, 2000));
    EXPECT_EQ(fm.count(1), 1u);
    udp_ep_close(second);
    udp_ep_close(first);
}

TEST(Endpoint, ReceiveAllJoinsDatagramsAndTimesOut) {
    FakeModule fm([](const Datagram& d, int) {
        Bytes a(d.bytes.begin(), d.bytes.begin() + 8), b(d.bytes.begin() + 8, d.bytes.end());
        if (d.bytes[0] == 1) return std::vector<Action>{{a}, {b, 20}};
        return std::vector<Action>{{a}};  // half, then silence
    });
    Conn c(fm.address());
    ASSERT_EQ(c.h, 0);
    vrn_socket s = c.ep()->fixed_sock[1];
    unsigned char req[16], got[16];
    for (int i = 0; i < 16; ++i) req[i] = static_cast<unsigned char>(i + 1);
    ASSERT_EQ(udp_send_all(s, req, 16, 0), 16);
    ASSERT_EQ(udp_recv_all(s, got, 16, 0), 16);
    EXPECT_EQ(std::memcmp(req, got, 16), 0);

    // Half, then nothing: the second part's wait runs out, 4 s after the
    // first part came.
    req[0] = 2;
    ASSERT_EQ(udp_send_all(s, req, 16, 0), 16);
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(udp_recv_all(s, got, 16, 0), 0);
    EXPECT_EQ(ms_since(t0), 1 + 4000);
}

TEST(Endpoint, PeerFollowsTheReplyingPort) {
    FakeModule fm([](const Datagram& d, int seq) {
        Action a{make_ack(32)};
        if (seq == 0) a.from = Action::kOtherPort;
        (void)d;
        return std::vector<Action>{a};
    });
    Conn c(fm.address());
    ASSERT_GE(c.h, 0);
    Bytes ack(32);
    ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 32, 1), 32);
    EXPECT_EQ(peer_port(1), fm.other_port());
    ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 32, 1), 32);
    auto log = fm.received();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].port_index, 1);
    EXPECT_EQ(log[1].port_index, Action::kOtherPort);
    EXPECT_EQ(log[1].bytes, kChannelRequest);
}

TEST(Exchange, RetryingExchangeSendsUntilAnswered) {
    FakeModule fm([](const Datagram&, int seq) {
        if (seq < 2) return std::vector<Action>{};
        return std::vector<Action>{{make_ack(36, {0xCAFE})}};
    });
    Conn c(fm.address());
    Bytes ack(36);
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, VRN_RETRY_ATTEMPTS), 36);
    EXPECT_GE(ms_since(t0), 2 * 4000) << "two waits ran out";
    EXPECT_EQ(link_health(c.h)->unanswered, 2u) << "the two attempts whose wait ran out";
    EXPECT_EQ(link_health(c.h)->silent_attempts, 0u) << "the answer ends the silence";
    EXPECT_EQ(word_at(ack, 32), 0xCAFEu);
    EXPECT_EQ(fm.count(1), 3u);
    for (const Datagram& d : fm.received()) EXPECT_EQ(d.bytes, kChannelRequest);
}

TEST(Exchange, RetryingExchangeGivesUpAfterElevenSends) {
    FakeModule fm;  // never answers
    Conn c(fm.address());
    Bytes ack(36);
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, VRN_RETRY_ATTEMPTS), 0);
    EXPECT_GE(ms_since(t0), 11 * 4000);
    EXPECT_EQ(fm.count(1), 11u);
    EXPECT_EQ(link_health(c.h)->unanswered, 11u);
    EXPECT_EQ(link_health(c.h)->silent_attempts, 11u);
    EXPECT_EQ(link_exchange(-1, kChannelRequest.data(), 32, ack.data(), 36, 1), -1);
    EXPECT_EQ(link_exchange(c.h + 1, kChannelRequest.data(), 32, ack.data(), 36, 1), -1);
    EXPECT_EQ(fm.count(1), 11u);
}

TEST(Exchange, SplitAcknowledgeIsTakenAsOne) {
    FakeModule fm([](const Datagram&, int) {
        Bytes ack = make_ack(32);
        return std::vector<Action>{{Bytes(ack.begin(), ack.begin() + 16)}, {Bytes(ack.begin() + 16, ack.end()), 30}};
    });
    Conn c(fm.address());
    Bytes ack(32);
    ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 32, 1), 32);
    EXPECT_EQ(ack, make_ack(32));
}

// Without draining, the duplicate of the first acknowledge answers the
// second request and every later exchange is shifted by one.
TEST(Exchange, StaleAcknowledgeIsNotTakenForTheNextAnswer) {
    FakeModule fm([](const Datagram&, int seq) {
        Bytes ack = make_ack(36, {static_cast<std::uint32_t>(seq + 100)});
        return std::vector<Action>{{ack}, {ack}};
    });
    Conn c(fm.address());
    Bytes ack(36);
    ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 36);
    EXPECT_EQ(word_at(ack, 32), 100u);
    EXPECT_FALSE(link_troubled(c.h)) << "an answered exchange is no trouble";
    plat_sleep_ms(50);
    ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 36);
    EXPECT_EQ(word_at(ack, 32), 101u);
    EXPECT_EQ(link_health(c.h)->stale, 1u) << "the duplicate, drained before the second request";
}

// After a lost answer the exchange goes on from a new port, as the module
// sees: the answer to the lost attempt, sent to the old port while the
// next exchange waits, is never taken for its answer. A link without
// faults keeps its one port; once a duplicated answer has shown, every
// exchange takes a port of its own, so that no copy can reach a later wait.
TEST(FreshPort, ComesAfterTroubleAndOnlyThen) {
    FakeModule fm([](const Datagram&, int seq) {
        const Bytes ack = make_ack(36, {static_cast<std::uint32_t>(seq)});
        if (seq == 0) return std::vector<Action>{{ack, 4300}};  // after the wait ran out
        if (seq == 1) return std::vector<Action>{{ack, 500}};   // the late one comes first
        if (seq == 4) return std::vector<Action>{{ack}, {ack}};
        return std::vector<Action>{{ack}};
    });
    Conn c(fm.address());
    Bytes ack(36);
    ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 0);
    for (std::uint32_t seq = 1; seq < 8; ++seq) {
        ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 36) << seq;
        EXPECT_EQ(word_at(ack, 32), seq) << "the answer to exchange " << seq << " is its own";
    }
    std::vector<std::uint16_t> ports;
    for (const Datagram& d : fm.received()) ports.push_back(d.src_port);
    ASSERT_EQ(ports.size(), 8u);
    EXPECT_NE(ports[1], ports[0]) << "a new port after the lost answer";
    EXPECT_EQ(ports[2], ports[1]);
    EXPECT_EQ(ports[3], ports[1]);
    EXPECT_EQ(ports[4], ports[1]) << "no trouble, no new port";
    for (std::size_t i = 5; i < ports.size(); ++i)
        for (std::size_t k = 1; k < i; ++k) EXPECT_NE(ports[i], ports[k]) << i << " after the duplicate";
    EXPECT_EQ(link_health(c.h)->stale, 1u);
    // A replaced port is held, not freed: no other socket can take it, and
    // with it the late answers still on their way there.
    const VrnSockAddr first_port = vrn_sockaddr(plat_inet_addr("127.0.0.1"), ports[0]);
    vrn_socket other = plat_udp_socket();
    EXPECT_NE(plat_bind(other, &first_port), 0);
    plat_close_socket(other);
}

// WinSock reports a datagram that found nobody at the module's port on the
// next receive; the attempt still waits out its wait, so that a module
// that is away costs the same silence on every system.
TEST(Exchange, APortUnreachableReportDoesNotCutTheWaitShort) {
    Conn c("127.0.0.1:" + std::to_string(pick_free_base(4)));
    fakenet::listen_rest([&](const fakenet::Sent& sent) {
        fakenet::deliver_error(sent.socket, VRN_WSAECONNRESET, 1);
    });
    Bytes ack(36);
    testing::internal::CaptureStdout();
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 0);
    EXPECT_EQ(ms_since(t0), 4000);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ERROR COUNTER"), std::string::npos)
        << "still a failed receive";
    fakenet::listen_rest({});
}

// How long an attempt waits for an answer that never comes, by the wait of
// the connection: the endpoint's 4 s, a fixed wait, or the adaptive wait
// after `answered` answers of `rtt` ms each (and then one of late_rtt ms);
// the fixed and the adaptive wait doubled after each wait in a row that ran
// out (the adaptive one again for each doubling of patience), never above
// 4 s. Before the first lost answer the adaptive wait is at least 250 ms; a
// late answer keeps it at twice that answer's round trip.
struct WaitCase {
    const char* name;
    int wait;
    int answered;
    std::uint32_t rtt;
    std::vector<long> lost;  // the waits of the attempts that follow, none answered
    std::uint32_t patience = 0;
    std::uint32_t late_rtt = 0;
};

class Wait : public testing::TestWithParam<WaitCase> {};

TEST_P(Wait, OfEachAttemptForALostAnswer) {
    const WaitCase& w = GetParam();
    FakeModule fm([&](const Datagram&, int seq) {
        const std::uint32_t rtt = seq < w.answered ? w.rtt : seq == w.answered ? w.late_rtt : 0;
        if (rtt == 0) return std::vector<Action>{};
        // The fake module's turnaround adds its 1 ms.
        return std::vector<Action>{{make_ack(36), static_cast<int>(rtt) - 1}};
    });
    Conn c(fm.address());
    ASSERT_EQ(vrn_set_wait(c.h, w.wait), 0);
    Bytes ack(36);
    const int answers = w.answered + (w.late_rtt ? 1 : 0);
    for (int i = 0; i < answers; ++i) ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 36);
    link_timer_patience(link_health(c.h), w.patience);
    std::vector<long> waited;
    for (std::size_t i = 0; i < w.lost.size(); ++i) {
        const std::uint32_t t0 = plat_tick_ms();
        EXPECT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 0);
        waited.push_back(ms_since(t0));
    }
    EXPECT_EQ(waited, w.lost);
}

INSTANTIATE_TEST_SUITE_P(
    Link, Wait,
    testing::Values(WaitCase{"Default", VRN_WAIT_DEFAULT, 3, 40, {4000, 4000}},
                    WaitCase{"Fixed", 250, 3, 40, {250, 500, 1000, 2000, 4000, 4000}},
                    WaitCase{"AutoBeforeAnyAnswer", VRN_WAIT_AUTO, 0, 1, {4000, 4000}},
                    // 100 + 4 x 50 (the first variation is half the first round trip)
                    WaitCase{"AutoAfterOneAnswer", VRN_WAIT_AUTO, 1, 100, {300, 600, 1200, 2400, 4000}},
                    // Steady answers: the variation dies away, three times the round trip stays.
                    WaitCase{"AutoAfterSteadyAnswers", VRN_WAIT_AUTO, 8, 40, {250, 240, 480, 960}},
                    WaitCase{"AutoFloorOnAFastLink", VRN_WAIT_AUTO, 8, 1, {250, 10, 20, 40}},
                    // 60 ms where the wait was 5: at least 120 from then on.
                    WaitCase{"AutoAfterALateAnswer", VRN_WAIT_AUTO, 8, 1, {250, 240, 480}, 0, 60},
                    WaitCase{"AutoWithPatience", VRN_WAIT_AUTO, 8, 40, {480, 960, 1920, 3840, 4000}, 2},
                    WaitCase{"FixedIgnoresPatience", 250, 3, 40, {250, 500}, 3},
                    WaitCase{"DefaultIgnoresPatience", VRN_WAIT_DEFAULT, 3, 40, {4000}, 3}),
    [](const testing::TestParamInfo<WaitCase>& info) { return std::string(info.param.name); });

// An answer that comes to the held port of an attempt whose wait ran out
// sets the adaptive wait's floor to twice its lateness, but only while the
// port is watched: up to the longest wait, not for the whole time it is
// held. Exchanges every 500 ms in between look at the held port: the
// lateness counted is the time to the first look after the answer came.
TEST(Wait, ALateAnswerAtAHeldPortTeachesOnlyWithinTheLongestWait) {
    struct Case {
        int late_ms;
        std::uint32_t floor_lo, floor_hi;
    };
    for (const Case& k : {Case{1000, 2000, 3000}, Case{3200, 4000, 4000}, Case{4600, 0, 0}}) {
        FakeModule fm([&](const Datagram&, int seq) {
            return std::vector<Action>{{make_ack(36), seq == 8 ? k.late_ms - 1 : 0}};
        });
        Conn c(fm.address());
        ASSERT_EQ(vrn_set_wait(c.h, VRN_WAIT_AUTO), 0);
        Bytes ack(36);
        for (int i = 0; i < 8; ++i) ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 36);
        const std::uint32_t t0 = plat_tick_ms();
        ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 0) << k.late_ms;
        while (ms_since(t0) < 6000) {
            fakenet::advance(500);
            ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 36) << k.late_ms;
        }
        EXPECT_GE(link_health(c.h)->timer.late_floor_ms, k.floor_lo) << k.late_ms;
        EXPECT_LE(link_health(c.h)->timer.late_floor_ms, k.floor_hi) << k.late_ms;
    }
}

TEST(Wait, RefusesWaitsOutOfRangeAndClosedHandles) {
    FakeModule fm;
    Conn c(fm.address());
    for (int bad : {-2, 4001, 100000}) EXPECT_EQ(vrn_set_wait(c.h, bad), -1) << bad;
    for (int good : {VRN_WAIT_AUTO, VRN_WAIT_DEFAULT, 1, 4000}) EXPECT_EQ(vrn_set_wait(c.h, good), 0) << good;
    EXPECT_EQ(vrn_set_wait(c.h + 1, 100), -1);
    EXPECT_EQ(vrn_set_wait(-1, 100), -1);
}

// A late answer to an earlier, longer request is no part of this one's:
// it is counted and printed like any failed receive, and the wait goes on
// for the answer that follows it.
TEST(Exchange, OversizedDatagramIsDroppedAndTheWaitGoesOn) {
    FakeModule fm([](const Datagram&, int) {
        return std::vector<Action>{{make_ack(272)}, {make_ack(32, {0x600D}), 40}};
    });
    Conn c(fm.address());
    Bytes ack(36);
    int before = g_udp_error_counter;
    testing::internal::CaptureStdout();
    int r = link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 32, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 32);
    EXPECT_EQ(word_at(ack, 0), 0x135a246bu);
    EXPECT_EQ(out, "\nERROR COUNTER = " + std::to_string(before) + "\n");
    EXPECT_EQ(g_udp_error_counter, before + 1);
    EXPECT_EQ(link_health(c.h)->oversized, 1u);
    EXPECT_EQ(fm.count(1), 1u) << "one request: the answer came within its wait";
}

// A late 32-byte answer to a write lands in the wait for a 36-byte read
// answer and is taken as its first part; the read's whole answer follows.
// It cannot continue the part, but it can be the whole answer: the part
// was the stray, and the answer is taken whole at once, not after the wait.
TEST(Exchange, AWholeAnswerAfterAStrayPartIsTakenInstead) {
    FakeModule fm([](const Datagram&, int) {
        return std::vector<Action>{{make_ack(32, {0xBAD})}, {make_ack(36, {0x600D}), 30}};
    });
    Conn c(fm.address());
    Bytes ack(36);
    int before = g_udp_error_counter;
    testing::internal::CaptureStdout();
    const std::uint32_t t0 = plat_tick_ms();
    int r = link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, 36);
    EXPECT_EQ(word_at(ack, 32), 0x600Du);
    EXPECT_EQ(ms_since(t0), 1 + 30) << "taken when it came";
    EXPECT_EQ(out, "\nERROR COUNTER = " + std::to_string(before) + "\n");
    EXPECT_EQ(link_health(c.h)->oversized, 1u);
}

TEST(Exchange, DatagramsFromAnotherAddressAreIgnored) {
    FakeModule fm([](const Datagram&, int seq) {
        Action foreign{make_ack(36, {0xBAD}), 0, Action::kForeignAddress};
        if (seq == 0) return std::vector<Action>{foreign, {make_ack(36, {0x600D}), 100}};
        return std::vector<Action>{foreign};
    });
    Conn c(fm.address());
    Bytes ack(36);
    ASSERT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 36);
    EXPECT_EQ(word_at(ack, 32), 0x600Du);
    EXPECT_EQ(link_health(c.h)->strangers, 1u);
    EXPECT_EQ(peer_port(1), fm.base_port() + 1);
    // A stranger alone does not make an answer.
    EXPECT_EQ(link_exchange(c.h, kChannelRequest.data(), 32, ack.data(), 36, 1), 0);
    EXPECT_EQ(peer_port(1), fm.base_port() + 1);
    EXPECT_EQ(fm.count(1), 2u);
}

TEST(EchoProbe, AnsweredFirstOrSecondTime) {
    FakeModule fm(echo_script());
    {
        Conn c(fm.address(), 1);
        EXPECT_GE(c.h, 0);
        ASSERT_EQ(fm.count(1), 1u);
        EXPECT_EQ(hex(fm.received()[0].bytes), "68 24 57 13 dd cc bb aa 11 00 ff ee aa 33 ff 00");
    }
    fm.clear();
    fm.set_script([](const Datagram& d, int seq) {
        if (seq == 0) return std::vector<Action>{};
        return std::vector<Action>{{d.bytes}};
    });
    Conn c(fm.address(), 1);
    EXPECT_GE(c.h, 0);
    EXPECT_EQ(fm.count(1), 2u);
}

TEST(EchoProbe, WrongEchoFailsAndWriterOpensWithoutProbe) {
    FakeModule fm([](const Datagram& d, int) {
        Bytes b = d.bytes;
        b[3] ^= 1;
        return std::vector<Action>{{b}};
    });
    Conn bad(fm.address(), 1);
    EXPECT_EQ(bad.h, -1);
    EXPECT_EQ(fm.count(1), 2u);
    fm.clear();
    Conn writer(fm.address(), 0);
    EXPECT_GE(writer.h, 0);
    EXPECT_EQ(fm.count(1), 0u);
}

// Bound to the module's own address, the socket would answer its own probe.
TEST(EchoProbe, NobodyOnTheModulesPortFailsTheOpenAfterTwoWaits) {
    std::uint16_t base = pick_free_base(4);
    std::string address = "127.0.0.1:" + std::to_string(base);
    const std::uint32_t t0 = plat_tick_ms();
    Conn c(address, 1);
    EXPECT_EQ(c.h, -1);
    EXPECT_EQ(ms_since(t0), 2 * 4000);
}

TEST(ConnectionTable, HandlesAreTheLowestFreeEntries) {
    FakeModule fm;
    std::string a = fm.address();
    int h0 = vrn_open(a.c_str(), 0);
    int h1 = vrn_open(a.c_str(), 0);
    EXPECT_EQ(h0, 0);
    EXPECT_EQ(h1, 1);
    EXPECT_EQ(conn_lookup(h1), 1);
    EXPECT_EQ(vrn_close(h0), 0);
    EXPECT_EQ(conn_lookup(h0), -1);
    EXPECT_EQ(vrn_close(h0), -1);
    EXPECT_EQ(vrn_open(a.c_str(), 0), 0);
    EXPECT_EQ(vrn_close(0), 0);
    EXPECT_EQ(vrn_close(1), 0);
    for (int bad : {-1, 16, 5}) {
        EXPECT_EQ(vrn_close(bad), -1);
        EXPECT_EQ(conn_lookup(bad), -1);
    }
}

TEST(ConnectionTable, SeventeenthOpenFails) {
    FakeModule fm;
    std::string a = fm.address();
    for (int i = 0; i < 16; ++i) ASSERT_EQ(vrn_open(a.c_str(), 0), i);
    EXPECT_EQ(vrn_open(a.c_str(), 0), -1);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(vrn_close(i), 0);
}

TEST(ConnectionTable, CommandsOnClosedHandlesSendNothing) {
    FakeModule fm(echo_script());
    Conn c(fm.address());
    int h = c.h;
    ASSERT_EQ(vrn_close(h), 0);
    c.h = -1;
    Bytes ack(32);
    EXPECT_EQ(link_exchange(h, kChannelRequest.data(), 32, ack.data(), 32, 1), -1);
    EXPECT_EQ(fm.count(1), 0u);
}

TEST(ConnectionTable, SlotsAndTheirLocks) {
    ChannelSlot slots[16];
    std::memset(slots, 0, sizeof slots);
    EXPECT_EQ(find_free_slot(slots, 16), 0);
    slots[0].state = SLOT_OPEN;
    slots[1].state = SLOT_STARTED;
    EXPECT_EQ(find_free_slot(slots, 16), 2);
    for (auto& s : slots) s.state = SLOT_OPEN;
    EXPECT_EQ(find_free_slot(slots, 16), -1);
    EXPECT_EQ(find_free_slot(slots, 0), -1);

    slots[4].lock = plat_mutex_create();
    ASSERT_NE(slots[4].lock, 0);
    slots[4].conn = 3;
    slots[4].direction = 1;
    slots[4].descriptor[1] = 96;
    reset_slot(&slots[4]);
    ChannelSlot zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&slots[4], &zero, sizeof zero), 0);
    EXPECT_EQ(find_free_slot(slots, 16), 4);
    EXPECT_EQ(reset_slots(slots, 16), 16);
    EXPECT_EQ(find_free_slot(slots, 16), 0);
}
