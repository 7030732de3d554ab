// The pcap reader of the tests, and the PATH search for tshark.
#include "pcap_reader.h"

#include <cstdlib>
#include <filesystem>

#include "child_process.h"

namespace vrntest {

namespace {

std::uint32_t le32(const std::string& b, std::size_t at) {
    return std::uint32_t(std::uint8_t(b[at])) | std::uint32_t(std::uint8_t(b[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(b[at + 2])) << 16 | std::uint32_t(std::uint8_t(b[at + 3])) << 24;
}
std::uint32_t be16(const std::string& b, std::size_t at) {
    return std::uint32_t(std::uint8_t(b[at])) << 8 | std::uint8_t(b[at + 1]);
}
std::uint32_t be32(const std::string& b, std::size_t at) { return be16(b, at) << 16 | be16(b, at + 2); }

bool fail(std::string* why, const std::string& text) {
    *why = text;
    return false;
}

}  // namespace

bool read_pcap(const std::string& path, std::vector<PcapDatagram>* out, std::string* why) {
    const std::string b = read_file_bytes(path);
    out->clear();
    if (b.size() < 24) return fail(why, "shorter than a pcap file header");
    if (le32(b, 0) != 0xa1b2c3d4 || le32(b, 20) != 1) return fail(why, "not a little-endian Ethernet pcap file");
    std::size_t at = 24;
    while (at < b.size()) {
        const std::string where = "record " + std::to_string(out->size() + 1) + ": ";
        if (b.size() - at < 16) return fail(why, where + "header cut short");
        const std::uint32_t caplen = le32(b, at + 8), wirelen = le32(b, at + 12);
        if (caplen != wirelen) return fail(why, where + "captured and wire lengths differ");
        if (b.size() - at - 16 < caplen) return fail(why, where + "frame cut short");
        const std::size_t f = at + 16;
        if (caplen < 42 || be16(b, f + 12) != 0x0800 || std::uint8_t(b[f + 14]) != 0x45 ||
            std::uint8_t(b[f + 23]) != 17)
            return fail(why, where + "not Ethernet/IPv4/UDP");
        if (be16(b, f + 16) != caplen - 14 || be16(b, f + 38) != caplen - 34)
            return fail(why, where + "IPv4 or UDP length disagrees with the frame");
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < 20; i += 2) sum += be16(b, f + 14 + i);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        if (sum != 0xFFFF) return fail(why, where + "bad IPv4 header checksum");
        PcapDatagram d;
        d.micros = std::uint64_t(le32(b, at)) * 1000000 + le32(b, at + 4);
        d.src_ip = be32(b, f + 26);
        d.dst_ip = be32(b, f + 30);
        d.src_port = std::uint16_t(be16(b, f + 34));
        d.dst_port = std::uint16_t(be16(b, f + 36));
        d.payload.assign(b.begin() + std::ptrdiff_t(f + 42), b.begin() + std::ptrdiff_t(f + caplen));
        out->push_back(std::move(d));
        at = f + caplen;
    }
    return true;
}

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path) return {};
#ifdef _WIN32
    const char sep = ';';
    const std::string file = name + ".exe";
#else
    const char sep = ':';
    const std::string& file = name;
#endif
    std::string dirs = path;
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(sep, start);
        if (end == std::string::npos) end = dirs.size();
        std::filesystem::path p = std::filesystem::path(dirs.substr(start, end - start)) / file;
        std::error_code ec;
        if (end > start && std::filesystem::is_regular_file(p, ec)) return p.string();
        start = end + 1;
    }
    return {};
}

}  // namespace vrntest
