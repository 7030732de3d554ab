// The fields of the flash records as a user gives them, for vrnrec's
// options and the Python binding's record objects: each field's kind of
// value and range, and the check that refuses a bad value with the reason
// vrnrec prints.
#pragma once

#include <cstdint>
#include <string>

#include "info_records.h"

// Address: one host's (not 0.0.0.0, a broadcast or a multicast address);
// Dotted: any dotted address, stored as it is; Mask: ones, then zeros.
enum class VrnValueKind { Hex, Decimal, Address, Mask, Date, Comment, Dotted };

struct VrnFieldRule {
    const char* option;  // vrnrec's option, "--ip"
    const char* field;   // the field it sets (Date: DAY, then MON and YEAR)
    VrnValueKind kind;
    const char* help;
    long min, max;       // Decimal only
    const char* why = nullptr;  // Decimal: said after the range of a value outside it
};

struct VrnFieldRules {
    const VrnRecordLayout* layout;
    const VrnFieldRule* rules;
    int count;
};

extern const VrnFieldRules VRN_NETCFG_RULES;
extern const VrnFieldRules VRN_ICR_RULES;

// The rules of a layout (VRN_NETCFG_LAYOUT or VRN_ICR_LAYOUT).
const VrnFieldRules& vrn_field_rules(const VrnRecordLayout& layout);

// Sets the field (or, for a date, the fields) of `rule` in record, whose
// words are big-endian as in the flash, from text as vrnrec's option takes
// it; a new comment fills the rest of its field with NUL bytes. true, or
// false with *error saying why, the value named `name` ("Bad <name> <text>
// (dotted IPv4 address expected)").
bool vrn_set_field(std::uint8_t* record, const VrnRecordLayout& layout, const VrnFieldRule& rule,
                   const std::string& text, const std::string& name, std::string* error);

// The NetCfg record's IP and GATE against its subnet, once every field is
// set: neither may be the broadcast address of the subnet (false, with
// *error); a gateway outside the subnet is allowed (the module may know
// better) but *warning names it (else it is empty). Nor may either be an
// address no module can use: a loopback (127.x) or reserved (240.x and
// above) one, or the subnet's own network address; nor GATE the IP itself.
// Those are refused unless force, which makes them warnings.
bool vrn_check_subnet(const std::uint8_t* record, const VrnRecordLayout& layout, bool force, std::string* error,
                      std::string* warning);
