// The fields of the flash records as a user gives them, and their checks.
#include "record_fields.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "program_args.h"

namespace {

// A refused value, caught by vrn_set_field: the checks below stop at the
// first thing wrong.
struct Refused {
    std::string why;
};

constexpr long WORD_MAX = 2147483647L;

const VrnFieldRule kNetcfgRules[] = {
    {"--sig", "SIG", VrnValueKind::Hex, "SIG word, hexadecimal (0x optional)", 0, 0},
    {"--ip", "IP", VrnValueKind::Address, "the module's IP address, dotted decimal", 0, 0},
    {"--mask", "MASK", VrnValueKind::Mask, "network mask, dotted decimal", 0, 0},
    {"--gate", "GATE", VrnValueKind::Address, "gateway address, dotted decimal", 0, 0},
    {"--port", "PORT", VrnValueKind::Decimal, "control port, 1..65532: the module also takes the three above it", 1,
     65532, "the module takes the port and the three above it"},
    {"--timeout", "TIMEOUT", VrnValueKind::Decimal, "TIMEOUT word, 0..2147483647", 0, WORD_MAX},
    {"--comment", "COMMENT", VrnValueKind::Comment, "comment text, at most 127 characters", 0, 0},
};

const VrnFieldRule kIcrRules[] = {
    {"--sig", "SIG", VrnValueKind::Hex, "SIG word, hexadecimal (0x optional)", 0, 0},
    {"--size", "SIZE", VrnValueKind::Decimal, "SIZE word, 0..2147483647", 0, WORD_MAX},
    {"--serial", "SERIAL", VrnValueKind::Decimal, "serial number, 0..2147483647", 0, WORD_MAX},
    {"--type", "TYPE", VrnValueKind::Hex, "TYPE word, hexadecimal", 0, 0},
    {"--ver", "VER", VrnValueKind::Hex, "VER word, hexadecimal", 0, 0},
    {"--devid", "DEVID", VrnValueKind::Hex, "DEVID word, hexadecimal", 0, 0},
    {"--date", "DAY", VrnValueKind::Date, "date YYYY-MM-DD: the DAY, MON and YEAR words", 0, 0},
    {"--comment", "COMMENT", VrnValueKind::Comment, "comment text, at most 127 characters", 0, 0},
};

const VrnRecordField& field_named(const VrnRecordLayout& layout, const char* name) {
    for (int i = 0; i < layout.field_count; ++i)
        if (std::strcmp(layout.fields[i].name, name) == 0) return layout.fields[i];
    throw Refused{std::string("no field ") + name + " in the " + layout.name + " record"};
}

std::uint32_t hex_word(const std::string& option, const std::string& text) {
    std::size_t at = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    std::uint32_t v = 0;
    bool ok = text.size() > at && text.size() - at <= 8;
    for (std::size_t i = at; ok && i < text.size(); ++i) {
        char c = text[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        ok = d >= 0;
        v = v << 4 | static_cast<std::uint32_t>(d & 0xF);
    }
    if (!ok) throw Refused{"Bad " + option + " " + text + " (hexadecimal word expected, e.g. 0x4E434647)"};
    return v;
}

std::uint32_t decimal_word(const std::string& option, const std::string& text, long min, long max, const char* why) {
    long v = vrn_sector_value(text.c_str());  // decimal digits only, up to INT_MAX
    if (v < min || v > max)
        throw Refused{"Bad " + option + " " + text + " (" + std::to_string(min) + ".." + std::to_string(max) +
                      " expected" + (why ? std::string(": ") + why : "") + ")"};
    return static_cast<std::uint32_t>(v);
}

// The four bytes of a dotted address, in stored order, as one word: any
// (Dotted), one a host can have (Address: not 0.0.0.0, the broadcast
// address or a multicast one), or a network mask (Mask).
std::uint32_t address_word(const std::string& option, const std::string& text, VrnValueKind kind) {
    std::uint32_t w = 0;
    if (!vrn_dotted_value(text.c_str(), &w)) throw Refused{"Bad " + option + " " + text + " (dotted IPv4 address expected)"};
    // A mask is ones, then zeros: anything else cuts the module off its net,
    // and so do no ones (every address on the net) and no zeros (not even
    // the gateway on it).
    std::uint32_t host_bits = ~w;
    if (kind == VrnValueKind::Mask && ((host_bits & (host_bits + 1)) != 0 || w == 0 || host_bits == 0))
        throw Refused{"Bad " + option + " " + text + " (a network mask such as 255.255.255.0 expected)"};
    const bool multicast = (w >> 28) == 0xE;  // 224.0.0.0 to 239.255.255.255
    if (kind == VrnValueKind::Address && (w == 0 || w == 0xFFFFFFFFu || multicast))
        throw Refused{"Bad " + option + " " + text +
                      " (the address of one host expected, not 0.0.0.0, a broadcast or a multicast address)"};
    return w;
}

struct Date {
    std::uint32_t day, month, year;
};

Date date_value(const std::string& option, const std::string& text) {
    auto digits = [&](std::size_t at, std::size_t n) {
        std::uint32_t v = 0;
        for (std::size_t i = at; i < at + n; ++i) v = v * 10 + static_cast<std::uint32_t>(text[i] - '0');
        return v;
    };
    bool shape = text.size() == 10 && text[4] == '-' && text[7] == '-';
    for (std::size_t i = 0; shape && i < text.size(); ++i)
        shape = i == 4 || i == 7 || (text[i] >= '0' && text[i] <= '9');
    Date d{};
    if (shape) d = {digits(8, 2), digits(5, 2), digits(0, 4)};
    static const std::uint32_t kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = d.year % 4 == 0 && (d.year % 100 != 0 || d.year % 400 == 0);
    bool valid = shape && d.year >= 1 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
                 d.day <= kDays[d.month - 1] && (d.month != 2 || d.day <= 28 || leap);
    if (!valid) throw Refused{"Bad " + option + " " + text + " (a date YYYY-MM-DD expected)"};
    return d;
}

void set_word(std::uint8_t* record, const VrnRecordLayout& layout, const char* field, std::uint32_t value) {
    store_word_be(record + field_named(layout, field).offset, value);
}

void apply(std::uint8_t* r, const VrnRecordLayout& layout, const VrnFieldRule& o, const std::string& text,
           const std::string& name) {
    switch (o.kind) {
    case VrnValueKind::Hex: set_word(r, layout, o.field, hex_word(name, text)); break;
    case VrnValueKind::Decimal: set_word(r, layout, o.field, decimal_word(name, text, o.min, o.max, o.why)); break;
    case VrnValueKind::Dotted:
    case VrnValueKind::Address:
    case VrnValueKind::Mask: set_word(r, layout, o.field, address_word(name, text, o.kind)); break;
    case VrnValueKind::Date: {
        Date d = date_value(name, text);
        set_word(r, layout, "DAY", d.day);
        set_word(r, layout, "MON", d.month);
        set_word(r, layout, "YEAR", d.year);
        break;
    }
    case VrnValueKind::Comment: {
        // The field ends in a NUL, and every byte after the text is one.
        if (text.size() >= static_cast<std::size_t>(VRN_COMMENT_BYTES))
            throw Refused{name + " is " + std::to_string(text.size()) + " characters long; the field holds " +
                          std::to_string(VRN_COMMENT_BYTES - 1) + " and a NUL"};
        // vrnstat prints the comment as it is: a control character would act
        // on the terminal (a line feed, an escape sequence).
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c == 0x7F) {
                char code[8];
                std::snprintf(code, sizeof code, "0x%02X", c);
                throw Refused{name + " holds a control character (" + code + " at character " +
                              std::to_string(i + 1) + ")"};
            }
        }
        std::uint8_t* at = r + field_named(layout, o.field).offset;
        std::fill_n(at, VRN_COMMENT_BYTES, std::uint8_t{0});
        std::copy(text.begin(), text.end(), at);
        break;
    }
    }
}

}  // namespace

const VrnFieldRules VRN_NETCFG_RULES = {&VRN_NETCFG_LAYOUT, kNetcfgRules,
                                        static_cast<int>(sizeof kNetcfgRules / sizeof kNetcfgRules[0])};
const VrnFieldRules VRN_ICR_RULES = {&VRN_ICR_LAYOUT, kIcrRules, static_cast<int>(sizeof kIcrRules / sizeof kIcrRules[0])};

const VrnFieldRules& vrn_field_rules(const VrnRecordLayout& layout) {
    return &layout == &VRN_ICR_LAYOUT ? VRN_ICR_RULES : VRN_NETCFG_RULES;
}

bool vrn_set_field(std::uint8_t* record, const VrnRecordLayout& layout, const VrnFieldRule& rule,
                   const std::string& text, const std::string& name, std::string* error) {
    try {
        apply(record, layout, rule, text, name);
        return true;
    } catch (const Refused& r) {
        *error = r.why;
        return false;
    }
}

bool vrn_check_subnet(const std::uint8_t* record, const VrnRecordLayout& layout, bool force, std::string* error,
                      std::string* warning) {
    try {
        auto word = [&](const char* field) { return load_word_be(record + field_named(layout, field).offset); };
        const std::uint32_t ip = word("IP"), mask = word("MASK"), gate = word("GATE"), host_bits = ~mask;
        // A subnet of two addresses (a /31 mask) has no broadcast address.
        for (const char* field : {"IP", "GATE"}) {
            if (host_bits > 1 && (word(field) & host_bits) == host_bits)
                throw Refused{std::string(field) + " " + vrn_ip_text(word(field)) +
                              " is the broadcast address of its subnet (MASK " + vrn_ip_text(mask) + ")"};
        }
        warning->clear();
        auto note = [&](const std::string& text) { *warning += (warning->empty() ? "" : "; ") + text; };
        // What a module can never use, unless the user insists.
        auto unusable = [&](const std::string& text) {
            if (!force) throw Refused{text + " (--force takes it all the same)"};
            note(text);
        };
        for (const char* field : {"IP", "GATE"}) {
            const std::uint32_t w = word(field);
            const std::string named = std::string(field) + " " + vrn_ip_text(w);
            if ((w >> 24) == 127) unusable(named + " is a loopback address");
            else if ((w >> 28) == 0xF) unusable(named + " is a reserved address (240.0.0.0 and above)");
            else if (host_bits > 1 && (w & host_bits) == 0 && (w & mask) == (ip & mask))
                unusable(named + " is the network address of its subnet (MASK " + vrn_ip_text(mask) + ")");
        }
        if (gate == ip) unusable("GATE " + vrn_ip_text(gate) + " is the module's own IP");
        if ((ip & mask) != (gate & mask))
            note("GATE " + vrn_ip_text(gate) + " is outside the subnet of IP " + vrn_ip_text(ip) + " (MASK " +
                 vrn_ip_text(mask) + ")");
        return true;
    } catch (const Refused& r) {
        *error = r.why;
        return false;
    }
}
