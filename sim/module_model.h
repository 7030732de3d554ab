// The module itself, without sockets: datagrams in, datagrams out. The
// server feeds it what arrives on its sockets and sends what it returns;
// tests and fuzzers can drive it directly.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge.h"
#include "channels.h"
#include "faults.h"
#include "flash_chip.h"
#include "module_types.h"
#include "register_file.h"
#include "trace.h"
#include "wire.h"

namespace vrnsim {

class Module {
public:
    using Clock = std::chrono::steady_clock;

    // Makes the flash store (the file when configured, else memory), the
    // chip and, on a new store, the factory ICR record. nullptr with a
    // message when the flash file cannot be used.
    static std::unique_ptr<Module> create(const ModuleConfig& config, std::string* error);
    Module(const ModuleConfig& config, std::unique_ptr<FlashStore> store, std::unique_ptr<FlashChip> chip);

    // A datagram that arrived on `socket` from `from`. Sockets 1, kOtherPort
    // and kForeignAddress are command ports (a client follows an answer's
    // source, so its next request may come there); 2 and 3 are the stream
    // ports; 0 carries no traffic and is ignored.
    std::vector<Outgoing> receive(const std::uint8_t* data, std::size_t size, int socket, const VrnSockAddr& from,
                                  Clock::time_point now = Clock::now());
    // Stream datagrams and held requests' answers due by `now`, and when
    // the next is due.
    std::vector<Outgoing> poll(Clock::time_point now = Clock::now());
    std::optional<Clock::time_point> next_due() const;

    const std::vector<BusEvent>& bus_log() const { return bus_log_; }
    const std::vector<RegEvent>& reg_log() const { return reg_log_; }
    void clear_logs();
    FlashStore& store() { return *store_; }
    FlashChip& chip() { return *chip_; }
    const Channels& channels() const { return channels_; }
    const ModuleConfig& config() const { return cfg_; }
    std::uint64_t requests_seen() const { return requests_; }
    std::uint64_t refused() const { return refused_; }
    std::uint64_t queue_full() const { return queue_full_; }
    const FaultInjector& faults() const { return faults_; }
    void set_wire_faults(const WireFaults& f) {
        cfg_.faults = f;
        faults_.configure(f);
    }
    void set_foreign_available(bool ok) { faults_.set_foreign_available(ok); }

private:
    // The module's answer to a well-formed request, before wire faults;
    // nothing when the request has no answer. `note` gets the trace detail.
    std::optional<Bytes> serve(const Request& r, Clock::time_point now, std::string* note);
    std::uint32_t reg_read(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address);
    void reg_write(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address, std::uint32_t value);
    std::uint32_t bus_read(std::uint32_t address, bool bridged);
    void bus_write(std::uint32_t address, std::uint32_t value, bool bridged);
    Bytes query_answer(const Request& r);
    void emit(std::vector<Outgoing>* out, Bytes ack, int socket, const VrnSockAddr& to, const std::string& detail,
              bool framed, long wait_us);
    // A command-port request that came and was not dropped, served.
    void take_request(std::vector<Outgoing>* out, const std::uint8_t* data, std::size_t size, int socket,
                      const VrnSockAddr& from, Clock::time_point now, long wait_us = 0);
    // A request's place in a small stack's queue: false when the queue is
    // full (the datagram is lost), else how long it waits to be served.
    bool enqueue(Clock::time_point now, long* wait_us);

    // Requests held, or copies of requests, served when due.
    struct Held {
        Bytes data;
        int socket;
        VrnSockAddr from;
        Clock::time_point due;
    };
    std::vector<Held> held_;

    ModuleConfig cfg_;  // with the identity blocks filled in
    std::unique_ptr<FlashStore> store_;
    std::unique_ptr<FlashChip> chip_;
    ChipGeometry geometry_;
    RegisterFile regs_;
    Bridge bridge_;
    Channels channels_;
    FaultInjector faults_;
    Trace trace_;
    std::vector<BusEvent> bus_log_;
    std::vector<RegEvent> reg_log_;
    std::uint64_t requests_ = 0;
    std::uint64_t refused_ = 0;
    // When each request the small stack holds will have been served.
    std::deque<Clock::time_point> queue_;
    std::uint64_t queue_full_ = 0;
};

// The geometry the module gives its flash store: the chip's table entry,
// or kUnknownDeviceSectors sectors of the maker's sector size for a device
// the table does not know.
ChipGeometry store_geometry(const ChipConfig& chip);

}  // namespace vrnsim
