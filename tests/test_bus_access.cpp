// Bus access against a scripted module on the fake clock: the direct bus
// command's bytes and item runs, refusals, and the bridge cycles over the
// bridge registers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "connection.h"
#include "fake_module.h"
#include "vrn.h"

using namespace vrntest;

namespace {

// The bridge registers as a module plays them: BRIDGE_REQ shows after
// grant_after status reads following a request, BRIDGE_DONE after
// done_after reads following a strobe. Every access is logged in order.
struct Bridge {
    int grant_after = 1;
    int done_after = 1;
    bool never_grants = false;
    bool never_done = false;

    struct Access {
        std::string text;  // "W 800036 4000" or "R 800036"
        std::uint32_t when_ms;  // on the platform's tick
    };
    std::vector<Access> log;
    std::uint32_t data_reads = 0;

    enum class Phase { Idle, Requested, Strobed } phase = Phase::Idle;
    int status_reads = 0;

    std::uint32_t status() {
        ++status_reads;
        switch (phase) {
            case Phase::Requested:
                return !never_grants && status_reads >= grant_after ? 0x4000u : 0u;
            case Phase::Strobed:
                return !never_done && status_reads >= done_after ? 0xC000u : 0x4000u;
            default:
                return 0;
        }
    }

    void write(std::uint32_t reg, std::uint32_t value) {
        char text[40];
        std::snprintf(text, sizeof text, "W %x %x", reg, value);
        log.push_back({text, plat_tick_ms()});
        if (reg != 0x800036u) {
            return;
        }
        const std::uint32_t strobe = value & 0xFFu;
        if (value == 0x4000u) {
            phase = Phase::Requested;
            status_reads = 0;
        } else if (strobe == 0x01u || strobe == 0x12u) {
            phase = Phase::Strobed;
            status_reads = 0;
        } else if (value == 0) {
            phase = Phase::Idle;
        }
    }

    std::uint32_t read(std::uint32_t reg) {
        char text[40];
        std::snprintf(text, sizeof text, "R %x", reg);
        log.push_back({text, plat_tick_ms()});
        if (reg == 0x800036u) {
            return status();
        }
        if (reg == 0x800038u) {
            // Upper half set so the test sees that only 16 bits are kept.
            return 0xFFFF1100u + data_reads++;
        }
        return 0;
    }
};

class BusAccess : public ScriptedModuleTest {
protected:
    std::vector<Action> answer(const Datagram& d, int) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (d.port_index != 1 || d.bytes.size() < 40) {
            return {};
        }
        ++answered_;
        const std::uint32_t command = word_at(d.bytes, 20);
        if (answered_ == drop_at_) return {};
        if (answered_ == fail_at_) {
            Bytes bad = make_ack(command == 0x14190100u ? 36 : 32);
            bad[12] = 0x31;  // a request's packet_type: check_ack refuses it
            return {Action{bad}};
        }
        const std::uint32_t address = word_at(d.bytes, 32);
        if (command == 0x14190100u) {
            Bytes ack = make_ack(36);
            // Only the low byte is the item; the rest must be ignored.
            put_u32(&ack[32], 0xA1B2C300u | (address & 0xFFu));
            if (answered_ == copy_at_) return {Action{ack}, Action{ack}};
            return {Action{ack}};
        }
        if (command == 0x141A0300u) {
            return {Action{make_ack(32)}};
        }
        if (command == 0x31190200u) {
            Bytes ack = make_ack(36);
            put_u32(&ack[32], bridge_.read(address));
            return {Action{ack}};
        }
        if (command == 0x311A0200u) {
            bridge_.write(address, word_at(d.bytes, 36));
            return {Action{make_ack(32)}};
        }
        return {};
    }

    std::vector<std::string> bridge_log() {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const auto& a : bridge_.log) {
            out.push_back(a.text);
        }
        return out;
    }

    void expect_no_traffic_before_probe() {
        unsigned char b = 0;
        ASSERT_EQ(vrn_bus_read(handle_, 16, 0, 0, 0x77, &b, 1), 0);
        const auto got = requests();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(word_at(got[0].bytes, 32), 0x77u);
    }

    std::mutex mu_;
    Bridge bridge_;
    int answered_ = 0;
    int fail_at_ = 0;  // which answer (1-based) goes wrong; 0: none
    int drop_at_ = 0;  // which is never sent
    int copy_at_ = 0;  // which is sent twice
};

// Expected bridge traffic, built from the cycle's steps.
struct Expect {
    std::vector<std::string> lines;
    void w(std::uint32_t reg, std::uint32_t value) {
        char t[40];
        std::snprintf(t, sizeof t, "W %x %x", reg, value);
        lines.push_back(t);
    }
    void r(std::uint32_t reg, int times = 1) {
        char t[40];
        std::snprintf(t, sizeof t, "R %x", reg);
        for (int i = 0; i < times; ++i) {
            lines.push_back(t);
        }
    }
    void read_cycle(std::uint32_t cycle, std::uint32_t address, int grant_reads, int done_reads) {
        w(0x800036, 0x4000);
        r(0x800036, grant_reads);
        w(0x800036, (cycle << 8) | 0x4000);
        w(0x800037, address);
        w(0x800036, (cycle << 8) | 0x4001);
        r(0x800036, done_reads);
        r(0x800038);
        w(0x800036, 0);
        r(0x800036);
    }
    void write_cycle(std::uint32_t cycle, std::uint32_t address, std::uint32_t value, int grant_reads,
                     int done_reads) {
        w(0x800036, 0x4000);
        r(0x800036, grant_reads);
        w(0x800036, (cycle << 8) | 0x4000);
        w(0x800037, address);
        w(0x800038, value);
        w(0x800036, (cycle << 8) | 0x4010);
        w(0x800036, (cycle << 8) | 0x4012);
        r(0x800036, done_reads);
        w(0x800036, 0);
    }
};

TEST_F(BusAccess, DirectReadOfOneItemSendsOneRequestAndStoresOneByte) {
    unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(vrn_bus_read(handle_, 16, 0, 0, 0x1234, buf, 1), 0);
    EXPECT_EQ(sole_request(),
              "6b 24 5a 13 08 00 00 00 df 2b a1 ec 31 00 00 00 "
              "aa 94 45 cd 00 01 19 14 03 00 00 00 00 00 00 00 "
              "34 12 00 00 01 00 00 00");
    EXPECT_EQ(buf[0], 0x34);
    EXPECT_EQ(buf[1], 0xEE);
}

TEST_F(BusAccess, DirectWriteOfOneItemCarriesTheWholeDataWord) {
    const std::uint32_t v = 0x000000A5u;
    ASSERT_EQ(vrn_bus_write(handle_, 16, 0, 0, 0x40, &v, 1), 0);
    EXPECT_EQ(sole_request(),
              "6b 24 5a 13 09 00 00 00 df 2b a1 ec 31 00 00 00 "
              "aa 94 45 cd 00 03 1a 14 03 00 00 00 00 00 00 00 "
              "40 00 00 00 01 00 00 00 a5 00 00 00");
}

TEST_F(BusAccess, DirectRunsStepTheAddressBy8AndTheDataByOneByte) {
    unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(vrn_bus_read(handle_, 16, 0, 0, 0x100, buf, 3), 0);
    const unsigned char data[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    ASSERT_EQ(vrn_bus_write(handle_, 16, 0, 0, 0x200, data, 3), 0);
    const auto got = requests();
    ASSERT_EQ(got.size(), 6u);
    const std::uint32_t read_addresses[] = {0x100, 0x108, 0x110};
    const std::uint32_t write_words[] = {0x44332211u, 0x55443322u, 0x66554433u};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(word_at(got[i].bytes, 32), read_addresses[i]);
        EXPECT_EQ(word_at(got[i].bytes, 36), 1u);
        EXPECT_EQ(word_at(got[3 + i].bytes, 32), 0x200u + 8 * i);
        EXPECT_EQ(word_at(got[3 + i].bytes, 40), write_words[i]);
    }
    EXPECT_EQ(buf[0], 0x00);
    EXPECT_EQ(buf[1], 0x08);
    EXPECT_EQ(buf[2], 0x10);
    EXPECT_EQ(buf[3], 0xEE);
}

TEST_F(BusAccess, DirectRunStopsAtTheFirstBadAcknowledge) {
    fail_at_ = 2;
    unsigned char buf[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(vrn_bus_read(handle_, 16, 0, 0, 0x100, buf, 3), -1);
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_EQ(buf[0], 0x00);
    EXPECT_EQ(buf[1], 0xEE);

    module_.clear();
    {
        std::lock_guard<std::mutex> lock(mu_);
        answered_ = 0;
    }
    const unsigned char data[6] = {};
    EXPECT_EQ(vrn_bus_write(handle_, 16, 0, 0, 0x100, data, 3), -1);
    EXPECT_EQ(requests().size(), 2u);
}

TEST_F(BusAccess, UnknownBusCodesAndHandlesSendNothing) {
    unsigned char buf[8] = {};
    for (int bus : {0, 3, 15, 17, -1}) {
        EXPECT_EQ(vrn_bus_read(handle_, bus, 0, 0, 0, buf, 1), -1) << bus;
        EXPECT_EQ(vrn_bus_write(handle_, bus, 0, 0, 0, buf, 1), -1) << bus;
    }
    for (int bad : {-1, 16}) {
        EXPECT_EQ(vrn_bus_read(bad, 16, 0, 0, 0, buf, 1), -1);
        EXPECT_EQ(vrn_bus_write(bad, 1, 0, 0, 0, buf, 2), -1);
        EXPECT_EQ(vrn_bridge_read(bad, 1, 0), -1);
        EXPECT_EQ(vrn_bridge_write(bad, 1, 0, 0), -1);
    }
    EXPECT_EQ(vrn_bus_read(handle_, 16, 0, 0, 0, buf, 0), 0);
    EXPECT_EQ(vrn_bus_write(handle_, 16, 0, 0, 0, buf, 0), 0);
    // The bridged route moves whole 16-bit words only.
    EXPECT_EQ(vrn_bus_read(handle_, 1, 0, 0, 0, buf, 1), 0);
    EXPECT_EQ(vrn_bus_write(handle_, 2, 0, 0, 0, buf, 1), 0);
    expect_no_traffic_before_probe();
}

TEST_F(BusAccess, BridgedReadRunsAPrimingCycleThenADataCycle) {
    bridge_.grant_after = 2;
    bridge_.done_after = 3;
    std::uint16_t words[2] = {0xEEEE, 0xEEEE};
    ASSERT_EQ(vrn_bus_read(handle_, 2, 0, 0, 0x500, words, 2), 0);
    Expect e;
    e.read_cycle(0, 0x500, 2, 3);
    e.read_cycle(1, 0x500, 2, 3);
    EXPECT_EQ(bridge_log(), e.lines);
    // The second data read (0xFFFF1101) is the word; 16 bits are kept.
    EXPECT_EQ(words[0], 0x1101);
    EXPECT_EQ(words[1], 0xEEEE);
}

TEST_F(BusAccess, BridgedReadOfBusOnePrimesWithCycleOneAndMovesWholeWords) {
    std::uint16_t words[3] = {0xEEEE, 0xEEEE, 0xEEEE};
    ASSERT_EQ(vrn_bus_read(handle_, 1, 0, 0, 0x20, words, 5), 0);
    Expect e;
    e.read_cycle(1, 0x20, 1, 1);
    e.read_cycle(1, 0x20, 1, 1);
    e.read_cycle(1, 0x21, 1, 1);
    e.read_cycle(1, 0x21, 1, 1);
    EXPECT_EQ(bridge_log(), e.lines);
    EXPECT_EQ(words[0], 0x1101);
    EXPECT_EQ(words[1], 0x1103);
    EXPECT_EQ(words[2], 0xEEEE);
}

TEST_F(BusAccess, BridgedWriteCycleOnePausesBeforeEachStrobe) {
    const std::uint16_t words[1] = {0xBEEF};
    ASSERT_EQ(vrn_bus_write(handle_, 1, 0, 0, 0x30, words, 2), 0);
    Expect e;
    e.write_cycle(1, 0x30, 0xBEEF, 1, 1);
    EXPECT_EQ(bridge_log(), e.lines);
    std::lock_guard<std::mutex> lock(mu_);
    const auto& log = bridge_.log;
    ASSERT_EQ(log.size(), 9u);
    // Data written (4), 0x4110 (5), 0x4112 (6): 10 ms sleeps between them.
    EXPECT_GE(log[5].when_ms - log[4].when_ms, 10u);
    EXPECT_GE(log[6].when_ms - log[5].when_ms, 10u);
}

TEST_F(BusAccess, BridgedWriteOfBusTwoUsesCycleZeroPerWord) {
    const std::uint16_t words[2] = {0xBEEF, 0x0102};
    ASSERT_EQ(vrn_bus_write(handle_, 2, 0, 0, 0x30, words, 4), 0);
    Expect e;
    e.write_cycle(0, 0x30, 0xBEEF, 1, 1);
    e.write_cycle(0, 0x31, 0x0102, 1, 1);
    EXPECT_EQ(bridge_log(), e.lines);
}

TEST_F(BusAccess, BridgeThatNeverGrantsGivesUpAfter34StatusReads) {
    bridge_.never_grants = true;
    EXPECT_EQ(vrn_bridge_read(handle_, 1, 0x40), -1);
    Expect e;
    e.w(0x800036, 0x4000);
    e.r(0x800036, 34);
    EXPECT_EQ(bridge_log(), e.lines);
}

// The transfer still runs its cycles, but a word the bridge never moved is
// not reported as moved.
TEST_F(BusAccess, GivenUpCyclesFailTheBusCalls) {
    bridge_.never_grants = true;
    std::uint16_t word = 0;
    EXPECT_EQ(vrn_bus_read(handle_, 1, 0, 0, 0x40, &word, 2), -1);
    EXPECT_EQ(word, 0xFFFF);
    EXPECT_EQ(bridge_log().size(), 70u);  // two cycles of one request and 34 status reads
    std::uint16_t data[2] = {0x1234, 0x5678};
    EXPECT_EQ(vrn_bus_write(handle_, 2, 0, 0, 0x40, data, 4), -1);
    EXPECT_EQ(bridge_log().size(), 140u);  // both words' cycles were tried
}

TEST_F(BusAccess, WriteCycleWithoutDoneLeavesTheControlRegisterAsWritten) {
    bridge_.never_done = true;
    EXPECT_EQ(vrn_bridge_write(handle_, 0, 0x40, 9), -1);
    Expect e;
    e.w(0x800036, 0x4000);
    e.r(0x800036, 1);
    e.w(0x800036, 0x4000);
    e.w(0x800037, 0x40);
    e.w(0x800038, 9);
    e.w(0x800036, 0x4010);
    e.w(0x800036, 0x4012);
    e.r(0x800036, 34);
    EXPECT_EQ(bridge_log(), e.lines);
}

TEST_F(BusAccess, BridgeReadReturnsAllThirtyTwoBitsOfTheData) {
    EXPECT_EQ(static_cast<std::uint32_t>(vrn_bridge_read(handle_, 0, 0x40)), 0xFFFF1100u);
}

// Reads in flight: the requests vrn_bus_read sends, in the same order, up
// to four out at once, each from a port of its own. A lost answer is asked
// again, its port never used again (the window then halves); the copy of a duplicated
// one, found before its port sends again, is dropped and that port
// replaced. Every byte lands where its address says.
TEST_F(BusAccess, ReadsInFlightAreMatchedToTheirAnswersByPort) {
    ASSERT_EQ(vrn_set_in_flight(handle_, 4), 0);
    drop_at_ = 3;
    copy_at_ = 6;
    std::uint32_t addresses[12];
    VrnBusStep steps[12];
    for (int i = 0; i < 12; ++i) {
        addresses[i] = 0x1000u + 8u * static_cast<std::uint32_t>(i) + (i % 3);
        steps[i] = VrnBusStep{addresses[i], 0, 0, -1};
    }
    EXPECT_EQ(vrn_bus_each(handle_, steps, 12), 12);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(steps[i].result, static_cast<int>(addresses[i] & 0xFFu)) << i;
    const auto sent = requests();
    ASSERT_EQ(sent.size(), 13u) << "one repeat";
    for (std::size_t k = 0; k < sent.size(); ++k) {
        // The lost third comes again once its wait ran out, after the rest.
        const std::uint32_t address = addresses[k < 12 ? k : 2];
        char expected[160];
        std::snprintf(expected, sizeof expected,
                      "6b 24 5a 13 08 00 00 00 df 2b a1 ec 31 00 00 00 aa 94 45 cd 00 01 19 14 03 00 00 00 00 00 00 "
                      "00 %02x %02x 00 00 01 00 00 00",
                      address & 0xFFu, (address >> 8) & 0xFFu);
        EXPECT_EQ(hex(sent[k].bytes), expected) << k;
    }
    std::set<std::uint16_t> first_ports;
    for (std::size_t k = 0; k < 4; ++k) first_ports.insert(sent[k].src_port);
    EXPECT_EQ(first_ports.size(), 4u) << "each in flight from a port of its own";
    // Its late answer could only come to the lost request's port: no
    // request is sent from there again.
    for (std::size_t k = 3; k < sent.size(); ++k) EXPECT_NE(sent[k].src_port, sent[2].src_port) << k;
    const LinkHealth* h = link_health(handle_);
    EXPECT_EQ(h->unanswered, 1u);
    EXPECT_EQ(h->stale, 1u) << "the copy";
    EXPECT_EQ(h->ports_replaced, 2u);
    EXPECT_EQ(vrn_in_flight(handle_), 4);
    EXPECT_LT(h->flight_window, 4) << "halved after the loss, not yet grown back";
    EXPECT_EQ(vrn_set_in_flight(handle_, 0), -1);
    EXPECT_EQ(vrn_set_in_flight(handle_, VRN_MAX_IN_FLIGHT + 1), -1);
}

TEST_F(BusAccess, DirectExchangeIsNotRepeated) {
    module_.set_script([](const Datagram&, int) { return std::vector<Action>{}; });
    unsigned char b = 0xEE;
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_bus_read(handle_, 16, 0, 0, 0, &b, 1), -1);
    EXPECT_EQ(ms_since(t0), 4000) << "one 4-second receive";
    EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(requests().size(), 1u);
}

}  // namespace
