// The process-wide table of 16 connections, each an endpoint, a command
// mutex and 16 channel slots; and the connections with state of their own.
#pragma once

#include <csignal>
#include <cstdint>

#include "link/udp_endpoint.h"
#include "platform/platform.h"

constexpr int VRN_MAX_CONNECTIONS = 16;
constexpr int VRN_MAX_SLOTS = 16;
constexpr int VRN_DESCRIPTOR_WORDS = 9;

enum : std::int32_t { SLOT_FREE = 0, SLOT_OPEN = 1, SLOT_STARTED = 2 };

struct ChannelSlot {
    std::int32_t conn;
    vrn_handle lock;
    std::int32_t index;
    std::int32_t state;
    std::int32_t direction;  // 0 read channel, 1 write channel: index into chan_sock
    std::uint32_t descriptor[VRN_DESCRIPTOR_WORDS];
};

struct ConnEntry {
    UdpEndpoint* endpoint;  // nullptr when the entry is free
    vrn_handle mutex;
    vrn_handle event;
    std::int32_t event_value;
    ChannelSlot slots[VRN_MAX_SLOTS];
    std::uint8_t status;
    // Set to stop this connection's recovery operations (vrn_cancel).
    volatile std::sig_atomic_t cancel;
};

extern ConnEntry g_conn_table[VRN_MAX_CONNECTIONS];

int vrn_open(const char* address, int options);
int vrn_close(int handle);
int conn_lookup(int handle);
// The entry of an open handle of either kind (conn_lookup said yes).
ConnEntry* conn_entry(int handle);

// Connections with state of their own. vrn_open_own opens a module as
// vrn_open does, but nothing of the connection is shared: its peer entries
// (no other open, close or replaced socket touches them), its error
// counter, link health (link_health.h) and flash chip record
// (flash_info.h) are its own, so that modules open side by side never
// reach each other's sockets, addresses or chip. Its handle, from
// VRN_OWN_HANDLE_BASE on, goes wherever a connection handle goes; -1 on
// failure (udp_open_failure says why). vrn_close closes it.
//
// Threads: different connections from different threads at once; one
// connection from one thread at a time, or under the caller's lock. Opens
// and closes may run in any thread. Only vrn_open's connections share the
// process-wide tables (the peer table serves the one opened last).
constexpr int VRN_OWN_HANDLE_BASE = 0x10000;
constexpr int VRN_MAX_OWN_CONNECTIONS = 1024;
enum : int { VRN_OPEN_ECHO_PROBE = 1 };  // the module must echo the probe at the open
int vrn_open_own(const char* address, int options);
// Whether handle is one of vrn_open_own's; its place among them.
bool conn_is_own(int handle);
int conn_own_index(int handle);
// Counts the opens of each place of an own handle: a record kept beside the
// connection (the flash chip's) knows by it whether it belongs to this open.
std::uint32_t conn_serial(int handle);
// Stops (on != 0) or lets go on the recovery operations of one connection,
// as g_vrn_cancel does for all of them. 0, or -1 for a handle not open.
int vrn_cancel(int handle, int on);
// udp_release_held on every open connection that is not in use, each under
// its mutex: for a caller that looks in now and then (a connection lets
// its held sockets go at its next exchange, which an idle one never comes
// to). The sockets still held over the connections looked at.
int conn_release_held();
int find_free_slot(ChannelSlot* slots, int count);
void reset_slot(ChannelSlot* slot);
int reset_slots(ChannelSlot* slots, int count);
