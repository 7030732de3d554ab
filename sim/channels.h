// The module's channel side: the read and write channels that the channel
// commands open and start, the stream ports, and the query/set values.
//
// Channels are kept per direction, as the start, stop and close commands
// name them (second argument word: 0 read, 1 write); an open takes the
// direction from descriptor word 0 (4 = read, anything else write).
//
// Read-channel source (base+2): the module learns the client's stream
// address from the source of any datagram that arrives on base+2 (a
// one-byte "hello" is enough; the client's read socket has no address of
// its own until it sends). While the read channel is started and that
// address is known, the module sends it one datagram of descriptor word 1
// bytes (the chunk size; 1024 when 0) every millisecond. The stream's byte
// k, counted from the start command, is k & 0xFF, across datagram borders.
//
// Write-channel sink (base+3): every datagram is counted and kept (up to
// 4 MiB); nothing is sent back. Datagrams on base+2 are kept likewise.
//
// Query code 2 answers the 236-byte module info record (info_record()),
// status 0. Any other code answers the value last set for that code (set
// command: first value = code, second value = value) in the first data
// word with status 0, or status 1 and zeros when nothing was set for it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "wire.h"

namespace vrnsim {

struct ModuleConfig;

constexpr std::size_t kInfoRecordBytes = 236;
constexpr std::uint32_t kInfoRecordSig = 0x564E5249;  // "IRNV" in memory: 49 52 4E 56
constexpr std::size_t kCaptureLimit = 4u << 20;

// The info record that query code 2 returns, 59 little-endian words:
//   0 kInfoRecordSig, 1 record length (236), 2 DFA BLOCK_ID, 3 DFA BLOCK_VER,
//   4 DFA SIG, 5 VRBUS DeviceID, 6 VRBUS REV_MOD, 7 VRBUS PLD_VER,
//   8 flash maker code, 9 flash device code, 10 flash width in bits,
//   11 cells per sector, 12 sector count, 13 base port, 14 IPv4 address as
//   it lies in a socket address (network order), 15-30 a NUL-terminated
//   name ("vrnsim module model", 64 bytes), the rest 0.
Bytes info_record(const ModuleConfig& cfg, std::uint32_t sector_cells, std::uint32_t sector_count);

struct Channel {
    bool open = false;
    bool started = false;
    std::array<std::uint32_t, 9> descriptor{};
    std::uint32_t start_value = 0;
};

class Channels {
public:
    using Clock = std::chrono::steady_clock;

    // Answers status: 0 done, 1 refused (channel not open / not started).
    std::uint32_t open(const std::array<std::uint32_t, 9>& descriptor);
    std::uint32_t start(std::uint32_t direction, std::uint32_t value, Clock::time_point now);
    std::uint32_t stop(std::uint32_t direction);
    std::uint32_t close(std::uint32_t direction);
    const Channel& channel(std::uint32_t direction) const { return ch_[direction & 1]; }

    // A datagram on a stream port (2 or 3).
    void stream_in(int port, const std::uint8_t* data, std::size_t size, const VrnSockAddr& from, Clock::time_point now);
    // The source datagram due now, if any; `to` gets the client's address.
    std::optional<Bytes> stream_out(Clock::time_point now, VrnSockAddr* to);
    std::optional<Clock::time_point> next_due() const;

    const Bytes& captured(int port) const { return capture_[port == 2 ? 0 : 1]; }
    std::uint64_t datagrams_in(int port) const { return count_in_[port == 2 ? 0 : 1]; }
    std::uint64_t bytes_in(int port) const { return bytes_in_[port == 2 ? 0 : 1]; }
    std::uint64_t stream_bytes_out() const { return source_offset_; }

    void set_value(std::uint32_t code, std::uint32_t value) { settings_[code] = value; }
    std::optional<std::uint32_t> value(std::uint32_t code) const;

private:
    bool source_active() const { return ch_[0].started && have_client_; }
    std::array<Channel, 2> ch_{};
    bool have_client_ = false;
    VrnSockAddr client_{};
    std::uint64_t source_offset_ = 0;
    Clock::time_point next_send_{};
    std::array<Bytes, 2> capture_{};
    std::array<std::uint64_t, 2> count_in_{}, bytes_in_{};
    std::map<std::uint32_t, std::uint32_t> settings_;
};

}  // namespace vrnsim
