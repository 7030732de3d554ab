// Wraps hostile datagrams into a pcap for the dissector's robustness check:
// the answers of the fuzz corpus scripts (the script format is the one in
// fuzz/fake_platform.h), each corpus file whole on every module port, and
// every request kind cut at every length.
// Usage: vrn_corpus_pcap OUT.pcap BASE_PORT CORPUS_FILE...
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "wire.h"

namespace {

using vrnsim::Bytes;

constexpr std::size_t kScriptMaxDatagram = 1500;
const std::uint8_t kAckHead[32] = {0x6b, 0x24, 0x5a, 0x13, 0x06, 0, 0, 0, 0xdf, 0x2b, 0xa1, 0xec, 0x13, 0, 0, 0,
                                   0xaa, 0x94, 0x45, 0xcd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

struct Out {
    std::FILE* file;
    std::uint64_t micros = 1700000000000000ull;
    std::uint16_t id = 1;
    void put(const VrnSockAddr& from, const VrnSockAddr& to, const Bytes& b) {
        micros += 1000;
        Bytes r = vrnsim::pcap_record(from, to, b.data(), b.size(), micros, id++);
        std::fwrite(r.data(), 1, r.size(), file);
    }
};

VrnSockAddr at(std::uint16_t port) {
    VrnSockAddr a{};
    a.family = 2;
    a.port = plat_htons(port);
    a.addr = plat_htonl(0x7F000001u);
    return a;
}

// The answer datagrams of one fuzz script, with whether each came on the stream socket.
std::vector<std::pair<Bytes, bool>> script_answers(const Bytes& input) {
    std::vector<std::pair<Bytes, bool>> out;
    std::size_t i = 3;  // after the operation and its two arguments
    auto take = [&]() -> std::uint8_t { return i < input.size() ? input[i++] : 0; };
    while (i < input.size()) {
        const std::uint8_t flags = take();
        for (int n = 0; n < (flags & 3); ++n) {
            std::size_t word = take();
            word |= std::size_t(take()) << 8;
            Bytes d((word & 0x7FFF) % (kScriptMaxDatagram + 1));
            std::size_t k = 0;
            if (flags & 8)
                for (; k < d.size() && k < sizeof kAckHead; ++k) d[k] = kAckHead[k];
            for (; k < d.size(); ++k) d[k] = take();
            out.emplace_back(std::move(d), (word & 0x8000) != 0);
        }
    }
    return out;
}

Bytes words(std::initializer_list<std::uint32_t> w, std::size_t size) {
    Bytes b(size, 0);
    std::size_t k = 0;
    for (std::uint32_t v : w) {
        if (k + 4 > size) break;
        vrnsim::put32(&b[k], v);
        k += 4;
    }
    return b;
}

// One request of each kind, whole, to be cut at every length.
std::vector<Bytes> request_kinds() {
    const std::uint32_t A = vrnsim::kMagicA, B = vrnsim::kMagicB, R = vrnsim::kRegisterMagic, C = vrnsim::kChannelMagic;
    return {
        words({A, 8, B, 0x31, R, vrnsim::kBusReadCommand, 3, 0, 0x4000A, 1}, 40),
        words({A, 9, B, 0x31, R, vrnsim::kBusWriteCommand, 3, 0, 0x4000A, 1, 0x41}, 44),
        words({A, 8, B, 0x31, R, 0x31190200, 3, 0, 0x800036, 0}, 40),
        words({A, 10, B, 0x12, R, 0x311A0400, 1, 0, 0x10, 1, 0x18, 2}, 48),
        words({A, 30, B, 0x30, R, vrnsim::kBlockCommand, 3, 0, 1, 2}, 128),
        words({A, 15, B, 0x36, C, vrnsim::kChanOpen, 9, 0, 4, 64}, 68),
        words({A, 6, B, 0x36, C, vrnsim::kChanStart, 1, 0}, 32),
        words({A, 10, B, 0x36, C, vrnsim::kChanQuerySet, vrnsim::kQueryArg, 236, 2}, 48),
        words({A, 10, B, 0x36, C, vrnsim::kChanQuerySet, vrnsim::kSetArg, 7, 1234}, 48),
        words({C, 64, 0, 0, 0, 2, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}, 64),
        words({0x13572468, 0xaabbccdd, 0xeeff0011, 0x00ff33aa}, 16),
        // A register read that claims 60 pairs in a short datagram.
        words({A, 126, B, 0x31, R, 0x31197800, 3, 0, 0}, 40),
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: vrn_corpus_pcap OUT.pcap BASE_PORT [CORPUS_FILE...]\n");
        return 2;
    }
    Out out{std::fopen(argv[1], "wb")};
    if (!out.file) {
        std::fprintf(stderr, "### ERROR: cannot write %s\n", argv[1]);
        return 1;
    }
    const Bytes header = vrnsim::pcap_file_header();
    std::fwrite(header.data(), 1, header.size(), out.file);
    const std::uint16_t base = std::uint16_t(std::strtoul(argv[2], nullptr, 10));
    const VrnSockAddr client = at(50000), elsewhere = at(40000);

    for (const Bytes& whole : request_kinds())
        for (std::size_t n = 0; n <= whole.size() + 4; ++n) {
            Bytes cut(whole.begin(), whole.begin() + std::ptrdiff_t(n < whole.size() ? n : whole.size()));
            cut.resize(n, 0);
            out.put(client, at(std::uint16_t(base + 1)), cut);
            out.put(at(std::uint16_t(base + 1)), client, cut);  // the same bytes as an answer
        }
    for (int i = 3; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const Bytes input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        for (int port = 0; port < 4; ++port) {
            out.put(client, at(std::uint16_t(base + port)), input);
            out.put(at(std::uint16_t(base + port)), client, input);
        }
        out.put(client, elsewhere, input);
        const auto answers = script_answers(input);
        for (std::size_t k = 0; k < answers.size(); ++k) {
            const VrnSockAddr from = at(std::uint16_t(base + (answers[k].second ? 2 : 1)));
            out.put(from, client, answers[k].first);
            out.put(elsewhere, client, answers[k].first);  // an answer from another port
            if (k == 0)
                for (std::size_t n = 0; n < answers[k].first.size() && n < 48; ++n)
                    out.put(from, client, Bytes(answers[k].first.begin(), answers[k].first.begin() + std::ptrdiff_t(n)));
        }
    }
    std::fclose(out.file);
    return 0;
}
