// The module's side of the wire format: little-endian words, the packet
// header and payload head, and the decoding of every request the module
// knows. Written from the datagram layouts, apart from the client library,
// so that a fault in one is not mirrored in the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vrnsim {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMagicA = 0x135a246b;
constexpr std::uint32_t kMagicB = 0xeca12bdf;
constexpr std::uint32_t kRegisterMagic = 0xcd4594aa;
constexpr std::uint32_t kChannelMagic = 0x1b24aa55;
constexpr std::size_t kMaxDatagram = 1460;

// packet_type of the module's acknowledges: low 4 bits 3 as the client
// checks; the upper bits tell the family (1 register, 3 channel).
constexpr std::uint32_t kRegisterAckType = 0x13;
constexpr std::uint32_t kChannelAckType = 0x33;

constexpr std::uint32_t kBusReadCommand = 0x14190100;
constexpr std::uint32_t kBusWriteCommand = 0x141A0300;
constexpr std::uint32_t kBlockCommand = 0x310A1800;
constexpr std::uint32_t kChanOpen = 0x1300, kChanStart = 0x1100, kChanStop = 0x1200, kChanClose = 0x1400;
constexpr std::uint32_t kChanQuerySet = 2, kQueryArg = 0x3002, kSetArg = 0x3003;
constexpr std::size_t kBlockBytes = 128;
constexpr std::size_t kRawBytes = 64;
constexpr std::size_t kEchoBytes = 16;

inline std::uint32_t get32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

enum class Cmd {
    Echo,       // 16 bytes on the command port, echoed unchanged
    Raw,        // 64-byte raw command without packet header
    RegRead,
    RegWrite,   // also the register list write: explicit address per pair
    BusRead,
    BusWrite,
    Block,      // 96-byte block transfer
    ChanOpen,
    ChanStart,
    ChanStop,
    ChanClose,
    Query,
    Set,
};

const char* cmd_name(Cmd c);

struct Pair {
    std::uint32_t address;
    std::uint32_t value;
};

// One decoded request. Only the fields of its command are meaningful.
struct Request {
    Cmd cmd = Cmd::Echo;
    std::uint32_t packet_type = 0;
    std::uint32_t command_word = 0;
    std::uint32_t arg1 = 0;  // space_mode in the register family
    std::uint32_t arg2 = 0;
    std::uint32_t sub_space = 0;
    std::vector<Pair> pairs;             // register read/write
    std::uint32_t bus_address = 0;       // direct bus command
    std::uint32_t bus_data = 0;
    std::array<std::uint32_t, 9> words{};  // channel descriptor or raw args
    std::array<std::uint32_t, 24> block{}; // block transfer data
    std::uint32_t raw_sequence = 0;
    std::uint32_t query_code = 0;        // query code, or the set's second value
};

// Decodes a datagram that arrived on the command port. Returns false with
// the reason in *why for anything the module does not know or that is
// malformed; the module answers such a datagram with silence.
bool decode_request(const std::uint8_t* data, std::size_t size, Request* out, std::string* why);

// The acknowledge skeleton: header for `size` bytes, payload head.
Bytes make_reply(std::size_t size, std::uint32_t packet_type, std::uint32_t payload_magic,
                 std::uint32_t command_word, std::uint32_t arg1, std::uint32_t arg2);

std::string hex_bytes(const std::uint8_t* data, std::size_t size, std::size_t max_bytes);

}  // namespace vrnsim
