// What both kinds of fake module share: the script and the log of what
// arrived, and the byte helpers of the tests.
#include <algorithm>
#include <cstdio>

#include "fake_module.h"

namespace vrntest {

std::string FakeModule::address() const { return "127.0.0.1:" + std::to_string(base_port()); }

void FakeModule::set_script(Script script) {
    std::lock_guard<std::mutex> lock(mu_);
    script_ = std::move(script);
}

std::vector<Datagram> FakeModule::received() const {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
}

std::size_t FakeModule::count(int port_index) const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<std::size_t>(
        std::count_if(log_.begin(), log_.end(), [&](const Datagram& d) { return d.port_index == port_index; }));
}

void FakeModule::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    log_.clear();
    seq_ = 0;
}

bool FakeModule::wait_for(std::size_t n, int ms, int port_index) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        return static_cast<std::size_t>(std::count_if(log_.begin(), log_.end(), [&](const Datagram& d) {
                   return d.port_index == port_index;
               })) >= n;
    });
}

std::vector<Action> FakeModule::arrived(Datagram d) {
    Script script;
    int seq;
    {
        std::lock_guard<std::mutex> lock(mu_);
        log_.push_back(d);
        seq = seq_++;
        script = script_;
    }
    cv_.notify_all();
    if (!script) return {};
    return script(d, seq);
}

// Written out byte by byte rather than with the library's own packing, so
// that a fault there is not mirrored here.
Bytes words_le(std::initializer_list<std::uint32_t> words) {
    Bytes b;
    for (std::uint32_t w : words) {
        b.push_back(static_cast<std::uint8_t>(w));
        b.push_back(static_cast<std::uint8_t>(w >> 8));
        b.push_back(static_cast<std::uint8_t>(w >> 16));
        b.push_back(static_cast<std::uint8_t>(w >> 24));
    }
    return b;
}

std::uint32_t word_at(const Bytes& b, std::size_t offset) {
    if (offset + 4 > b.size()) return 0xDEADBEEFu;
    return static_cast<std::uint32_t>(b[offset]) | (static_cast<std::uint32_t>(b[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(b[offset + 2]) << 16) | (static_cast<std::uint32_t>(b[offset + 3]) << 24);
}

Bytes make_ack(std::size_t n, std::initializer_list<std::uint32_t> data) {
    Bytes b(n, 0);
    auto put = [&](std::size_t off, std::uint32_t w) {
        const Bytes word = words_le({w});
        if (off + 4 <= n) std::copy(word.begin(), word.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
    };
    put(0, 0x135a246bu);
    put(4, static_cast<std::uint32_t>(n / 4 >= 2 ? n / 4 - 2 : 0));
    put(8, 0xeca12bdfu);
    put(12, 0x13u);
    put(16, 0xcd4594aau);
    std::size_t off = 32;
    for (std::uint32_t w : data) {
        put(off, w);
        off += 4;
    }
    return b;
}

std::string hex(const Bytes& b) {
    std::string s;
    char tmp[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(tmp, sizeof tmp, "%02x", b[i]);
        if (i) s += ' ';
        s += tmp;
    }
    return s;
}

}  // namespace vrntest
