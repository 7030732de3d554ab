// The module model: decodes requests from the bytes on the wire and answers
// like the module, with its register spaces, bridge, bus and flash chip.
// ModuleServer runs it on four consecutive loopback UDP ports.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "flash_chip.h"
#include "pcap_writer.h"
#include "platform/platform.h"

namespace vrnsim {

// Faults injected on the wire; rates are 0..1 per datagram, counts are
// "the next N" (-1 = unlimited). Seeded, so runs are reproducible.
struct WireFaults {
    std::uint32_t seed = 1;
    double drop_request = 0, drop_ack = 0, duplicate_ack = 0, delay_ack = 0, split_ack = 0,
           corrupt_magic = 0, other_port = 0;
    int delay_ms = 5000;  // how late a delayed acknowledge comes
    double foreign_address = 0;  // answer from another loopback address (127.0.0.2, or .3)
    int faults_after = 0;        // command datagrams served cleanly before faults begin
    long fault_limit = -1;       // faults injected in all before they stop (-1 = no limit)
};

// How many faults of each kind were injected.
struct FaultCounts {
    std::uint64_t drop_request = 0, drop_ack = 0, duplicate_ack = 0, delay_ack = 0, split_ack = 0,
                  corrupt_magic = 0, other_port = 0, foreign_address = 0;
};

// Sockets a reply can leave from besides the four module ports.
constexpr int kOtherPort = 4;       // same address, another port
constexpr int kForeignAddress = 5;  // another loopback address

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
    int answer_delay_ms = 0;             // every answer leaves this late: a slow module
    WireFaults faults;
    bool trace = false;                  // one decoded line per datagram to stderr
    // Where trace lines go instead of stderr (tests); used when set, with or without `trace`.
    std::function<void(const std::string&)> trace_sink;
    bool keep_logs = true;               // record BusEvent/RegEvent logs (off in the long-running program)
    bool factory_icr = true;             // a new flash gets the factory ICR record in sector 1
    std::string pcap_file;               // every datagram of the sockets, both directions (empty: none)
};

// One bus item the module moved, in order, for tests and the trace.
struct BusEvent {
    bool write;
    std::uint32_t address;
    std::uint32_t value;
    bool bridged = false;  // moved by a bridge cycle rather than the direct bus command
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
    void set_chip_faults(const ChipFaults& faults);  // the same, safely while serving
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
    void run();

    std::unique_ptr<Module> module_;
    ModuleConfig config_;
    mutable std::mutex mu_;
    std::thread thread_;
    bool running_ = false;
    std::atomic<bool> stop_{false};
    vrn_socket socks_[6] = {VRN_NO_SOCKET, VRN_NO_SOCKET, VRN_NO_SOCKET,
                            VRN_NO_SOCKET, VRN_NO_SOCKET, VRN_NO_SOCKET};
    std::uint16_t other_port_ = 0;
    std::string foreign_address_;
    VrnSockAddr local_[6] = {};  // where each socket is bound, for the capture
    std::unique_ptr<PcapWriter> pcap_;
    bool pcap_begun_ = false;
};

}  // namespace vrnsim
