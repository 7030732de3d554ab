// Data files of cells read from a module's flash, as vrndump and vrnprog
// --backup write them: a header saying where the cells came from and the
// vrnprog line that writes them back, the cells one per line, the file
// whole or not at all.
#pragma once

#include <cstdint>
#include <string>

#include "flash/flash_info.h"

// Where the cells of a dump came from.
struct VrnDumpOrigin {
    const char* made_by;  // "vrndump", "vrnprog --backup"
    std::string ip, port;
    int sector;
    vrnFlashInfo chip;
};

// Reads cells 0..count-1 of the sector into cells with the repeats of the
// recovery layer (two passes that agree once the link has shown trouble),
// at most VRN_RECOVER_MAX_CELLS at a time, with a progress line under
// `phase` when shown. 0, or -1.
int vrn_read_dump_cells(int handle, int sector, std::uint8_t* cells, long count, const char* phase, bool shown);

// "vrnprog <ip> <port> <sector> <file>": the command that writes the file
// back into the sector, the name quoted for the shell (vrn_shell_word).
std::string vrn_write_back_line(const std::string& ip, const std::string& port, int sector, const std::string& file);
// Whether file can stand in that line, as a name vrnprog takes and one
// word of a command line: checked before a backup or dump is written, so
// that its put-back line is never one that fails. 0, or -1 with *error.
int vrn_write_back_name(const std::string& file, std::string* error);

// Writes cells 0..count-1 as a data file under the header of origin, under
// a temporary name renamed into place once it reads back as the cells. A
// file of no cells is a header alone: written back, it erases the sector.
// 0, or -1 with *error.
int vrn_write_dump_file(const std::string& file, const VrnDumpOrigin& origin, const std::uint8_t* cells, int count,
                        std::string* error);

// The sector the header of a dump file names (its first line), or -1 when
// the file does not start with such a header.
long vrn_dump_file_sector(const std::string& file);
