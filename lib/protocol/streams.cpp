// Stream transfers in chunks on started channels, and the event waits.
#include "protocol/streams.h"

#include "link/connection_table.h"
#include "link/timed_datagrams.h"
#include "protocol/channel_commands.h"

namespace {

// The slot a stream call may use, or nullptr to refuse before any traffic.
ChannelSlot* stream_slot(int handle, int channel, std::uint32_t kind) {
    if (conn_lookup(handle) < 0) return nullptr;
    if (channel < 0 || channel >= VRN_MAX_SLOTS) return nullptr;
    ChannelSlot* slot = &conn_entry(handle)->slots[channel];
    if (slot->state != SLOT_STARTED || slot->descriptor[0] != kind) return nullptr;
    // A chunk size of zero or less can move nothing, and a write would spin
    // on empty datagrams.
    if (static_cast<std::int32_t>(slot->descriptor[1]) <= 0) return nullptr;
    return slot;
}

// The chunk loop shared by read and write: `into` is set for a read,
// `from` for a write.
int stream_transfer(int handle, ChannelSlot* slot, unsigned char* into, const unsigned char* from, int length,
                    int timeout_ms) {
    UdpEndpoint* ep = conn_entry(handle)->endpoint;
    const int chunk_max = static_cast<int>(slot->descriptor[1]);
    const bool read = into != nullptr;
    int total = 0;
    std::uint32_t startTime = 0;
    if (timeout_ms >= 1) startTime = plat_tick_ms();
    int remaining = length;
    while (remaining > 0) {
        int chunk = remaining < chunk_max ? remaining : chunk_max;
        plat_mutex_wait(slot->lock);
        int n = read ? udp_chan_recv(ep, slot->direction, into + total, chunk, timeout_ms)
                     : udp_chan_send(ep, slot->direction, from + total, chunk, timeout_ms);
        plat_mutex_release(slot->lock);
        if (n < 0) break;
        remaining -= n;
        total += n;
        if (read && remaining <= 0) break;
        if (timeout_ms == 0) break;
        if (timeout_ms > 0 && static_cast<std::int32_t>(plat_tick_ms() - startTime) >= timeout_ms) break;
        if (timeout_ms == -1 && n == 0) break;
    }
    return total;
}

}  // namespace

int vrn_stream_read(int handle, int channel, void* buffer, int length, int timeout_ms) {
    ChannelSlot* slot = stream_slot(handle, channel, CHAN_KIND_READ);
    if (!slot) return -1;
    if (!buffer) return -1;
    return stream_transfer(handle, slot, static_cast<unsigned char*>(buffer), nullptr, length, timeout_ms);
}

int vrn_stream_write(int handle, int channel, const void* data, int length, int timeout_ms) {
    ChannelSlot* slot = stream_slot(handle, channel, CHAN_KIND_WRITE);
    if (!slot) return -1;
    if (!data) return -1;
    return stream_transfer(handle, slot, nullptr, static_cast<const unsigned char*>(data), length, timeout_ms);
}

int vrn_event_wait_next(int handle, std::int32_t* value, int timeout_ms) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = *conn_entry(handle);
    // No event is ever made on this system; without one there is nothing
    // to wait for.
    if (!e.event) return -1;
    plat_event_reset(e.event);
    if (plat_event_wait(e.event, static_cast<std::uint32_t>(timeout_ms)) != 0) return -1;
    if (value) *value = e.event_value;
    return 0;
}

int vrn_event_wait(int handle, std::int32_t* value, int timeout_ms) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = *conn_entry(handle);
    if (!e.event) return -1;
    if (plat_event_wait(e.event, static_cast<std::uint32_t>(timeout_ms)) != 0) return -1;
    if (value) *value = e.event_value;
    return 0;
}

int vrn_event_clear(int handle, std::int32_t* value) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = *conn_entry(handle);
    if (value) *value = 0;
    e.event_value = 0;
    if (e.event) plat_event_reset(e.event);
    return -1;
}
