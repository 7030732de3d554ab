// A capture of the simulator's datagrams as a classic pcap file, framed as
// Ethernet/IPv4/UDP, so that a run opens in Wireshark or tshark. Written by
// hand (no capture library) so that every build, the Windows one included,
// has it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vrnsim {

using PcapBytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kPcapSnapLength = 65535;
// The most an IPv4 UDP datagram carries (65535 - 20 - 8); a larger one cannot exist on the wire.
constexpr std::size_t kPcapMaxUdpPayload = 65507;

// The 24-byte file header: little-endian, version 2.4, microsecond
// timestamps, LINKTYPE_ETHERNET.
PcapBytes pcap_file_header();

// One record: its 16-byte header and the frame (Ethernet with zero MAC
// addresses, as a loopback capture shows them; IPv4 with its header
// checksum; UDP with its checksum). Addresses and ports in network order,
// as they lie in a socket address; `micros` since the Unix epoch; `ip_id`
// is the IPv4 identification. A payload beyond kPcapMaxUdpPayload is cut.
PcapBytes pcap_record(const VrnSockAddr& from, const VrnSockAddr& to, const std::uint8_t* data, std::size_t size,
                      std::uint64_t micros, std::uint16_t ip_id);

// The open file. Each record goes out in one unbuffered write, so a
// simulator killed at any point leaves whole records behind it.
class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates (or empties) the file and writes its header, or with `append`
    // goes on at the end of a capture this writer's owner began; false with a message.
    bool open(const std::string& path, bool append, std::string* error);
    // A datagram as it passes now. After a failed write nothing more is written.
    void datagram(const VrnSockAddr& from, const VrnSockAddr& to, const std::uint8_t* data, std::size_t size);
    // Empty while every record reached the file.
    std::string error() const;

private:
    std::FILE* file_ = nullptr;
    std::uint16_t next_id_ = 1;
    mutable std::mutex mu_;  // error_ is read by another thread
    std::string error_;
};

}  // namespace vrnsim
