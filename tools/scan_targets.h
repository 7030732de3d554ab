// The addresses vrnscan probes and vrnprog writes: single IPv4 addresses,
// ranges and CIDR blocks of at most a /16, gathered into one sorted list
// without repeats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "program_args.h"  // vrn_ip_text, for the addresses listed

// A /16: the most addresses one target, and one scan, may hold.
constexpr std::size_t VRN_SCAN_MAX_ADDRESSES = 65536;

// The addresses (host byte order) of all targets, sorted, each once:
// "a.b.c.d", "a.b.c.d-e" (the last part from d to e), "a.b.c.d-e.f.g.h",
// or "a.b.c.d/n" with n from 16 to 32 (without the network and broadcast
// address up to a /30). "" on success, else why the targets are refused.
std::string vrn_scan_targets(const std::vector<std::string>& texts, std::vector<std::uint32_t>* out);

// The most modules a program serves at once (--jobs of vrnscan and vrnprog).
constexpr int VRN_JOBS_MAX = 64;
// --jobs N: N when it is 1..VRN_JOBS_MAX in decimal digits; otherwise the
// error line on standard output and -1.
int vrn_jobs_value(const char* text);
