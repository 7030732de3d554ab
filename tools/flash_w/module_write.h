// One module's write as vrnprog runs it, for one module or for each of
// many: the identification, the chip check, the backup before the first
// change, vrn_recover_write, and what is said about the result.
#pragma once

#include <cstdint>
#include <string>

// Exit statuses beyond the usage, connection and file errors: each flash
// failure has its own, so that a script can tell them apart.
enum : int {
    // -4, -5 and -10: vrn_chip_exit_status
    VRN_EXIT_ERASE_FAILED = -6,
    VRN_EXIT_PROGRAM_FAILED = -7,
    VRN_EXIT_READ_FAILED = -8,
    VRN_EXIT_COMPARE_FAILED = -9,
    VRN_EXIT_BACKUP_FAILED = -11,
    VRN_EXIT_UNCONFIRMED = -12,
    // Many modules: not every one of them holds the image exactly.
    VRN_EXIT_NOT_ALL_EXACT = -13,
};

struct VrnModuleWrite {
    const char* ip;  // as given: the backup's header and the put-back line name it
    const char* port;
    int sector;
    const std::uint8_t* image;  // only read, so that jobs may share it
    int count;
    int flags;           // VRN_WRITE_SKIP_ERASED, VRN_WRITE_CHANGED_ONLY
    const char* backup;  // nullptr: no backup
    // One module: everything is printed as the program always printed it,
    // with the progress line on a terminal. Otherwise nothing is printed
    // (the lines of many modules would run into each other); the reason
    // of a failure is kept for the module's row.
    bool alone;
};

struct VrnModuleResult {
    int status;         // the exit status of a run on this module alone
    std::string error;  // why it failed, without "### ERROR: " (not alone)
    int bytes;          // bytes programmed, over all passes
    bool backed_up;     // the backup file was written
};

// Runs the write on the open connection and closes it; result->status.
int vrn_write_module(int handle, const VrnModuleWrite& w, VrnModuleResult* result);
