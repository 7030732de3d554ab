// The platform layer answers alike on both systems: WinSock's error numbers
// and datagram rules, mutexes, the tick clock and the key wait. The same
// cases run natively and, built with mingw-w64, under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
extern char** environ;
#endif

#include "child_process.h"
#include "link/udp_endpoint.h"
#include "platform/bytes.h"
#include "platform/platform.h"
#include "test_clock.h"

namespace {

using Clock = std::chrono::steady_clock;
using vrntest::ms_since;

// Run as a child with this variable set, the program only waits for a key
// and exits with what it got: 100 for none, else the byte.
constexpr const char* kKeyChildVar = "VRN_TEST_KEY_CHILD";
const bool kIsKeyChild = [] {
    if (!std::getenv(kKeyChildVar)) return false;
    int k = plat_wait_key();
    std::_Exit(k < 0 ? 100 : (k & 0x7f));
}();

constexpr std::uint32_t kLoopback = 0x0100007fu;  // 127.0.0.1, network order

VrnSockAddr loopback(std::uint16_t port) { return vrn_sockaddr(kLoopback, port); }

// A non-blocking socket bound to an ephemeral loopback port.
struct Sock {
    vrn_socket s = VRN_NO_SOCKET;
    VrnSockAddr addr{};
    Sock() {
        s = plat_udp_socket();
        if (s == VRN_NO_SOCKET) return;
        VrnSockAddr a = loopback(0);
        plat_bind(s, &a);
        plat_set_nonblocking(s, 1);
        plat_local_addr(s, &addr);
    }
    ~Sock() {
        if (s != VRN_NO_SOCKET) plat_close_socket(s);
    }
    int send_to(const Sock& to, const std::vector<std::uint8_t>& bytes) const {
        return plat_sendto(s, bytes.data(), static_cast<int>(bytes.size()), &to.addr);
    }
};

class Sockets : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(a.s, VRN_NO_SOCKET);
        ASSERT_NE(b.s, VRN_NO_SOCKET);
    }
    // The socket library is started before the sockets are made.
    struct NetStart {
        NetStart() { plat_net_start(); }
        ~NetStart() { plat_net_stop(); }
    } net_;
    Sock a, b;
};

TEST_F(Sockets, EmptySocketWouldBlock) {
    std::uint8_t buf[16];
    VrnSockAddr from{};
    EXPECT_EQ(plat_recvfrom(a.s, buf, sizeof buf, &from), -1);
    EXPECT_EQ(plat_last_error(), VRN_WSAEWOULDBLOCK);
}

TEST_F(Sockets, DatagramArrivesWhole_WithItsSender) {
    std::vector<std::uint8_t> data = {0x68, 0x24, 0x57, 0x13, 0xdd, 0xcc, 0xbb, 0xaa};
    ASSERT_NE(a.addr.port, 0);
    EXPECT_EQ(a.addr.addr, kLoopback);
    ASSERT_EQ(b.send_to(a, data), 8);
    ASSERT_GT(plat_wait_readable(a.s, 2, 0), 0);
    std::uint8_t buf[64] = {};
    VrnSockAddr from{};
    ASSERT_EQ(plat_recvfrom(a.s, buf, sizeof buf, &from), 8);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 8), data);
    EXPECT_EQ(from.family, 2);
    EXPECT_EQ(from.addr, kLoopback);
    EXPECT_EQ(from.port, b.addr.port);
}

// A datagram longer than the buffer is an error, 10040, never a short read;
// it is gone afterwards, and the sender is known all the same.
TEST_F(Sockets, OversizedDatagramFailsWithMessageSize) {
    ASSERT_EQ(b.send_to(a, std::vector<std::uint8_t>(100, 0x5a)), 100);
    ASSERT_EQ(b.send_to(a, {1, 2, 3, 4}), 4);
    ASSERT_GT(plat_wait_readable(a.s, 2, 0), 0);
    std::uint8_t buf[32] = {};
    VrnSockAddr from{};
    EXPECT_EQ(plat_recvfrom(a.s, buf, 32, &from), -1);
    EXPECT_EQ(plat_last_error(), VRN_WSAEMSGSIZE);
    EXPECT_EQ(from.port, b.addr.port);
    // The next datagram is the short one: the long one did not linger.
    ASSERT_GT(plat_wait_readable(a.s, 2, 0), 0);
    EXPECT_EQ(plat_recvfrom(a.s, buf, 32, &from), 4);
    EXPECT_EQ(buf[3], 4);
    // Exactly the buffer's size is not too long.
    ASSERT_EQ(b.send_to(a, std::vector<std::uint8_t>(32, 7)), 32);
    ASSERT_GT(plat_wait_readable(a.s, 2, 0), 0);
    EXPECT_EQ(plat_recvfrom(a.s, buf, 32, &from), 32);
}

TEST_F(Sockets, WaitsRunOutOrEndWhenReady) {
    auto t0 = Clock::now();
    EXPECT_EQ(plat_wait_readable(a.s, 0, 300000), 0);
    long waited = ms_since(t0);
    EXPECT_GE(waited, 250);
    EXPECT_LT(waited, 2000);

    EXPECT_EQ(plat_wait_writable(a.s, 1, 0), 1);

    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        b.send_to(a, {9});
    });
    t0 = Clock::now();
    EXPECT_EQ(plat_wait_readable(a.s, 3, 0), 1);
    waited = ms_since(t0);
    sender.join();
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 2000);
}

TEST_F(Sockets, PollTellsWhichSocketIsReadable) {
    Sock c;
    ASSERT_EQ(b.send_to(c, {1, 2}), 2);
    vrn_socket socks[4] = {a.s, VRN_NO_SOCKET, c.s, b.s};
    int ready[4] = {9, 9, 9, 9};
    EXPECT_EQ(plat_poll_readable(socks, 4, ready, 2000), 1);
    EXPECT_EQ(ready[0], 0);
    EXPECT_EQ(ready[1], 0);
    EXPECT_EQ(ready[2], 1);
    EXPECT_EQ(ready[3], 0);

    std::uint8_t buf[8];
    VrnSockAddr from{};
    ASSERT_EQ(plat_recvfrom(c.s, buf, sizeof buf, &from), 2);
    auto t0 = Clock::now();
    EXPECT_EQ(plat_poll_readable(socks, 4, ready, 200), 0);
    EXPECT_GE(ms_since(t0), 150);
    EXPECT_EQ(ready[2], 0);

    // Nothing to wait on: the time-out still passes, it does not fail.
    vrn_socket none[2] = {VRN_NO_SOCKET, VRN_NO_SOCKET};
    t0 = Clock::now();
    EXPECT_EQ(plat_poll_readable(none, 2, ready, 200), 0);
    EXPECT_GE(ms_since(t0), 150);
}

TEST_F(Sockets, ClosedSocketIsNotASocket) {
    vrn_socket s = plat_udp_socket();
    ASSERT_NE(s, VRN_NO_SOCKET);
    ASSERT_EQ(plat_close_socket(s), 0);
    std::uint8_t buf[4];
    VrnSockAddr from{};
    EXPECT_EQ(plat_recvfrom(s, buf, sizeof buf, &from), -1);
    EXPECT_EQ(plat_last_error(), VRN_WSAENOTSOCK);
    EXPECT_EQ(plat_wait_readable(s, 0, 1000), -1);
}

TEST(Addresses, TextAndByteOrder) {
    EXPECT_EQ(plat_inet_addr("127.0.0.1"), kLoopback);
    EXPECT_EQ(plat_inet_addr("10.1.2.3"), 0x0302010au);
    EXPECT_EQ(plat_inet_addr("not an address"), 0xffffffffu);
    EXPECT_EQ(plat_htons(3012), 0xc40bu);  // 3012 = 0x0bc4
    EXPECT_EQ(plat_ntohl(0x78563412u), 0x12345678u);
    EXPECT_EQ(plat_htonl(0x12345678u), 0x78563412u);
}

// The endpoint's drain empties the command socket before each request. An
// oversized datagram there must not stop it short of what follows.
TEST_F(Sockets, DrainSkipsOversizedDatagrams) {
    ASSERT_EQ(b.send_to(a, {1}), 1);
    ASSERT_EQ(b.send_to(a, std::vector<std::uint8_t>(4000, 0xee)), 4000);
    ASSERT_EQ(b.send_to(a, {2}), 1);
    ASSERT_EQ(b.send_to(a, {3}), 1);
    // Give the last one time to be there on every system.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(udp_drain(a.s), 3);
    std::uint8_t buf[8];
    VrnSockAddr from{};
    EXPECT_EQ(plat_recvfrom(a.s, buf, sizeof buf, &from), -1);
    EXPECT_EQ(plat_last_error(), VRN_WSAEWOULDBLOCK);
}

TEST(Mutexes, WaitReleaseAndClose) {
    vrn_handle m = plat_mutex_create();
    ASSERT_NE(m, 0);
    ASSERT_EQ(plat_mutex_wait(m), 0);

    std::atomic<bool> got{false};
    std::thread other([&] {
        if (plat_mutex_wait(m) == 0) {
            got = true;
            plat_mutex_release(m);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(got) << "a held mutex let a second thread in";
    EXPECT_EQ(plat_mutex_release(m), 0);
    other.join();
    EXPECT_TRUE(got);

    // Free again for this thread.
    EXPECT_EQ(plat_mutex_wait(m), 0);
    EXPECT_EQ(plat_mutex_release(m), 0);
    EXPECT_EQ(plat_handle_close(m), 0);
}

#ifdef _WIN32
// Only Win32 mutexes know their owner: a thread that ends holding one
// leaves it abandoned, and the next wait takes it.
TEST(Mutexes, AbandonedMutexIsTaken) {
    vrn_handle m = plat_mutex_create();
    ASSERT_NE(m, 0);
    std::thread([&] { EXPECT_EQ(plat_mutex_wait(m), 0); }).join();
    EXPECT_EQ(plat_mutex_wait(m), 0);
    EXPECT_EQ(plat_mutex_release(m), 0);
    EXPECT_EQ(plat_handle_close(m), 0);
}
#endif

TEST(Mutexes, NullHandlesFail) {
    EXPECT_EQ(plat_mutex_wait(0), -1);
    EXPECT_EQ(plat_mutex_release(0), -1);
    EXPECT_EQ(plat_handle_close(0), -1);
    EXPECT_EQ(plat_event_reset(0), -1);
    EXPECT_NE(plat_event_wait(0, 10), 0);
}

TEST(Clock, TickFollowsSleep) {
    std::uint32_t t0 = plat_tick_ms();
    auto c0 = Clock::now();
    plat_sleep_ms(300);
    std::uint32_t ticked = plat_tick_ms() - t0;
    long real = ms_since(c0);
    EXPECT_GE(real, 290);
    EXPECT_GE(ticked, 270u);
    EXPECT_LT(ticked, 2000u);
    EXPECT_LE(static_cast<long>(ticked), real + 40);

    c0 = Clock::now();
    plat_sleep_ms(0);
    EXPECT_LT(ms_since(c0), 200);
}

// The adaptive wait measures round trips of a millisecond or less on it: a
// clock in 15.6 ms steps (GetTickCount) never moves by less. The smallest
// step seen, not a count of steps, so that a busy machine cannot fail it.
TEST(Clock, TickMovesInMillisecondSteps) {
    const auto c0 = Clock::now();
    std::uint32_t last = plat_tick_ms();
    std::uint32_t smallest = ~0u;
    while (ms_since(c0) < 200) {
        const std::uint32_t now = plat_tick_ms();
        if (now != last && now - last < smallest) smallest = now - last;
        last = now;
    }
    EXPECT_LE(smallest, 2u);
}

// --- the key wait, in a child whose standard input is not a console -------

#ifdef _WIN32
using ChildIn = HANDLE;
#else
using ChildIn = int;
#endif

#ifndef _WIN32
// Starts this program as a key-wait child on `in`; its pid, or -1.
pid_t spawn_key_child(int in) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return -1;
    self[n] = '\0';
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
    env_strings.push_back(std::string(kKeyChildVar) + "=1");
    std::vector<char*> envp;
    for (std::string& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {self, nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, self, &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}
#endif

// Runs this program as a key-wait child on `in`; its exit status, or -1
// when it had not ended after 20 s (it is then killed).
int run_key_child(ChildIn in) {
#ifdef _WIN32
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string cmd = std::string("\"") + self + "\"";
    SetEnvironmentVariableA(kKeyChildVar, "1");
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA(kKeyChildVar, nullptr);
    if (!ok) return -2;
    CloseHandle(pi.hThread);
    int result = -1;
    if (WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        result = static_cast<int>(code);
    } else {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    CloseHandle(pi.hProcess);
    return result;
#else
    pid_t pid = spawn_key_child(in);
    if (pid < 0) return -2;
    auto t0 = Clock::now();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (ms_since(t0) > 20000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
#endif
}

// A pipe holding `bytes`, its writing end closed; returns the reading end.
ChildIn pipe_with(const std::string& bytes) {
#ifdef _WIN32
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE rd = nullptr, wr = nullptr;
    if (!CreatePipe(&rd, &wr, &sa, 0)) return INVALID_HANDLE_VALUE;
    DWORD put = 0;
    if (!bytes.empty()) WriteFile(wr, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    CloseHandle(wr);
    return rd;
#else
    int fds[2];
    if (pipe(fds) != 0) return -1;
    if (!bytes.empty() && write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return -1;
    close(fds[1]);
    return fds[0];
#endif
}

ChildIn null_input() {
#ifdef _WIN32
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
#else
    return open("/dev/null", O_RDONLY);
#endif
}

void close_input(ChildIn in) {
#ifdef _WIN32
    CloseHandle(in);
#else
    close(in);
#endif
}

TEST(KeyWait, ReturnsWithoutAConsole) {
    ASSERT_FALSE(kIsKeyChild);
    struct Case {
        const char* what;
        ChildIn in;
        int expected;
    } cases[] = {
        {"null device", null_input(), 100},
        {"empty pipe at end of file", pipe_with(""), 100},
        {"pipe holding a key", pipe_with("k\n"), 'k'},
    };
    for (const Case& c : cases) {
        auto t0 = Clock::now();
        EXPECT_EQ(run_key_child(c.in), c.expected) << c.what;
        EXPECT_LT(ms_since(t0), 15000) << c.what;
        close_input(c.in);
    }
}

#ifndef _WIN32
// With a terminal on standard input the wait turns echo off; every way out
// turns it back on: a key, or a signal that ends the program (Ctrl-C).
TEST(KeyWait, LeavesTheTerminalAsItFoundIt) {
    vrntest::PseudoTerminal pty;
    if (!pty.usable()) GTEST_SKIP() << "no pseudo-terminals here";
    int master = pty.master();
    int slave = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    const tcflag_t kModes = ECHO | ICANON;
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_EQ(before.c_lflag & kModes, kModes);

    struct Case {
        const char* what;
        int signal;  // 0: a key is typed
    };
    for (const Case& c : {Case{"Ctrl-C", SIGINT}, Case{"SIGTERM", SIGTERM}, Case{"SIGHUP", SIGHUP}, Case{"a key", 0}}) {
        pid_t pid = spawn_key_child(slave);
        ASSERT_GT(pid, 0) << c.what;
        auto t0 = Clock::now();
        termios now{};
        while (tcgetattr(slave, &now) == 0 && (now.c_lflag & ECHO) && ms_since(t0) < 10000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(now.c_lflag & ECHO, 0u) << c.what << ": the wait turned echo off";
        if (c.signal) {
            kill(pid, c.signal);
        } else {
            EXPECT_EQ(write(master, "k", 1), 1);
        }
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0 && ms_since(t0) < 20000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (c.signal) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << c.what << ": ended by the signal";
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 'k') << c.what;
        }
        termios after{};
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_EQ(after.c_lflag & kModes, kModes) << c.what << ": echo and line mode are back";
    }
    close(slave);
}
#endif

}  // namespace
