// ModuleServer: the module model (module_model.h) served on loopback UDP
// ports, with thread-safe views for tests and an optional capture.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "flash_chip.h"
#include "loopback_server.h"
#include "module_types.h"
#include "pcap_writer.h"

namespace vrnsim {

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
    std::uint16_t cell(std::size_t index) const;     // flash contents
    void set_chip_faults(const ChipFaults& faults);  // switch chip faults, also while serving
    std::uint64_t requests_seen() const;

    // Datagrams on a command port that the module refused (no answer).
    std::uint64_t refused() const;
    FaultCounts fault_counts() const;
    std::string fault_summary() const;            // one line, for the end of a run
    void set_wire_faults(const WireFaults& faults);
    std::uint16_t other_port() const;             // the fifth socket's port
    // The address foreign-address answers come from; empty where the system
    // would not bind one (that fault is then never injected).
    std::string foreign_address() const;
    // What arrived on a stream port (2 or 3), up to 4 MiB, and how many datagrams.
    std::vector<std::uint8_t> stream_received(int port_index) const;
    std::uint64_t stream_datagrams(int port_index) const;
    std::size_t cells() const;
    // Empty while every flash change reached the flash file; else what failed.
    std::string flash_error() const;
    // Empty while every datagram reached the pcap file; else what failed.
    std::string pcap_error() const;

private:
    std::unique_ptr<Module> module_;
    ModuleConfig config_;
    mutable std::mutex mu_;  // the module, between the serving thread and the views
    bool running_ = false;
    LoopbackServer ports_;
    std::unique_ptr<PcapWriter> pcap_;
    bool pcap_begun_ = false;
};

}  // namespace vrnsim
