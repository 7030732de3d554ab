// The platform layer (platform/platform.h) without an operating system,
// for the tests that time out and for the fuzzer: sockets that pass
// datagrams inside the process, and a fake clock that moves only when
// something waits or sleeps, so that a 4-second wait costs no real time
// and lasts exactly 4 seconds. One thread only.
//
// A datagram sent goes, inside the send, to the socket bound to its
// destination (arriving at once), else to a listener of that address (a
// fake module), else to the listener of the rest, else nowhere. A wait
// with something due returns at once; with an arrival due within its
// time-out it moves the clock to that arrival; otherwise it moves the
// clock by its whole time-out, and by 1 ms at least, so that a loop that
// polls also lets time pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/platform.h"

namespace fakenet {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t now_ms();
void advance(std::uint32_t ms);

// A datagram sent to a listener.
struct Sent {
    vrn_socket socket;  // the sending socket
    VrnSockAddr from;   // its address
    VrnSockAddr to;
    const std::uint8_t* data;
    std::size_t size;
};
using Listener = std::function<void(const Sent&)>;

// Datagrams sent to `at` (address and port) go to the listener. Returns
// an id for unlisten.
int listen(const VrnSockAddr& at, Listener listener);
// Datagrams for which there is neither a socket nor a listener.
int listen_rest(Listener listener);
void unlisten(int id);

// A datagram from `from` that arrives at socket `to` delay_ms from now.
void deliver(vrn_socket to, const VrnSockAddr& from, Bytes bytes, std::uint32_t delay_ms);
// A socket error (a WinSock number, such as 10054 for an ICMP port
// unreachable report) that a receive on socket `to` meets delay_ms from
// now, in place of a datagram.
void deliver_error(vrn_socket to, int error, std::uint32_t delay_ms);
// The same for the socket bound to address `to`; false when there is none.
bool deliver_to(const VrnSockAddr& to, const VrnSockAddr& from, Bytes bytes, std::uint32_t delay_ms);

// Called for every datagram a receive hands over whole.
using Taken = std::function<void(vrn_socket s, const VrnSockAddr& from, const std::uint8_t* data, std::size_t size)>;
void on_taken(Taken taken);

// Sockets, listeners and datagrams all gone, the clock where it was.
void reset();

}  // namespace fakenet
