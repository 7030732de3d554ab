// The owner of a module's loopback ports, for vrnsim and the tests' fake
// module alike: six UDP sockets (base..base+3, a fifth port on the same
// address, a sixth on another loopback address), the queue of datagrams
// that leave later, and the one thread that serves them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "module_types.h"
#include "platform/platform.h"

namespace vrnsim {

// Whether an address (network order) is in 127.0.0.0/8.
bool is_loopback_address(std::uint32_t ip_net);
// The refusal of any other address, in the words of vrnsim's messages.
std::string not_loopback_message(const std::string& address);

class LoopbackServer {
public:
    using Clock = std::chrono::steady_clock;

    // What the serving thread calls; only `receive` is needed.
    struct Handler {
        // A datagram arrived on socket `socket` from `from`: what to send.
        std::function<std::vector<Outgoing>(int socket, const VrnSockAddr& from, const std::uint8_t* data,
                                            std::size_t size, Clock::time_point now)>
            receive;
        // Once a turn: what has come due by `now` without a request.
        std::function<std::vector<Outgoing>(Clock::time_point now)> poll;
        // When `poll` next has something, if ever.
        std::function<std::optional<Clock::time_point>()> next_due;
        // Every datagram that passes the sockets, either way (one sent is
        // taken just before it leaves).
        std::function<void(const VrnSockAddr& from, const VrnSockAddr& to, const std::uint8_t* data, std::size_t size)>
            tap;
    };

    LoopbackServer() = default;
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Binds base..base+3 on the loopback address given as text (base 0: a
    // free base of its own choosing in 20000-29990), the fifth port, and the
    // sixth where the system allows it. false with a message otherwise.
    bool open(const std::string& address, std::uint16_t base, std::string* error);
    void start(Handler handler);  // the serving thread
    void stop();                  // ends the thread and closes the sockets

    std::uint16_t base_port() const { return base_; }
    std::uint16_t other_port() const;
    std::uint16_t local_port(int socket) const;  // host order; 0 for a socket not bound
    // The sixth socket's address as text; empty when it could not be bound.
    std::string foreign_address() const;
    // Sends now from socket o.from, or queues it for o.delay_us; from any thread.
    void send(const Outgoing& o);

private:
    struct Pending {
        Clock::time_point due;
        Outgoing out;
    };
    void run();
    void send_now(const Outgoing& o);
    void close_all();

    vrn_socket socks_[kServerSockets] = {VRN_NO_SOCKET, VRN_NO_SOCKET, VRN_NO_SOCKET,
                                         VRN_NO_SOCKET, VRN_NO_SOCKET, VRN_NO_SOCKET};
    VrnSockAddr local_[kServerSockets] = {};
    std::uint16_t base_ = 0;
    bool net_started_ = false;
    Handler handler_;
    std::mutex pending_mu_;
    std::vector<Pending> pending_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vrnsim
