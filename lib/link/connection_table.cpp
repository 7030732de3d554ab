// The process-wide connection table: open, close, lookup and channel slots.
#include "link/connection_table.h"

#include <cstring>

#include "link/link_health.h"

// Static storage starts zeroed: every entry is free (no endpoint) from the
// start of the process.
ConnEntry g_conn_table[VRN_MAX_CONNECTIONS];

int conn_lookup(int handle) {
    if (handle < 0 || handle >= VRN_MAX_CONNECTIONS) return -1;
    return g_conn_table[handle].endpoint ? handle : -1;
}

int conn_release_held() {
    int held = 0;
    for (int h = 0; h < VRN_MAX_CONNECTIONS; ++h) {
        if (conn_lookup(h) < 0) continue;
        ConnEntry& e = g_conn_table[h];
        plat_mutex_wait(e.mutex);
        held += udp_release_held(e.endpoint);
        plat_mutex_release(e.mutex);
    }
    return held;
}

int find_free_slot(ChannelSlot* slots, int count) {
    for (int i = 0; i < count; ++i)
        if (slots[i].state == SLOT_FREE) return i;
    return -1;
}

void reset_slot(ChannelSlot* slot) {
    if (slot->lock) plat_handle_close(slot->lock);
    std::memset(slot, 0, sizeof *slot);
}

int reset_slots(ChannelSlot* slots, int count) {
    for (int i = 0; i < count; ++i) reset_slot(&slots[i]);
    return count;
}

int vrn_open(const char* address, int options) {
    // An open that fails after its endpoint's gives the peer table back.
    PeerEntry before[UDP_FIXED_SOCKETS];
    udp_peer_save(before);
    UdpEndpoint* ep = udp_ep_open(address, options);
    if (!ep) return -1;
    int h = -1;
    for (int i = 0; i < VRN_MAX_CONNECTIONS; ++i) {
        if (!g_conn_table[i].endpoint) {
            h = i;
            break;
        }
    }
    if (h < 0) {
        udp_ep_close(ep);
        udp_peer_restore(before);
        udp_note_open_failure("all connections are in use", 0);
        return -1;
    }
    ConnEntry& e = g_conn_table[h];
    e.endpoint = ep;
    e.mutex = plat_mutex_create();
    if (!e.mutex) {
        udp_note_open_failure("cannot create the connection's mutex", 0);
        udp_ep_close(ep);
        udp_peer_restore(before);
        e.endpoint = nullptr;
        return -1;
    }
    reset_slots(e.slots, VRN_MAX_SLOTS);
    link_health_reset(h);
    return h;
}

int vrn_close(int handle) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = g_conn_table[handle];
    if (e.mutex) plat_handle_close(e.mutex);
    e.mutex = 0;
    if (e.event) plat_handle_close(e.event);
    e.event = 0;
    // Slot locks go with the connection rather than lingering to the next open.
    reset_slots(e.slots, VRN_MAX_SLOTS);
    int r = udp_ep_close(e.endpoint);
    e.endpoint = nullptr;
    return r;
}
