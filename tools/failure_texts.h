// The reasons the programs give on their "### ERROR: " lines when a
// connection, an identification or a flash run fails, without that
// prefix: the programs print them and the Python binding raises them, so
// that a script sees the words a user of the programs sees.
#pragma once

#include <string>

#include "flash/flash_info.h"
#include "recovery/recovery.h"

// "Can't connect to <address>: <why>", after a failed open.
std::string vrn_connect_failure_text(const char* address);

// After vrn_recover_identify returned `agreed`: "" when the
// identification held, else why not, followed by `consequence` (", nothing
// erased", or "").
std::string vrn_identify_failure_text(int agreed, const char* consequence);

// Whether a flash run may touch `sector` after vrn_recover_identify gave
// `agreed` and *info: not when the identification did not hold, nor
// without a known geometry (every cell address would fall into sector 0,
// which usually holds the boot code), nor beyond the last sector. A
// VRN_CHIP_ value; *why says why not, followed by `consequence`.
enum : int { VRN_CHIP_OK = 0, VRN_CHIP_NO_ANSWER = 1, VRN_CHIP_NOT_IDENTIFIED = 2, VRN_CHIP_SECTOR_BEYOND = 3 };
int vrn_chip_check(int agreed, const vrnFlashInfo& info, long sector, const char* consequence, std::string* why);
// The exit status of vrnprog and vrndump for a VRN_CHIP_ refusal: -10 the
// module does not answer, -4 the chip is not identified, -5 the sector is
// beyond it.
int vrn_chip_exit_status(int check);

// Why a read of cells of the sector failed: at `cell`, or (cell < 0) no two
// of its passes agreed; followed by `consequence`.
std::string vrn_read_failure_text(int sector, int cell, const char* consequence);

// Why vrn_recover_write failed, from its report; "" for VRN_WRITE_OK. A run
// that gave up or was refused before its first change says nothing changed.
std::string vrn_write_failure_text(const VrnWriteReport& report, int sector);
