// The process-wide table of 16 connections, each an endpoint, a command
// mutex and 16 channel slots.
#pragma once

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
};

extern ConnEntry g_conn_table[VRN_MAX_CONNECTIONS];

int vrn_open(const char* address, int options);
int vrn_close(int handle);
int conn_lookup(int handle);
// udp_release_held on every open connection, each under its mutex: for a
// caller that can look in now and then while no connection is in use (a
// connection lets its held sockets go at its next exchange, which an idle
// one never comes to). The sockets still held over all connections.
int conn_release_held();
int find_free_slot(ChannelSlot* slots, int count);
void reset_slot(ChannelSlot* slot);
int reset_slots(ChannelSlot* slots, int count);
