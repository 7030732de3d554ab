// The module model: decodes requests from the bytes on the wire and answers
// like the module, with its register spaces, bridge, bus and flash chip.
// ModuleServer runs it on four consecutive loopback UDP ports.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "flash_chip.h"

namespace vrnsim {

// Faults injected on the wire; rates are 0..1 per datagram, counts are
// "the next N" (-1 = unlimited). Seeded, so runs are reproducible.
struct WireFaults {
    std::uint32_t seed = 1;
    double drop_request = 0, drop_ack = 0, duplicate_ack = 0, delay_ack = 0, split_ack = 0,
           corrupt_magic = 0, other_port = 0;
    int delay_ms = 5000;  // how late a delayed acknowledge comes
};

struct ModuleConfig {
    std::string address = "127.0.0.1";  // a loopback address
    std::uint16_t base_port = 3011;
    ChipConfig chip;
    std::string flash_file;              // empty: contents in memory only
    std::vector<std::uint32_t> dfa;      // space 0 from address 0 (empty: defaults for the chip width)
    std::vector<std::uint32_t> vrbus;    // space 2 from 0x80000000, step 2 (empty: defaults)
    int bridge_grant_after = 1;          // status reads before BRIDGE_REQ shows
    int bridge_done_after = 1;           // status reads before BRIDGE_DONE shows
    bool bridge_never_grants = false;
    WireFaults faults;
    bool trace = false;                  // one decoded line per datagram to stderr
};

// One bus item the module moved, in order, for tests and the trace.
struct BusEvent {
    bool write;
    std::uint32_t address;
    std::uint32_t value;
};

// One register access the module served (space_mode, sub_space, address).
struct RegEvent {
    bool write;
    std::uint32_t space_mode;
    std::uint32_t sub_space;
    std::uint32_t address;
    std::uint32_t value;
};

class Module;

class ModuleServer {
public:
    explicit ModuleServer(ModuleConfig config);
    ~ModuleServer();
    ModuleServer(const ModuleServer&) = delete;
    ModuleServer& operator=(const ModuleServer&) = delete;

    // Binds base..base+3 and starts serving; false with a message when a
    // port is taken or the flash file cannot be used.
    bool start(std::string* error);
    void stop();
    std::uint16_t base_port() const;
    std::string address() const;  // "ip:base"

    // Thread-safe views for tests.
    std::vector<BusEvent> bus_log() const;
    std::vector<RegEvent> reg_log() const;
    void clear_logs();
    std::uint16_t cell(std::size_t index) const;  // flash contents
    ChipFaults& chip_faults();                    // switch chip faults at run time
    std::uint64_t requests_seen() const;

private:
    std::unique_ptr<Module> module_;
    ModuleConfig config_;
    mutable std::mutex mu_;
    std::thread thread_;
    bool running_ = false;
};

}  // namespace vrnsim
