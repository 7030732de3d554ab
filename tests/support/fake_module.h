// A scriptable stand-in for the module, for tests: it takes four
// consecutive UDP ports (base..base+3) on 127.0.0.1 at a base of its own
// (support/port_lease.h), records every datagram it receives, and answers
// as the test's script says. Linked with vrn_test_support it serves real loopback
// sockets from a thread of its own; linked with vrn_test_clocked it lives
// in the scripted platform (clocked/fake_platform.h), answering inside
// the library's own send, on the fake clock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "module_types.h"
#include "platform/platform.h"
#include "test_clock.h"

namespace vrntest {

using Bytes = std::vector<std::uint8_t>;

struct Datagram {
    Bytes bytes;
    int port_index;          // 0..3: which of base..base+3 received it; 4/5 the extra sockets
    std::uint16_t src_port;  // host order
    std::uint16_t dst_port;  // host order
    std::chrono::steady_clock::time_point when;  // on the fake clock over the scripted platform
};

// One datagram the fake module sends back.
struct Action {
    Bytes bytes;
    int delay_ms = 0;  // sent this long after the request arrived
    // Which socket it leaves from: 0..3 the module ports, kOtherPort a
    // fifth socket on another port, kForeignAddress one bound to 127.0.0.2.
    int from = -1;  // -1: the port that received the request
    static constexpr int kOtherPort = vrnsim::kOtherPort;
    static constexpr int kForeignAddress = vrnsim::kForeignAddress;
};

// The script: given each request (and how many requests came before it on
// any port), what to send back. An empty list means silence.
using Script = std::function<std::vector<Action>(const Datagram& request, int seq)>;

class FakeModule {
public:
    explicit FakeModule(Script script = {});
    ~FakeModule();
    FakeModule(const FakeModule&) = delete;
    FakeModule& operator=(const FakeModule&) = delete;

    std::uint16_t base_port() const;
    std::uint16_t other_port() const;
    std::string address() const;  // "127.0.0.1:<base>"

    void set_script(Script script);
    std::vector<Datagram> received() const;
    std::size_t count(int port_index = 1) const;
    void clear();
    // Waits until at least n datagrams arrived on port_index or ms passed.
    bool wait_for(std::size_t n, int ms, int port_index = 1) const;
    // Sends a datagram from module port `from` (or kOtherPort/kForeignAddress)
    // to the source of the last datagram received on port_index, delay_ms
    // from now.
    void send_to_client(const Bytes& bytes, int from, int port_index = 1, int delay_ms = 0);

    struct Transport;  // the sockets: real ones, or the scripted platform's

private:
    // A datagram arrived: logged, then the script says what goes back.
    std::vector<Action> arrived(Datagram d);

    Script script_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<Datagram> log_;
    int seq_ = 0;
    std::unique_ptr<Transport> transport_;  // last: it may call arrived() until it goes
};

// Byte helpers for writing expected datagrams out in tests.
Bytes words_le(std::initializer_list<std::uint32_t> words);
std::uint32_t word_at(const Bytes& b, std::size_t offset);
// An acknowledge of n bytes: header with packet_type 0x13, register payload
// magic, zeros elsewhere; `data` words from offset 32.
Bytes make_ack(std::size_t n, std::initializer_list<std::uint32_t> data = {});
std::string hex(const Bytes& b);

// Whether a socket bound to 127.0.0.2 really sends from there, so that
// Action::kForeignAddress means what it says. Not under Wine: it binds a
// UDP socket to the interface, not the address, and sends from 127.0.0.1.
bool foreign_source_possible();
inline constexpr const char* kNoForeignSource = "this system sends from 127.0.0.1 whatever the bound address";

// Picks a base port for a test server: n (at most 4) consecutive free
// loopback ports that no other test process is handed, nor anyone else in
// this one, while this process runs (support/port_lease.h).
std::uint16_t pick_free_base(int n);

}  // namespace vrntest
