// Cell access, sector erase, byte programming with verification and runs.
#pragma once

#include <cstdint>

// Bounds on the chip polls, measured from the command.
constexpr std::uint32_t VRN_FLASH_ERASE_TIMEOUT_MS = 20000;
constexpr std::uint32_t VRN_FLASH_PROGRAM_TIMEOUT_MS = 1000;
// The bounds in force; they start at the constants above. Tests shorten them.
extern std::uint32_t g_flash_erase_timeout_ms;
extern std::uint32_t g_flash_program_timeout_ms;
// Time the AMD verify or a run of vrn_flash_read may lose to failed cell
// reads (three receive waits) before it gives up: the module has gone.
constexpr std::uint32_t VRN_FLASH_LINK_LOST_MS = 12000;
// What vrn_flash_read_cell yields when its bus read fails: no byte equals it.
constexpr int VRN_FLASH_READ_FAILED = -1;

// Failed cell reads since process start; the programs compare it around a run.
extern unsigned g_flash_read_failures;

int vrn_flash_write_cell(int handle, int sector, int offset, int value);
int vrn_flash_read_cell(int handle, int sector, int offset);
int vrn_flash_read_status(int handle, int sector, int offset);
int vrn_flash_erase_sector(int handle, int sector);
int vrn_flash_erase_all(int handle);
int vrn_flash_program_byte(int handle, int sector, int offset, std::uint8_t value);
// Ends an AMD program command that may still be waiting for its data,
// which would take the next write anywhere on the chip (the reset to cell 0
// of sector 0) as data for that cell: 0xF0 to the cell itself, sent until
// acknowledged (at most 4 sends). At worst it spoils that cell. Nothing
// for the Intel set, whose reset, 0xFF, programs nothing. 0 when a send
// was acknowledged (or nothing was needed), -1 otherwise.
int vrn_flash_cancel_program(int handle, int sector, int offset);
int vrn_flash_program(int handle, int sector, int offset, const std::uint8_t* data, int length);
int vrn_flash_read(int handle, int sector, int offset, std::uint8_t* buffer, int length);
