// The module's register spaces: one word per (space_mode, sub_space,
// address), zero until written. The two identity blocks are read-only.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vrnsim {

struct ChipConfig;

constexpr std::uint32_t kDfaSpaceMode = 3, kDfaSubSpace = 0, kDfaBase = 0;
constexpr std::uint32_t kVrbusSpaceMode = 3, kVrbusSubSpace = 1, kVrbusBase = 0x80000000u, kVrbusStep = 2;

// Default DFA block words: BLOCK_ID, BLOCK_VER, SIG (0x8042 with 0x10 in
// word 3 for a 16-bit flash, 0x8040 for an 8-bit one), ..., SIZE_RAM1.
std::vector<std::uint32_t> default_dfa(const ChipConfig& chip);
// Default VRBUS_NAIN block words: BLOCK_ID, BLOCK_VER, DeviceID, REV_MOD,
// PLD_VER, VRBUS_RES, BLOCK_RES.
std::vector<std::uint32_t> default_vrbus();

class RegisterFile {
public:
    // The DFA block at (3, 0) from address 0 step 1; VRBUS_NAIN at (3, 1)
    // from 0x80000000 step 2.
    RegisterFile(const std::vector<std::uint32_t>& dfa, const std::vector<std::uint32_t>& vrbus);

    std::uint32_t read(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address) const;
    // Writes to the identity blocks are taken and ignored, as by a ROM.
    void write(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address, std::uint32_t value);

private:
    static std::uint64_t key(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address);
    std::unordered_map<std::uint64_t, std::uint32_t> rom_;
    std::unordered_map<std::uint64_t, std::uint32_t> ram_;
};

}  // namespace vrnsim
