// The fields of the flash records as a user gives them, for vrnrec's
// options and the Python binding's record objects: each field's kind of
// value and range, and the check that refuses a bad value with the reason
// vrnrec prints.
#pragma once

#include <cstdint>
#include <string>

#include "info_records.h"

enum class VrnValueKind { Hex, Decimal, Address, Mask, Date, Comment };

struct VrnFieldRule {
    const char* option;  // vrnrec's option, "--ip"
    const char* field;   // the field it sets (Date: DAY, then MON and YEAR)
    VrnValueKind kind;
    const char* help;
    long min, max;       // Decimal only
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
