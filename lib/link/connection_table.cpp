// The process-wide connection table, the connections with state of their
// own: open, close, lookup and channel slots.
#include "link/connection_table.h"

#include <cstring>
#include <mutex>

#include "link/link_health.h"

// Static storage starts zeroed: every entry is free (no endpoint) from the
// start of the process.
ConnEntry g_conn_table[VRN_MAX_CONNECTIONS];

namespace {

// The own connections' entries. A place is taken under s_own_lock from the
// start of its open to the end of its close, so that two opens never share
// one and a lookup of an open handle needs no lock.
ConnEntry s_own[VRN_MAX_OWN_CONNECTIONS];
bool s_own_taken[VRN_MAX_OWN_CONNECTIONS];
std::uint32_t s_own_serial[VRN_MAX_OWN_CONNECTIONS];
std::mutex s_own_lock;

// Room for a few hundred modules of four sockets each, and their held ports.
constexpr long OWN_DESCRIPTOR_LIMIT = 65536;

// The entry of an open handle, or nullptr.
ConnEntry* open_entry(int handle) {
    ConnEntry* e = nullptr;
    if (handle >= 0 && handle < VRN_MAX_CONNECTIONS) e = &g_conn_table[handle];
    else if (conn_is_own(handle)) e = &s_own[handle - VRN_OWN_HANDLE_BASE];
    return e && e->endpoint ? e : nullptr;
}

// Gives the entry its endpoint and a mutex; -1 (the endpoint closed) when
// no mutex can be made.
int fill_entry(ConnEntry& e, UdpEndpoint* ep) {
    e.mutex = plat_mutex_create();
    if (!e.mutex) {
        udp_note_open_failure("cannot create the connection's mutex", 0);
        udp_ep_close(ep);
        return -1;
    }
    e.cancel = 0;
    reset_slots(e.slots, VRN_MAX_SLOTS);
    e.endpoint = ep;
    return 0;
}

}  // namespace

int conn_lookup(int handle) { return open_entry(handle) ? handle : -1; }

ConnEntry* conn_entry(int handle) { return open_entry(handle); }

bool conn_is_own(int handle) {
    return handle >= VRN_OWN_HANDLE_BASE && handle < VRN_OWN_HANDLE_BASE + VRN_MAX_OWN_CONNECTIONS;
}

int conn_own_index(int handle) { return conn_is_own(handle) ? handle - VRN_OWN_HANDLE_BASE : -1; }

std::uint32_t conn_serial(int handle) {
    const int i = conn_own_index(handle);
    return i < 0 ? 0 : s_own_serial[i];
}

int vrn_cancel(int handle, int on) {
    ConnEntry* e = open_entry(handle);
    if (!e) return -1;
    e->cancel = on ? 1 : 0;
    return 0;
}

int conn_release_held() {
    int held = 0;
    auto look_in = [&](ConnEntry& e) {
        // One in use lets its own go at its next exchange.
        if (!e.endpoint || plat_mutex_try(e.mutex) != 0) return;
        held += udp_release_held(e.endpoint);
        plat_mutex_release(e.mutex);
    };
    for (ConnEntry& e : g_conn_table) look_in(e);
    // Under the lock of the places: none is closed while looked in.
    std::lock_guard<std::mutex> lock(s_own_lock);
    for (ConnEntry& e : s_own) look_in(e);
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
    if (fill_entry(g_conn_table[h], ep) != 0) {
        udp_peer_restore(before);
        return -1;
    }
    link_health_reset(h);
    return h;
}

int vrn_open_own(const char* address, int options) {
    int place = -1;
    {
        std::lock_guard<std::mutex> lock(s_own_lock);
        static bool raised = false;
        if (!raised) plat_raise_descriptor_limit(OWN_DESCRIPTOR_LIMIT);
        raised = true;
        for (int i = 0; i < VRN_MAX_OWN_CONNECTIONS && place < 0; ++i)
            if (!s_own_taken[i]) place = i;
        if (place < 0) {
            udp_note_open_failure("all connections are in use", 0);
            return -1;
        }
        s_own_taken[place] = true;
        ++s_own_serial[place];
        // Nothing of the place's last connection carries over.
        s_own[place].event_value = 0;
        s_own[place].status = 0;
    }
    UdpEndpoint* ep = udp_ep_open_own(address, options & VRN_OPEN_ECHO_PROBE);
    if (!ep || fill_entry(s_own[place], ep) != 0) {
        std::lock_guard<std::mutex> lock(s_own_lock);
        s_own_taken[place] = false;
        return -1;
    }
    const int h = VRN_OWN_HANDLE_BASE + place;
    link_health_reset(h);
    return h;
}

int vrn_close(int handle) {
    ConnEntry* found = open_entry(handle);
    if (!found) return -1;
    ConnEntry& e = *found;
    const int own = conn_own_index(handle);
    // An own place is let go only once nobody can look in it any more.
    std::unique_lock<std::mutex> lock(s_own_lock, std::defer_lock);
    if (own >= 0) lock.lock();
    if (e.mutex) plat_handle_close(e.mutex);
    e.mutex = 0;
    if (e.event) plat_handle_close(e.event);
    e.event = 0;
    // Slot locks go with the connection rather than lingering to the next open.
    reset_slots(e.slots, VRN_MAX_SLOTS);
    int r = udp_ep_close(e.endpoint);
    e.endpoint = nullptr;
    if (own >= 0) s_own_taken[own] = false;
    return r;
}
