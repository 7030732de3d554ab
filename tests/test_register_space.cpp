// Register reads and writes against a scripted module on the fake clock:
// the exact request bytes, batching across requests, the space-code table
// and refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "connection.h"
#include "fake_module.h"
#include "vrn.h"

using namespace vrntest;

namespace {

// What the scripted module returns for a register address.
std::uint32_t module_value(std::uint32_t address) {
    return address ^ 0x5A5A0000u;
}

std::string bytes_hex(const Bytes& b, std::size_t from, std::size_t to) {
    return hex(Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to)));
}

// Answers register reads with module_value per pair and writes with the
// 32-byte acknowledge, reading the request only from its bytes.
std::vector<Action> answer_register(const Datagram& d) {
    if (d.port_index != 1 || d.bytes.size() < 32) {
        return {};
    }
    const std::uint32_t command = word_at(d.bytes, 20);
    const std::size_t pairs = (d.bytes.size() - 32) / 8;
    if (command & 0x00010000u) {
        Bytes ack = make_ack(32 + 4 * pairs);
        for (std::size_t i = 0; i < pairs; ++i) {
            put_u32(&ack[32 + 4 * i], module_value(word_at(d.bytes, 32 + 8 * i)));
        }
        return {Action{ack}};
    }
    return {Action{make_ack(32)}};
}

class RegisterSpace : public ScriptedModuleTest {
protected:
    std::vector<Action> answer(const Datagram& d, int seq) override {
        return script_ ? script_(d, seq) : answer_register(d);
    }

    // A valid read after calls that must have sent nothing: on the same
    // socket anything they sent would have arrived first.
    void expect_no_traffic_before_probe() {
        std::uint32_t v = 0;
        ASSERT_EQ(vrn_reg_read32(handle_, 2, 0, 0, 0x1234, &v), 0);
        const auto got = requests();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(word_at(got[0].bytes, 32), 0x1234u);
    }

    std::function<std::vector<Action>(const Datagram&, int)> script_;
    std::atomic<int> calls_{0};
};

TEST_F(RegisterSpace, Read32SendsOnePairAndTakesTheWordAtOffset32) {
    std::uint32_t v = 0;
    ASSERT_EQ(vrn_reg_read32(handle_, 2, 0, 0, 0x800036, &v), 0);
    EXPECT_EQ(sole_request(),
              "6b 24 5a 13 08 00 00 00 df 2b a1 ec 31 00 00 00 "
              "aa 94 45 cd 00 02 19 31 03 00 00 00 00 00 00 00 "
              "36 00 80 00 00 00 00 00");
    EXPECT_EQ(v, module_value(0x800036));
}

TEST_F(RegisterSpace, Write32SendsTheAddressValuePair) {
    ASSERT_EQ(vrn_reg_write32(handle_, 2, 0, 0, 0x800037, 0xDEADBEEF), 0);
    EXPECT_EQ(sole_request(),
              "6b 24 5a 13 08 00 00 00 df 2b a1 ec 31 00 00 00 "
              "aa 94 45 cd 00 02 1a 31 03 00 00 00 00 00 00 00 "
              "37 00 80 00 ef be ad de");
}

TEST_F(RegisterSpace, DfaHeadIsOneRequestOf32Pairs) {
    std::uint32_t buf[32] = {};
    ASSERT_EQ(vrn_reg_read(handle_, 0, 0, 0, 0, buf, 128, 1), 0);
    const auto got = requests();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].bytes.size(), 288u);
    EXPECT_EQ(bytes_hex(got[0].bytes, 0, 32),
              "6b 24 5a 13 46 00 00 00 df 2b a1 ec 31 00 00 00 "
              "aa 94 45 cd 00 40 19 30 03 00 00 00 00 00 00 00");
    for (std::uint32_t i = 0; i < 32; ++i) {
        EXPECT_EQ(word_at(got[0].bytes, 32 + 8 * i), i) << "pair " << i;
        EXPECT_EQ(word_at(got[0].bytes, 36 + 8 * i), 0u) << "pair " << i;
        EXPECT_EQ(buf[i], module_value(i)) << "word " << i;
    }
}

TEST_F(RegisterSpace, LongReadBatchesBy60WordsWithAddressesRunningOn) {
    std::vector<std::uint32_t> buf(256, 0);
    ASSERT_EQ(vrn_reg_read(handle_, 2, 0, 0, 0x80000000u, buf.data(), 1024, 2), 0);
    const auto got = requests();
    ASSERT_EQ(got.size(), 5u);
    const std::size_t pairs[] = {60, 60, 60, 60, 16};
    const char* heads[] = {
        "6b 24 5a 13 7e 00 00 00 df 2b a1 ec 31 00 00 00 aa 94 45 cd 00 78 19 31 03 00 00 00 00 00 00 00",
        "6b 24 5a 13 26 00 00 00 df 2b a1 ec 31 00 00 00 aa 94 45 cd 00 20 19 31 03 00 00 00 00 00 00 00",
    };
    std::uint32_t expected_address = 0x80000000u;
    for (std::size_t r = 0; r < 5; ++r) {
        const Bytes& b = got[r].bytes;
        ASSERT_EQ(b.size(), 32 + 8 * pairs[r]) << "request " << r;
        EXPECT_EQ(bytes_hex(b, 0, 32), heads[r == 4 ? 1 : 0]) << "request " << r;
        for (std::size_t i = 0; i < pairs[r]; ++i) {
            EXPECT_EQ(word_at(b, 32 + 8 * i), expected_address) << "request " << r << " pair " << i;
            expected_address += 2;
        }
    }
    EXPECT_EQ(word_at(got[1].bytes, 32), 0x80000078u);
    for (std::uint32_t k = 0; k < 256; ++k) {
        EXPECT_EQ(buf[k], module_value(0x80000000u + 2 * k)) << "word " << k;
    }
}

TEST_F(RegisterSpace, LongWriteBatchesLikeTheReadAndCarriesTheData) {
    std::vector<std::uint32_t> data(256);
    for (std::uint32_t k = 0; k < 256; ++k) {
        data[k] = 0x01010101u * k;
    }
    ASSERT_EQ(vrn_reg_write(handle_, 2, 0, 0, 0x2000, data.data(), 1024, 1), 0);
    const auto got = requests();
    ASSERT_EQ(got.size(), 5u);
    std::uint32_t k = 0;
    for (std::size_t r = 0; r < 5; ++r) {
        const Bytes& b = got[r].bytes;
        const std::size_t pairs = r < 4 ? 60 : 16;
        ASSERT_EQ(b.size(), 32 + 8 * pairs);
        EXPECT_EQ(bytes_hex(b, 20, 24), r < 4 ? "00 78 1a 31" : "00 20 1a 31");
        for (std::size_t i = 0; i < pairs; ++i, ++k) {
            EXPECT_EQ(word_at(b, 32 + 8 * i), 0x2000u + k);
            EXPECT_EQ(word_at(b, 36 + 8 * i), data[k]);
        }
    }
}

TEST_F(RegisterSpace, SpaceCodeOneDoublesTheStep) {
    std::uint32_t buf[3] = {};
    ASSERT_EQ(vrn_reg_read(handle_, 1, 0, 0, 0x100, buf, 12, 1), 0);
    ASSERT_EQ(vrn_reg_read(handle_, 2, 0, 0, 0x100, buf, 12, 1), 0);
    const std::uint32_t data[2] = {7, 8};
    ASSERT_EQ(vrn_reg_write(handle_, 1, 0, 0, 0x40, data, 8, 3), 0);
    const auto got = requests();
    ASSERT_EQ(got.size(), 3u);
    const std::uint32_t space1[] = {0x100, 0x102, 0x104};
    const std::uint32_t space2[] = {0x100, 0x101, 0x102};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(word_at(got[0].bytes, 32 + 8 * i), space1[i]);
        EXPECT_EQ(word_at(got[1].bytes, 32 + 8 * i), space2[i]);
    }
    // Codes 1 and 2 send the same request head.
    EXPECT_EQ(bytes_hex(got[0].bytes, 0, 32), bytes_hex(got[1].bytes, 0, 32));
    EXPECT_EQ(word_at(got[2].bytes, 32), 0x40u);
    EXPECT_EQ(word_at(got[2].bytes, 40), 0x46u);
}

TEST_F(RegisterSpace, SpaceCodeTableSetsPacketTypeModeAndSubSpace) {
    struct Row {
        int code;
        const char* read_head;  // bytes 12..27: packet_type, magic, command_word, space_mode
        const char* write_command;
    };
    const Row rows[] = {
        {0, "31 00 00 00 aa 94 45 cd 00 02 19 30 03 00 00 00", nullptr},
        {1, "31 00 00 00 aa 94 45 cd 00 02 19 31 03 00 00 00", "00 02 1a 31"},
        {2, "31 00 00 00 aa 94 45 cd 00 02 19 31 03 00 00 00", "00 02 1a 31"},
        {3, "12 00 00 00 aa 94 45 cd 00 02 19 31 01 00 00 00", "00 02 1a 31"},
        {32, "31 00 00 00 aa 94 45 cd 00 02 19 32 03 00 00 00", "00 02 1a 32"},
        {33, "31 00 00 00 aa 94 45 cd 00 02 19 33 03 00 00 00", "00 02 1a 33"},
        {34, "12 00 00 00 aa 94 45 cd 00 02 19 34 01 00 00 00", "00 02 1a 34"},
        {49, "12 00 00 00 aa 94 45 cd 00 02 19 31 01 00 00 00", "00 02 1a 31"},
    };
    for (const Row& row : rows) {
        module_.clear();
        std::uint32_t v = 0;
        ASSERT_EQ(vrn_reg_read32(handle_, row.code, 0, 0, 0x10, &v), 0) << "code " << row.code;
        if (row.write_command) {
            ASSERT_EQ(vrn_reg_write32(handle_, row.code, 0, 0, 0x10, 1), 0) << "code " << row.code;
        }
        const auto got = requests();
        ASSERT_EQ(got.size(), row.write_command ? 2u : 1u) << "code " << row.code;
        EXPECT_EQ(bytes_hex(got[0].bytes, 12, 28), row.read_head) << "code " << row.code;
        if (row.write_command) {
            EXPECT_EQ(bytes_hex(got[1].bytes, 12, 16), bytes_hex(got[0].bytes, 12, 16)) << "code " << row.code;
            EXPECT_EQ(bytes_hex(got[1].bytes, 20, 24), row.write_command) << "code " << row.code;
            EXPECT_EQ(bytes_hex(got[1].bytes, 24, 28), bytes_hex(got[0].bytes, 24, 28)) << "code " << row.code;
        }
    }
}

TEST_F(RegisterSpace, RefusalsSendNothing) {
    std::uint32_t buf[4] = {};
    const std::uint32_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(vrn_reg_write(handle_, 0, 0, 0, 0, data, 4, 1), -1);
    for (int code : {4, 48, -1, 50}) {
        EXPECT_EQ(vrn_reg_read(handle_, code, 0, 0, 0, buf, 4, 1), -1) << code;
        EXPECT_EQ(vrn_reg_write(handle_, code, 0, 0, 0, data, 4, 1), -1) << code;
    }
    for (int bad : {-1, 16, 100}) {
        EXPECT_EQ(vrn_reg_read(bad, 2, 0, 0, 0, buf, 4, 1), -1) << bad;
        EXPECT_EQ(vrn_reg_write(bad, 2, 0, 0, 0, data, 4, 1), -1) << bad;
        EXPECT_EQ(vrn_reg_read32(bad, 2, 0, 0, 0, buf), -1) << bad;
    }
    // Nothing to move is done at once.
    EXPECT_EQ(vrn_reg_read(handle_, 2, 0, 0, 0, buf, 0, 1), 0);
    EXPECT_EQ(vrn_reg_write(handle_, 2, 0, 0, 0, data, 0, 1), 0);
    EXPECT_EQ(vrn_reg_read(handle_, 2, 0, 0, 0, buf, -8, 1), 0);
    // A partial word would make word_count disagree with the pairs sent.
    EXPECT_EQ(vrn_reg_read(handle_, 2, 0, 0, 0, buf, 6, 1), -1);
    EXPECT_EQ(vrn_reg_write(handle_, 2, 0, 0, 0, data, 2, 1), -1);
    expect_no_traffic_before_probe();
}

TEST_F(RegisterSpace, ReadOfSpaceZeroWorksWhereWriteIsRefused) {
    std::uint32_t v = 0;
    EXPECT_EQ(vrn_reg_read32(handle_, 0, 0, 0, 8, &v), 0);
    EXPECT_EQ(v, module_value(8));
    EXPECT_EQ(vrn_reg_write32(handle_, 0, 0, 0, 8, 1), -1);
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(RegisterSpace, AcknowledgeOfRequestTypeFailsTheReadWithoutRepeat) {
    script_ = [](const Datagram& d, int) {
        Bytes ack = answer_register(d)[0].bytes;
        ack[12] = 0x31;  // a request's packet_type
        return std::vector<Action>{Action{ack}};
    };
    std::uint32_t v = 0x77;
    EXPECT_EQ(vrn_reg_read32(handle_, 2, 0, 0, 0x800036, &v), -1);
    EXPECT_EQ(v, 0x77u);
    EXPECT_EQ(requests().size(), 1u);
}

// Answers normally except the second request, whose acknowledge carries
// neither payload magic.
std::vector<Action> bad_second_ack(const Datagram& d, std::atomic<int>& calls) {
    if (calls++ == 1) {
        Bytes bad = answer_register(d)[0].bytes;
        put_u32(&bad[16], 0x12345678);
        return {Action{bad}};
    }
    return answer_register(d);
}

TEST_F(RegisterSpace, FailedReadBatchKeepsTheEarlierWordsAndStops) {
    script_ = [this](const Datagram& d, int) { return bad_second_ack(d, calls_); };
    std::vector<std::uint32_t> buf(256, 0xEEEEEEEEu);
    EXPECT_EQ(vrn_reg_read(handle_, 2, 0, 0, 0x1000, buf.data(), 1024, 1), -1);
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_EQ(buf[0], module_value(0x1000));
    EXPECT_EQ(buf[59], module_value(0x1000 + 59));
    EXPECT_EQ(buf[60], 0xEEEEEEEEu);
}

TEST_F(RegisterSpace, FailedWriteBatchStopsTheWrite) {
    script_ = [this](const Datagram& d, int) { return bad_second_ack(d, calls_); };
    std::vector<std::uint32_t> data(256, 1);
    EXPECT_EQ(vrn_reg_write(handle_, 2, 0, 0, 0x1000, data.data(), 1024, 1), -1);
    EXPECT_EQ(requests().size(), 2u);
}

TEST_F(RegisterSpace, ReadRepeatsARequestThatWentUnanswered) {
    script_ = [](const Datagram& d, int seq) {
        return seq == 0 ? std::vector<Action>{} : answer_register(d);
    };
    std::uint32_t v = 0;
    const std::uint32_t t0 = plat_tick_ms();
    ASSERT_EQ(vrn_reg_read32(handle_, 2, 0, 0, 0x800038, &v), 0);
    EXPECT_GE(ms_since(t0), 4000) << "the first request's wait ran out";
    EXPECT_EQ(v, module_value(0x800038));
    const auto got = requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(hex(got[0].bytes), hex(got[1].bytes));
}

TEST_F(RegisterSpace, WriteIsASingleExchange) {
    script_ = [](const Datagram&, int) { return std::vector<Action>{}; };
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_reg_write32(handle_, 2, 0, 0, 0x800037, 5), -1);
    EXPECT_EQ(ms_since(t0), 4000) << "one 4-second receive";
    EXPECT_EQ(requests().size(), 1u);
}

}  // namespace
