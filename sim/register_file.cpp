#include "register_file.h"

#include "flash_chip.h"

namespace vrnsim {

std::vector<std::uint32_t> default_dfa(const ChipConfig& chip) {
    std::vector<std::uint32_t> w(32, 0);
    w[0] = 0x0DFA;                            // BLOCK_ID
    w[1] = 0x0103;                            // BLOCK_VER
    w[2] = chip.width == 16 ? 0x8042 : 0x8040; // SIG: decides the flash data width
    w[3] = chip.width == 16 ? 0x10 : 0x08;
    w[6] = 0x4000;                            // SIZE_RAM1, low and high word
    w[7] = 0x0000;
    return w;
}

std::vector<std::uint32_t> default_vrbus() {
    return {0x0BA5, 0x0102, 0x5652, 0x0003, 0x0210, 0x0000, 0x0000, 0x0000};
}

RegisterFile::RegisterFile(const std::vector<std::uint32_t>& dfa, const std::vector<std::uint32_t>& vrbus) {
    for (std::size_t i = 0; i < dfa.size(); ++i)
        rom_[key(kDfaSpaceMode, kDfaSubSpace, kDfaBase + std::uint32_t(i))] = dfa[i];
    for (std::size_t i = 0; i < vrbus.size(); ++i)
        rom_[key(kVrbusSpaceMode, kVrbusSubSpace, kVrbusBase + kVrbusStep * std::uint32_t(i))] = vrbus[i];
}

std::uint64_t RegisterFile::key(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address) {
    return std::uint64_t(space_mode & 0xFF) << 40 | std::uint64_t(sub_space & 0xFF) << 32 | address;
}

std::uint32_t RegisterFile::read(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address) const {
    std::uint64_t k = key(space_mode, sub_space, address);
    if (auto it = rom_.find(k); it != rom_.end()) return it->second;
    if (auto it = ram_.find(k); it != ram_.end()) return it->second;
    return 0;
}

void RegisterFile::write(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address,
                         std::uint32_t value) {
    std::uint64_t k = key(space_mode, sub_space, address);
    if (rom_.count(k)) return;
    ram_[k] = value;
}

}  // namespace vrnsim
