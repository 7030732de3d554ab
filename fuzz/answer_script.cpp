// The fuzz input played as the module's answers (answer_script.h).
#include "answer_script.h"

#include <cstring>

#include "fake_platform.h"
#include "platform/bytes.h"

namespace fuzzplat {

namespace {

constexpr std::uint32_t kModuleIp = 0x0100007fu;  // 127.0.0.1, network order
constexpr std::uint32_t kStranger = 0x0900007fu;  // 127.0.0.9
constexpr std::size_t kMaxDatagram = 1500;
// Answers take a millisecond, so that every exchange moves the fake clock
// and loops bounded in time end even while the script keeps answering.
constexpr std::uint32_t kAnswerMs = 1;
constexpr std::uint8_t kHead[32] = {0x6b, 0x24, 0x5a, 0x13, 0x06, 0, 0, 0, 0xdf, 0x2b, 0xa1, 0xec, 0x13, 0, 0, 0,
                                    0xaa, 0x94, 0x45, 0xcd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

struct State {
    const std::uint8_t* script = nullptr;
    std::size_t size = 0, at = 0;
    std::uint64_t requests = 0;
    std::vector<std::vector<std::uint8_t>> delivered;  // since the last send, whole, from the module
} g;

std::uint8_t take() { return g.at < g.size ? g.script[g.at++] : 0; }

// The answer to one datagram sent on s to `to`.
void answer(const fakenet::Sent& sent) {
    ++g.requests;
    g.delivered.clear();
    if (g.at >= g.size) return;
    const std::uint8_t flags = take();
    const int count = flags & 3;
    const bool stranger = flags & 4, head = flags & 8;
    for (int i = 0; i < count; ++i) {
        std::size_t word = std::size_t(take());
        word |= std::size_t(take()) << 8;
        const vrn_socket into = word & 0x8000 ? sent.socket + 1 : sent.socket;
        const std::size_t len = (word & 0x7FFF) % (kMaxDatagram + 1);
        std::vector<std::uint8_t> bytes(len);
        std::size_t k = 0;
        if (head)
            for (; k < len && k < sizeof kHead; ++k) bytes[k] = kHead[k];
        for (; k < len; ++k) bytes[k] = take();
        VrnSockAddr from = sent.to;
        from.addr = stranger ? kStranger : kModuleIp;
        fakenet::deliver(into, from, std::move(bytes), kAnswerMs);
    }
}

}  // namespace

void reset(const std::uint8_t* script, std::size_t size) {
    fakenet::reset();
    g = State{};
    g.script = script;
    g.size = size;
    fakenet::listen_rest(answer);
    fakenet::on_taken([](vrn_socket, const VrnSockAddr& from, const std::uint8_t* data, std::size_t n) {
        if (from.addr == kModuleIp) g.delivered.emplace_back(data, data + n);
    });
}

std::vector<std::vector<std::uint8_t>> answers_for_last_request(std::size_t len) {
    // Every choice of datagrams, in order, that ends with the last one and
    // is len bytes long: the parts of an answer, with strays left out.
    std::vector<std::vector<std::uint8_t>> found;
    const std::size_t n = g.delivered.size();
    if (n == 0 || n > 12) return found;
    for (std::uint32_t mask = 1u << (n - 1); mask < (1u << n); ++mask) {
        std::vector<std::uint8_t> joined;
        for (std::size_t i = 0; i < n; ++i)
            if (mask & (1u << i)) joined.insert(joined.end(), g.delivered[i].begin(), g.delivered[i].end());
        if (joined.size() == len) found.push_back(std::move(joined));
    }
    return found;
}
std::uint64_t requests_sent() { return g.requests; }

}  // namespace fuzzplat
