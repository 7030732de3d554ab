// The pcap file of a simulator run: file header, records, and the writer.
#include "pcap_writer.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace vrnsim {

namespace {

constexpr std::size_t kEthernetBytes = 14, kIpv4Bytes = 20, kUdpBytes = 8;

void le32(PcapBytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}
void be16(PcapBytes& b, std::uint16_t v) {
    b.push_back(std::uint8_t(v >> 8));
    b.push_back(std::uint8_t(v));
}
// A socket address keeps its fields in network order: their bytes go out as they lie.
void raw(PcapBytes& b, const void* p, std::size_t n) {
    const auto* c = static_cast<const std::uint8_t*>(p);
    b.insert(b.end(), c, c + n);
}

// The Internet checksum's running sum over big-endian 16-bit words.
std::uint32_t sum16(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += std::uint32_t(p[i]) << 8 | p[i + 1];
    if (n & 1) sum += std::uint32_t(p[n - 1]) << 8;
    return sum;
}
std::uint16_t fold(std::uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(~sum);
}

}  // namespace

PcapBytes pcap_file_header() {
    PcapBytes b;
    le32(b, 0xa1b2c3d4);  // microsecond timestamps
    b.push_back(2);       // version 2.4
    b.push_back(0);
    b.push_back(4);
    b.push_back(0);
    le32(b, 0);  // time zone: UTC
    le32(b, 0);  // timestamp accuracy
    le32(b, kPcapSnapLength);
    le32(b, 1);  // LINKTYPE_ETHERNET
    return b;
}

PcapBytes pcap_record(const VrnSockAddr& from, const VrnSockAddr& to, const std::uint8_t* data, std::size_t size,
                      std::uint64_t micros, std::uint16_t ip_id) {
    if (size > kPcapMaxUdpPayload) size = kPcapMaxUdpPayload;
    const std::size_t frame = kEthernetBytes + kIpv4Bytes + kUdpBytes + size;
    PcapBytes b;
    b.reserve(16 + frame);
    le32(b, std::uint32_t(micros / 1000000));
    le32(b, std::uint32_t(micros % 1000000));
    le32(b, std::uint32_t(frame));  // captured
    le32(b, std::uint32_t(frame));  // on the wire
    b.insert(b.end(), 12, 0);       // destination and source MAC
    be16(b, 0x0800);                // IPv4

    const std::size_t ip = b.size();
    b.push_back(0x45);  // version 4, 5 words of header
    b.push_back(0);
    be16(b, std::uint16_t(kIpv4Bytes + kUdpBytes + size));
    be16(b, ip_id);
    be16(b, 0);  // flags, fragment offset
    b.push_back(64);  // time to live
    b.push_back(17);  // UDP
    be16(b, 0);       // checksum, below
    raw(b, &from.addr, 4);
    raw(b, &to.addr, 4);
    const std::uint16_t ip_sum = fold(sum16(&b[ip], kIpv4Bytes));
    b[ip + 10] = std::uint8_t(ip_sum >> 8);
    b[ip + 11] = std::uint8_t(ip_sum);

    const std::size_t udp = b.size();
    const std::uint16_t udp_len = std::uint16_t(kUdpBytes + size);
    raw(b, &from.port, 2);
    raw(b, &to.port, 2);
    be16(b, udp_len);
    be16(b, 0);  // checksum, below
    raw(b, data, size);
    // Over the pseudo header (addresses, protocol, length) and the datagram.
    std::uint32_t s = sum16(&b[ip + 12], 8, 17u + udp_len);
    std::uint16_t udp_sum = fold(sum16(&b[udp], kUdpBytes + size, s));
    if (udp_sum == 0) udp_sum = 0xFFFF;  // 0 would mean "no checksum"
    b[udp + 6] = std::uint8_t(udp_sum >> 8);
    b[udp + 7] = std::uint8_t(udp_sum);
    return b;
}

PcapWriter::~PcapWriter() {
    if (file_) std::fclose(file_);
}

bool PcapWriter::open(const std::string& path, bool append, std::string* error) {
    file_ = std::fopen(path.c_str(), append ? "ab" : "wb");
    if (!file_) {
        *error = "cannot write pcap file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::setvbuf(file_, nullptr, _IONBF, 0);
    PcapBytes h = pcap_file_header();
    if (!append && std::fwrite(h.data(), 1, h.size(), file_) != h.size()) {
        *error = "cannot write pcap file " + path + ": " + std::strerror(errno);
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

void PcapWriter::datagram(const VrnSockAddr& from, const VrnSockAddr& to, const std::uint8_t* data, std::size_t size) {
    if (!file_) return;
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto micros = std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count());
    PcapBytes r = pcap_record(from, to, data, size, micros, next_id_++);
    if (std::fwrite(r.data(), 1, r.size(), file_) == r.size()) return;
    std::lock_guard<std::mutex> lk(mu_);
    error_ = std::strerror(errno);
    std::fclose(file_);
    file_ = nullptr;
}

std::string PcapWriter::error() const {
    std::lock_guard<std::mutex> lk(mu_);
    return error_;
}

}  // namespace vrnsim
