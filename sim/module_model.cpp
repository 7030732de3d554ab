#include "module_model.h"

#include <cstdio>

#include "factory_records.h"

namespace vrnsim {

namespace {

ModuleConfig resolved(ModuleConfig c) {
    if (c.dfa.empty()) c.dfa = default_dfa(c.chip);
    if (c.vrbus.empty()) c.vrbus = default_vrbus();
    return c;
}

Trace make_trace(const ModuleConfig& c) {
    if (c.trace_sink) return Trace(c.trace_sink);
    if (c.trace)
        return Trace([](const std::string& s) {
            std::fputs(s.c_str(), stderr);
            std::fputc('\n', stderr);
        });
    return Trace();
}

bool is_command_socket(int socket) { return socket == 1 || socket == kOtherPort || socket == kForeignAddress; }

}  // namespace

ChipGeometry store_geometry(const ChipConfig& chip) {
    ChipGeometry g = chip_geometry(chip);
    if (g.sector_count == 0) g.sector_count = kUnknownDeviceSectors;
    return g;
}

std::unique_ptr<Module> Module::create(const ModuleConfig& config, std::string* error) {
    std::string why;
    bool created = false;
    std::unique_ptr<FlashStore> store = make_chip_store(config.chip, config.flash_file, &why, &created);
    if (!store) {
        if (error) *error = "cannot use flash file " + config.flash_file + ": " + why;
        return nullptr;
    }
    if ((config.flash_file.empty() || created) && config.factory_icr) {
        ModuleConfig r = resolved(config);
        Bytes icr = factory_icr(r.vrbus.size() > 2 ? r.vrbus[2] : 0);
        const std::size_t first = store_geometry(config.chip).sector_cells;
        for (std::size_t k = 0; k < icr.size() && first + k < store->cells(); ++k) store->set(first + k, icr[k]);
        if (!store->write_error().empty()) {
            if (error) *error = "cannot write flash file " + config.flash_file + ": " + store->write_error();
            return nullptr;
        }
    }
    std::unique_ptr<FlashChip> chip = make_flash_chip(config.chip, *store);
    if (!chip) {
        if (error) *error = "cannot make the flash chip";
        return nullptr;
    }
    return std::make_unique<Module>(config, std::move(store), std::move(chip));
}

Module::Module(const ModuleConfig& config, std::unique_ptr<FlashStore> store, std::unique_ptr<FlashChip> chip)
    : cfg_(resolved(config)),
      store_(std::move(store)),
      chip_(std::move(chip)),
      geometry_(store_geometry(cfg_.chip)),
      regs_(cfg_.dfa, cfg_.vrbus),
      bridge_(cfg_.bridge_grant_after, cfg_.bridge_done_after, cfg_.bridge_never_grants,
              [this](std::uint32_t a) { return bus_read(a, true); },
              [this](std::uint32_t a, std::uint32_t v) { bus_write(a, v, true); }),
      faults_(cfg_.faults),
      trace_(make_trace(cfg_)) {}

void Module::clear_logs() {
    bus_log_.clear();
    reg_log_.clear();
}

std::uint32_t Module::bus_read(std::uint32_t address, bool bridged) {
    std::uint32_t v = chip_->bus_read(address);
    if (cfg_.keep_logs) bus_log_.push_back(BusEvent{false, address, v, bridged});
    return v;
}

void Module::bus_write(std::uint32_t address, std::uint32_t value, bool bridged) {
    chip_->bus_write(address, value);
    if (cfg_.keep_logs) bus_log_.push_back(BusEvent{true, address, value, bridged});
}

std::uint32_t Module::reg_read(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address) {
    std::uint32_t v = Bridge::is_bridge_register(space_mode, sub_space, address) ? bridge_.read(address)
                                                                                  : regs_.read(space_mode, sub_space, address);
    if (cfg_.keep_logs) reg_log_.push_back(RegEvent{false, space_mode, sub_space, address, v});
    return v;
}

void Module::reg_write(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address, std::uint32_t value) {
    if (cfg_.keep_logs) reg_log_.push_back(RegEvent{true, space_mode, sub_space, address, value});
    if (Bridge::is_bridge_register(space_mode, sub_space, address))
        bridge_.write(address, value);
    else
        regs_.write(space_mode, sub_space, address, value);
}

Bytes Module::query_answer(const Request& r) {
    std::size_t length = r.arg2;
    Bytes data(length, 0);
    std::uint32_t status = 0;
    if (r.query_code == 2) {
        Bytes rec = info_record(cfg_, geometry_.sector_cells, geometry_.sector_count);
        for (std::size_t i = 0; i < length && i < rec.size(); ++i) data[i] = rec[i];
    } else if (auto v = channels_.value(r.query_code)) {
        for (std::size_t i = 0; i < 4 && i < length; ++i) data[i] = std::uint8_t(*v >> (8 * i));
    } else {
        status = 1;
    }
    Bytes ack = make_reply(48 + length, kChannelAckType, kChannelMagic, r.command_word, status, r.arg2);
    put32(&ack[32], r.query_code);
    std::copy(data.begin(), data.end(), ack.begin() + 48);
    return ack;
}

std::optional<Bytes> Module::serve(const Request& r, Clock::time_point now, std::string* note) {
    const bool tr = trace_.on();
    switch (r.cmd) {
    case Cmd::Echo:
    case Cmd::Raw: return std::nullopt;  // answered from the raw bytes by receive()
    case Cmd::RegRead: {
        Bytes ack = make_reply(32 + 4 * r.pairs.size(), kRegisterAckType, kRegisterMagic, r.command_word, r.arg1, 0);
        for (std::size_t i = 0; i < r.pairs.size(); ++i) {
            std::uint32_t v = reg_read(r.arg1, r.sub_space, r.pairs[i].address);
            put32(&ack[32 + 4 * i], v);
            if (tr && i < 6) *note += fmt(" 0x%08X", unsigned(v));
        }
        if (tr && Bridge::is_bridge_register(r.arg1, r.sub_space, r.pairs[0].address))
            *note += bridge_.granted() ? " | bridge granted" : " | bridge idle";
        return ack;
    }
    case Cmd::RegWrite:
        for (const Pair& p : r.pairs) reg_write(r.arg1, r.sub_space, p.address, p.value);
        return make_reply(32, kRegisterAckType, kRegisterMagic, r.command_word, r.arg1, 0);
    case Cmd::BusRead: {
        std::uint32_t v = bus_read(r.bus_address, false);
        Bytes ack = make_reply(36, kRegisterAckType, kRegisterMagic, r.command_word, r.arg1, 0);
        put32(&ack[32], v);
        if (tr) *note = fmt(" 0x%08X", unsigned(v));
        return ack;
    }
    case Cmd::BusWrite:
        bus_write(r.bus_address, r.bus_data, false);
        return make_reply(32, kRegisterAckType, kRegisterMagic, r.command_word, r.arg1, 0);
    case Cmd::Block: {
        Bytes ack = make_reply(kBlockBytes, kRegisterAckType, kRegisterMagic, r.command_word, r.arg1, 0);
        for (std::size_t i = 0; i < 24; ++i) put32(&ack[32 + 4 * i], ~r.block[i]);
        return ack;
    }
    case Cmd::ChanOpen: {
        std::uint32_t st = channels_.open(r.words);
        return make_reply(32, kChannelAckType, kChannelMagic, r.command_word, st, r.words[0] == 4 ? 0 : 1);
    }
    case Cmd::ChanStart:
    case Cmd::ChanStop:
    case Cmd::ChanClose: {
        std::uint32_t st = r.cmd == Cmd::ChanStart  ? channels_.start(r.arg2, r.arg1, now)
                           : r.cmd == Cmd::ChanStop ? channels_.stop(r.arg2)
                                                    : channels_.close(r.arg2);
        if (tr) *note = fmt(" status %u", unsigned(st));
        return make_reply(32, kChannelAckType, kChannelMagic, r.command_word, st, r.arg2);
    }
    case Cmd::Query: {
        Bytes ack = query_answer(r);
        if (tr) *note = fmt(" status %u", unsigned(ack[24]));
        return ack;
    }
    case Cmd::Set: {
        channels_.set_value(r.arg2, r.query_code);
        Bytes ack = make_reply(48, kChannelAckType, kChannelMagic, r.command_word, 0, r.arg2);
        put32(&ack[32], r.query_code);
        return ack;
    }
    }
    return std::nullopt;
}

void Module::emit(std::vector<Outgoing>* out, Bytes ack, int socket, const VrnSockAddr& to, const std::string& detail,
                  bool framed, long wait_us) {
    AckPlan p = faults_.plan_ack(framed);
    trace_.answer(socket, ack.size(), detail, p);
    if (p.drop) return;
    if (p.corrupt_offset >= 0 && ack.size() >= std::size_t(p.corrupt_offset) + 4) ack[p.corrupt_offset] ^= 0xFF;
    Outgoing o;
    o.from = p.from >= 0 ? p.from : socket;
    o.to = to;
    o.delay_us = 1000L * (p.delay_ms + cfg_.answer_delay_ms) + cfg_.latency_us + wait_us;
    int copies = p.duplicate ? 2 : 1;
    for (int c = 0; c < copies; ++c) {
        if (c == 1) o.delay_us += 1000L * p.copy_delay_ms;
        if (p.split && ack.size() >= 8) {
            std::size_t half = (ack.size() / 2) & ~std::size_t(3);
            if (half == 0) half = 4;
            o.bytes.assign(ack.begin(), ack.begin() + half);
            out->push_back(o);
            o.bytes.assign(ack.begin() + half, ack.end());
            out->push_back(o);
        } else {
            o.bytes = ack;
            out->push_back(o);
        }
    }
}

std::vector<Outgoing> Module::receive(const std::uint8_t* data, std::size_t size, int socket, const VrnSockAddr& from,
                                      Clock::time_point now) {
    std::vector<Outgoing> out;
    if (socket == 2 || socket == 3) {
        channels_.stream_in(socket, data, size, from, now);
        if (trace_.on())
            trace_.request(socket, size,
                           "stream data (" + std::to_string(channels_.datagrams_in(socket)) + " datagrams in all)");
        return out;
    }
    if (!is_command_socket(socket)) {
        trace_.request(socket, size, "ignored: this port carries no traffic");
        return out;
    }
    ++requests_;
    if (faults_.drop_request()) {
        trace_.request(socket, size, "dropped before the module saw it");
        return out;
    }
    long wait_us = 0;
    if (!enqueue(now, &wait_us)) {
        ++queue_full_;
        trace_.request(socket, size, "lost: the module's queue of " + std::to_string(cfg_.queue_depth) + " is full");
        return out;
    }
    if (faults_.hold_request()) {
        trace_.request(socket, size, "held: served later, after the requests that come meanwhile");
        held_.push_back(Held{Bytes(data, data + size), socket, from,
                             now + std::chrono::milliseconds(cfg_.faults.hold_ms)});
        return out;
    }
    if (const int copy_ms = faults_.duplicate_request(); copy_ms >= 0) {
        trace_.request(socket, size, "duplicated: a copy arrives " + std::to_string(copy_ms) + " ms later");
        held_.push_back(Held{Bytes(data, data + size), socket, from, now + std::chrono::milliseconds(copy_ms)});
    }
    take_request(&out, data, size, socket, from, now, wait_us);
    return out;
}

bool Module::enqueue(Clock::time_point now, long* wait_us) {
    if (cfg_.queue_depth <= 0) return true;
    while (!queue_.empty() && queue_.front() <= now) queue_.pop_front();
    if (long(queue_.size()) >= cfg_.queue_depth) return false;
    const Clock::time_point start = queue_.empty() ? now : std::max(now, queue_.back());
    queue_.push_back(start + std::chrono::microseconds(cfg_.service_us));
    *wait_us = long(std::chrono::duration_cast<std::chrono::microseconds>(queue_.back() - now).count());
    return true;
}

void Module::take_request(std::vector<Outgoing>* out_list, const std::uint8_t* data, std::size_t size, int socket,
                          const VrnSockAddr& from, Clock::time_point now, long wait_us) {
    std::vector<Outgoing>& out = *out_list;
    Request r;
    std::string why;
    if (!decode_request(data, size, &r, &why)) {
        ++refused_;
        trace_.request(socket, size, "refused: " + why);
        return;
    }
    if (r.cmd == Cmd::Echo || r.cmd == Cmd::Raw) {
        Bytes ack(data, data + size);
        if (r.cmd == Cmd::Raw)
            for (std::size_t i = 0; i < 9; ++i) put32(&ack[24 + 4 * i], r.words[i] + 1);
        if (trace_.on()) {
            trace_.request(socket, size, r.cmd == Cmd::Echo ? "echo " + hex_bytes(data, size, 16) : describe(r));
        }
        emit(&out, std::move(ack), socket, from, r.cmd == Cmd::Echo ? "echo" : "raw-command answer", false, wait_us);
        return;
    }
    std::string note;
    std::optional<Bytes> ack = serve(r, now, &note);
    if (trace_.on()) {
        std::string line = describe(r);
        if (r.cmd == Cmd::BusRead || r.cmd == Cmd::BusWrite) line += " | chip " + chip_->state_name();
        trace_.request(socket, size, line);
    }
    if (ack && !store_->write_error().empty()) {
        // The cell did not reach the flash file: no acknowledge, so the
        // client sees a failure instead of a write that is later lost.
        trace_.line("-> no answer: flash file failed: " + store_->write_error());
        return;
    }
    if (ack) emit(&out, std::move(*ack), socket, from, std::string("ack ") + cmd_name(r.cmd) + note, true, wait_us);
}

std::vector<Outgoing> Module::poll(Clock::time_point now) {
    std::vector<Outgoing> out;
    VrnSockAddr to{};
    while (auto b = channels_.stream_out(now, &to)) {
        Outgoing o;
        o.bytes = std::move(*b);
        o.from = 2;
        o.to = to;
        if (trace_.on())
            trace_.line(fmt("-> +2      %4u B stream data (", unsigned(o.bytes.size())) +
                        std::to_string(channels_.stream_bytes_out()) + " bytes sent since start)");
        out.push_back(std::move(o));
    }
    // Held requests in the order they came, each once it is due.
    for (auto it = held_.begin(); it != held_.end();) {
        if (it->due > now) {
            ++it;
            continue;
        }
        const Held h = std::move(*it);
        it = held_.erase(it);
        take_request(&out, h.data.data(), h.data.size(), h.socket, h.from, now);
    }
    return out;
}

std::optional<Module::Clock::time_point> Module::next_due() const {
    std::optional<Clock::time_point> due = channels_.next_due();
    for (const Held& h : held_)
        if (!due || h.due < *due) due = h.due;
    return due;
}

}  // namespace vrnsim
