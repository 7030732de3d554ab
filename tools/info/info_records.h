// What the info program prints: two register blocks and two flash records.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int VRN_BLOCK_BYTES = 1024;
constexpr int VRN_BLOCK_WORDS = VRN_BLOCK_BYTES / 4;
constexpr int VRN_ICR_BYTES = 164;
constexpr int VRN_NETCFG_BYTES = 152;
constexpr int VRN_ICR_WORDS = 9;     // SIG .. YEAR
constexpr int VRN_NETCFG_WORDS = 6;  // SIG .. TIMEOUT
constexpr int VRN_COMMENT_BYTES = 128;

// dst[i] = src[i] read as a big-endian 32-bit word, stored in host order,
// for count words of the byte images src and dst (which may be the same).
// Returns count.
int swap_words_to_host(const void* src, void* dst, int count);

// The first eight words of a register block in host order, under its title.
void print_dfa_block(std::FILE* out, const std::uint32_t* words);
void print_vrbus_block(std::FILE* out, const std::uint32_t* words);

// The records as read from the flash, with their leading words already
// converted by swap_words_to_host.
void print_icr_record(std::FILE* out, const std::uint8_t* icr);
void print_netcfg_record(std::FILE* out, const std::uint8_t* netcfg);
