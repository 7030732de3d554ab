// Identification of the flash chip from the DFA block and its identifier
// mode, the geometry derived from it, and the printed description.
#include "flash/flash_info.h"

#include "link/connection_table.h"

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

// Both resets first, so the chip leaves whatever mode it was in, then the
// AMD unlock and the identifier command that both sets understand.
constexpr int IDENTIFY_SEQUENCE[] = {FLASH_INTEL_READ_ARRAY, FLASH_AMD_RESET, FLASH_AMD_UNLOCK1, FLASH_AMD_UNLOCK2,
                                     FLASH_CMD_IDENTIFY};

// Device codes the chips answer in identifier mode, named by size and, for
// the AMD command set's two 16 Mbit parts, by code.
enum IntelDevice : std::int32_t { INTEL_32MBIT = 0x16, INTEL_64MBIT = 0x17, INTEL_128MBIT = 0x18 };
enum AmdDevice : std::int32_t { AMD_16MBIT_C8 = 0xC8, AMD_32MBIT = 0xA3, AMD_16MBIT_D9 = 0xD9 };
// The device of a set's last row: any code its rows above do not list.
constexpr std::int32_t ANY_OTHER_DEVICE = -1;

// One row of the chip table.
struct FlashChipRow {
    FlashCommandSet set;       // Intel: maker code 0x89; AMD: every other maker code
    std::int32_t device;       // device code at cell 1 in identifier mode
    std::int32_t sectors = 0;  // sectors on the chip; 0: unknown, the count stays as it was
    std::int32_t cells_x8;     // cells per sector when the data width is 8 bits
    std::int32_t cells_x16;    // cells per sector when the data width is 16 bits
};

// The chips the driver knows, by command set. An Intel block is 128 KiB
// at either width (0x20000 bytes, or 0x10000 16-bit cells); the AMD set's
// sectors have 0x10000 cells at either width. To add a chip, add its row
// above its set's ANY_OTHER_DEVICE row, which stays last: it gives a chip
// the table does not list its set's sector size and leaves the sector
// count as an earlier identification left it.
constexpr FlashChipRow CHIP_TABLE[] = {
    {.set = FlashCommandSet::Intel, .device = INTEL_32MBIT, .sectors = 32, .cells_x8 = 0x20000, .cells_x16 = 0x10000},
    {.set = FlashCommandSet::Intel, .device = INTEL_64MBIT, .sectors = 64, .cells_x8 = 0x20000, .cells_x16 = 0x10000},
    {.set = FlashCommandSet::Intel, .device = INTEL_128MBIT, .sectors = 128, .cells_x8 = 0x20000, .cells_x16 = 0x10000},
    {.set = FlashCommandSet::Intel, .device = ANY_OTHER_DEVICE, .cells_x8 = 0x20000, .cells_x16 = 0x10000},
    {.set = FlashCommandSet::Amd, .device = AMD_16MBIT_C8, .sectors = 32, .cells_x8 = 0x10000, .cells_x16 = 0x10000},
    {.set = FlashCommandSet::Amd, .device = AMD_32MBIT, .sectors = 64, .cells_x8 = 0x10000, .cells_x16 = 0x10000},
    {.set = FlashCommandSet::Amd, .device = AMD_16MBIT_D9, .sectors = 32, .cells_x8 = 0x10000, .cells_x16 = 0x10000},
    {.set = FlashCommandSet::Amd, .device = ANY_OTHER_DEVICE, .cells_x8 = 0x10000, .cells_x16 = 0x10000},
};

constexpr bool largest_sector_is_the_max() {
    std::int32_t largest = 0;
    for (const FlashChipRow& row : CHIP_TABLE) {
        if (row.cells_x8 > largest) largest = row.cells_x8;
        if (row.cells_x16 > largest) largest = row.cells_x16;
    }
    return largest == VRN_FLASH_MAX_SECTOR_CELLS;
}
static_assert(largest_sector_is_the_max(), "VRN_FLASH_MAX_SECTOR_CELLS must be the table's largest sector");

// The row of a device in its set, or the set's row for any other device.
const FlashChipRow& chip_row(FlashCommandSet set, std::int32_t device) {
    for (const FlashChipRow& row : CHIP_TABLE) {
        if (row.set == set && (row.device == device || row.device == ANY_OTHER_DEVICE)) {
            return row;
        }
    }
    return CHIP_TABLE[0];  // not reached: each set ends in an ANY_OTHER_DEVICE row
}

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

vrnFlashInfo* flash_info_of(int handle) {
    const int own = conn_own_index(handle);
    if (own < 0) return &g_flash_info;
    // Known by the open it belongs to: a new open of the place starts empty.
    static vrnFlashInfo records[VRN_MAX_OWN_CONNECTIONS];
    static std::uint32_t serials[VRN_MAX_OWN_CONNECTIONS];
    if (serials[own] != conn_serial(handle)) {
        records[own] = vrnFlashInfo{};
        serials[own] = conn_serial(handle);
    }
    return &records[own];
}

std::uint32_t vrn_flash_cell_address(int sector, int offset) { return flash_cell_address(&g_flash_info, sector, offset); }

std::uint32_t flash_cell_address(const vrnFlashInfo* info, int sector, int offset) {
    // 32-bit arithmetic that wraps like the chip's address lines would,
    // without signed overflow.
    std::uint32_t index = static_cast<std::uint32_t>(sector) * static_cast<std::uint32_t>(info->sector_size) +
                          static_cast<std::uint32_t>(offset);
    if (info->data_width == 16) {
        index *= 2;
    }
    return index * 2;
}

int vrn_flash_identify(int handle) {
    vrnFlashInfo& info = *flash_info_of(handle);
    // Zeroed so that a failed register read settles on 8 bits.
    std::uint32_t dfa[DFA_WORDS] = {};
    vrn_reg_read(handle, 0, 0, 0, 0, dfa, DFA_BYTES, 1);
    info.data_width = data_width_from_dfa(dfa);

    // Cell 0 of sector 0 is bus address 0 under any geometry.
    for (int command : IDENTIFY_SEQUENCE) {
        vrn_flash_write_cell(handle, 0, 0, command);
    }
    read_code(handle, 0, &info.vendor_id);
    read_code(handle, 1, &info.device_id);

    const FlashChipRow& chip = chip_row(flash_command_set(info.vendor_id), info.device_id);
    if (chip.sectors != 0) {
        info.sector_count = chip.sectors;
    }
    info.sector_size = info.data_width == 16 ? chip.cells_x16 : chip.cells_x8;
    info.volume = info.sector_size * info.sector_count;
    vrn_flash_reset(handle);
    return 0;
}

void vrn_flash_get_info(int handle, vrnFlashInfo* record) {
    *record = *flash_info_of(handle);
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
    vrn_flash_write_cell(handle, 0, 0, flash_reset_command(flash_command_set(flash_info_of(handle)->vendor_id)));
}
