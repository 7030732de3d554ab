// The two command sets of the flash chips: the values written to a cell,
// the status bits, and which set a maker code selects.
#pragma once

#include <cstdint>

// JEDEC maker code of Intel, whose chips take the Intel command set; every
// other maker's take the AMD command set.
constexpr std::int32_t FLASH_VENDOR_INTEL = 0x89;

enum class FlashCommandSet { Amd, Intel };

constexpr FlashCommandSet flash_command_set(std::int32_t maker) {
    return maker == FLASH_VENDOR_INTEL ? FlashCommandSet::Intel : FlashCommandSet::Amd;
}

// Both sets.
constexpr int FLASH_CMD_IDENTIFY = 0x90;  // identifier (autoselect) mode: maker and device code

// Intel command set.
constexpr int FLASH_INTEL_READ_ARRAY = 0xFF;  // the reset: back to read mode
constexpr int FLASH_INTEL_BLOCK_ERASE = 0x20;
constexpr int FLASH_INTEL_ERASE_CONFIRM = 0xD0;
constexpr int FLASH_INTEL_PROGRAM = 0x40;
constexpr int FLASH_INTEL_READ_STATUS = 0x70;
constexpr int FLASH_INTEL_CLEAR_STATUS = 0x50;
constexpr int FLASH_INTEL_STATUS_READY = 0x80;   // status bit 7
constexpr int FLASH_INTEL_STATUS_ERRORS = 0x30;  // bit 5 erase error, bit 4 program error

// AMD command set.
constexpr int FLASH_AMD_RESET = 0xF0;  // back to read mode
constexpr int FLASH_AMD_UNLOCK1 = 0xAA;
constexpr int FLASH_AMD_UNLOCK2 = 0x55;
constexpr int FLASH_AMD_ERASE_SETUP = 0x80;
constexpr int FLASH_AMD_SECTOR_ERASE = 0x30;
constexpr int FLASH_AMD_PROGRAM = 0xA0;

// The command that returns a chip of the set to read mode.
constexpr int flash_reset_command(FlashCommandSet set) {
    return set == FlashCommandSet::Intel ? FLASH_INTEL_READ_ARRAY : FLASH_AMD_RESET;
}
