// UDP endpoint: four sockets aimed at the module's base port and the three
// above it, the process-wide peer table, and exact-count send and receive.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

constexpr int UDP_FIXED_SOCKETS = 4;
constexpr int UDP_CHAN_SOCKETS = 16;
constexpr int UDP_MAX_PAYLOAD = 1460;
constexpr int UDP_ADDRESS_BUFFER = 64;      // working copy of "IP:port", terminator included
constexpr int UDP_RCVBUF_BYTES = 1048576;
constexpr long UDP_WAIT_SECONDS = 4;        // every wait of send-all and receive-all
constexpr long UDP_MAKE_WAIT_SECONDS = 5;   // writability wait when a socket is made
constexpr int UDP_ERROR_COUNTER_LIMIT = 5000;

// The echo probe: a module sends these 16 bytes (the four words, each
// little-endian) back unchanged from its command port, and changes nothing.
// The info program's open sends it, and so does the network scan.
constexpr std::uint32_t UDP_PROBE_PATTERN[4] = {0x13572468u, 0xaabbccddu, 0xeeff0011u, 0x00ff33aau};
constexpr int UDP_PROBE_BYTES = 16;
constexpr int UDP_PROBE_ATTEMPTS = 2;  // the first send and one resend
// The probe datagram into buf (UDP_PROBE_BYTES).
void udp_probe_datagram(unsigned char* buf);

struct PeerEntry {
    vrn_socket socket;
    VrnSockAddr peer;         // where the socket sends; follows the module's replies
    std::uint32_t module_ip;  // network order; the only source address accepted
};

// Replaced sockets are held open a while before they are closed: as long
// as the port is ours, the system cannot hand it to another socket (of this
// process or another) that would then take the late answers meant for it.
constexpr int UDP_RETIRED_SOCKETS = 256;
constexpr std::uint32_t UDP_RETIRED_HOLD_MS = 10000;
// Sockets a command socket takes turns with (udp_rotate_socket).
constexpr int UDP_SPARE_SOCKETS = 8;
// Sockets of the requests kept in flight at once (link_exchange_window).
constexpr int UDP_FLIGHT_SOCKETS = 32;

struct UdpEndpoint {
    char ip_text[UDP_ADDRESS_BUFFER];
    std::uint16_t base_port;
    std::uint16_t next_port;
    vrn_socket fixed_sock[UDP_FIXED_SOCKETS];
    vrn_socket stream_sock;
    vrn_socket chan_sock[UDP_CHAN_SOCKETS];
    // Replaced sockets still held, oldest first from retired_next, and when
    // each was replaced; VRN_NO_SOCKET where none.
    vrn_socket retired[UDP_RETIRED_SOCKETS];
    std::uint32_t retired_ms[UDP_RETIRED_SOCKETS];
    int retired_next;
    // Sockets that take turns with the command socket, made when first
    // needed; VRN_NO_SOCKET where not yet.
    vrn_socket spare[UDP_SPARE_SOCKETS];
    int spare_next;
    int held;  // sockets in retired: none, and there is nothing to look at
    // Each sends to the command port from a port of its own, made when
    // first needed; VRN_NO_SOCKET where not yet.
    vrn_socket flight[UDP_FLIGHT_SOCKETS];
    // The peer entries of this endpoint's sockets and its count of failed
    // receives: the process-wide table and counter for udp_ep_open's
    // endpoints, the endpoint's own for udp_ep_open_own's, which no other
    // endpoint's open, close or replaced socket can reach.
    PeerEntry* peers;
    int* error_counter;
    PeerEntry own_peers[UDP_FIXED_SOCKETS];
    int own_error_counter;
};

extern PeerEntry g_peer_table[UDP_FIXED_SOCKETS];
extern int g_udp_error_counter;
// Where receive-all prints its "ERROR COUNTER" line: standard output
// (nullptr, the default), or another stream for programs whose standard
// output is meant for scripts.
void udp_set_error_counter_output(std::FILE* out);

// What a receive discarded on its way to the answer, for the caller's
// link health: each may have been, or stood in for, the module's answer.
struct UdpRecvNotes {
    unsigned strangers;  // datagrams from another address
    unsigned oversized;  // datagrams longer than the bytes still awaited
};

// The info program opens with an echo probe, the writer without; the
// program entry chooses before vrn_open. Off unless set.
void udp_set_echo_probe(int enabled);
int udp_echo_probe_enabled();

UdpEndpoint* udp_ep_open(const char* address, int options);  // nullptr on failure
// udp_ep_open with peer entries and an error counter of the endpoint's own;
// the process-wide table is left alone. With echo_probe the module must
// echo the probe (whatever udp_set_echo_probe says).
UdpEndpoint* udp_ep_open_own(const char* address, int echo_probe);
// Why the last endpoint or connection open of the calling thread failed,
// one short text for the user ("" until one fails): the address, the
// socket error, or the echo probe left unanswered. Each open starts it
// afresh.
const char* udp_open_failure();
// Records why an open failed; error is a WinSock number, or 0 for none.
void udp_note_open_failure(const char* what, int error);
// A few words for a WinSock error number ("port unreachable", ...).
const char* udp_socket_error_text(int error);
int udp_ep_close(UdpEndpoint* ep);                           // 0; -1 for nullptr
int udp_send_all(vrn_socket s, const void* data, int count, int unused);
int udp_recv_all(vrn_socket s, void* buf, int count, int unused);
// udp_recv_all with each wait wait_ms long instead of the fixed 4 seconds,
// counting into *notes (when given) what it discarded.
int udp_recv_all_noted(vrn_socket s, void* buf, int count, UdpRecvNotes* notes, long wait_ms);
// Send-all and receive-all over the endpoint's own peer entries and error
// counter (those of udp_send_all and udp_recv_all_noted are process-wide).
int udp_ep_send_all(UdpEndpoint* ep, vrn_socket s, const void* data, int count);
int udp_ep_recv_all(UdpEndpoint* ep, vrn_socket s, void* buf, int count, UdpRecvNotes* notes, long wait_ms);
int udp_max_payload(const UdpEndpoint* ep);
// Does nothing and returns 0: the module has no link control on UDP.
int udp_control(int a, int b, int c);
vrn_socket udp_make_socket(const char* ip_text, std::uint16_t port);
int udp_peer_find(vrn_socket s);
// The index of the entry of table (UDP_FIXED_SOCKETS of them) holding s, or -1.
int udp_peer_find_in(const PeerEntry* table, vrn_socket s);
// The peer table copied out (UDP_FIXED_SOCKETS entries) and put back: an
// open that fails leaves the table as it found it. Close forgets the
// entries of the sockets it closes; a replaced socket takes only the
// entry its predecessor held.
void udp_peer_save(PeerEntry* saved);
void udp_peer_restore(const PeerEntry* saved);
// Discards every datagram already waiting on the socket; returns how many.
int udp_drain(vrn_socket s);
// Puts a new socket in the place of socket i (0..3) of the endpoint, on a
// local port the system chooses; the peer table entry that held the old
// socket takes the new one and keeps its peer address. The old socket is
// held (UDP_RETIRED_HOLD_MS, at most UDP_RETIRED_SOCKETS of them) and
// never read again: whatever is still on its way to it is never taken. Out
// of descriptors, held sockets are closed, oldest first, until the new one
// can be made. 0, or -1 when no new socket could be made (the old one
// stays in place).
int udp_replace_socket(UdpEndpoint* ep, int i);
// Closes the held sockets that have been held UDP_RETIRED_HOLD_MS; the
// number still held. Each exchange calls it, so that a connection in use
// keeps none longer; an idle one lets them go at its next exchange or its
// close.
int udp_release_held(UdpEndpoint* ep);
// The place among the held sockets of the one udp_replace_socket held last,
// and when it was put there (held_ms, when not null); -1 when it is no
// longer held.
int udp_newest_held(const UdpEndpoint* ep, std::uint32_t* held_ms);
// Reads and drops what waits at the held socket in place `slot`, held
// since held_ms: the number of datagrams, or -1 when that socket is no
// longer held (let go, and the place perhaps another's).
int udp_drain_held(UdpEndpoint* ep, int slot, std::uint32_t held_ms);
// Swaps socket i (0..3) of the endpoint with the next of its spare sockets
// (made when first needed), the peer table entry following: consecutive
// calls give UDP_SPARE_SOCKETS + 1 ports in turn, so that whatever comes
// late to one port waits there, drained before that port sends again.
// 0, or -1 when no spare could be made (nothing changes).
int udp_rotate_socket(UdpEndpoint* ep, int i);
// Requests in flight at once, each from flight socket k (0..31) of the
// endpoint: the module answers each request at its source, so an answer is
// matched to its request by the port it comes to, without a sequence
// number. They send where the command socket (socket 1) sends, and take
// only the module's datagrams.
//
// Flight socket k, made when first needed; VRN_NO_SOCKET when none can be.
vrn_socket udp_flight_socket(UdpEndpoint* ep, int k);
// Sends the request from flight socket k: 0, or -1.
int udp_flight_send(UdpEndpoint* ep, int k, const void* data, int count);
// The next datagram waiting at flight socket k, without waiting: its
// length (at most size bytes are kept; a longer one gives size + 1), 0 when
// none waits, -1 when the receive failed. Datagrams from another address
// are dropped, counted in notes->strangers.
int udp_flight_take(UdpEndpoint* ep, int k, void* buf, int size, UdpRecvNotes* notes);
// Puts a new socket in place k; the old one is held as a replaced command
// socket is, so that what is still on its way to it is never taken. 0, or
// -1 when no new socket could be made (the place is left empty).
int udp_flight_replace(UdpEndpoint* ep, int k);

// True when a datagram from this source may be taken as the module's.
int udp_source_accepted(int peer_index, const VrnSockAddr* from);

// --- the link layer's own waits ---------------------------------------------

// A wait that ends budget_ms after start on the tick clock.
struct UdpDeadline {
    std::uint32_t start;
    long budget_ms;
};
UdpDeadline udp_deadline(long budget_ms);  // from now
long udp_ms_left(const UdpDeadline& d);
// plat_wait_readable with a wait given in milliseconds.
int udp_wait_readable_ms(vrn_socket s, long ms);

// One wait for the module's next datagram on a socket of the peer table.
struct UdpModuleWait {
    vrn_socket socket;
    const PeerEntry* table;   // the peer table the socket's entry is in
    int peer;                 // the socket's entry
    UdpDeadline deadline;
    unsigned stranger_limit;  // past this many strangers the wait counts as run out
    unsigned* strangers;      // counts the datagrams dropped from other addresses
    bool waited;              // a wait has run: the next needs time left
};
UdpModuleWait udp_module_wait(vrn_socket s, int peer, long budget_ms, unsigned* strangers,
                              unsigned stranger_limit = ~0u, const PeerEntry* table = g_peer_table);
// Takes the next datagram into buf (at most len bytes) as recvfrom does,
// waiting for it first when `wait` is set, until the deadline. A datagram
// from any address but the module's, an oversized one included, is dropped
// and the wait goes on: it does not start again. The first wait of a
// deadline runs even when no time is left (a zero wait polls once); later
// ones end the receive when the deadline has passed. Returns the size of
// the module's datagram, its source in *from; or -1 with the socket error
// in *err, 10035 (would-block) when the wait ran out.
int udp_recv_from_module(UdpModuleWait* w, void* buf, int len, bool wait, VrnSockAddr* from, int* err);
