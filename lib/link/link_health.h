// The health of each connection's link: what went wrong on it, how long
// its answers take and how long each attempt waits for one. One record per
// connection handle, reset when the handle is opened; the exchange, the
// flash driver and the recovery layer above them all read and write this
// one record.
#pragma once

#include <cstdint>

#include "link/connection_table.h"

// The wait of a connection's exchanges (vrn_set_wait): the endpoint's fixed
// wait unless set, a fixed number of milliseconds, or derived from the
// round trips measured on the connection.
constexpr int VRN_WAIT_DEFAULT = 0;
constexpr int VRN_WAIT_AUTO = -1;
constexpr int VRN_WAIT_MAX_MS = static_cast<int>(UDP_WAIT_SECONDS * 1000);

// The adaptive wait, in the manner of TCP's retransmission timer: the
// smoothed round trip plus four times its variation (and at least three
// times the round trip), at least the floor, doubled after each wait in a row
// that ran out, never above the endpoint's own wait. Before the first
// answer it is the initial wait: the endpoint's own, as without a wait set,
// so that a module slower than a second is not asked twice for the first
// answer (1 s cost such a module a second identification, and the run
// more time and datagrams than the default wait).
//
// Until the connection's first lost answer it is at least
// LINK_RTO_BEFORE_LOSS_MS: a shorter wait gains nothing yet, and on a busy
// machine it runs out on answers that are only late (the module or this
// process waiting for a core), each costing a repeat or, after a write, a
// check of the chip. Answers that come after the adaptive wait would have
// ended set its floor: twice their lateness (link_timer_late). Measured on
// a clean link beside 12 and 40 busy processes on 2 cores: answers up to
// 17 and 41 ms late; the first lost answer costs this wait once.
constexpr std::uint32_t LINK_RTO_INITIAL_MS = static_cast<std::uint32_t>(UDP_WAIT_SECONDS * 1000);
constexpr std::uint32_t LINK_RTO_FLOOR_MS = 5;
constexpr std::uint32_t LINK_RTO_BEFORE_LOSS_MS = 250;
constexpr std::uint32_t LINK_RTO_GRANULARITY_MS = 1;  // of the tick clock the round trips are measured on

struct LinkTimer {
    int wait;                // VRN_WAIT_DEFAULT, VRN_WAIT_AUTO or a fixed wait in ms
    int samples;             // round trips measured
    std::uint32_t srtt_us;   // smoothed round trip
    std::uint32_t rttvar_us; // its variation
    std::uint32_t backoff;   // waits in a row that ran out, each doubling the next
    std::uint32_t patience;  // further doublings while a step is repeated (link_timer_patience)
    // Learnt from late answers (link_timer_late): the adaptive wait is
    // never below it.
    std::uint32_t late_floor_ms;
};

// Attempts whose wait ran out, while their answers may still come to the
// ports they were sent from, held a while after their replacement. A few
// at once: a burst of late answers can outlast several waits.
struct LateWatch {
    int watching;
    int held_slot;             // the port's place among the endpoint's held sockets
    std::uint32_t held_ms;     // when it was put there: the place is still its own
    std::uint32_t sent_ms;     // when the attempt was sent
};
constexpr int LINK_LATE_WATCHES = 8;

struct LinkHealth {
    // Trouble: each of these may mean an answer that is still on its way
    // (acknowledges carry no sequence number).
    unsigned unanswered;       // exchange attempts whose wait ran out
    unsigned failed_receives;  // receives that failed with a socket error
    unsigned bad_acks;         // whole acknowledges that failed the check
    unsigned stale;            // datagrams found waiting before a request
    unsigned strangers;        // datagrams from another address, discarded
    unsigned oversized;        // datagrams longer than the answer awaited, discarded
    unsigned failed_writes;    // flash cell writes left without an acknowledge
    unsigned failed_reads;     // flash cell reads left without an answer

    unsigned exchanges;        // exchanges run
    unsigned attempts;         // their attempts: each a request sent
    unsigned answers;          // whole answers taken
    unsigned silent_attempts;  // attempts in a row without a whole answer; 0 after any answer
    unsigned ports_replaced;   // command sockets replaced after trouble
    unsigned ports_kept;       // replacements that failed: the old port may still get late answers
    unsigned copies_dropped;   // datagrams found at a port taking its turn again, dropped: no trouble
    int port_unused;           // the command socket was just replaced: nothing sent on it yet
    std::uint32_t silent_since_ms;  // when the first of the silent attempts in a row was sent
    int gone;                  // the module counts as gone (LINK_SILENCE_MS)
    // Set by the recovery layer: once the module counts as gone, exchanges
    // fail at once without sending, so that a run ends instead of waiting
    // out every remaining step. The plain commands keep their own repeats.
    int stop_when_gone;
    int given_up;              // the recovery layer repeats nothing any more
    // Where the run's budget starts (vrn_recover_begin): the lost attempts
    // and the attempts before the operation under way.
    unsigned lost_before;
    unsigned attempts_before;
    // Set by the recovery layer for the next exchange: it sends from a port
    // that never sent, so that no answer to an earlier request, late or a
    // copy, can reach its wait. Cleared by that exchange.
    int fresh_port_next;
    // Reads that such an exchange proved wrong: an answer to another
    // request stood in for the cell's own without a sign on the wire.
    unsigned strays;
    // Duplicated answers have been seen: consecutive exchanges take turns
    // over several ports (udp_rotate_socket), so that no copy can reach the
    // wait of a later request. (With 20% of the answers duplicated, NetCfg
    // runs failed 7 and 8 times in 12 without it, never with it.)
    int port_per_exchange;
    // Answers that came after the adaptive wait had ended, or would have:
    // no trouble, the answers were only slow.
    unsigned late_answers;
    LateWatch late[LINK_LATE_WATCHES];
    int late_next;  // the place of the next watch
    LinkTimer timer;
    // Requests a run of reads keeps in flight at most (vrn_set_in_flight;
    // 0 or 1: one at a time), and how many it may now: halved after a lost
    // answer, grown by one after a window's worth of answers.
    int in_flight;
    int flight_window;
    int flight_answered;
    // The verify reads an AMD program took last, sent together next time.
    int poll_burst;
};

// Silence after which the module counts as gone: this long from the first
// of a run of attempts without an answer (six of the endpoint's 4-second
// waits), whatever the wait of each attempt.
constexpr std::uint32_t LINK_SILENCE_MS = 24000;

extern LinkHealth g_link_health[VRN_MAX_CONNECTIONS];

// The record of a handle 0..15 or of an own handle, or nullptr.
LinkHealth* link_health(int handle);
void link_health_reset(int handle);

// All trouble counted so far; a caller compares two readings to learn
// whether an operation ran into any.
unsigned link_trouble(const LinkHealth* h);
// Whether an answer may have stood in for another's on this connection:
// a datagram that was not the awaited answer has reached it (stale, from a
// stranger, oversized, or a bad acknowledge), a read was proved to have
// taken another's answer (strays), or a command socket could not be
// replaced after trouble. A lost answer alone is no such sign: its
// late arrival, if any, finds its port closed. The recovery layer's
// precautions (two agreeing passes and the like) follow from this.
int link_troubled(int handle);
// Attempts lost: unanswered, or failed by the socket.
unsigned link_lost(const LinkHealth* h);
// Milliseconds since the first of the attempts in a row that went without
// a whole answer was sent; 0 when the last attempt was answered.
std::uint32_t link_silence_ms(const LinkHealth* h);
// Marks the module gone once the silence has lasted its limit; whether it is.
int link_check_gone(LinkHealth* h);

// Sets how long each attempt on the connection waits for its answer:
// VRN_WAIT_DEFAULT (the endpoint's 4 s), VRN_WAIT_AUTO, or 1 to
// VRN_WAIT_MAX_MS, doubled after each wait in a row that ran out (never
// above VRN_WAIT_MAX_MS). The round trips measured so far are kept. 0, or
// -1 for a handle that is not open or a wait out of range.
int vrn_set_wait(int handle, int wait);

// Sets how many requests a run of reads keeps in flight at most: 1 (one
// exchange at a time, the default) to VRN_MAX_IN_FLIGHT. 0, or -1 for a
// handle that is not open or a count out of range.
constexpr int VRN_MAX_IN_FLIGHT = UDP_FLIGHT_SOCKETS;
int vrn_set_in_flight(int handle, int count);
// The count set, 1 when none was.
int vrn_in_flight(int handle);

// The wait of the next attempt, in milliseconds.
long link_wait_ms(const LinkHealth* h);
// An attempt's whole answer came rtt_ms after its request.
void link_timer_answered(LinkHealth* h, std::uint32_t rtt_ms);
// An attempt's wait ran out.
void link_timer_ran_out(LinkHealth* h);
// An answer came late_ms after its request, later than the adaptive wait
// allowed (or, before the first lost answer, would have). Late answers
// come in bursts on a busy machine: the adaptive wait keeps at least twice
// the lateness seen, so that later bursts find it long enough.
void link_timer_late(LinkHealth* h, std::uint32_t late_ms);
// Doubles the adaptive wait this many more times, until set back to 0: for
// a step repeated because its answers were lost. An answer that takes
// longer every time than the others (the module acknowledges an erase
// command once the erase has begun) would otherwise be lost on every
// repeat, since each answer in between brings the wait back down.
// Returns the patience it replaces.
std::uint32_t link_timer_patience(LinkHealth* h, std::uint32_t doublings);
