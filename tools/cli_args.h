// The command line of the programs built on CLI11 (vrndump, vrnrec), made
// to answer like the older programs: a refused command line is one
// "### ERROR: " line on standard output and a non-zero status, help and
// version go to standard output, and a start without any argument (a
// double click on Windows) shows the help and waits for a key.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "program_args.h"
#include "vrn.h"

// What both programs' command lines share, set before any subcommand is
// added (subcommands take their parent's settings): --version, and no
// Windows-style "/option", which would take a file name that starts with '/'.
inline void vrn_cli_setup(CLI::App& app) {
    app.set_version_flag("--version", app.get_name() + " " + VRN_VERSION);
    app.allow_windows_style_options(false);
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
        } else {
            std::printf("### ERROR: %s (see --help)\n", e.what());
            *status = -1;
        }
        return false;
    }
}
