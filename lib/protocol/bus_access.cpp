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

// A request of the direct bus command: header and payload head; bus
// address and item count 1 from offset 32 go in per item.
void start_direct(unsigned char* s_buf, int request_bytes, std::uint32_t command_word) {
    make_packet_header(s_buf, word_count_of(request_bytes), BUS_PACKET_TYPE);
    put_payload_head(s_buf, VRN_REG_MAGIC, command_word, BUS_SPACE_MODE, 0);
    put_u32(s_buf + 36, 1);
}

// One item per exchange, each acknowledged before the next.
int direct_read(int handle, std::uint32_t address, unsigned char* out, int count) {
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    start_direct(s_buf, BUS_READ_REQUEST_BYTES, BUS_READ_COMMAND);
    for (int i = 0; i < count; ++i, address += 8) {
        put_u32(s_buf + 32, address);
        if (link_exchange_acked(handle, s_buf, BUS_READ_REQUEST_BYTES, r_buf, BUS_READ_ACK_BYTES, 1) < 0) {
            return -1;
        }
        out[i] = r_buf[32];
    }
    return 0;
}

int direct_write(int handle, std::uint32_t address, const unsigned char* in, int count) {
    unsigned char s_buf[VRN_BUF_BYTES];
    unsigned char r_buf[VRN_BUF_BYTES];
    start_direct(s_buf, BUS_WRITE_REQUEST_BYTES, BUS_WRITE_COMMAND);
    for (int i = 0; i < count; ++i, address += 8) {
        put_u32(s_buf + 32, address);
        put_u32(s_buf + 40, get_u32(in + i));
        if (link_exchange_acked(handle, s_buf, BUS_WRITE_REQUEST_BYTES, r_buf, BUS_WRITE_ACK_BYTES, 1) < 0) {
            return -1;
        }
    }
    return 0;
}

// Each 16-bit word through a bridge cycle. A cycle that gives up still
// stores the low 16 bits of its -1, but the call then fails: 0xFFFF is no
// word the bus delivered.
int bridged_read(int handle, int cycle, std::uint32_t address, unsigned char* out, int count) {
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

// The transfer goes on past a cycle that gave up, as the bus's own order
// asks, but the call reports the lost word.
int bridged_write(int handle, int cycle, std::uint32_t address, const unsigned char* in, int count) {
    int result = 0;
    for (int i = 0; i < count / 2; ++i) {
        std::uint16_t word = 0;
        std::memcpy(&word, in + 2 * i, sizeof word);
        if (vrn_bridge_write(handle, cycle, address, word) < 0) result = -1;
        ++address;
    }
    return result;
}

// The route of a bus code on an open connection; None refuses the call
// before any traffic.
Route checked_route(int handle, int bus, int* cycle) {
    return conn_lookup(handle) < 0 ? Route::None : bus_route(bus, cycle);
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
    int cycle = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    switch (checked_route(handle, bus, &cycle)) {
        case Route::Bridged: return bridged_read(handle, cycle, address, out, count);
        case Route::Direct: return direct_read(handle, address, out, count);
        default: return -1;
    }
}

namespace {

LinkWindowRequest make_step(void* context, int i, unsigned char* request) {
    const VrnBusStep& step = static_cast<VrnBusStep*>(context)[i];
    if (!step.write) {
        start_direct(request, BUS_READ_REQUEST_BYTES, BUS_READ_COMMAND);
        put_u32(request + 32, step.address);
        return LinkWindowRequest{BUS_READ_REQUEST_BYTES, BUS_READ_ACK_BYTES, 2};
    }
    start_direct(request, BUS_WRITE_REQUEST_BYTES, BUS_WRITE_COMMAND);
    put_u32(request + 32, step.address);
    put_u32(request + 40, step.word);
    return LinkWindowRequest{BUS_WRITE_REQUEST_BYTES, BUS_WRITE_ACK_BYTES, 1};
}

void take_step(void* context, int i, const unsigned char* ack) {
    VrnBusStep& step = static_cast<VrnBusStep*>(context)[i];
    step.result = step.write ? 0 : ack[32];
}

}  // namespace

int vrn_bus_each(int handle, VrnBusStep* steps, int count) {
    if (conn_lookup(handle) < 0 || count < 0) return -1;
    for (int i = 0; i < count; ++i) steps[i].result = -1;
    const LinkWindowJob job{count, make_step, take_step, steps};
    return link_exchange_window(handle, &job);
}

int vrn_bus_write(int handle, int bus, int /*reserved1*/, int /*reserved2*/, std::uint32_t address,
                  const void* data, int count) {
    int cycle = 0;
    const auto* in = static_cast<const unsigned char*>(data);
    switch (checked_route(handle, bus, &cycle)) {
        case Route::Bridged: return bridged_write(handle, cycle, address, in, count);
        case Route::Direct: return direct_write(handle, address, in, count);
        default: return -1;
    }
}
