// Register reads and writes: the space-code table, batching of the pair
// area by MAX_PAIR_BYTES and the request/acknowledge exchange per batch.
#include "protocol/register_space.h"

#include "link/connection_table.h"
#include "protocol/packet.h"

namespace {

constexpr std::uint32_t REG_CMD_CLASS = 0x30000000u;
constexpr std::uint32_t REG_CMD_FIXED_BITS = 0x00180000u;  // bits 20 and 19

struct SpaceRow {
    int code;
    RegSpace space;
};

constexpr SpaceRow SPACE_TABLE[] = {
    {0, {0x31, 3, 0, 1, 0}},  {1, {0x31, 3, 1, 2, 1}},  {2, {0x31, 3, 1, 1, 1}},  {3, {0x12, 1, 1, 1, 1}},
    {32, {0x31, 3, 2, 1, 1}}, {33, {0x31, 3, 3, 1, 1}}, {34, {0x12, 1, 4, 1, 1}}, {49, {0x12, 1, 1, 1, 1}},
};

// vrn_reg_read works in these for every call and connection, so only one
// register read may run at a time in the whole process.
unsigned char g_reg_read_request[VRN_BUF_BYTES];
unsigned char g_reg_read_ack[VRN_BUF_BYTES];

// The addresses of the next `pairs` words from *address, which moves past them.
void step_addresses(std::uint32_t* addresses, int pairs, std::uint32_t* address, std::uint32_t advance) {
    for (int i = 0; i < pairs; ++i) {
        addresses[i] = *address;
        *address += advance;
    }
}

}  // namespace

int reg_space_lookup(int space, RegSpace* out) {
    for (const SpaceRow& row : SPACE_TABLE) {
        if (row.code == space) {
            *out = row.space;
            return 0;
        }
    }
    return -1;
}

int reg_space_for(int space, int count, RegSpace* out) {
    if (reg_space_lookup(space, out) < 0) {
        return -1;
    }
    // A partial word would make the header's word count disagree with the
    // pairs actually sent; refuse it rather than send a malformed request.
    if (count > 0 && count % 4 != 0) {
        return -1;
    }
    return 0;
}

int reg_batch_pairs(int count) { return (count < REG_BATCH_BYTES ? count : REG_BATCH_BYTES) / 4; }

int reg_batch_request(unsigned char* request, const RegSpace& sp, std::uint32_t flag, int pairs,
                      const std::uint32_t* addresses, const std::uint32_t* values) {
    const std::uint32_t pair_words = static_cast<std::uint32_t>(2 * pairs) & 0xFFu;
    put_payload_head(request, VRN_REG_MAGIC,
                     REG_CMD_CLASS | (sp.sub_space << 24) | REG_CMD_FIXED_BITS | flag | (pair_words << 8),
                     sp.space_mode, 0);
    for (int i = 0; i < pairs; ++i) {
        put_u32(request + VRN_HEAD_BYTES + 8 * i, addresses[i]);
        put_u32(request + VRN_HEAD_BYTES + 8 * i + 4, values ? values[i] : 0u);
    }
    return request_bytes_of(make_packet_header(request, pair_words + 6, sp.packet_type));
}

int reg_write_batch(int handle, const RegSpace& sp, int pairs, const std::uint32_t* addresses,
                    const std::uint32_t* values) {
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    const int len = reg_batch_request(s_buf, sp, REG_WRITE_FLAG, pairs, addresses, values);
    return link_exchange_acked(handle, s_buf, len, r_buf, VRN_HEAD_BYTES, 1);
}

int vrn_reg_read(int handle, int space, int /*reserved1*/, int /*reserved2*/, std::uint32_t address,
                 std::uint32_t* buffer, int count, int step) {
    RegSpace sp{};
    if (conn_lookup(handle) < 0 || reg_space_for(space, count, &sp) < 0) {
        return -1;
    }
    // vrn_open's connections share the process-wide buffers; an own
    // connection, used beside others from other threads, has them to itself.
    unsigned char own_request[VRN_BUF_BYTES], own_ack[VRN_BUF_BYTES];
    const bool own = conn_is_own(handle);
    unsigned char* const request = own ? own_request : g_reg_read_request;
    unsigned char* const ack = own ? own_ack : g_reg_read_ack;
    std::uint32_t addresses[REG_BATCH_PAIRS];
    for (int pairs = 0; count > 0; buffer += pairs, count -= 4 * pairs) {
        pairs = reg_batch_pairs(count);
        step_addresses(addresses, pairs, &address, sp.step_factor * static_cast<std::uint32_t>(step));
        const int len = reg_batch_request(request, sp, REG_READ_FLAG, pairs, addresses, nullptr);
        const int ack_len = VRN_HEAD_BYTES + 4 * pairs;
        if (link_exchange_acked(handle, request, len, ack, ack_len, VRN_RETRY_ATTEMPTS) < 0) {
            return -1;
        }
        for (int i = 0; i < pairs; ++i) {
            buffer[i] = get_u32(ack + VRN_HEAD_BYTES + 4 * i);
        }
    }
    return 0;
}

int vrn_reg_write(int handle, int space, int /*reserved1*/, int /*reserved2*/, std::uint32_t address,
                  const std::uint32_t* data, int count, int step) {
    RegSpace sp{};
    if (conn_lookup(handle) < 0 || reg_space_for(space, count, &sp) < 0 || !sp.writable) {
        return -1;
    }
    std::uint32_t addresses[REG_BATCH_PAIRS];
    for (int pairs = 0; count > 0; data += pairs, count -= 4 * pairs) {
        pairs = reg_batch_pairs(count);
        step_addresses(addresses, pairs, &address, sp.step_factor * static_cast<std::uint32_t>(step));
        if (reg_write_batch(handle, sp, pairs, addresses, data) < 0) {
            return -1;
        }
    }
    return 0;
}

int vrn_reg_read32(int handle, int space, int reserved1, int reserved2, std::uint32_t address,
                   std::uint32_t* value) {
    return vrn_reg_read(handle, space, reserved1, reserved2, address, value, 4, 1);
}

int vrn_reg_write32(int handle, int space, int reserved1, int reserved2, std::uint32_t address,
                    std::uint32_t value) {
    const std::uint32_t copy = value;
    return vrn_reg_write(handle, space, reserved1, reserved2, address, &copy, 4, 1);
}
