// Opening the connection to the module the way every program does.
#include "connect.h"

#include <cstdio>

#include "failure_texts.h"
#include "vrn.h"

int vrn_open_module(const char* address, bool echo_probe, VrnLinkSettings link) {
    // State of its own: a program that serves several modules at once, or a
    // script that holds several, never has one reach another's sockets or chip.
    int handle = vrn_open_own(address, echo_probe ? VRN_OPEN_ECHO_PROBE : 0);
    if (handle != -1) {
        vrn_set_wait(handle, link.wait);
        vrn_set_in_flight(handle, link.in_flight);
    }
    return handle;
}

int vrn_connect(const char* ip, const char* port, const char* address, bool echo_probe, VrnLinkSettings link,
                bool announce) {
    if (announce) std::printf("\nConnecting to server %s : %s \n", ip, port);
    int handle = vrn_open_module(address, echo_probe, link);
    if (handle == -1) {
        // Standard output keeps the connecting line alone, as it always has.
        std::fflush(stdout);
        std::fprintf(stderr, "### ERROR: %s\n", vrn_connect_failure_text(address).c_str());
    }
    return handle;
}
