#include "info_records.h"

#include <cstring>

#include "program_args.h"

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

constexpr VrnRecordField kIcrFields[] = {
    {"SIG", "SIG       - \t", 0, VrnFieldKind::HexWord},
    {"SIZE", "SIZE      - \t", 4, VrnFieldKind::IntWord},
    {"SERIAL", "SERIAL\t   - \t", 8, VrnFieldKind::IntWord},
    {"TYPE", "TYPE      - \t", 12, VrnFieldKind::HexWord},
    {"VER", "VER       - \t", 16, VrnFieldKind::HexWord},
    {"DEVID", "DEVID     - \t", 20, VrnFieldKind::HexWord},
    {"DAY", "DAY       - \t", 24, VrnFieldKind::IntWord},
    {"MON", "MON       - \t", 28, VrnFieldKind::IntWord},
    {"YEAR", "YEAR      - \t", 32, VrnFieldKind::IntWord},
    {"COMMENT", "COMMENT   - \t", 36, VrnFieldKind::Comment},
};

constexpr VrnRecordField kNetcfgFields[] = {
    {"SIG", "SIG       - \t", 0, VrnFieldKind::HexWord},
    {"IP", "IP        - \t", 4, VrnFieldKind::Address},
    {"MASK", "MASK      - \t", 8, VrnFieldKind::Address},
    {"GATE", "GATE      - \t", 12, VrnFieldKind::Address},
    {"PORT", "PORT      - \t", 16, VrnFieldKind::IntWord},
    {"TIMEOUT", "TIMEOUT   - \t", 20, VrnFieldKind::IntWord},
    {"COMMENT", "COMMENT   - \t", 24, VrnFieldKind::Comment},
};

static_assert(VRN_ICR_WORDS * 4 + VRN_COMMENT_BYTES == VRN_ICR_BYTES, "ICR: words, then the comment");
static_assert(VRN_NETCFG_WORDS * 4 + VRN_COMMENT_BYTES == VRN_NETCFG_BYTES, "NetCfg: words, then the comment");

// A word of a record whose leading words are already in host order.
std::uint32_t host_word(const std::uint8_t* record, int offset) {
    std::uint32_t w;
    std::memcpy(&w, record + offset, 4);
    return w;
}

}  // namespace

const VrnRecordLayout VRN_ICR_LAYOUT = {
    "ICR", "ICR VRN info", VRN_ICR_SECTOR, VRN_ICR_BYTES, VRN_ICR_WORDS,
    kIcrFields, static_cast<int>(sizeof kIcrFields / sizeof kIcrFields[0]), "ICR",
};

const VrnRecordLayout VRN_NETCFG_LAYOUT = {
    "NetCfg", "NetCfg VRN info", VRN_NETCFG_SECTOR, VRN_NETCFG_BYTES, VRN_NETCFG_WORDS,
    kNetcfgFields, static_cast<int>(sizeof kNetcfgFields / sizeof kNetcfgFields[0]), "NCFG",
};

bool vrn_record_signed(const VrnRecordLayout& layout, const std::uint8_t* record) {
    return std::memcmp(record, layout.signature, std::strlen(layout.signature)) == 0;
}

std::uint32_t load_word_be(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) | at[3];
}

void store_word_be(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

int swap_words_to_host(const void* src, void* dst, int count) {
    const auto* s = static_cast<const std::uint8_t*>(src);
    auto* d = static_cast<std::uint8_t*>(dst);
    for (int i = 0; i < count; ++i) {
        std::uint32_t w = load_word_be(s + 4 * i);
        std::memcpy(d + 4 * i, &w, 4);
    }
    return count;
}

int format_field_value(char* buf, std::size_t size, const VrnRecordField& field, const std::uint8_t* record) {
    switch (field.kind) {
    case VrnFieldKind::HexWord:
        return std::snprintf(buf, size, "0x%08X", static_cast<unsigned>(host_word(record, field.offset)));
    case VrnFieldKind::IntWord:
        return std::snprintf(buf, size, "%d", static_cast<int>(static_cast<std::int32_t>(host_word(record, field.offset))));
    case VrnFieldKind::Address: {
        // The converted word's bytes from the most significant down, which
        // is the order they were stored in.
        return std::snprintf(buf, size, "%s", vrn_ip_text(host_word(record, field.offset)).c_str());
    }
    case VrnFieldKind::Comment:
        // Up to the first NUL and never past the field: the flash need not hold one.
        return std::snprintf(buf, size, "%.*s", VRN_COMMENT_BYTES, reinterpret_cast<const char*>(record + field.offset));
    }
    return -1;
}

void print_dfa_block(std::FILE* out, const std::uint32_t* words) {
    print_block(out, "Block DFA info:\n", kDfaLines, words);
}

void print_vrbus_block(std::FILE* out, const std::uint32_t* words) {
    print_block(out, "Block VRBUS_NAIN info:\n", kVrbusLines, words);
}

void print_record(std::FILE* out, const VrnRecordLayout& layout, const std::uint8_t* record) {
    std::fprintf(out, "%s:\n", layout.what);
    for (int i = 0; i < layout.field_count; ++i) {
        const VrnRecordField& f = layout.fields[i];
        char value[VRN_COMMENT_BYTES + 1] = "";
        format_field_value(value, sizeof value, f, record);
        std::fprintf(out, "%s%s\n", f.label, value);
    }
    std::fputs("\n", out);
}

void print_icr_record(std::FILE* out, const std::uint8_t* icr) { print_record(out, VRN_ICR_LAYOUT, icr); }

void print_netcfg_record(std::FILE* out, const std::uint8_t* netcfg) { print_record(out, VRN_NETCFG_LAYOUT, netcfg); }

std::string vrn_record_read_failure_text(const VrnRecordLayout& layout) {
    return std::string("Can't read ") + layout.what + " from sector " + std::to_string(layout.sector);
}
