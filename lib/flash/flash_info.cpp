// Identification of the flash chip from the DFA block and its identifier
// mode, the geometry derived from it, and the printed description.
#include "flash/flash_info.h"

#include <cstdio>

#include "flash/flash_ops.h"
#include "protocol/register_space.h"

vrnFlashInfo g_flash_info = {};

namespace {

constexpr int DFA_BYTES = 128;
constexpr int DFA_WORDS = DFA_BYTES / 4;
constexpr int SIG_WORD = 2;
constexpr std::uint32_t SIG_WIDE_CAPABLE = 0x8042u;
constexpr std::uint32_t SIG_WIDE_MARK = 0x10u;

constexpr int FLASH_CMD_INTEL_RESET = 0xFF;
constexpr int FLASH_CMD_AMD_RESET = 0xF0;
// Both resets first, so the chip leaves whatever mode it was in, then the
// AMD unlock and the identifier command that both sets understand.
constexpr int IDENTIFY_SEQUENCE[] = {FLASH_CMD_INTEL_RESET, FLASH_CMD_AMD_RESET, 0xAA, 0x55, 0x90};

constexpr std::int32_t INTEL_SECTOR_CELLS = 0x20000;
constexpr std::int32_t AMD_SECTOR_CELLS = 0x10000;

struct ChipRow {
    bool intel;  // maker 0x89; false: any other maker
    std::int32_t device;
    std::int32_t sectors;
};

constexpr ChipRow CHIP_TABLE[] = {
    {true, 0x16, 32}, {true, 0x17, 64}, {true, 0x18, 128}, {false, 0xC8, 32}, {false, 0xA3, 64}, {false, 0xD9, 32},
};

int data_width_from_dfa(const std::uint32_t* dfa) {
    if (dfa[SIG_WORD] == SIG_WIDE_CAPABLE && (dfa[SIG_WORD + 1] & 0xFFu) == SIG_WIDE_MARK) {
        return 16;
    }
    return 8;
}

// In identifier mode cell 0 of sector 0 holds the maker code, cell 1 the
// device code. A failed read leaves the field as it was.
void read_code(int handle, int offset, std::int32_t* field) {
    const int code = vrn_flash_read_cell(handle, 0, offset);
    if (code != VRN_FLASH_READ_FAILED) {
        *field = code;
    }
}

}  // namespace

std::uint32_t vrn_flash_cell_address(int sector, int offset) {
    // 32-bit arithmetic that wraps like the chip's address lines would,
    // without signed overflow.
    std::uint32_t index = static_cast<std::uint32_t>(sector) * static_cast<std::uint32_t>(g_flash_info.sector_size) +
                          static_cast<std::uint32_t>(offset);
    if (g_flash_info.data_width == 16) {
        index *= 2;
    }
    return index * 2;
}

int vrn_flash_identify(int handle) {
    // Zeroed so that a failed register read settles on 8 bits.
    std::uint32_t dfa[DFA_WORDS] = {};
    vrn_reg_read(handle, 0, 0, 0, 0, dfa, DFA_BYTES, 1);
    g_flash_info.data_width = data_width_from_dfa(dfa);

    // Cell 0 of sector 0 is bus address 0 under any geometry.
    for (int command : IDENTIFY_SEQUENCE) {
        vrn_flash_write_cell(handle, 0, 0, command);
    }
    read_code(handle, 0, &g_flash_info.vendor_id);
    read_code(handle, 1, &g_flash_info.device_id);

    const bool intel = g_flash_info.vendor_id == FLASH_VENDOR_INTEL;
    for (const ChipRow& row : CHIP_TABLE) {
        if (row.intel == intel && row.device == g_flash_info.device_id) {
            g_flash_info.sector_count = row.sectors;
        }
    }
    if (intel) {
        g_flash_info.sector_size = g_flash_info.data_width == 16 ? INTEL_SECTOR_CELLS / 2 : INTEL_SECTOR_CELLS;
    } else {
        g_flash_info.sector_size = AMD_SECTOR_CELLS;
    }
    g_flash_info.volume = g_flash_info.sector_size * g_flash_info.sector_count;
    vrn_flash_reset(handle);
    return 0;
}

void vrn_flash_get_info(int /*handle*/, vrnFlashInfo* record) {
    *record = g_flash_info;
}

void vrn_print_flash_info(const vrnFlashInfo* record) {
    // Through unsigned/long so the formats match on LP64 and LLP64 alike.
    std::printf("VRN FLASH INFO:\n");
    std::printf("Vendor ID = 0x%02X\n", static_cast<unsigned>(record->vendor_id));
    std::printf("Device ID = 0x%02X\n", static_cast<unsigned>(record->device_id));
    std::printf("Volume = %ld bytes\n", static_cast<long>(record->volume));
    std::printf("Size of Sector = 0x%08lX bytes\n",
                static_cast<unsigned long>(static_cast<std::uint32_t>(record->sector_size)));
    std::printf("Number of Sectors = %ld\n", static_cast<long>(record->sector_count));
    std::printf("Data Width = %ld bites\n", static_cast<long>(record->data_width));
    std::printf("Base Address = 0x%08lX\n",
                static_cast<unsigned long>(static_cast<std::uint32_t>(record->base_address)));
}

void vrn_flash_reset(int handle) {
    vrn_flash_write_cell(handle, 0, 0,
                         g_flash_info.vendor_id == FLASH_VENDOR_INTEL ? FLASH_CMD_INTEL_RESET : FLASH_CMD_AMD_RESET);
}
