// The fuzz input as the module's answers, over the tests' scripted platform
// (tests/support/clocked/fake_platform.h): no network, a fake clock. Every
// datagram the library sends is answered from the script, 1 ms later; a
// wait with nothing to receive moves the fake clock on by its length, so
// a silent module costs no real time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzplat {

// The script is a run of answers, one taken for every datagram sent:
//   byte  flags: bits 0-1 datagram count (0-3); bit 2 from another host;
//                bit 3 each datagram starts with a well-formed acknowledge
//                head (both magics, packet_type 0x13, register magic)
//   then per datagram: 2 bytes, little-endian: bits 0-14 the length
//                (modulo 1501), bit 15 it arrives on the next socket of the
//                endpoint (the read stream socket, for an answer to a
//                command); then its bytes (those after the head with bit 3),
//                zeros once the script has run out.
// An exhausted script answers nothing.
void reset(const std::uint8_t* script, std::size_t size);

// What the library may have taken as the answer of len bytes to the
// datagram it sent last: each join, in order, of datagrams from the
// module's address that it received whole, ending with the last of them
// (the datagrams it dropped as strays left out).
std::vector<std::vector<std::uint8_t>> answers_for_last_request(std::size_t len);
std::uint64_t requests_sent();

}  // namespace fuzzplat
