// What the info program prints: two register blocks and two flash records.
// The record layouts live here, for vrnstat, which reads them from the
// module, and for vrnrec, which composes and shows them as data files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

constexpr int VRN_BLOCK_BYTES = 1024;
constexpr int VRN_BLOCK_WORDS = VRN_BLOCK_BYTES / 4;
constexpr int VRN_ICR_BYTES = 164;
constexpr int VRN_NETCFG_BYTES = 152;
constexpr int VRN_ICR_WORDS = 9;     // SIG .. YEAR
constexpr int VRN_NETCFG_WORDS = 6;  // SIG .. TIMEOUT
constexpr int VRN_COMMENT_BYTES = 128;
constexpr int VRN_ICR_SECTOR = 1;
constexpr int VRN_NETCFG_SECTOR = 2;

// How a field is stored and shown: a 32-bit word shown in hexadecimal or
// as a signed decimal, four address bytes in stored order, or NUL-ended
// text that fills the rest of the record.
enum class VrnFieldKind { HexWord, IntWord, Address, Comment };

struct VrnRecordField {
    const char* name;   // "SIG", "IP", ...
    const char* label;  // what vrnstat prints before the value
    int offset;         // bytes from the start of the record
    VrnFieldKind kind;
};

struct VrnRecordLayout {
    const char* name;   // "ICR", "NetCfg"
    const char* what;   // how vrnstat names it: above the fields (with a colon) and when it fails
    int sector;         // where the module keeps the record
    int bytes;
    int words;          // leading big-endian words, converted after reading
    const VrnRecordField* fields;
    int field_count;
    // What the SIG word of such a record starts with, as stored: the
    // NetCfg record's is "NCFG"; the ICR record's "ICR" is followed by a
    // version character ("ICR0" in examples/icr.dat, "ICR1" in vrnsim's
    // factory record).
    const char* signature;
};

extern const VrnRecordLayout VRN_ICR_LAYOUT;
extern const VrnRecordLayout VRN_NETCFG_LAYOUT;

// Whether a record (as stored) carries its layout's signature.
bool vrn_record_signed(const VrnRecordLayout& layout, const std::uint8_t* record);

// A big-endian word of a byte image, and its inverse.
std::uint32_t load_word_be(const std::uint8_t* at);
void store_word_be(std::uint8_t* at, std::uint32_t value);

// dst[i] = src[i] read as a big-endian 32-bit word, stored in host order,
// for count words of the byte images src and dst (which may be the same).
// Returns count.
int swap_words_to_host(const void* src, void* dst, int count);

// A field's value as vrnstat prints it (without label and line end), from
// a record whose leading words are converted. A comment is its bytes up to
// the first NUL and at most VRN_COMMENT_BYTES, as they are. snprintf's result.
int format_field_value(char* buf, std::size_t size, const VrnRecordField& field, const std::uint8_t* record);

// The first eight words of a register block in host order, under its title.
void print_dfa_block(std::FILE* out, const std::uint32_t* words);
void print_vrbus_block(std::FILE* out, const std::uint32_t* words);

// A record as read from the flash, with its leading words already
// converted by swap_words_to_host: the title, a line per field, an empty line.
void print_record(std::FILE* out, const VrnRecordLayout& layout, const std::uint8_t* record);
void print_icr_record(std::FILE* out, const std::uint8_t* icr);
void print_netcfg_record(std::FILE* out, const std::uint8_t* netcfg);

// "Can't read <what> from sector <sector>": the record could not be read.
std::string vrn_record_read_failure_text(const VrnRecordLayout& layout);
