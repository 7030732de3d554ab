// What the info program prints: two register blocks and two flash records.
#pragma once

#include <cstdint>

constexpr int VRN_ICR_BYTES = 164;
constexpr int VRN_NETCFG_BYTES = 152;

int swap_words_to_host(const std::uint32_t* src, std::uint32_t* dst, int count);
