// Register reads and writes: the space-code table, batching of the pair
// area by MAX_PAIR_BYTES and the request/acknowledge exchange per batch.
#include "protocol/register_space.h"

#include <cstring>

#include "link/connection_table.h"
#include "protocol/packet.h"

namespace {

// One batch moves at most this many data bytes: each word takes an
// (address, value) pair of 8 bytes in the pair area.
constexpr int BATCH_BYTES = MAX_PAIR_BYTES / 2;

constexpr std::uint32_t REG_CMD_CLASS = 0x30000000u;
constexpr std::uint32_t REG_CMD_FIXED_BITS = 0x00180000u;  // bits 20 and 19
constexpr std::uint32_t REG_WRITE_FLAG = 0x00020000u;
constexpr std::uint32_t REG_READ_FLAG = 0x00010000u;

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

// Fills the request for one batch of `batch` bytes behind a cleared
// payload head and advances *address past it. `data` is null for a read.
// Returns the number of bytes to send.
int build_batch(unsigned char* request, const RegSpace& sp, std::uint32_t flag, int batch,
                std::uint32_t* address, std::uint32_t advance, const std::uint32_t* data) {
    const std::uint32_t pair_words = static_cast<std::uint32_t>(batch / 2) & 0xFFu;
    put_u32(request + 16, VRN_REG_MAGIC);
    put_u32(request + 20, REG_CMD_CLASS | (sp.sub_space << 24) | REG_CMD_FIXED_BITS | flag | (pair_words << 8));
    put_u32(request + 24, sp.space_mode);
    const int pairs = static_cast<int>(pair_words / 2);
    for (int i = 0; i < pairs; ++i) {
        put_u32(request + VRN_HEAD_BYTES + 8 * i, *address);
        put_u32(request + VRN_HEAD_BYTES + 8 * i + 4, data ? data[i] : 0u);
        *address += advance;
    }
    const int word_count = make_packet_header(request, pair_words + 6, sp.packet_type);
    return (word_count + 2) * 4;
}

// The checks shared by read and write before anything is built: the
// space's row, and a count that moves whole words only.
int prepare(int space, int count, RegSpace* sp) {
    if (reg_space_lookup(space, sp) < 0) {
        return -1;
    }
    // A partial word would make the header's word count disagree with the
    // pairs actually sent; refuse it rather than send a malformed request.
    if (count > 0 && count % 4 != 0) {
        return -1;
    }
    return 0;
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

int vrn_reg_read(int handle, int space, int /*reserved1*/, int /*reserved2*/, std::uint32_t address,
                 std::uint32_t* buffer, int count, int step) {
    if (conn_lookup(handle) < 0) {
        return -1;
    }
    std::memset(g_reg_read_request + VRN_HEADER_BYTES, 0, VRN_HEAD_BYTES - VRN_HEADER_BYTES);
    RegSpace sp{};
    if (prepare(space, count, &sp) < 0) {
        return -1;
    }
    const std::uint32_t advance = sp.step_factor * static_cast<std::uint32_t>(step);
    while (count > 0) {
        const int batch = count < BATCH_BYTES ? count : BATCH_BYTES;
        const int words = batch / 4;
        const int len = build_batch(g_reg_read_request, sp, REG_READ_FLAG, batch, &address, advance, nullptr);
        const int ack_len = VRN_HEAD_BYTES + 4 * words;
        if (link_exchange_acked(handle, g_reg_read_request, len, g_reg_read_ack, ack_len, VRN_RETRY_ATTEMPTS) < 0) {
            return -1;
        }
        for (int i = 0; i < words; ++i) {
            buffer[i] = get_u32(g_reg_read_ack + VRN_HEAD_BYTES + 4 * i);
        }
        buffer += words;
        count -= batch;
    }
    return 0;
}

int vrn_reg_write(int handle, int space, int /*reserved1*/, int /*reserved2*/, std::uint32_t address,
                  const std::uint32_t* data, int count, int step) {
    if (conn_lookup(handle) < 0) {
        return -1;
    }
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    std::memset(s_buf + VRN_HEADER_BYTES, 0, VRN_HEAD_BYTES - VRN_HEADER_BYTES);
    RegSpace sp{};
    if (prepare(space, count, &sp) < 0 || !sp.writable) {
        return -1;
    }
    const std::uint32_t advance = sp.step_factor * static_cast<std::uint32_t>(step);
    while (count > 0) {
        const int batch = count < BATCH_BYTES ? count : BATCH_BYTES;
        const int len = build_batch(s_buf, sp, REG_WRITE_FLAG, batch, &address, advance, data);
        if (link_exchange_acked(handle, s_buf, len, r_buf, VRN_HEAD_BYTES, 1) < 0) {
            return -1;
        }
        data += batch / 4;
        count -= batch;
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
