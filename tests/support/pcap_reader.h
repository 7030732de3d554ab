// Reads back the pcap files that vrnsim writes, for tests: each record's
// time, addresses, ports and UDP payload, with the framing checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vrntest {

struct PcapDatagram {
    std::uint64_t micros = 0;  // since the Unix epoch
    std::uint32_t src_ip = 0, dst_ip = 0;  // host order
    std::uint16_t src_port = 0, dst_port = 0;
    std::vector<std::uint8_t> payload;
};

// The datagrams of a classic little-endian Ethernet pcap file. False with
// the reason when the file is not one, or a record's framing is wrong
// (a length, the EtherType, the IPv4 header checksum).
bool read_pcap(const std::string& path, std::vector<PcapDatagram>* out, std::string* why);

// Where `name` lies on the PATH, or empty.
std::string find_program(const std::string& name);

}  // namespace vrntest
