// Opening the connection to the module the way every program does: the
// connecting line on standard output, and when the open fails one line on
// standard error saying why, so that a user is not left guessing.
#pragma once

#include "link/link_health.h"

// How a program's connection exchanges: the wait of each answer
// (vrn_set_wait) and the reads a run keeps in flight (vrn_set_in_flight).
struct VrnLinkSettings {
    int wait = VRN_WAIT_DEFAULT;
    int in_flight = 1;
};

// Opens address (as made by vrn_join_address_args) with state of its own
// (vrn_open_own), with or without the echo probe, and applies the link
// settings, printing nothing: the handle, or -1 (vrn_connect_failure_text
// says why).
int vrn_open_module(const char* address, bool echo_probe, VrnLinkSettings link = {});

// Prints "\nConnecting to server <ip> : <port> \n" (unless announce is
// false: output meant for scripts), then vrn_open_module; the handle, or
// -1 after the line on standard error.
int vrn_connect(const char* ip, const char* port, const char* address, bool echo_probe, VrnLinkSettings link = {},
                bool announce = true);
