// Win32 side of the platform layer: the real WinSock and Win32 calls.
#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <conio.h>
#include <cstdio>
#include <cstring>
#include <io.h>

#include "platform/native_addr.h"

namespace {

SOCKET native(vrn_socket s) { return static_cast<SOCKET>(s); }

int wait_one(vrn_socket s, bool for_write, long sec, long usec) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(native(s), &set);
    timeval tv{sec, usec};
    int r = for_write ? ::select(0, nullptr, &set, nullptr, &tv) : ::select(0, &set, nullptr, nullptr, &tv);
    return r == SOCKET_ERROR ? -1 : r;
}

}  // namespace

int plat_net_start() {
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0 ? 0 : -1;
}

void plat_net_stop() { WSACleanup(); }

vrn_socket plat_udp_socket() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return VRN_NO_SOCKET;
    return static_cast<vrn_socket>(s);
}

int plat_set_nonblocking(vrn_socket s, unsigned long mode) {
    u_long m = mode;
    return ioctlsocket(native(s), FIONBIO, &m) == 0 ? 0 : -1;
}

int plat_wait_readable(vrn_socket s, long sec, long usec) { return wait_one(s, false, sec, usec); }
int plat_wait_writable(vrn_socket s, long sec, long usec) { return wait_one(s, true, sec, usec); }

int plat_poll_readable(const vrn_socket* socks, int n, int* ready, long timeout_ms) {
    return plat_poll_readable_us(socks, n, ready, timeout_ms * 1000);
}

int plat_poll_readable_us(const vrn_socket* socks, int n, int* ready, long timeout_us) {
    fd_set set;
    FD_ZERO(&set);
    int any = 0;
    for (int i = 0; i < n; ++i) {
        ready[i] = 0;
        if (socks[i] == VRN_NO_SOCKET) continue;
        FD_SET(native(socks[i]), &set);
        any = 1;
    }
    if (!any) {
        Sleep(static_cast<DWORD>((timeout_us + 999) / 1000));
        return 0;
    }
    timeval tv{timeout_us / 1000000, timeout_us % 1000000};
    int r = ::select(0, &set, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) return -1;
    for (int i = 0; i < n; ++i)
        if (socks[i] != VRN_NO_SOCKET && FD_ISSET(native(socks[i]), &set)) ready[i] = 1;
    return r;
}

int plat_bind(vrn_socket s, const VrnSockAddr* addr) {
    sockaddr_in sa;
    to_native(addr, &sa);
    return ::bind(native(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int plat_set_rcvbuf(vrn_socket s, int bytes) {
    return setsockopt(native(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0 ? 0
                                                                                                                 : -1;
}

int plat_sendto(vrn_socket s, const void* data, int len, const VrnSockAddr* to) {
    sockaddr_in sa;
    to_native(to, &sa);
    int n = ::sendto(native(s), static_cast<const char*>(data), len, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n == SOCKET_ERROR ? -1 : n;
}

int plat_recvfrom(vrn_socket s, void* buf, int len, VrnSockAddr* from) {
    sockaddr_in sa{};
    int salen = sizeof sa;
    int n = ::recvfrom(native(s), static_cast<char*>(buf), len, 0, reinterpret_cast<sockaddr*>(&sa), &salen);
    if (from && (n != SOCKET_ERROR || WSAGetLastError() == WSAEMSGSIZE)) from_native(sa, from);
    return n == SOCKET_ERROR ? -1 : n;
}

int plat_send(vrn_socket s, const void* data, int len) {
    int n = ::send(native(s), static_cast<const char*>(data), len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int plat_recv(vrn_socket s, void* buf, int len) {
    int n = ::recv(native(s), static_cast<char*>(buf), len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int plat_shutdown(vrn_socket s, int how) { return ::shutdown(native(s), how) == 0 ? 0 : -1; }
int plat_close_socket(vrn_socket s) { return ::closesocket(native(s)) == 0 ? 0 : -1; }
int plat_last_error() { return WSAGetLastError(); }

int plat_local_addr(vrn_socket s, VrnSockAddr* out) {
    sockaddr_in sa{};
    int salen = sizeof sa;
    if (::getsockname(native(s), reinterpret_cast<sockaddr*>(&sa), &salen) != 0) return -1;
    from_native(sa, out);
    return 0;
}

std::uint32_t plat_inet_addr(const char* text) { return ::inet_addr(text); }

vrn_handle plat_mutex_create() {
    HANDLE h = CreateMutexW(nullptr, FALSE, nullptr);
    return reinterpret_cast<vrn_handle>(h);
}

int plat_mutex_try(vrn_handle m) {
    DWORD r = WaitForSingleObject(reinterpret_cast<HANDLE>(m), 0);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED ? 0 : -1;
}

// WinSock sockets are not counted against a descriptor limit.
long plat_raise_descriptor_limit(long) { return -1; }

int plat_mutex_wait(vrn_handle m) {
    // A mutex left behind by a thread that ended holding it is still taken
    // by this wait; the caller owns it and must release it as usual.
    DWORD r = WaitForSingleObject(reinterpret_cast<HANDLE>(m), INFINITE);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED ? 0 : -1;
}

int plat_mutex_release(vrn_handle m) { return ReleaseMutex(reinterpret_cast<HANDLE>(m)) ? 0 : -1; }
int plat_handle_close(vrn_handle h) { return CloseHandle(reinterpret_cast<HANDLE>(h)) ? 0 : -1; }
int plat_event_reset(vrn_handle e) { return ResetEvent(reinterpret_cast<HANDLE>(e)) ? 0 : -1; }

int plat_event_wait(vrn_handle e, std::uint32_t ms) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(e), ms) == WAIT_OBJECT_0 ? 0 : -1;
}

// The performance counter, not GetTickCount: that moves in steps of about
// 15.6 ms, while the adaptive wait times round trips of a millisecond or
// less and waits as little as 5 ms. Split so that counter * 1000 cannot
// overflow, however long the machine has been up.
std::uint32_t plat_tick_ms() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 0;
    }();
    LARGE_INTEGER now;
    if (frequency == 0 || !QueryPerformanceCounter(&now)) return GetTickCount();
    const std::int64_t c = now.QuadPart;
    return static_cast<std::uint32_t>(c / frequency * 1000 + c % frequency * 1000 / frequency);
}
void plat_sleep_ms(std::uint32_t ms) { Sleep(ms); }

int plat_wait_key() {
    DWORD mode;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in != INVALID_HANDLE_VALUE && in != nullptr && GetConsoleMode(in, &mode)) {
        return _getch();  // blocks until a key, no echo
    }
    // No console: one byte or end of file, never wait for a person.
    unsigned char c = 0;
    DWORD got = 0;
    if (in == INVALID_HANDLE_VALUE || in == nullptr) return -1;
    if (!ReadFile(in, &c, 1, &got, nullptr) || got != 1) return -1;
    return c;
}

int plat_stderr_is_terminal() { return _isatty(_fileno(stderr)) ? 1 : 0; }
