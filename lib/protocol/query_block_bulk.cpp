// Query and set, the info query, block transfers, the register list write,
// raw and bulk datagrams.
#include "protocol/query_block_bulk.h"

#include <cstring>

#include "link/connection_table.h"
#include "link/timed_datagrams.h"
#include "protocol/channel_commands.h"
#include "protocol/packet.h"
#include "protocol/register_space.h"

namespace {

constexpr std::uint32_t QUERY_COMMAND = 2u;
constexpr std::uint32_t QUERY_ARG = 0x3002u;
constexpr std::uint32_t SET_ARG = 0x3003u;
constexpr std::uint32_t QUERY_INFO_CODE = 2u;
constexpr int QUERY_BYTES = 48;
constexpr int QUERY_MAX_LENGTH = VRN_BUF_BYTES - QUERY_BYTES;  // 1412: the acknowledge fits r_buf
constexpr unsigned QUERY_INFO_MIN_SIZE = 28;

// Block transfer: cmd_class 3, sub_space 1, bit 19, write_flag, 24 data words.
constexpr std::uint32_t BLOCK_COMMAND = 0x310A1800u;
constexpr std::uint32_t BLOCK_TYPE_KIND1 = 0x30u;
constexpr std::uint32_t BLOCK_TYPE_KIND2 = 0x37u;
// Both kinds address the same space; the packet type tells them apart.
constexpr std::uint32_t BLOCK_SPACE_MODE = 3u;

constexpr int BULK_CHANNEL = 0;
constexpr int DRAIN_WAIT_MS = 1;
// Bounds a drain against a source that never pauses.
constexpr int DRAIN_LIMIT = 65536;

// The 48-byte channel-family request shared by the query and the set: its
// one extra word, then zeros.
void build_query(unsigned char* s_buf, std::uint32_t arg1, std::uint32_t arg2, std::uint32_t word8) {
    const std::uint32_t extra[(QUERY_BYTES - VRN_HEAD_BYTES) / 4] = {word8};
    build_chan_request(s_buf, QUERY_COMMAND, arg1, arg2, extra, (QUERY_BYTES - VRN_HEAD_BYTES) / 4);
}

}  // namespace

int vrn_query(int handle, std::uint32_t code, std::uint32_t* buffer, int length) {
    if (conn_lookup(handle) < 0) return -1;
    // The acknowledge of a longer query would not fit the receive buffer.
    if (length < 0 || length > QUERY_MAX_LENGTH) return -1;
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    build_query(s_buf, QUERY_ARG, static_cast<std::uint32_t>(length), code);
    const int ack_len = QUERY_BYTES + length;
    std::memset(r_buf, 0, sizeof r_buf);
    // Bytes of an incomplete acknowledge are not reported: they count as
    // nothing received.
    if (link_exchange(handle, s_buf, QUERY_BYTES, r_buf, ack_len, 1) != ack_len) std::memset(r_buf, 0, sizeof r_buf);
    conn_entry(handle)->status = r_buf[24];
    if (buffer)
        for (int i = 0; i < length / 4; ++i) buffer[i] = get_u32(r_buf + QUERY_BYTES + 4 * i);
    return 0;
}

int vrn_set_value(int handle, std::uint32_t a, std::uint32_t b) {
    if (conn_lookup(handle) < 0) return -1;
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    build_query(s_buf, SET_ARG, a, b);
    link_exchange(handle, s_buf, QUERY_BYTES, r_buf, QUERY_BYTES, 1);
    return 0;
}

int vrn_query_info(int handle, void* buffer, unsigned size) {
    if (conn_lookup(handle) < 0) return -1;
    if (size < QUERY_INFO_MIN_SIZE) return -1;
    std::uint32_t VRNInfo[VRN_INFO_BYTES / 4];
    std::memset(VRNInfo, 0, sizeof VRNInfo);
    vrn_query(handle, QUERY_INFO_CODE, VRNInfo, VRN_INFO_BYTES);
    return link_query(conn_entry(handle)->endpoint, buffer, static_cast<int>(size));
}

int vrn_transfer_blocks(int handle, int kind, std::uint32_t* reply, const std::uint32_t* request, int length) {
    if (conn_lookup(handle) < 0) return -1;
    std::uint32_t packet_type;
    if (kind == 1) packet_type = BLOCK_TYPE_KIND1;
    else if (kind == 2) packet_type = BLOCK_TYPE_KIND2;
    else return -1;
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    const auto* in = reinterpret_cast<const unsigned char*>(request);
    auto* out = reinterpret_cast<unsigned char*>(reply);
    int remaining = length;
    while (remaining > 0) {
        // Every exchange carries a full block; a short last block is padded
        // with zeros and only its own bytes of the reply are stored, so
        // neither buffer is touched past the length.
        const int part = remaining < BLOCK_DATA_BYTES ? remaining : BLOCK_DATA_BYTES;
        std::memset(s_buf, 0, BLOCK_PACKET_BYTES);
        make_packet_header(s_buf, word_count_of(BLOCK_PACKET_BYTES), packet_type);
        put_payload_head(s_buf, VRN_REG_MAGIC, BLOCK_COMMAND, BLOCK_SPACE_MODE, 0);
        std::memcpy(s_buf + VRN_HEAD_BYTES, in, static_cast<std::size_t>(part));
        if (link_exchange_acked(handle, s_buf, BLOCK_PACKET_BYTES, r_buf, BLOCK_PACKET_BYTES, 1) < 0) return -1;
        std::memcpy(out, r_buf + VRN_HEAD_BYTES, static_cast<std::size_t>(part));
        in += part;
        out += part;
        remaining -= BLOCK_DATA_BYTES;
    }
    return 0;
}

int vrn_transfer_blocks_io(int handle, int kind, const std::uint32_t* request, std::uint32_t* reply, int length) {
    if (conn_lookup(handle) < 0) return -1;
    return vrn_transfer_blocks(handle, kind, reply, request, length);
}

int vrn_reg_write_list(int handle, int space, int, int, const std::uint32_t* addresses, const std::uint32_t* values,
                       int length, int) {
    if (conn_lookup(handle) < 0) return -1;
    RegSpace sp{};
    if (reg_space_for(space, length, &sp) < 0 || !sp.writable) return -1;
    for (int done = 0; done < length / 4;) {
        const int pairs = reg_batch_pairs(length - 4 * done);
        if (reg_write_batch(handle, sp, pairs, addresses + done, values + done) < 0) return -1;
        done += pairs;
    }
    return 0;
}

int vrn_raw_send(int handle, const void* data, int length) {
    if (conn_lookup(handle) < 0) return -1;
    return link_send(conn_entry(handle)->endpoint, data, length);
}

int vrn_raw_receive(int handle, void* buffer, int length) {
    if (conn_lookup(handle) < 0) return -1;
    return link_receive(conn_entry(handle)->endpoint, buffer, length);
}

int vrn_bulk_send(int handle, const void* data, int length, int timeout_ms) {
    if (conn_lookup(handle) < 0) return -1;
    UdpEndpoint* ep = conn_entry(handle)->endpoint;
    const auto* bytes = static_cast<const unsigned char*>(data);
    int done = 0;
    int n = 0;  // nothing to send: nothing sent
    while (done < length) {
        const int left = length - done;
        if (left >= BULK_SEND_BYTES) {
            n = udp_chan_send(ep, BULK_CHANNEL, bytes + done, BULK_SEND_BYTES, timeout_ms);
        } else {
            // The last datagram is a full one too; its tail is zeros rather
            // than whatever lies behind the caller's data.
            unsigned char last[BULK_SEND_BYTES];
            std::memset(last, 0, sizeof last);
            std::memcpy(last, bytes + done, static_cast<std::size_t>(left));
            n = udp_chan_send(ep, BULK_CHANNEL, last, BULK_SEND_BYTES, timeout_ms);
        }
        if (n <= 0) break;
        done += n;
    }
    return n;
}

int vrn_bulk_receive(int handle, void* buffer, int length, int timeout_ms) {
    if (conn_lookup(handle) < 0) return -1;
    UdpEndpoint* ep = conn_entry(handle)->endpoint;
    auto* pos = static_cast<unsigned char*>(buffer);
    if (length == 0) {
        for (int i = 0; i < DRAIN_LIMIT; ++i)
            if (udp_chan_recv(ep, BULK_CHANNEL, buffer, BULK_RECV_BYTES, DRAIN_WAIT_MS) <= 0) break;
        return 1;
    }
    int total = 0;
    int remaining = length;
    while (remaining > 0) {
        int n = udp_chan_recv(ep, BULK_CHANNEL, pos, BULK_RECV_BYTES, timeout_ms);
        if (n <= 0) break;
        total += n;
        remaining -= n;
        pos += n;
    }
    return total;
}
