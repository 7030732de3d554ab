// The packet header, the payload head, the acknowledge check and the
// exchange every command runs under its connection's mutex.
#include "protocol/packet.h"

#include "link/link_health.h"

int make_packet_header(void* header, std::uint32_t word_count, std::uint32_t packet_type) {
    auto* h = static_cast<unsigned char*>(header);
    std::memset(h, 0, VRN_HEADER_BYTES);
    put_u32(h + 0, VRN_MAGIC_A);
    put_u32(h + 8, VRN_MAGIC_B);
    put_u32(h + 12, packet_type);
    put_u32(h + 4, word_count);
    return static_cast<int>(word_count);
}

void put_payload_head(void* request, std::uint32_t payload_magic, std::uint32_t command_word, std::uint32_t arg1,
                      std::uint32_t arg2) {
    auto* p = static_cast<unsigned char*>(request) + VRN_HEADER_BYTES;
    put_u32(p + 0, payload_magic);
    put_u32(p + 4, command_word);
    put_u32(p + 8, arg1);
    put_u32(p + 12, arg2);
}

int check_payload_magic(const void* payload) {
    std::uint32_t m = get_u32(payload);
    return (m == VRN_REG_MAGIC || m == VRN_CHAN_MAGIC) ? 0 : -1;
}

int check_ack(const void* buffer) {
    const auto* b = static_cast<const unsigned char*>(buffer);
    if (get_u32(b + 0) != VRN_MAGIC_A) return -1;
    if (get_u32(b + 8) != VRN_MAGIC_B) return -1;
    if ((get_u32(b + 12) & 0xFu) != 3u) return -1;
    return check_payload_magic(b + 16);
}

namespace {

// link_send, counting what the drain found into the link health.
int send_noted(UdpEndpoint* ep, const void* buffer, int length, LinkHealth* health) {
    vrn_socket s = ep->fixed_sock[1];
    // Acknowledges carry no sequence number: anything still waiting here is
    // late or duplicated, and would be taken as the answer to this request.
    health->stale += static_cast<unsigned>(udp_drain(s));
    return udp_send_all(s, buffer, length, 0) == -1 ? -1 : 0;
}

// After a failed attempt the missing answer, or the rest of a partial one,
// may still be on its way: give it the time this link's answers take and
// discard it, rather than take it for the next request's answer.
void settle(UdpEndpoint* ep, LinkHealth* health) {
    health->stale += static_cast<unsigned>(udp_settle(ep->fixed_sock[1], link_settle_ms(health)));
    health->settle_pending = 0;
}

}  // namespace

int link_send(UdpEndpoint* ep, const void* buffer, int length) {
    LinkHealth scratch{};
    return send_noted(ep, buffer, length, &scratch);
}

int link_receive(UdpEndpoint* ep, void* buffer, int length) {
    return udp_recv_all(ep->fixed_sock[1], buffer, length, 0);
}

int link_release_channel(UdpEndpoint*, int index) { return index >= 16 ? -1 : 0; }

int link_query(UdpEndpoint*, void*, int) { return 1; }

int link_exchange(int handle, const void* request, int request_len, void* ack, int ack_len, int attempts) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = g_conn_table[handle];
    LinkHealth* health = link_health(handle);
    plat_mutex_wait(e.mutex);
    ++health->exchanges;
    int r = 0;
    for (int i = 0; i < attempts; ++i) {
        if (health->settle_pending) settle(e.endpoint, health);
        const std::uint32_t sent = plat_tick_ms();
        send_noted(e.endpoint, request, request_len, health);
        UdpRecvNotes notes{};
        r = udp_recv_all_noted(e.endpoint->fixed_sock[1], ack, ack_len, &notes);
        health->strangers += notes.strangers;
        health->oversized += notes.oversized;
        if (r == ack_len) {
            const std::uint32_t rtt = plat_tick_ms() - sent;
            if (rtt > health->rtt_max_ms) health->rtt_max_ms = rtt;
            health->silent_attempts = 0;
            break;
        }
        health->settle_pending = 1;
        ++health->silent_attempts;
        if (r != 0) {
            ++health->failed_receives;
            break;
        }
        ++health->unanswered;
    }
    plat_mutex_release(e.mutex);
    return r;
}

int link_exchange_acked(int handle, const void* request, int request_len, void* ack, int ack_len, int attempts) {
    if (link_exchange(handle, request, request_len, ack, ack_len, attempts) != ack_len) return -1;
    if (check_ack(ack) == 0) return 0;
    LinkHealth* health = link_health(handle);
    ++health->bad_acks;
    health->settle_pending = 1;
    return -1;
}
