// What vrnstat prints, from byte images: register blocks, the ICR and
// NetCfg records (big-endian words, addresses, COMMENT bounds).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "child_process.h"
#include "info_records.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string capture(const std::function<void(std::FILE*)>& print) {
    std::FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    print(f);
    std::string s = vrntest::read_stream_bytes(f);
    std::fclose(f);
    return s;
}

// A record of `size` bytes as it lies in flash: `head` from its start,
// then the comment, zeros after.
Bytes record(std::size_t size, std::initializer_list<std::uint8_t> head, const char* comment) {
    Bytes b(size, 0);
    std::copy(head.begin(), head.end(), b.begin());
    std::memcpy(&b[head.size()], comment, std::strlen(comment));
    return b;
}

std::string icr_text(Bytes record) {
    EXPECT_EQ(swap_words_to_host(record.data(), record.data(), VRN_ICR_WORDS), VRN_ICR_WORDS);
    return capture([&](std::FILE* f) { print_icr_record(f, record.data()); });
}

std::string netcfg_text(Bytes record) {
    EXPECT_EQ(swap_words_to_host(record.data(), record.data(), VRN_NETCFG_WORDS), VRN_NETCFG_WORDS);
    return capture([&](std::FILE* f) { print_netcfg_record(f, record.data()); });
}

}  // namespace

TEST(SwapWords, ReadsBigEndianWordsIntoHostOrder) {
    const Bytes src = {0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0xFF, 0xFE, 0xAA, 0xBB, 0xCC, 0xDD};
    std::uint32_t dst[3] = {0, 0, 0x5A5A5A5A};
    EXPECT_EQ(swap_words_to_host(src.data(), dst, 2), 2);
    EXPECT_EQ(dst[0], 0x12345678u);
    EXPECT_EQ(dst[1], 0xFFFFFFFEu);
    EXPECT_EQ(dst[2], 0x5A5A5A5Au) << "only count words are written";

    // In place, at an odd address.
    Bytes buf = {0x00, 0x00, 0x00, 0x0B, 0xC3, 0x99};
    EXPECT_EQ(swap_words_to_host(buf.data() + 1, buf.data() + 1, 1), 1);
    std::uint32_t w;
    std::memcpy(&w, buf.data() + 1, 4);
    EXPECT_EQ(w, 3011u);
    EXPECT_EQ(buf[0], 0x00);
    EXPECT_EQ(buf[5], 0x99);
}

TEST(RegisterBlocks, PrintTheFirstEightWordsUnderTheirLabels) {
    std::uint32_t words[VRN_BLOCK_WORDS] = {0x1, 0x2, 0x8042, 0x10, 0, 0, 0x4000, 0x12345, 0xDEAD};
    EXPECT_EQ(capture([&](std::FILE* f) { print_dfa_block(f, words); }),
              "Block DFA info:\n"
              "BLOCK_ID  - \t0x0001\n"
              "BLOCK_VER - \t0x0002\n"
              "SIG       - \t0x8042\n"
              "---       - \t0x0010\n"
              "---       - \t0x0000\n"
              "---       - \t0x0000\n"
              "SIZE_RAM1 - \t0x4000\n"
              "SIZE_RAM1 - \t0x12345\n"
              "\n");
    std::uint32_t vr[VRN_BLOCK_WORDS] = {0xB2, 0x101, 0xA5A5, 0x3, 0xFFFFFFFF, 0, 0x7, 0xabcdef01};
    EXPECT_EQ(capture([&](std::FILE* f) { print_vrbus_block(f, vr); }),
              "Block VRBUS_NAIN info:\n"
              "BLOCK_ID  - \t0x00B2\n"
              "BLOCK_VER - \t0x0101\n"
              "DeviceID  - \t0xA5A5\n"
              "REV_MOD   - \t0x0003\n"
              "PLD_VER   - \t0xFFFFFFFF\n"
              "VRBUS_RES - \t0x0000\n"
              "BLOCK_RES - \t0x0007\n"
              "---       - \t0xABCDEF01\n"
              "\n");
}

TEST(NetCfgRecord, PrintsAddressesInStoredOrderAndBigEndianWords) {
    // SIG, IP, MASK, GATE, PORT, TIMEOUT, COMMENT.
    Bytes r = record(VRN_NETCFG_BYTES,
                     {0x4E, 0x43, 0x46, 0x47, 10, 0, 0, 5, 255, 255, 255, 0, 10, 0, 0, 1, 0, 0, 11, 195, 0xFF, 0xFF,
                      0xFF, 0xFE},
                     "lab");
    r[28] = 'X';  // after the NUL: not printed
    EXPECT_EQ(netcfg_text(r),
              "NetCfg VRN info:\n"
              "SIG       - \t0x4E434647\n"
              "IP        - \t10.0.0.5\n"
              "MASK      - \t255.255.255.0\n"
              "GATE      - \t10.0.0.1\n"
              "PORT      - \t3011\n"
              "TIMEOUT   - \t-2\n"
              "COMMENT   - \tlab\n"
              "\n");
}

TEST(IcrRecord, PrintsSignedAndHexWords) {
    // SIG, SIZE, SERIAL, TYPE, VER, DEVID, DAY, MON, YEAR, COMMENT.
    const Bytes r = record(VRN_ICR_BYTES,
                           {0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 164, 0xFF, 0xFF, 0xFF, 0xFE, 0x12, 0x34, 0x56, 0x78, 0x00,
                            0x01, 0x00, 0x02, 0x00, 0x00, 0x80, 0x42, 0, 0, 0, 17, 0, 0, 0, 3, 0, 0, 7, 219},
                           "unit 7");
    EXPECT_EQ(icr_text(r),
              "ICR VRN info:\n"
              "SIG       - \t0xFFFFFFFE\n"
              "SIZE      - \t164\n"
              "SERIAL\t   - \t-2\n"
              "TYPE      - \t0x12345678\n"
              "VER       - \t0x00010002\n"
              "DEVID     - \t0x00008042\n"
              "DAY       - \t17\n"
              "MON       - \t3\n"
              "YEAR      - \t2011\n"
              "COMMENT   - \tunit 7\n"
              "\n");
}

TEST(ErasedSectors, PrintAllOnesAndTheWholeComment) {
    const std::string ff128(128, '\xFF');
    EXPECT_EQ(icr_text(Bytes(VRN_ICR_BYTES, 0xFF)),
              "ICR VRN info:\n"
              "SIG       - \t0xFFFFFFFF\n"
              "SIZE      - \t-1\n"
              "SERIAL\t   - \t-1\n"
              "TYPE      - \t0xFFFFFFFF\n"
              "VER       - \t0xFFFFFFFF\n"
              "DEVID     - \t0xFFFFFFFF\n"
              "DAY       - \t-1\n"
              "MON       - \t-1\n"
              "YEAR      - \t-1\n"
              "COMMENT   - \t" + ff128 + "\n"
              "\n");
    EXPECT_EQ(netcfg_text(Bytes(VRN_NETCFG_BYTES, 0xFF)),
              "NetCfg VRN info:\n"
              "SIG       - \t0xFFFFFFFF\n"
              "IP        - \t255.255.255.255\n"
              "MASK      - \t255.255.255.255\n"
              "GATE      - \t255.255.255.255\n"
              "PORT      - \t-1\n"
              "TIMEOUT   - \t-1\n"
              "COMMENT   - \t" + ff128 + "\n"
              "\n");
}

TEST(Comment, WithoutNulStopsAtTheEndOfItsField) {
    // The record sits in a bigger buffer whose bytes after it are not NUL:
    // nothing past the 128 bytes may show.
    Bytes big(VRN_ICR_BYTES + 32, '~');
    std::memset(big.data(), 0, 36);
    std::memset(big.data() + 36, 'c', 128);
    std::string text = capture([&](std::FILE* f) { print_icr_record(f, big.data()); });
    EXPECT_NE(text.find("COMMENT   - \t" + std::string(128, 'c') + "\n\n"), std::string::npos);
    EXPECT_EQ(text.find('~'), std::string::npos);

    Bytes net(VRN_NETCFG_BYTES + 32, '~');
    std::memset(net.data(), 0, 24);
    std::memset(net.data() + 24, 'n', 128);
    text = capture([&](std::FILE* f) { print_netcfg_record(f, net.data()); });
    EXPECT_NE(text.find("COMMENT   - \t" + std::string(128, 'n') + "\n\n"), std::string::npos);
    EXPECT_EQ(text.find('~'), std::string::npos);

    // An empty comment.
    EXPECT_NE(netcfg_text(Bytes(VRN_NETCFG_BYTES, 0)).find("COMMENT   - \t\n"), std::string::npos);
}
