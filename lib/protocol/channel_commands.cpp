// Channel open, start, stop and close, the raw command and link control.
#include "protocol/channel_commands.h"

#include <cstring>

#include "link/connection_table.h"
#include "link/udp_endpoint.h"
#include "protocol/packet.h"

std::uint32_t g_raw_sequence = 0;

namespace {

constexpr std::uint32_t RAW_COMMAND_WORD5 = 2u;
constexpr int READ_STREAM_SOCKET = 2;  // fixed_sock of direction 0; direction 1 uses the next

// Start and stop: a state check that refuses without traffic, the new state
// set before the exchange, and an acknowledge that is not examined.
int slot_transition(int handle, int slot, std::int32_t from, std::int32_t to, std::uint32_t command,
                    std::uint32_t arg1) {
    if (conn_lookup(handle) < 0) return -1;
    if (slot < 0 || slot >= VRN_MAX_SLOTS) return -1;
    ChannelSlot& s = conn_entry(handle)->slots[slot];
    if (s.state != from) return -1;
    s.state = to;
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    int len = build_chan_request(s_buf, command, arg1, static_cast<std::uint32_t>(s.direction), nullptr, 0);
    link_exchange(handle, s_buf, len, r_buf, VRN_HEAD_BYTES, 1);
    return 0;
}

}  // namespace

int build_chan_request(unsigned char* s_buf, std::uint32_t command, std::uint32_t arg1, std::uint32_t arg2,
                       const std::uint32_t* extra, int extra_words) {
    put_payload_head(s_buf, VRN_CHAN_MAGIC, command, arg1, arg2);
    for (int i = 0; i < extra_words; ++i) put_u32(s_buf + VRN_HEAD_BYTES + 4 * i, extra[i]);
    const std::uint32_t word_count = word_count_of(VRN_HEAD_BYTES + 4 * extra_words);
    return request_bytes_of(make_packet_header(s_buf, word_count, CHAN_PACKET_TYPE));
}

int vrn_raw_command(int handle, const std::uint32_t* args, std::uint32_t* results, int mode) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = *conn_entry(handle);
    unsigned char vrn_cmd[VRN_RAW_BYTES];
    unsigned char vrn_cmd_ack[VRN_RAW_BYTES];
    std::memset(vrn_cmd, 0, sizeof vrn_cmd);
    std::memset(vrn_cmd_ack, 0, sizeof vrn_cmd_ack);
    put_u32(vrn_cmd + 0, VRN_CHAN_MAGIC);
    put_u32(vrn_cmd + 4, VRN_RAW_BYTES);
    put_u32(vrn_cmd + 8, g_raw_sequence++);
    put_u32(vrn_cmd + 20, RAW_COMMAND_WORD5);
    for (int i = 0; i < VRN_RAW_ARGS; ++i) put_u32(vrn_cmd + 24 + 4 * i, args ? args[i] : 0u);

    int got = 0;
    plat_mutex_wait(e.mutex);
    if (mode == -1 || mode == 0) link_send(e.endpoint, vrn_cmd, VRN_RAW_BYTES);
    if (mode == -1 || mode == 1) got = link_receive(e.endpoint, vrn_cmd_ack, VRN_RAW_BYTES);
    plat_mutex_release(e.mutex);

    // Without a whole answer the results are zeros, never a fragment of one.
    if (got != VRN_RAW_BYTES) std::memset(vrn_cmd_ack, 0, sizeof vrn_cmd_ack);
    if (results)
        for (int i = 0; i < VRN_RAW_ARGS; ++i) results[i] = get_u32(vrn_cmd_ack + 24 + 4 * i);
    return 1;
}

int vrn_link_control(int handle, int a, int b) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = *conn_entry(handle);
    plat_mutex_wait(e.mutex);
    int r = udp_control(handle, a, b);
    plat_mutex_release(e.mutex);
    return r;
}

int vrn_channel_open(int handle, std::uint32_t* descriptor) {
    if (conn_lookup(handle) < 0 || !descriptor) return -1;
    ConnEntry& e = *conn_entry(handle);
    int index = find_free_slot(e.slots, VRN_MAX_SLOTS);
    if (index < 0) return -1;
    ChannelSlot& slot = e.slots[index];
    reset_slot(&slot);

    const std::int32_t limit = udp_max_payload(e.endpoint);
    std::uint32_t chunk = descriptor[1];
    if (static_cast<std::int32_t>(chunk) >= limit) chunk = static_cast<std::uint32_t>(limit);
    chunk -= chunk % 8u;
    descriptor[1] = chunk;

    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    int len = build_chan_request(s_buf, CHAN_CMD_OPEN, VRN_DESCRIPTOR_WORDS, 0, descriptor, VRN_DESCRIPTOR_WORDS);
    if (link_exchange(handle, s_buf, len, r_buf, VRN_HEAD_BYTES, 1) != VRN_HEAD_BYTES) return -1;

    // Entry `direction` gets the socket: read streams find it in entry 0 and
    // write streams in entry 1, and the bulk transfers, which use entry 0,
    // run on the read channel's socket.
    std::int32_t direction = descriptor[0] == CHAN_KIND_READ ? 0 : 1;
    e.endpoint->chan_sock[direction] = e.endpoint->fixed_sock[READ_STREAM_SOCKET + direction];

    vrn_handle lock = plat_mutex_create();
    if (!lock) {
        reset_slot(&slot);
        return -1;
    }
    slot.conn = handle;
    slot.lock = lock;
    slot.index = index;
    slot.state = SLOT_OPEN;
    slot.direction = direction;
    std::memcpy(slot.descriptor, descriptor, sizeof slot.descriptor);
    return index;
}

int vrn_channel_start(int handle, int slot, std::uint32_t value) {
    return slot_transition(handle, slot, SLOT_OPEN, SLOT_STARTED, CHAN_CMD_START, value);
}

int vrn_channel_stop(int handle, int slot) {
    return slot_transition(handle, slot, SLOT_STARTED, SLOT_OPEN, CHAN_CMD_STOP, 0);
}

int vrn_channel_close(int handle, int slot) {
    if (conn_lookup(handle) < 0) return -1;
    if (slot < 0 || slot >= VRN_MAX_SLOTS) return -1;
    ConnEntry& e = *conn_entry(handle);
    ChannelSlot& s = e.slots[slot];
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    int len = build_chan_request(s_buf, CHAN_CMD_CLOSE, 0, static_cast<std::uint32_t>(s.direction), nullptr, 0);
    link_exchange(handle, s_buf, len, r_buf, VRN_HEAD_BYTES, 1);
    link_release_channel(e.endpoint, s.direction);
    reset_slot(&s);
    return 0;
}
