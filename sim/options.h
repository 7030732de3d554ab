// The command line of vrnsim, parsed into a ModuleConfig.
#pragma once

#include <string>
#include <vector>

#include "module_types.h"

namespace vrnsim {

struct Options {
    ModuleConfig config;
    bool help = false;
    bool version = false;
};

// Parses argv[1..]; false with a message (without the "### ERROR: " head)
// for anything it does not accept.
bool parse_options(const std::vector<std::string>& args, Options* out, std::string* error);
const char* usage_text();

}  // namespace vrnsim
