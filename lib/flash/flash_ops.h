// Cell access, sector erase, byte programming with verification and runs.
#pragma once

#include <cstdint>

// Bounds on the chip polls. The erase and program bounds count from the
// command, leaving out time lost to exchanges that went unanswered; that
// lost time has its own bound, past which the module has gone or the link
// is too poor to go on (an AMD verify or a run of cells would otherwise
// wait out thousands of 4-second receives).
struct VrnFlashBounds {
    std::uint32_t erase_ms;      // erase poll (and a status read called on its own)
    std::uint32_t program_ms;    // Intel program status wait
    std::uint32_t link_lost_ms;  // failed exchanges within one poll or run
};
constexpr VrnFlashBounds VRN_FLASH_BOUNDS = {20000, 1000, 12000};
// The bounds in force; they start at VRN_FLASH_BOUNDS.
extern VrnFlashBounds g_flash_bounds;
// What vrn_flash_read_cell yields when its bus read fails: no byte equals it.
constexpr int VRN_FLASH_READ_FAILED = -1;

// A failed cell write or read is counted in the connection's link health
// (link/link_health.h): failed_writes, failed_reads.

int vrn_flash_write_cell(int handle, int sector, int offset, int value);
int vrn_flash_read_cell(int handle, int sector, int offset);
int vrn_flash_read_status(int handle, int sector, int offset);
int vrn_flash_erase_sector(int handle, int sector);
int vrn_flash_erase_all(int handle);
int vrn_flash_program_byte(int handle, int sector, int offset, std::uint8_t value);
// vrn_flash_program_byte with all ones written to the cell before its
// closing reset (see vrn_flash_cancel_program). For a byte whose verify
// cannot tell a lost data write: 0xFF on a 16-bit chip reads 0xFF in its
// low half whether or not it was programmed, and the chip would take the
// reset at cell 0 of sector 0 as the data.
int vrn_flash_program_byte_closed(int handle, int sector, int offset, std::uint8_t value);
// vrn_flash_program_byte with the steps docs/BURSTS.md keeps sent together
// when the connection keeps more than one request in flight, the same
// requests in the same order: an AMD program's four writes, and its verify
// reads; an Intel program's status command with its status reads, and the
// status read, clear, cell read and reset that end it. The Intel program
// and data writes stay one at a time (its data byte, reaching a chip that
// missed the program command, would be taken for a command).
int vrn_flash_program_byte_together(int handle, int sector, int offset, std::uint8_t value);
// Ends a program command that may still be waiting for its data, which
// would take the next write anywhere on the chip (the reset to cell 0 of
// sector 0) as data for that place: all ones written to the cell itself,
// sent until acknowledged (at most FLASH_CANCEL_TRIES sends). Programming
// all ones changes no bit, starts nothing in either command set and breaks
// any half-given sequence, so it is harmless in every state of the chip.
// 0 when a send was acknowledged, -1 otherwise.
constexpr int FLASH_CANCEL_TRIES = 4;
int vrn_flash_cancel_program(int handle, int sector, int offset);
// All ones in a cell of the identified chip: 0xFF, or 0xFFFF on a 16-bit chip.
int vrn_flash_all_ones(int handle);
int vrn_flash_program(int handle, int sector, int offset, const std::uint8_t* data, int length);
int vrn_flash_read(int handle, int sector, int offset, std::uint8_t* buffer, int length);
// Reads the cells at offsets[0..count) of a sector with up to the
// connection's in-flight count of reads at a time (vrn_bus_each), no
// reset after them: got[i] = 1 and buffer[i] for each cell read, got[i] = 0
// for each whose reads went unanswered (counted as failed reads). The
// number read, or -1. At most FLASH_READ_EACH_CELLS at a time.
constexpr int FLASH_READ_EACH_CELLS = 256;
int vrn_flash_read_cells(int handle, int sector, const int* offsets, int count, std::uint8_t* buffer,
                         std::uint8_t* got);
