// vrnprog on many modules: one image written to each, several at once,
// each module on a connection and in a thread of its own, then one row per
// module in address order, as a table or as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connect.h"
#include "module_write.h"

// Modules written at once unless --jobs says otherwise (VRN_JOBS_MAX the most).
constexpr int VRN_JOBS_DEFAULT = 8;

struct VrnManyWrite {
    std::vector<std::uint32_t> addresses;  // sorted, each once (vrn_scan_targets)
    const char* port;
    int jobs;  // at most the number of addresses is used
    VrnLinkSettings link;  // of each connection
    // What every module gets: the image (shared, only read), sector, flags
    // and the backup FILE as given (each module's is vrn_backup_name of it);
    // ip and alone are set per module.
    VrnModuleWrite write;
    bool json;
};

// One module's outcome, for its row.
struct VrnModuleRow {
    std::uint32_t ip;
    VrnModuleResult result;
    long ms;             // from its open to its close
    std::string backup;  // its backup file, or "" without --backup
};

// FILE with the address before its extension ("before.dat", 10.0.0.5:
// "before-10.0.0.5.dat"; "before": "before-10.0.0.5"), so that the
// modules' backups never share a file.
std::string vrn_backup_name(const std::string& file, const std::string& ip);

// The rows as vrnprog prints them: a table with a line on the whole, or a
// JSON array of one object per module.
std::string vrn_rows_table(const std::vector<VrnModuleRow>& rows, int sector);
std::string vrn_rows_json(const std::vector<VrnModuleRow>& rows, int port);

// Writes every module, prints the rows on standard output, and returns the
// exit status: 0 when every module holds the image exactly, else
// VRN_EXIT_NOT_ALL_EXACT. A progress line on the whole run goes to standard
// error when that is a terminal.
int vrn_write_many(const VrnManyWrite& many);
