// The network scan: the endpoint's echo probe sent from one socket to the
// command port of many addresses at a bounded rate, with one resend, and
// the answers matched to the addresses by their source.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// How long an address has to answer a probe before its resend, and the
// scan after its last send. A module on a local network answers within a
// millisecond; --wait sets another.
constexpr long VRN_SCAN_WAIT_MS = 500;
// Probes per second, first sends and resends together: a /24 in a quarter
// of a second, without a burst that a switch or a slow module would drop.
constexpr long VRN_SCAN_RATE = 1000;

struct VrnScanSettings {
    std::uint16_t base_port;  // the modules' base port; probes go to base+1
    long wait_ms;
    long rate;                // probes per second
    bool progress;            // a progress line on standard error
};

struct VrnScanAnswer {
    std::uint32_t ip;  // host byte order
    bool module;       // echoed the probe exactly; otherwise it answered something else
    double rtt_ms;     // from the last probe sent to it before its answer
};

struct VrnScanResult {
    std::vector<VrnScanAnswer> answers;  // by address
    std::size_t probed;                  // addresses
    long send_failures;                  // probes the socket refused (no route, ...)
    int send_error;                      // the WinSock number of the last refusal
    long strangers;                      // datagrams from addresses not probed, ignored
};

// Probes every address of targets (host byte order, sorted, each once).
// 0; or -1 with *error when the socket could not be made.
int vrn_scan_probe(const std::vector<std::uint32_t>& targets, const VrnScanSettings& settings,
                   VrnScanResult* result, std::string* error);
