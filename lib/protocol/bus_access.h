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
// Direct bus reads of one item at each of `count` addresses (the requests
// vrn_bus_read sends, in that order), up to the connection's in-flight
// count at a time (link_exchange_window): out[i] and got[i] = 1 for each
// read whose answer came, got[i] = 0 for the others. The number read, or
// -1 for a handle that is not open.
int vrn_bus_read_each(int handle, const std::uint32_t* addresses, unsigned char* out, unsigned char* got, int count);
// Direct bus writes of words[i] to addresses[i] (the requests vrn_bus_write
// sends, in that order), sent together up to the connection's in-flight
// count, each once: a write is never sent again, since a chip may have
// taken it. acked[i] = 1 for each write whose answer came. The number
// answered, or -1 for a handle that is not open.
int vrn_bus_write_each(int handle, const std::uint32_t* addresses, const std::uint32_t* words, unsigned char* acked,
                       int count);
int vrn_bus_write(int handle, int bus, int reserved1, int reserved2, std::uint32_t address, const void* data,
                  int count);
int vrn_bridge_read(int handle, int cycle, std::uint32_t address);
int vrn_bridge_write(int handle, int cycle, std::uint32_t address, std::uint32_t value);
