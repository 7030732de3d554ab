#include "info_records.h"

#include <cstring>

namespace {

const char* const kDfaLines[8] = {
    "BLOCK_ID  - \t0x%04X\n", "BLOCK_VER - \t0x%04X\n", "SIG       - \t0x%04X\n", "---       - \t0x%04X\n",
    "---       - \t0x%04X\n", "---       - \t0x%04X\n", "SIZE_RAM1 - \t0x%04X\n", "SIZE_RAM1 - \t0x%04X\n",
};

const char* const kVrbusLines[8] = {
    "BLOCK_ID  - \t0x%04X\n", "BLOCK_VER - \t0x%04X\n", "DeviceID  - \t0x%04X\n", "REV_MOD   - \t0x%04X\n",
    "PLD_VER   - \t0x%04X\n", "VRBUS_RES - \t0x%04X\n", "BLOCK_RES - \t0x%04X\n", "---       - \t0x%04X\n",
};

void print_block(std::FILE* out, const char* title, const char* const* lines, const std::uint32_t* words) {
    std::fputs(title, out);
    for (int i = 0; i < 8; ++i) std::fprintf(out, lines[i], static_cast<unsigned>(words[i]));
    std::fputs("\n", out);
}

// Word i of a record whose leading words are already in host order.
std::uint32_t word(const std::uint8_t* record, int i) {
    std::uint32_t w;
    std::memcpy(&w, record + 4 * i, 4);
    return w;
}

int as_signed(std::uint32_t w) { return static_cast<int>(static_cast<std::int32_t>(w)); }

// An address field: the converted word's bytes from the most significant
// down, which is the order they were stored in.
void print_address(std::FILE* out, const char* line, std::uint32_t w) {
    std::fprintf(out, line, static_cast<int>((w >> 24) & 0xFF), static_cast<int>((w >> 16) & 0xFF),
                 static_cast<int>((w >> 8) & 0xFF), static_cast<int>(w & 0xFF));
}

// Up to the first NUL and never past the field: the flash need not hold one.
void print_comment(std::FILE* out, const std::uint8_t* comment) {
    std::fprintf(out, "COMMENT   - \t%.*s\n", VRN_COMMENT_BYTES, reinterpret_cast<const char*>(comment));
}

}  // namespace

int swap_words_to_host(const void* src, void* dst, int count) {
    const auto* s = static_cast<const std::uint8_t*>(src);
    auto* d = static_cast<std::uint8_t*>(dst);
    for (int i = 0; i < count; ++i) {
        const std::uint8_t* b = s + 4 * i;
        std::uint32_t w = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
        std::memcpy(d + 4 * i, &w, 4);
    }
    return count;
}

void print_dfa_block(std::FILE* out, const std::uint32_t* words) {
    print_block(out, "Block DFA info:\n", kDfaLines, words);
}

void print_vrbus_block(std::FILE* out, const std::uint32_t* words) {
    print_block(out, "Block VRBUS_NAIN info:\n", kVrbusLines, words);
}

void print_icr_record(std::FILE* out, const std::uint8_t* icr) {
    std::fputs("ICR VRN info:\n", out);
    std::fprintf(out, "SIG       - \t0x%08X\n", static_cast<unsigned>(word(icr, 0)));
    std::fprintf(out, "SIZE      - \t%d\n", as_signed(word(icr, 1)));
    std::fprintf(out, "SERIAL\t   - \t%d\n", as_signed(word(icr, 2)));
    std::fprintf(out, "TYPE      - \t0x%08X\n", static_cast<unsigned>(word(icr, 3)));
    std::fprintf(out, "VER       - \t0x%08X\n", static_cast<unsigned>(word(icr, 4)));
    std::fprintf(out, "DEVID     - \t0x%08X\n", static_cast<unsigned>(word(icr, 5)));
    std::fprintf(out, "DAY       - \t%d\n", as_signed(word(icr, 6)));
    std::fprintf(out, "MON       - \t%d\n", as_signed(word(icr, 7)));
    std::fprintf(out, "YEAR      - \t%d\n", as_signed(word(icr, 8)));
    print_comment(out, icr + 4 * VRN_ICR_WORDS);
    std::fputs("\n", out);
}

void print_netcfg_record(std::FILE* out, const std::uint8_t* netcfg) {
    std::fputs("NetCfg VRN info:\n", out);
    std::fprintf(out, "SIG       - \t0x%08X\n", static_cast<unsigned>(word(netcfg, 0)));
    print_address(out, "IP        - \t%d.%d.%d.%d\n", word(netcfg, 1));
    print_address(out, "MASK      - \t%d.%d.%d.%d\n", word(netcfg, 2));
    print_address(out, "GATE      - \t%d.%d.%d.%d\n", word(netcfg, 3));
    std::fprintf(out, "PORT      - \t%d\n", as_signed(word(netcfg, 4)));
    std::fprintf(out, "TIMEOUT   - \t%d\n", as_signed(word(netcfg, 5)));
    print_comment(out, netcfg + 4 * VRN_NETCFG_WORDS);
    std::fputs("\n", out);
}
