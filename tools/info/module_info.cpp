// Reading a module's chip and records for vrnstat and vrnscan, and their JSON.
#include "module_info.h"

#include <cctype>
#include <cstring>

#include "failure_texts.h"

namespace {

bool was_read(const VrnModuleInfo& info, const VrnRecordLayout& layout) {
    return &layout == &VRN_ICR_LAYOUT ? info.icr_read : info.netcfg_read;
}

std::uint8_t* record_of(VrnModuleInfo* info, const VrnRecordLayout& layout) {
    return &layout == &VRN_ICR_LAYOUT ? info->icr : info->netcfg;
}

// "ICR VRN info", as vrnstat names a record in its error lines.

std::string lower(const char* text) {
    std::string s(text);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

nlohmann::ordered_json record_json(const VrnRecordLayout& layout, const std::uint8_t* record) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (int i = 0; i < layout.field_count; ++i) {
        const VrnRecordField& f = layout.fields[i];
        std::uint32_t word = 0;
        std::memcpy(&word, record + f.offset, 4);
        switch (f.kind) {
        case VrnFieldKind::HexWord: out[lower(f.name)] = word; break;
        case VrnFieldKind::IntWord: out[lower(f.name)] = static_cast<std::int32_t>(word); break;
        case VrnFieldKind::Address:
        case VrnFieldKind::Comment: {
            char text[VRN_COMMENT_BYTES + 1] = "";
            format_field_value(text, sizeof text, f, record);
            out[lower(f.name)] = text;
            break;
        }
        }
    }
    return out;
}

}  // namespace

int vrn_read_flash(int handle, VrnModuleInfo* info) {
    info->icr_read = info->netcfg_read = false;
    info->identified = vrn_recover_identify(handle, &info->flash);
    return info->identified;
}

int vrn_read_module_record(int handle, const VrnRecordLayout& layout, VrnModuleInfo* info) {
    // An unlisted chip still has its sector size, so the records are read
    // where they lie; only a chip that could not be identified is not read.
    if (info->identified != 0) return -1;
    std::uint8_t* record = record_of(info, layout);
    if (vrn_recover_read(handle, layout.sector, 0, record, layout.bytes, nullptr) != 0) return -1;
    swap_words_to_host(record, record, layout.words);
    (&layout == &VRN_ICR_LAYOUT ? info->icr_read : info->netcfg_read) = true;
    return 0;
}

int vrn_read_module_info(int handle, VrnModuleInfo* info) {
    bool ok = vrn_read_flash(handle, info) == 0;
    ok &= vrn_read_module_record(handle, VRN_ICR_LAYOUT, info) == 0;
    ok &= vrn_read_module_record(handle, VRN_NETCFG_LAYOUT, info) == 0;
    return ok ? 0 : -1;
}

std::string vrn_identify_failure(const VrnModuleInfo& info) { return vrn_identify_failure_text(info.identified, ""); }

std::string vrn_record_failure(const VrnModuleInfo& info, const VrnRecordLayout& layout) {
    if (was_read(info, layout)) return "";
    if (info.identified != 0) return std::string("Can't read ") + layout.what + ": flash chip not identified";
    return vrn_record_read_failure_text(layout);
}

void vrn_put_module_info(nlohmann::ordered_json& row, const VrnModuleInfo& info) {
    if (info.identified == 0) {
        const vrnFlashInfo& f = info.flash;
        row["flash"] = {{"vendor", f.vendor_id}, {"device", f.device_id}, {"volume", f.volume},
                        {"sector_size", f.sector_size}, {"sectors", f.sector_count}, {"width", f.data_width}};
    }
    if (info.icr_read) row["icr"] = record_json(VRN_ICR_LAYOUT, info.icr);
    if (info.netcfg_read) row["netcfg"] = record_json(VRN_NETCFG_LAYOUT, info.netcfg);
    std::string error;
    for (const std::string& e : {vrn_identify_failure(info), vrn_record_failure(info, VRN_ICR_LAYOUT),
                                 vrn_record_failure(info, VRN_NETCFG_LAYOUT)})
        if (!e.empty()) error += (error.empty() ? "" : "; ") + e;
    if (!error.empty()) row["error"] = error;
}

std::string vrn_json_text(const nlohmann::ordered_json& value) {
    return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
