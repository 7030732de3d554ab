// vrnscan's output forms, all made from the same JSON objects.
#include "scan_report.h"

#include <cmath>
#include <cstdio>

#include "scan_targets.h"

namespace {

using Json = nlohmann::ordered_json;

const Json* at(const Json& row, const std::string& pointer) {
    const Json::json_pointer p(pointer);
    return row.contains(p) ? &row.at(p) : nullptr;
}

std::string text(const Json* v) {
    if (!v) return "";
    return v->is_string() ? v->get<std::string>() : v->dump();
}

std::string hex_word(const Json* v) {
    if (!v || !v->is_number()) return "";
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(v->get<std::uint32_t>()));
    return b;
}

// YYYY-MM-DD as vrnrec takes it; "?" for words that are no date (an erased record).
std::string date(const Json& row) {
    const Json *d = at(row, "/icr/day"), *m = at(row, "/icr/mon"), *y = at(row, "/icr/year");
    if (!d || !m || !y) return "";
    const int day = d->get<int>(), mon = m->get<int>(), year = y->get<int>();
    if (day < 1 || day > 31 || mon < 1 || mon > 12 || year < 0 || year > 9999) return "?";
    char b[16];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d", year, mon, day);
    return b;
}

// "01:A3 64x64K x8": vendor and device, sectors times their size, data width.
std::string flash(const Json& row) {
    const Json* f = at(row, "/flash");
    if (!f) return "";
    const long size = f->at("sector_size").get<long>();
    char sector[24];
    if (size > 0 && size % 1024 == 0) std::snprintf(sector, sizeof sector, "%ldK", size / 1024);
    else std::snprintf(sector, sizeof sector, "0x%lX", static_cast<unsigned long>(size));
    char b[80];
    std::snprintf(b, sizeof b, "%02X:%02X %ldx%s x%ld", static_cast<unsigned>(f->at("vendor").get<int>()),
                  static_cast<unsigned>(f->at("device").get<int>()), f->at("sectors").get<long>(), sector,
                  f->at("width").get<long>());
    return b;
}

std::string answer(const Json& row) {
    if (!row.at("module").get<bool>()) return "answers, not a module";
    const Json* error = at(row, "/error");
    return error ? "module; " + error->get<std::string>() : "module";
}

std::string rtt(const Json& row) {
    char b[24];
    std::snprintf(b, sizeof b, "%.2f ms", row.at("rtt_ms").get<double>());
    return b;
}

struct Column {
    const char* header;
    std::string (*cell)(const Json& row);
    bool info;  // shown with --info only
};

const Column kColumns[] = {
    {"ADDRESS", [](const Json& r) { return text(at(r, "/address")); }, false},
    {"RTT", rtt, false},
    {"SERIAL", [](const Json& r) { return text(at(r, "/icr/serial")); }, true},
    {"TYPE", [](const Json& r) { return hex_word(at(r, "/icr/type")); }, true},
    {"VER", [](const Json& r) { return hex_word(at(r, "/icr/ver")); }, true},
    {"DEVID", [](const Json& r) { return hex_word(at(r, "/icr/devid")); }, true},
    {"DATE", date, true},
    {"IP", [](const Json& r) { return text(at(r, "/netcfg/ip")); }, true},
    {"MASK", [](const Json& r) { return text(at(r, "/netcfg/mask")); }, true},
    {"GATE", [](const Json& r) { return text(at(r, "/netcfg/gate")); }, true},
    {"PORT", [](const Json& r) { return text(at(r, "/netcfg/port")); }, true},
    {"FLASH", flash, true},
    {"ANSWER", answer, false},
};

// The JSON pointers of every field a row can have, in the order of the
// objects: the same names as the JSON, one place.
std::vector<std::string> csv_fields(bool info) {
    VrnScanRow full{};
    full.answer.module = true;
    full.read = info;
    full.info.identified = 0;
    full.info.icr_read = full.info.netcfg_read = true;
    Json row = vrn_scan_row_json(full, 0);
    if (info) row["error"] = "";
    const Json flat = row.flatten();
    std::vector<std::string> fields;
    for (const auto& item : flat.items()) fields.push_back(item.key());
    return fields;
}

// A byte that is not UTF-8 (an erased comment is all 0xFF) as U+FFFD, as
// the JSON has it: through the JSON writer's own replacement, so that both
// forms say the same.
std::string utf8_text(const std::string& s) {
    return Json::parse(Json(s).dump(-1, ' ', false, Json::error_handler_t::replace)).get<std::string>();
}

std::string csv_cell(const Json* v) {
    std::string s = utf8_text(text(v));
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string quoted = "\"";
    for (char c : s) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

Json vrn_scan_row_json(const VrnScanRow& row, std::uint16_t port) {
    Json out = {{"address", vrn_ip_text(row.answer.ip)},
                {"port", port},
                {"module", row.answer.module},
                // Microseconds are all a round trip measured here can tell.
                {"rtt_ms", std::round(row.answer.rtt_ms * 1000.0) / 1000.0}};
    if (row.read) vrn_put_module_info(out, row.info);
    if (!row.open_failure.empty()) out["error"] = row.open_failure;
    return out;
}

std::string vrn_scan_json(const std::vector<Json>& rows) {
    Json array = Json::array();
    for (const Json& r : rows) array.push_back(r);
    return vrn_json_text(array);
}

std::string vrn_scan_csv(const std::vector<Json>& rows, bool info) {
    const std::vector<std::string> fields = csv_fields(info);
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::string name = fields[i].substr(1);
        for (char& c : name)
            if (c == '/') c = '.';
        if (i) out += ',';
        out += name;
    }
    out += "\n";
    for (const Json& r : rows) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i) out += ',';
            out += csv_cell(at(r, fields[i]));
        }
        out += "\n";
    }
    return out;
}

std::string vrn_scan_table(const std::vector<Json>& rows, bool info, std::size_t probed, std::uint16_t port) {
    std::string out;
    if (!rows.empty()) {
        std::vector<const Column*> columns;
        for (const Column& c : kColumns)
            if (info || !c.info) columns.push_back(&c);
        std::vector<std::vector<std::string>> cells(1);
        for (const Column* c : columns) cells[0].push_back(c->header);
        for (const Json& r : rows) {
            cells.emplace_back();
            for (const Column* c : columns) cells.back().push_back(c->cell(r));
        }
        std::vector<std::size_t> width(columns.size(), 0);
        for (const auto& line : cells)
            for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
        for (const auto& line : cells) {
            for (std::size_t i = 0; i < line.size(); ++i) {
                out += line[i];
                if (i + 1 < line.size()) out += std::string(width[i] - line[i].size() + 2, ' ');
            }
            out += "\n";
        }
    }
    std::size_t modules = 0;
    for (const Json& r : rows) modules += r.at("module").get<bool>() ? 1 : 0;
    out += "Found " + plural(modules, "module", "modules") + " among " + plural(probed, "address", "addresses") +
           " (port " + std::to_string(port) + ")";
    if (rows.size() > modules)
        out += "; " + plural(rows.size() - modules, "address answers", "addresses answer") + ", not a module";
    return out + ".\n";
}
