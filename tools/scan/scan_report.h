// What vrnscan prints: each answer as a JSON object, and from those objects
// the JSON array, the CSV and the aligned table, so that the three forms
// name and hold the same fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "module_info.h"
#include "probe_scan.h"

struct VrnScanRow {
    VrnScanAnswer answer;
    bool read;                 // --info: the module was opened and read
    std::string open_failure;  // --info: why it could not be opened
    VrnModuleInfo info;
};

// {"address", "port", "module", "rtt_ms"}, then what --info read
// (vrn_put_module_info), or "error" when the module could not be opened.
nlohmann::ordered_json vrn_scan_row_json(const VrnScanRow& row, std::uint16_t port);

std::string vrn_scan_json(const std::vector<nlohmann::ordered_json>& rows);
// A header line of the fields (nested ones as "icr.serial"), one line per
// row; the --info fields only with info.
std::string vrn_scan_csv(const std::vector<nlohmann::ordered_json>& rows, bool info);
// Aligned columns under a header line, and a closing line that counts what
// answered among the addresses probed.
std::string vrn_scan_table(const std::vector<nlohmann::ordered_json>& rows, bool info, std::size_t probed,
                           std::uint16_t port);
