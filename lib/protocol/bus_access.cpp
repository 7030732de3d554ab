// The module's internal bus: one direct bus command per item (bus code 16),
// or bridge cycles over three registers of space 2 (bus codes 1 and 2).
#include "protocol/bus_access.h"

#include <cstring>

#include "link/connection_table.h"
#include "platform/platform.h"
#include "protocol/packet.h"
#include "protocol/register_space.h"

namespace {

constexpr int BRIDGE_SPACE = 2;
// The awaited bit is tested after this many status reads; one more read
// is issued before the cycle gives up.
constexpr int BRIDGE_WAIT_TESTS = 33;
constexpr std::uint32_t BRIDGE_STROBE_READ = 0x01u;
constexpr std::uint32_t BRIDGE_STROBE_WRITE1 = 0x10u;
constexpr std::uint32_t BRIDGE_STROBE_WRITE2 = 0x12u;
constexpr std::uint32_t BRIDGE_WRITE_PAUSE_MS = 10;

constexpr std::uint32_t BUS_PACKET_TYPE = 0x31u;
constexpr std::uint32_t BUS_SPACE_MODE = 3u;
constexpr int BUS_READ_REQUEST_BYTES = 40;
constexpr int BUS_READ_ACK_BYTES = 36;
constexpr int BUS_WRITE_REQUEST_BYTES = 44;
constexpr int BUS_WRITE_ACK_BYTES = 32;

enum class Route { None, Bridged, Direct };

// Route of a bus code and, for the bridged route, the cycle code of its
// priming read (reading) or of its write cycle (writing).
Route bus_route(int bus, int* cycle) {
    switch (bus) {
        case 1:
            *cycle = 1;
            return Route::Bridged;
        case 2:
            *cycle = 0;
            return Route::Bridged;
        case BUS_DIRECT:
            return Route::Direct;
        default:
            return Route::None;
    }
}

void bridge_put(int handle, std::uint32_t reg, std::uint32_t value) {
    vrn_reg_write32(handle, BRIDGE_SPACE, 0, 0, reg, value);
}

std::uint32_t control_word(int cycle, std::uint32_t strobe) {
    return (static_cast<std::uint32_t>(cycle) << 8) | BRIDGE_REQ | strobe;
}

// Polls BRIDGE_CTRL until `bit` shows; a failed read leaves the status 0.
int bridge_wait(int handle, std::uint32_t bit) {
    for (int counter = 0;; ++counter) {
        std::uint32_t status = 0;
        vrn_reg_read32(handle, BRIDGE_SPACE, 0, 0, BRIDGE_CTRL, &status);
        if (counter >= BRIDGE_WAIT_TESTS) {
            return -1;
        }
        if (status & bit) {
            return 0;
        }
    }
}

// The first three accesses shared by both cycles: request, grant, address.
int bridge_open_cycle(int handle, int cycle, std::uint32_t address) {
    bridge_put(handle, BRIDGE_CTRL, BRIDGE_REQ);
    if (bridge_wait(handle, BRIDGE_REQ) < 0) {
        return -1;
    }
    bridge_put(handle, BRIDGE_CTRL, control_word(cycle, 0));
    bridge_put(handle, BRIDGE_ADDR, address);
    return 0;
}

// The header and payload head of a direct bus command; bytes from offset
// 32 are per item.
void fill_bus_head(unsigned char* s_buf, std::uint32_t word_count, std::uint32_t command_word) {
    std::memset(s_buf + VRN_HEADER_BYTES, 0, VRN_HEAD_BYTES - VRN_HEADER_BYTES);
    make_packet_header(s_buf, word_count, BUS_PACKET_TYPE);
    put_u32(s_buf + 16, VRN_REG_MAGIC);
    put_u32(s_buf + 20, command_word);
    put_u32(s_buf + 24, BUS_SPACE_MODE);
}

}  // namespace

int vrn_bridge_read(int handle, int cycle, std::uint32_t address) {
    if (conn_lookup(handle) < 0) {
        return -1;
    }
    if (bridge_open_cycle(handle, cycle, address) < 0) {
        return -1;
    }
    bridge_put(handle, BRIDGE_CTRL, control_word(cycle, BRIDGE_STROBE_READ));
    if (bridge_wait(handle, BRIDGE_DONE) < 0) {
        return -1;
    }
    std::uint32_t result = 0;
    vrn_reg_read32(handle, BRIDGE_SPACE, 0, 0, BRIDGE_DATA, &result);
    bridge_put(handle, BRIDGE_CTRL, 0);
    std::uint32_t unused = 0;
    vrn_reg_read32(handle, BRIDGE_SPACE, 0, 0, BRIDGE_CTRL, &unused);
    return static_cast<int>(result);
}

int vrn_bridge_write(int handle, int cycle, std::uint32_t address, std::uint32_t value) {
    if (conn_lookup(handle) < 0) {
        return -1;
    }
    if (bridge_open_cycle(handle, cycle, address) < 0) {
        return -1;
    }
    bridge_put(handle, BRIDGE_DATA, value);
    plat_sleep_ms(BRIDGE_WRITE_PAUSE_MS);
    bridge_put(handle, BRIDGE_CTRL, control_word(cycle, BRIDGE_STROBE_WRITE1));
    plat_sleep_ms(BRIDGE_WRITE_PAUSE_MS);
    bridge_put(handle, BRIDGE_CTRL, control_word(cycle, BRIDGE_STROBE_WRITE2));
    if (bridge_wait(handle, BRIDGE_DONE) < 0) {
        return -1;
    }
    bridge_put(handle, BRIDGE_CTRL, 0);
    return 0;
}

int vrn_bus_read(int handle, int bus, int /*reserved1*/, int /*reserved2*/, std::uint32_t address, void* buffer,
                 int count) {
    if (conn_lookup(handle) < 0) {
        return -1;
    }
    int cycle = 0;
    const Route route = bus_route(bus, &cycle);
    auto* out = static_cast<unsigned char*>(buffer);
    if (route == Route::Bridged) {
        // A cycle that gives up still stores the low 16 bits of its -1, but
        // the call then fails: 0xFFFF is no word the bus delivered.
        int result = 0;
        for (int i = 0; i < count / 2; ++i) {
            if (vrn_bridge_read(handle, cycle, address) == -1) result = -1;
            const int value = vrn_bridge_read(handle, 1, address);
            if (value == -1) result = -1;
            const auto word = static_cast<std::uint16_t>(value);
            std::memcpy(out + 2 * i, &word, sizeof word);
            ++address;
        }
        return result;
    }
    if (route != Route::Direct) {
        return -1;
    }
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    fill_bus_head(s_buf, BUS_READ_REQUEST_BYTES / 4 - 2, BUS_READ_COMMAND);
    for (int i = 0; i < count; ++i) {
        put_u32(s_buf + 32, address);
        put_u32(s_buf + 36, 1);
        if (link_exchange_acked(handle, s_buf, BUS_READ_REQUEST_BYTES, r_buf, BUS_READ_ACK_BYTES, 1) < 0) {
            return -1;
        }
        out[i] = r_buf[32];
        address += 8;
    }
    return 0;
}

int vrn_bus_write(int handle, int bus, int /*reserved1*/, int /*reserved2*/, std::uint32_t address,
                  const void* data, int count) {
    if (conn_lookup(handle) < 0) {
        return -1;
    }
    int cycle = 0;
    const Route route = bus_route(bus, &cycle);
    const auto* in = static_cast<const unsigned char*>(data);
    if (route == Route::Bridged) {
        // The transfer goes on past a cycle that gave up, as the bus's
        // own order asks, but the call reports the lost word.
        int result = 0;
        for (int i = 0; i < count / 2; ++i) {
            std::uint16_t word = 0;
            std::memcpy(&word, in + 2 * i, sizeof word);
            if (vrn_bridge_write(handle, cycle, address, word) < 0) result = -1;
            ++address;
        }
        return result;
    }
    if (route != Route::Direct) {
        return -1;
    }
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    fill_bus_head(s_buf, BUS_WRITE_REQUEST_BYTES / 4 - 2, BUS_WRITE_COMMAND);
    for (int i = 0; i < count; ++i) {
        put_u32(s_buf + 32, address);
        put_u32(s_buf + 36, 1);
        put_u32(s_buf + 40, get_u32(in + i));
        if (link_exchange_acked(handle, s_buf, BUS_WRITE_REQUEST_BYTES, r_buf, BUS_WRITE_ACK_BYTES, 1) < 0) {
            return -1;
        }
        address += 8;
    }
    return 0;
}
