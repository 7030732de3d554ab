// What vrnstat and vrnscan read of a module through the recovery layer,
// step by step so that vrnstat can print each part as it comes: the flash
// chip, then the ICR and NetCfg records. And the same as JSON, with the
// field names of the record layouts.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "info_records.h"
#include "vrn.h"

struct VrnModuleInfo {
    int identified;  // vrn_recover_identify's result: 0, or a VRN_IDENTIFY_ failure
    vrnFlashInfo flash;
    bool icr_read;
    bool netcfg_read;
    std::uint8_t icr[VRN_ICR_BYTES];  // leading words converted to host order
    std::uint8_t netcfg[VRN_NETCFG_BYTES];
};

// The steps, in this order: the chip (0, or a VRN_IDENTIFY_ failure), then
// each record (0, or -1; a record is not read when the chip was not
// identified). vrn_read_module_info runs all three: 0 when all was read.
int vrn_read_flash(int handle, VrnModuleInfo* info);
int vrn_read_module_record(int handle, const VrnRecordLayout& layout, VrnModuleInfo* info);
int vrn_read_module_info(int handle, VrnModuleInfo* info);

// What went wrong, as vrnstat says it after "### ERROR: "; "" for nothing.
std::string vrn_identify_failure(const VrnModuleInfo& info);
std::string vrn_record_failure(const VrnModuleInfo& info, const VrnRecordLayout& layout);

// Adds what was read to row: "flash" (vendor, device, volume, sector_size,
// sectors, width) when the chip was identified, "icr" and "netcfg" (each
// field under its label in lower case) when read, and "error" (the
// failures above, joined by "; ") when something was not.
void vrn_put_module_info(nlohmann::ordered_json& row, const VrnModuleInfo& info);

// JSON text as the programs print it: indented, invalid UTF-8 (an erased
// comment) replaced rather than refused, and a line end.
std::string vrn_json_text(const nlohmann::ordered_json& value);
