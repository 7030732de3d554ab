// The module's internal bus: the direct bus command (bus code 16) and the
// bridged route over three registers of space 2 (bus codes 1 and 2).
#pragma once

#include <cstdint>

constexpr std::uint32_t BRIDGE_CTRL = 0x800036u;
constexpr std::uint32_t BRIDGE_ADDR = 0x800037u;
constexpr std::uint32_t BRIDGE_DATA = 0x800038u;
constexpr std::uint32_t BRIDGE_REQ = 0x4000u;
constexpr std::uint32_t BRIDGE_DONE = 0x8000u;
constexpr int BUS_DIRECT = 16;
constexpr std::uint32_t BUS_READ_COMMAND = 0x14190100u;
constexpr std::uint32_t BUS_WRITE_COMMAND = 0x141A0300u;

int vrn_bus_read(int handle, int bus, int reserved1, int reserved2, std::uint32_t address, void* buffer, int count);
// One direct bus access of a run sent together (vrn_bus_each): a read of
// one item at `address` (write 0) or a write of `word` there. After the
// run, `result` is the item read (0..255), 0 for a write that was
// acknowledged, or -1 when its answer never came.
struct VrnBusStep {
    std::uint32_t address;
    std::uint32_t word;
    int write;
    int result;
};
// The requests vrn_bus_read and vrn_bus_write send for the steps, in that
// order, up to the connection's in-flight count at a time
// (link_exchange_window), each answer taken by its port. A read whose
// answer was lost is sent again once; a write never is, since a chip may
// have taken it. The number of steps answered, or -1 for a handle that is
// not open.
int vrn_bus_each(int handle, VrnBusStep* steps, int count);
int vrn_bus_write(int handle, int bus, int reserved1, int reserved2, std::uint32_t address, const void* data,
                  int count);
int vrn_bridge_read(int handle, int cycle, std::uint32_t address);
int vrn_bridge_write(int handle, int cycle, std::uint32_t address, std::uint32_t value);
