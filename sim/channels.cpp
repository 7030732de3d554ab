// The module's stream channels: what arrives on the stream ports, and the
// datagrams of started read channels, due on their own clock.
#include "channels.h"

#include <algorithm>
#include <cstring>

#include "module_types.h"

namespace vrnsim {

namespace {
constexpr std::chrono::microseconds kSourcePace{1000};
constexpr std::uint32_t kReadKind = 4;
constexpr std::size_t kDefaultChunk = 1024;

std::uint32_t word_or_zero(const std::vector<std::uint32_t>& w, std::size_t i) { return i < w.size() ? w[i] : 0; }
}  // namespace

Bytes info_record(const ModuleConfig& cfg, std::uint32_t sector_cells, std::uint32_t sector_count) {
    Bytes r(kInfoRecordBytes, 0);
    std::uint32_t w[15] = {
        kInfoRecordSig,
        std::uint32_t(kInfoRecordBytes),
        word_or_zero(cfg.dfa, 0),
        word_or_zero(cfg.dfa, 1),
        word_or_zero(cfg.dfa, 2),
        word_or_zero(cfg.vrbus, 2),
        word_or_zero(cfg.vrbus, 3),
        word_or_zero(cfg.vrbus, 4),
        cfg.chip.maker,
        cfg.chip.device,
        std::uint32_t(cfg.chip.width),
        sector_cells,
        sector_count,
        cfg.base_port,
        plat_inet_addr(cfg.address.c_str()),
    };
    for (std::size_t i = 0; i < 15; ++i) put32(&r[4 * i], w[i]);
    static const char name[] = "vrnsim module model";
    std::memcpy(&r[60], name, sizeof name);
    return r;
}

std::uint32_t Channels::open(const std::array<std::uint32_t, 9>& descriptor) {
    Channel& c = ch_[descriptor[0] == kReadKind ? 0 : 1];
    c = Channel{};
    c.open = true;
    c.descriptor = descriptor;
    return 0;
}

std::uint32_t Channels::start(std::uint32_t direction, std::uint32_t value, Clock::time_point now) {
    Channel& c = ch_[direction & 1];
    if (!c.open) return 1;
    c.started = true;
    c.start_value = value;
    if (direction == 0) {
        source_offset_ = 0;
        next_send_ = now;
    }
    return 0;
}

std::uint32_t Channels::stop(std::uint32_t direction) {
    Channel& c = ch_[direction & 1];
    if (!c.started) return 1;
    c.started = false;
    return 0;
}

std::uint32_t Channels::close(std::uint32_t direction) {
    Channel& c = ch_[direction & 1];
    bool was_open = c.open;
    c = Channel{};
    return was_open ? 0 : 1;
}

void Channels::stream_in(int port, const std::uint8_t* data, std::size_t size, const VrnSockAddr& from,
                         Clock::time_point now) {
    int i = port == 2 ? 0 : 1;
    ++count_in_[i];
    bytes_in_[i] += size;
    Bytes& cap = capture_[i];
    std::size_t keep = std::min(size, kCaptureLimit - std::min(kCaptureLimit, cap.size()));
    cap.insert(cap.end(), data, data + keep);
    if (port == 2) {
        if (!have_client_) next_send_ = now;
        have_client_ = true;
        client_ = from;
    }
}

std::optional<Bytes> Channels::stream_out(Clock::time_point now, VrnSockAddr* to) {
    if (!source_active() || now < next_send_) return std::nullopt;
    std::size_t chunk = ch_[0].descriptor[1];
    if (chunk == 0) chunk = kDefaultChunk;
    chunk = std::min(chunk, kMaxDatagram);
    Bytes b(chunk);
    for (std::size_t i = 0; i < chunk; ++i) b[i] = std::uint8_t(source_offset_ + i);
    source_offset_ += chunk;
    next_send_ = now + kSourcePace;
    *to = client_;
    return b;
}

std::optional<Channels::Clock::time_point> Channels::next_due() const {
    if (!source_active()) return std::nullopt;
    return next_send_;
}

std::optional<std::uint32_t> Channels::value(std::uint32_t code) const {
    auto it = settings_.find(code);
    if (it == settings_.end()) return std::nullopt;
    return it->second;
}

}  // namespace vrnsim
