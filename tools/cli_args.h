// The command line of the programs built on CLI11 (vrndump, vrnrec), made
// to answer like the older programs: a refused command line is one
// "### ERROR: " line on standard output and a non-zero status, help and
// version go to standard output, and a start without any argument (a
// double click on Windows) shows the help and waits for a key.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "program_args.h"
#include "program_texts.h"
#include "vrn.h"

// What both programs' command lines share, set before any subcommand is
// added (subcommands take their parent's settings): --version, and no
// Windows-style "/option", which would take a file name that starts with '/'.
inline void vrn_cli_setup(CLI::App& app) {
    app.set_version_flag("--version", vrn_version_line(app.get_name()));
    app.allow_windows_style_options(false);
}

// An option that no command of app knows, left over by a parse that
// failed; empty when there is none. Said before anything else the
// command line lacks, in the words of the other programs.
inline std::string vrn_cli_unknown_option(const CLI::App& app) {
    for (const std::string& arg : app.remaining(true))
        if (arg.size() > 1 && arg[0] == '-') return arg;
    return {};
}

// Parses the command line into app. True when the program goes on; false
// when it is to end at once with *status.
inline bool vrn_cli_parse(CLI::App& app, int argc, char** argv, int* status) {
    if (argc < 2) {
        std::cout << app.help() << std::flush;
        plat_wait_key();
        *status = -1;
        return false;
    }
    try {
        app.parse(argc, argv);
        return true;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            app.exit(e, std::cout, std::cout);  // --help or --version
            *status = 0;
        } else if (const std::string option = vrn_cli_unknown_option(app); !option.empty()) {
            std::printf("### ERROR: %s\n", vrn_unknown_option_text(app.get_name(), option).c_str());
            *status = -1;
        } else {
            std::printf("### ERROR: %s (see --help)\n", e.what());
            *status = -1;
        }
        return false;
    }
}
