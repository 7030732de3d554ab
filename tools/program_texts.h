// The texts every program words alike, vrnsim included: its --version line
// and its refusal of an option it does not know.
#pragma once

#include <string>

#include "vrn_version.h"

// "NAME VERSION", the one line of `NAME --version`.
inline std::string vrn_version_line(const std::string& program) { return program + " " + VRN_VERSION; }

// An option the program does not know, for its "### ERROR: " line.
inline std::string vrn_unknown_option_text(const std::string& program, const std::string& option) {
    return "Unknown option " + option + " (" + program + " --help lists them)";
}
