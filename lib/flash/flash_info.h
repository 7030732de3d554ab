// Identification of the module's flash chip and its geometry record.
#pragma once

#include <cstdint>

#include "flash/flash_commands.h"

// Field order is fixed: callers copy the record whole.
struct vrnFlashInfo {
    std::int32_t device_id;
    std::int32_t vendor_id;
    std::int32_t volume;
    std::int32_t base_address;
    std::int32_t sector_size;
    std::int32_t sector_count;
    std::int32_t data_width;
};

// Cells in the largest sector of any chip the table lists: room enough
// for a whole sector of any identified chip.
constexpr std::int32_t VRN_FLASH_MAX_SECTOR_CELLS = 0x20000;

// The driver's one record for the whole process: every connection of
// vrn_open's uses it.
extern vrnFlashInfo g_flash_info;
// The record the connection uses: g_flash_info, or an own connection's own
// (vrn_open_own), empty from its open on.
vrnFlashInfo* flash_info_of(int handle);

// Fills the record from the chip behind the handle (the chip table is in
// flash_info.cpp); always 0.
int vrn_flash_identify(int handle);
void vrn_flash_get_info(int handle, vrnFlashInfo* record);
void vrn_print_flash_info(const vrnFlashInfo* record);
void vrn_flash_reset(int handle);
// Bus address of cell (sector, offset) under the current geometry.
std::uint32_t vrn_flash_cell_address(int sector, int offset);
// The same under the geometry of the record given.
std::uint32_t flash_cell_address(const vrnFlashInfo* info, int sector, int offset);
