// One small interface in front of the operating system: WinSock, Win32
// handles, the tick clock and the console on Windows; their POSIX
// equivalents elsewhere. Everything above this layer sees WinSock's
// conventions (error numbers, socket handles, -1 for none) on both sides.
#pragma once

#include <cstddef>
#include <cstdint>

// A socket handle; -1 means none (INVALID_SOCKET on Windows).
using vrn_socket = std::intptr_t;
constexpr vrn_socket VRN_NO_SOCKET = -1;

// A mutex or event handle; 0 means none.
using vrn_handle = std::intptr_t;

// The 16-byte IPv4 socket address as it lies in memory on both systems:
// family 2, port and address in network byte order, 8 zero bytes.
struct VrnSockAddr {
    std::uint16_t family;
    std::uint16_t port;   // network byte order
    std::uint32_t addr;   // network byte order
    std::uint8_t zero[8];
};
static_assert(sizeof(VrnSockAddr) == 16, "IPv4 socket address must be 16 bytes");

// WinSock error numbers reported by plat_last_error() on every system,
// counted from WinSock's base as winsock.h counts them.
enum : int {
    VRN_WSABASEERR = 10000,
    VRN_WSAEINTR = VRN_WSABASEERR + 4,
    VRN_WSAEBADF = VRN_WSABASEERR + 9,
    VRN_WSAEINVAL = VRN_WSABASEERR + 22,
    VRN_WSAEWOULDBLOCK = VRN_WSABASEERR + 35,
    VRN_WSAENOTSOCK = VRN_WSABASEERR + 38,
    VRN_WSAEMFILE = VRN_WSABASEERR + 24,
    VRN_WSAEMSGSIZE = VRN_WSABASEERR + 40,
    VRN_WSAEADDRINUSE = VRN_WSABASEERR + 48,
    VRN_WSAEADDRNOTAVAIL = VRN_WSABASEERR + 49,
    VRN_WSAENETUNREACH = VRN_WSABASEERR + 51,
    VRN_WSAECONNRESET = VRN_WSABASEERR + 54,
    VRN_WSAENOBUFS = VRN_WSABASEERR + 55,
    VRN_WSAECONNREFUSED = VRN_WSABASEERR + 61,
    VRN_WSAEHOSTUNREACH = VRN_WSABASEERR + 65,
    VRN_WSAEOTHER = VRN_WSABASEERR + 100,
};

// --- sockets -------------------------------------------------------------
int plat_net_start();                 // WSAStartup(2.2); 0 or -1
void plat_net_stop();                 // WSACleanup
vrn_socket plat_udp_socket();         // IPv4 datagram socket, or -1
int plat_set_nonblocking(vrn_socket s, unsigned long mode);  // FIONBIO; 0 or -1
// select() on one socket: >0 ready, 0 timed out, -1 failed.
int plat_wait_readable(vrn_socket s, long sec, long usec);
int plat_wait_writable(vrn_socket s, long sec, long usec);
// select() on several sockets for reading: sets ready[i] for each readable
// one and returns how many; 0 when the wait ran out, -1 when it failed.
int plat_poll_readable(const vrn_socket* socks, int n, int* ready, long timeout_ms);
// The same with the wait in microseconds, for waits shorter than a tick.
int plat_poll_readable_us(const vrn_socket* socks, int n, int* ready, long timeout_us);
int plat_bind(vrn_socket s, const VrnSockAddr* addr);       // 0 or -1
int plat_set_rcvbuf(vrn_socket s, int bytes);               // 0 or -1
// One datagram. A datagram longer than len is an error (10040), never a
// silent truncation; it is consumed all the same.
int plat_sendto(vrn_socket s, const void* data, int len, const VrnSockAddr* to);
int plat_recvfrom(vrn_socket s, void* buf, int len, VrnSockAddr* from);
int plat_send(vrn_socket s, const void* data, int len);
int plat_recv(vrn_socket s, void* buf, int len);
int plat_shutdown(vrn_socket s, int how);
int plat_close_socket(vrn_socket s);
int plat_last_error();                // WinSock number of the last socket error
// The local address a socket is bound to (port in network order); 0 or -1.
int plat_local_addr(vrn_socket s, VrnSockAddr* out);

std::uint32_t plat_inet_addr(const char* text);  // INADDR_NONE for bad text
// Byte order: the same on every system (platform/byte_order.cpp).
std::uint16_t plat_htons(std::uint16_t v);
std::uint32_t plat_ntohl(std::uint32_t v);
std::uint32_t plat_htonl(std::uint32_t v);

// --- handles -------------------------------------------------------------
vrn_handle plat_mutex_create();       // unnamed, not owned; 0 on failure
int plat_mutex_wait(vrn_handle m);    // unbounded; 0 or -1
int plat_mutex_release(vrn_handle m); // 0 or -1
int plat_mutex_try(vrn_handle m);     // takes it only when free: 0, or -1 when busy or none
// Raises the process's soft limit of open descriptors to its hard limit
// (at most max), as servers do; nothing where the system has no such
// limit. The limit now in force, or -1 when unknown.
long plat_raise_descriptor_limit(long max);
int plat_handle_close(vrn_handle h);  // 0 or -1
int plat_event_reset(vrn_handle e);   // 0 or -1
// 0 when the event is signalled within ms, else non-zero.
int plat_event_wait(vrn_handle e, std::uint32_t ms);

// --- time ----------------------------------------------------------------
std::uint32_t plat_tick_ms();         // milliseconds, in 1 ms steps; wraps at 32 bits
void plat_sleep_ms(std::uint32_t ms);

// --- console -------------------------------------------------------------
// Waits for one key without echo on a console; with no console (pipe,
// file, /dev/null) reads one byte or end of file and returns.
int plat_wait_key();
int plat_stderr_is_terminal();
