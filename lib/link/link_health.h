// The health of each connection's link: what went wrong on it and how long
// its answers take. One record per connection handle, reset when the
// handle is opened; the exchange, the flash driver and the recovery layer
// above them all read and write this one record.
#pragma once

#include <cstdint>

#include "link/connection_table.h"

struct LinkHealth {
    // Trouble: each of these may mean an answer that is still on its way and
    // will be taken for the answer to a later request (acknowledges carry
    // no sequence number).
    unsigned unanswered;       // exchange attempts whose wait ran out
    unsigned failed_receives;  // receives that failed with a socket error
    unsigned bad_acks;         // whole acknowledges that failed the check
    unsigned stale;            // datagrams found waiting before a request, or while settling
    unsigned strangers;        // datagrams from another address, discarded
    unsigned oversized;        // datagrams longer than the answer awaited, discarded
    unsigned failed_writes;    // flash cell writes left without an acknowledge
    unsigned failed_reads;     // flash cell reads left without an answer

    unsigned exchanges;        // exchanges run
    unsigned silent_attempts;  // attempts in a row without a whole answer; 0 after any answer
    std::uint32_t rtt_max_ms;  // longest round trip of an answered attempt
    int settle_pending;        // the last exchange failed: settle before the next request
};

extern LinkHealth g_link_health[VRN_MAX_CONNECTIONS];

// The record of a handle 0..15, or nullptr.
LinkHealth* link_health(int handle);
void link_health_reset(int handle);

// All trouble counted so far; a caller compares two readings to learn
// whether an operation ran into any.
unsigned link_trouble(const LinkHealth* h);
// Whether the connection has shown any trouble since it was opened.
int link_troubled(int handle);

// How long to wait for stragglers after a failed exchange: long enough
// for the answers of a slow module, short for a fast one.
constexpr std::uint32_t LINK_SETTLE_MIN_MS = 20;
constexpr std::uint32_t LINK_SETTLE_MAX_MS = 1000;
std::uint32_t link_settle_ms(const LinkHealth* h);
