#include "protocol/packet.h"

unsigned g_link_stale_drops = 0;
unsigned g_link_unanswered = 0;

int make_packet_header(void* header, std::uint32_t word_count, std::uint32_t packet_type) {
    auto* h = static_cast<unsigned char*>(header);
    std::memset(h, 0, VRN_HEADER_BYTES);
    put_u32(h + 0, VRN_MAGIC_A);
    put_u32(h + 8, VRN_MAGIC_B);
    put_u32(h + 12, packet_type);
    put_u32(h + 4, word_count);
    return static_cast<int>(word_count);
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

int link_send(UdpEndpoint* ep, const void* buffer, int length) {
    vrn_socket s = ep->fixed_sock[1];
    // Acknowledges carry no sequence number: anything still waiting here is
    // late or duplicated, and would be taken as the answer to this request.
    g_link_stale_drops += static_cast<unsigned>(udp_drain(s));
    return udp_send_all(s, buffer, length, 0) == -1 ? -1 : 0;
}

int link_receive(UdpEndpoint* ep, void* buffer, int length) {
    return udp_recv_all(ep->fixed_sock[1], buffer, length, 0);
}

int link_release_channel(UdpEndpoint*, int index) { return index >= 16 ? -1 : 0; }

int link_query(UdpEndpoint*, void*, int) { return 1; }

int link_exchange(int handle, const void* request, int request_len, void* ack, int ack_len, int attempts) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = g_conn_table[handle];
    plat_mutex_wait(e.mutex);
    int r = 0;
    for (int i = 0; i < attempts; ++i) {
        link_send(e.endpoint, request, request_len);
        r = link_receive(e.endpoint, ack, ack_len);
        if (r != 0) break;
        ++g_link_unanswered;
    }
    plat_mutex_release(e.mutex);
    return r;
}
