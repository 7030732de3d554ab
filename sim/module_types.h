// What the module model and the servers that run it share: its
// configuration, the faults it injects on the wire, the events it logs,
// the socket indices it answers from, and a datagram it sends.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "flash_chip.h"
#include "platform/platform.h"
#include "wire.h"

namespace vrnsim {

// Faults injected on the wire; rates are 0..1 per datagram, counts are
// "the next N" (-1 = unlimited). Seeded, so runs are reproducible.
struct WireFaults {
    std::uint32_t seed = 1;
    double drop_request = 0, drop_ack = 0, duplicate_ack = 0, delay_ack = 0, split_ack = 0,
           corrupt_magic = 0, other_port = 0;
    int delay_ms = 5000;  // how late a delayed acknowledge comes
    int jitter_ms = 0;    // every acknowledge comes a further 0..jitter_ms late, drawn per acknowledge
    // The copy of a duplicated acknowledge trails the original by
    // dup_min_ms..dup_max_ms, drawn per copy (both 0: they leave together).
    int dup_min_ms = 0, dup_max_ms = 0;
    double foreign_address = 0;  // answer from another loopback address (127.0.0.2, or .3)
    // A request served hold_ms after it came, those that come meanwhile
    // first: the module takes requests out of the order they were sent.
    double hold_request = 0;
    int hold_ms = 5;
    // A request that arrives twice (a network that duplicates datagrams),
    // the copy dup_request_min_ms..dup_request_max_ms after the original.
    double duplicate_request = 0;
    int dup_request_min_ms = 0, dup_request_max_ms = 0;
    int faults_after = 0;        // command datagrams served cleanly before faults begin
    long fault_limit = -1;       // faults injected in all before they stop (-1 = no limit)
    // An outage: every command datagram that arrives from outage_from_ms to
    // outage_to_ms after the first one is dropped (-1: none). Counted as
    // dropped requests, outside the rates' bounds.
    long outage_from_ms = -1, outage_to_ms = -1;
};

// How many faults of each kind were injected.
struct FaultCounts {
    std::uint64_t drop_request = 0, drop_ack = 0, duplicate_ack = 0, delay_ack = 0, split_ack = 0,
                  corrupt_magic = 0, other_port = 0, foreign_address = 0, hold_request = 0,
                  duplicate_request = 0;
};

// Sockets a reply can leave from besides the four module ports.
constexpr int kOtherPort = 4;       // same address, another port
constexpr int kForeignAddress = 5;  // another loopback address
constexpr int kServerSockets = 6;

struct ModuleConfig {
    std::string address = "127.0.0.1";  // a loopback address
    std::uint16_t base_port = 3011;
    ChipConfig chip;
    std::string flash_file;              // empty: contents in memory only
    std::vector<std::uint32_t> dfa;      // space 0 from address 0 (empty: defaults for the chip width)
    std::vector<std::uint32_t> vrbus;    // space 2 from 0x80000000, step 2 (empty: defaults)
    int bridge_grant_after = 1;          // status reads before BRIDGE_REQ shows
    int bridge_done_after = 1;           // status reads before BRIDGE_DONE shows
    bool bridge_never_grants = false;
    int answer_delay_ms = 0;             // every answer leaves this late: a slow module
    long latency_us = 0;                 // and this much later still: a network's delay
    // A small network stack: one request served every service_us, at most
    // queue_depth held (0: no bound and no service time); one more is lost.
    int queue_depth = 0;
    long service_us = 200;
    WireFaults faults;
    bool trace = false;                  // one decoded line per datagram to stderr
    // Where trace lines go instead of stderr (tests); used when set, with or without `trace`.
    std::function<void(const std::string&)> trace_sink;
    bool keep_logs = true;               // record BusEvent/RegEvent logs (off in the long-running program)
    bool factory_icr = true;             // a new flash gets the factory ICR record in sector 1
    std::string pcap_file;               // every datagram of the sockets, both directions (empty: none)
};

// One bus item the module moved, in order, for tests and the trace.
struct BusEvent {
    bool write;
    std::uint32_t address;
    std::uint32_t value;
    bool bridged = false;  // moved by a bridge cycle rather than the direct bus command
};

// One register access the module served (space_mode, sub_space, address).
struct RegEvent {
    bool write;
    std::uint32_t space_mode;
    std::uint32_t sub_space;
    std::uint32_t address;
    std::uint32_t value;
};

// One datagram to send: from socket `from` (0..3 the module ports,
// kOtherPort, kForeignAddress) to `to`, `delay_us` microseconds from now.
struct Outgoing {
    Bytes bytes;
    int from = 1;
    VrnSockAddr to{};
    long delay_us = 0;
};

}  // namespace vrnsim
