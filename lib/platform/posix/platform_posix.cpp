// POSIX side of the platform layer: BSD sockets, pthread mutexes, the
// monotonic clock and termios, made to answer like their Win32 twins.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "platform/native_addr.h"

namespace {

thread_local int t_last_error = 0;

int map_errno(int e) {
    switch (e) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return VRN_WSAEWOULDBLOCK;
    case EINTR: return VRN_WSAEINTR;
    case EBADF: return VRN_WSAENOTSOCK;
    case ENOTSOCK: return VRN_WSAENOTSOCK;
    case EINVAL: return VRN_WSAEINVAL;
    case EMSGSIZE: return VRN_WSAEMSGSIZE;
    case EMFILE: return VRN_WSAEMFILE;
    case ENFILE: return VRN_WSAEMFILE;  // the system's table rather than the process's: the same remedy
    case EADDRINUSE: return VRN_WSAEADDRINUSE;
    case EADDRNOTAVAIL: return VRN_WSAEADDRNOTAVAIL;
    case ENETUNREACH: return VRN_WSAENETUNREACH;
    case ECONNREFUSED: return VRN_WSAECONNRESET;  // ICMP port unreachable, as WinSock reports it on UDP
    case ECONNRESET: return VRN_WSAECONNRESET;
    case ENOBUFS: return VRN_WSAENOBUFS;
    case EHOSTUNREACH: return VRN_WSAEHOSTUNREACH;
    default: return VRN_WSAEOTHER;
    }
}

int fail() {
    t_last_error = map_errno(errno);
    return -1;
}

// poll() rather than select(): cheaper per call, and no FD_SETSIZE limit
// on descriptor numbers. The time-out keeps select()'s microseconds, rounded up.
int wait_one(vrn_socket s, bool for_write, long sec, long usec) {
    if (s < 0) {
        t_last_error = VRN_WSAENOTSOCK;
        return -1;
    }
    pollfd p{static_cast<int>(s), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    long ms = sec * 1000 + (usec + 999) / 1000;
    int r = ::poll(&p, 1, static_cast<int>(ms));
    if (r < 0) return fail();
    if (r > 0 && (p.revents & POLLNVAL)) {
        t_last_error = VRN_WSAENOTSOCK;
        return -1;
    }
    return r;
}

// The terminal as it was before the key wait changed it, for the handlers
// of the signals that may end the wait: a Ctrl-C must not leave the
// terminal without echo.
termios s_key_saved;
volatile std::sig_atomic_t s_key_raw = 0;
constexpr int KEY_WAIT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int KEY_WAIT_SIGNAL_COUNT = sizeof KEY_WAIT_SIGNALS / sizeof KEY_WAIT_SIGNALS[0];

void restore_terminal_and_end(int sig) {
    if (s_key_raw) tcsetattr(STDIN_FILENO, TCSANOW, &s_key_saved);
    // Delivered once this handler returns, so the process ends by the
    // signal as it would have without the handler.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

int plat_net_start() { return 0; }
void plat_net_stop() {}

vrn_socket plat_udp_socket() {
    int s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0) return fail();
    return s;
}

int plat_set_nonblocking(vrn_socket s, unsigned long mode) {
    int flags = ::fcntl(static_cast<int>(s), F_GETFL, 0);
    if (flags < 0) return fail();
    flags = mode ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(static_cast<int>(s), F_SETFL, flags) < 0) return fail();
    return 0;
}

int plat_wait_readable(vrn_socket s, long sec, long usec) { return wait_one(s, false, sec, usec); }
int plat_wait_writable(vrn_socket s, long sec, long usec) { return wait_one(s, true, sec, usec); }

int plat_poll_readable(const vrn_socket* socks, int n, int* ready, long timeout_ms) {
    return plat_poll_readable_us(socks, n, ready, timeout_ms * 1000);
}

int plat_poll_readable_us(const vrn_socket* socks, int n, int* ready, long timeout_us) {
    pollfd fds[64];
    if (n > 64) n = 64;
    for (int i = 0; i < n; ++i) {
        ready[i] = 0;
        fds[i].fd = socks[i] < 0 ? -1 : static_cast<int>(socks[i]);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    const timespec wait{timeout_us / 1000000, (timeout_us % 1000000) * 1000};
    int r = ::ppoll(fds, static_cast<nfds_t>(n), &wait, nullptr);
    if (r < 0) return fail();
    for (int i = 0; i < n; ++i)
        if (fds[i].revents & (POLLIN | POLLERR)) ready[i] = 1;
    return r;
}

int plat_bind(vrn_socket s, const VrnSockAddr* addr) {
    sockaddr_in sa;
    to_native(addr, &sa);
    if (::bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) return fail();
    return 0;
}

int plat_set_rcvbuf(vrn_socket s, int bytes) {
    if (::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) < 0) return fail();
    return 0;
}

int plat_sendto(vrn_socket s, const void* data, int len, const VrnSockAddr* to) {
    sockaddr_in sa;
    to_native(to, &sa);
    ssize_t n = ::sendto(static_cast<int>(s), data, static_cast<size_t>(len < 0 ? 0 : len), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (n < 0) return fail();
    return static_cast<int>(n);
}

int plat_recvfrom(vrn_socket s, void* buf, int len, VrnSockAddr* from) {
    sockaddr_in sa{};
    socklen_t salen = sizeof sa;
    // MSG_TRUNC makes Linux report the datagram's real length, so an
    // oversized datagram is an error as on WinSock instead of a short read.
    ssize_t n = ::recvfrom(static_cast<int>(s), buf, static_cast<size_t>(len < 0 ? 0 : len), MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&sa), &salen);
    if (n < 0) return fail();
    if (from) from_native(sa, from);
    if (n > len) {
        t_last_error = VRN_WSAEMSGSIZE;
        return -1;
    }
    return static_cast<int>(n);
}

int plat_send(vrn_socket s, const void* data, int len) {
    ssize_t n = ::send(static_cast<int>(s), data, static_cast<size_t>(len < 0 ? 0 : len), MSG_NOSIGNAL);
    if (n < 0) return fail();
    return static_cast<int>(n);
}

int plat_recv(vrn_socket s, void* buf, int len) {
    ssize_t n = ::recv(static_cast<int>(s), buf, static_cast<size_t>(len < 0 ? 0 : len), 0);
    if (n < 0) return fail();
    return static_cast<int>(n);
}

int plat_shutdown(vrn_socket s, int how) {
    if (::shutdown(static_cast<int>(s), how) < 0) return fail();
    return 0;
}

int plat_close_socket(vrn_socket s) {
    if (::close(static_cast<int>(s)) < 0) return fail();
    return 0;
}

int plat_last_error() { return t_last_error; }

int plat_local_addr(vrn_socket s, VrnSockAddr* out) {
    sockaddr_in sa{};
    socklen_t salen = sizeof sa;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &salen) < 0) return fail();
    from_native(sa, out);
    return 0;
}

std::uint32_t plat_inet_addr(const char* text) { return ::inet_addr(text); }

// Mutex handles are heap objects; the handle is their address.
vrn_handle plat_mutex_create() {
    auto* m = new (std::nothrow) std::mutex;
    return reinterpret_cast<vrn_handle>(m);
}

int plat_mutex_wait(vrn_handle m) {
    if (!m) return -1;
    reinterpret_cast<std::mutex*>(m)->lock();
    return 0;
}

int plat_mutex_try(vrn_handle m) {
    if (!m) return -1;
    return reinterpret_cast<std::mutex*>(m)->try_lock() ? 0 : -1;
}

long plat_raise_descriptor_limit(long max) {
    struct rlimit r;
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return -1;
    rlim_t want = r.rlim_max;
    if (want == RLIM_INFINITY || want > static_cast<rlim_t>(max)) want = static_cast<rlim_t>(max);
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < want) {
        r.rlim_cur = want;
        if (::setrlimit(RLIMIT_NOFILE, &r) != 0) ::getrlimit(RLIMIT_NOFILE, &r);
    }
    return r.rlim_cur == RLIM_INFINITY ? max : static_cast<long>(r.rlim_cur);
}

int plat_mutex_release(vrn_handle m) {
    if (!m) return -1;
    reinterpret_cast<std::mutex*>(m)->unlock();
    return 0;
}

int plat_handle_close(vrn_handle h) {
    if (!h) return -1;
    delete reinterpret_cast<std::mutex*>(h);
    return 0;
}

// Nothing in the system creates an event, so a POSIX event is never real:
// resets do nothing and waits fail at once, as on a null Win32 handle.
int plat_event_reset(vrn_handle e) { return e ? 0 : -1; }
int plat_event_wait(vrn_handle, std::uint32_t) { return -1; }

std::uint32_t plat_tick_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void plat_sleep_ms(std::uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

int plat_wait_key() {
    unsigned char c = 0;
    if (!isatty(STDIN_FILENO)) {
        // No console: take one byte or end of file, never wait for a person.
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        return n == 1 ? c : -1;
    }
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) < 0) return -1;
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    s_key_saved = saved;
    struct sigaction previous[KEY_WAIT_SIGNAL_COUNT];
    for (int i = 0; i < KEY_WAIT_SIGNAL_COUNT; ++i) {
        struct sigaction restore {};
        restore.sa_handler = restore_terminal_and_end;
        sigemptyset(&restore.sa_mask);
        sigaction(KEY_WAIT_SIGNALS[i], &restore, &previous[i]);
        // A signal the process ignores (SIGHUP under nohup) stays ignored.
        if (previous[i].sa_handler == SIG_IGN) sigaction(KEY_WAIT_SIGNALS[i], &previous[i], nullptr);
    }
    s_key_raw = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    ssize_t n;
    do {
        n = ::read(STDIN_FILENO, &c, 1);  // blocks: no polling loop
    } while (n < 0 && errno == EINTR);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    s_key_raw = 0;
    for (int i = 0; i < KEY_WAIT_SIGNAL_COUNT; ++i) sigaction(KEY_WAIT_SIGNALS[i], &previous[i], nullptr);
    return n == 1 ? c : -1;
}

int plat_stderr_is_terminal() { return isatty(STDERR_FILENO) ? 1 : 0; }
