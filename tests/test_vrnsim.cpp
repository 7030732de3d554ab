// The vrnsim program as a process: its ready line, its errors, its shutdown,
// and a flash file that outlives it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "child_process.h"
#include "fake_module.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// A child vrnsim with its standard error in a pipe.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {VRNSIM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
#ifdef _WIN32
        std::string cmd;
        for (const std::string& a : argv) cmd += "\"" + a + "\" ";
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE wr = nullptr;
        CreatePipe(&rd_, &wr, &sa, 0);
        SetHandleInformation(rd_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdError = wr;
        si.hStdOutput = wr;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        PROCESS_INFORMATION pi{};
        started_ = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        CloseHandle(wr);
        if (started_) {
            proc_ = pi.hProcess;
            CloseHandle(pi.hThread);
        }
        reader_ = std::thread([this] {
            char buf[512];
            DWORD n = 0;
            while (ReadFile(rd_, buf, sizeof buf, &n, nullptr) && n > 0) {
                std::lock_guard<std::mutex> lk(mu_);
                out_.append(buf, n);
            }
        });
#else
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        started_ = vrntest::spawn_child(&pid_, &fa, argv);
        close(fds[1]);
        fd_ = fds[0];
#endif
    }
    ~Child() {
        if (running()) kill_hard();
        wait_exit(5000);
#ifdef _WIN32
        if (reader_.joinable()) reader_.join();
        if (rd_) CloseHandle(rd_);
        if (proc_) CloseHandle(proc_);
#else
        if (fd_ >= 0) close(fd_);
#endif
    }

    // Waits until the output holds `text`; false after ms.
    bool wait_for(const std::string& text, int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            pump(20);
            if (output().find(text) != std::string::npos) return true;
            if (poll_exit()) {
                drain(end);
                return output().find(text) != std::string::npos;
            }
        }
        return false;
    }

    // The exit status, or -1000 when it did not end within ms.
    int wait_exit(int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        do {
            pump(20);
            if (poll_exit()) {
                drain(end);
                return status_;
            }
        } while (Clock::now() < end);
        return -1000;
    }

    void terminate() {
#ifdef _WIN32
        kill_hard();
#else
        kill(pid_, SIGTERM);
#endif
    }
    void interrupt() {
#ifndef _WIN32
        kill(pid_, SIGINT);
#endif
    }
    void kill_hard() {
#ifdef _WIN32
        TerminateProcess(proc_, 9);
#else
        kill(pid_, SIGKILL);
#endif
    }
    bool running() { return started_ && !poll_exit(); }
    std::string output() {
        std::lock_guard<std::mutex> lk(mu_);
        return out_;
    }

private:
    // After the exit: the rest of what the child wrote, up to the end of the pipe.
    void drain(Clock::time_point end) {
#ifdef _WIN32
        (void)end;
        if (reader_.joinable()) reader_.join();
#else
        while (fd_ >= 0 && Clock::now() < end) pump(20);
#endif
    }
    void pump(int ms) {
#ifdef _WIN32
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#else
        if (fd_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) > 0) {
            char buf[512];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> lk(mu_);
                out_.append(buf, std::size_t(n));
            } else {
                close(fd_);
                fd_ = -1;
            }
        }
#endif
    }
    bool poll_exit() {
        if (!started_) return true;
        if (exited_) return true;
#ifdef _WIN32
        if (WaitForSingleObject(proc_, 0) != WAIT_OBJECT_0) return false;
        DWORD code = 0;
        GetExitCodeProcess(proc_, &code);
        status_ = int(code);
#else
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
#endif
        exited_ = true;
        return true;
    }

    bool started_ = false, exited_ = false;
    int status_ = -1;
    std::mutex mu_;
    std::string out_;
#ifdef _WIN32
    HANDLE rd_ = nullptr, proc_ = nullptr;
    std::thread reader_;
#else
    pid_t pid_ = -1;
    int fd_ = -1;
#endif
};

struct Udp {
    Udp() {
        plat_net_start();
        s = plat_udp_socket();
        VrnSockAddr a{};
        a.family = 2;
        a.addr = plat_inet_addr("127.0.0.1");
        plat_bind(s, &a);
        plat_set_nonblocking(s, 1);
    }
    ~Udp() {
        plat_close_socket(s);
        plat_net_stop();
    }
    Bytes exchange(const Bytes& b, std::uint16_t port, int ms = 2000) {
        VrnSockAddr to{};
        to.family = 2;
        to.port = plat_htons(port);
        to.addr = plat_inet_addr("127.0.0.1");
        plat_sendto(s, b.data(), int(b.size()), &to);
        Bytes r(2048);
        if (plat_wait_readable(s, ms / 1000, (ms % 1000) * 1000) <= 0) return {};
        int n = plat_recvfrom(s, r.data(), int(r.size()), nullptr);
        r.resize(n > 0 ? std::size_t(n) : 0);
        return r;
    }
    vrn_socket s;
};

void put32(Bytes& b, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = std::uint8_t(v >> (8 * i));
}

// The direct bus command, as the flash driver sends it.
Bytes bus_write(std::uint32_t address, std::uint32_t value) {
    Bytes b = {0x6b, 0x24, 0x5a, 0x13, 0x09, 0, 0, 0, 0xdf, 0x2b, 0xa1, 0xec, 0x31, 0, 0, 0,
               0xaa, 0x94, 0x45, 0xcd, 0x00, 0x03, 0x1a, 0x14, 0x03, 0, 0, 0, 0, 0, 0, 0,
               0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0};
    put32(b, 32, address);
    put32(b, 40, value);
    return b;
}
Bytes bus_read(std::uint32_t address) {
    Bytes b = {0x6b, 0x24, 0x5a, 0x13, 0x08, 0, 0, 0, 0xdf, 0x2b, 0xa1, 0xec, 0x31, 0, 0, 0,
               0xaa, 0x94, 0x45, 0xcd, 0x00, 0x01, 0x19, 0x14, 0x03, 0, 0, 0, 0, 0, 0, 0,
               0, 0, 0, 0, 0x01, 0, 0, 0};
    put32(b, 32, address);
    return b;
}

std::string base_arg(std::uint16_t base) { return std::to_string(base); }

const char* kReady = "vrnsim: listening on";

}  // namespace

TEST(Vrnsim, HelpAndBadOptions) {
    {
        Child c({"--help"});
        EXPECT_EQ(c.wait_exit(5000), 0);
        EXPECT_NE(c.output().find("Usage: vrnsim [options]"), std::string::npos) << c.output();
        EXPECT_NE(c.output().find("--drop-ack"), std::string::npos);
    }
    struct Bad {
        std::vector<std::string> args;
        const char* says;
    } bad[] = {
        {{"--address", "10.0.0.5"}, "loopback"},
        {{"--port", "70000"}, "--port"},
        {{"--chip", "amd:0xA3:12"}, "width"},
        {{"--chip", "zilog:1:8"}, "amd or intel"},
        {{"--drop-ack", "1.5"}, "rate"},
        {{"--dup-ack", "0.2:20-5"}, "MIN-MAX"},
        {{"--dup-ack", "0.2:20"}, "MIN-MAX"},
        {{"--dup-ack", "2:0-20"}, "rate"},
        {{"--frobnicate"}, "Unknown option --frobnicate (vrnsim --help lists them)"},
        {{"--port"}, "wants a value"},
        {{"--flash", "same.bin", "--pcap", "same.bin"}, "--flash and --pcap name the same file"},
        {{"--port", std::to_string(vrntest::pick_free_base(4)), "--flash", "/nonexistent-dir/flash.bin"},
         "cannot use flash file /nonexistent-dir/flash.bin"},
    };
    for (const Bad& b : bad) {
        Child c(b.args);
        EXPECT_EQ(c.wait_exit(5000), 1) << b.args[0];
        std::string out = c.output();
        EXPECT_EQ(out.rfind("### ERROR: ", 0), 0u) << out;
        EXPECT_NE(out.find(b.says), std::string::npos) << out;
    }
}

TEST(Vrnsim, ServesUntilSigtermAndRefusesATakenPort) {
    std::uint16_t base = vrntest::pick_free_base(4);
    Child c({"--port", base_arg(base)});
    ASSERT_TRUE(c.wait_for(kReady, 5000)) << c.output();
    EXPECT_NE(c.output().find("127.0.0.1:" + std::to_string(base) + "-" + std::to_string(base + 3)),
              std::string::npos)
        << c.output();
    Udp u;
    Bytes echo = {0x68, 0x24, 0x57, 0x13, 0xdd, 0xcc, 0xbb, 0xaa, 0x11, 0x00, 0xff, 0xee, 0xaa, 0x33, 0xff, 0x00};
    EXPECT_EQ(u.exchange(echo, std::uint16_t(base + 1)), echo);

    Child second({"--port", base_arg(base)});
    EXPECT_EQ(second.wait_exit(5000), 1);
    EXPECT_NE(second.output().find("### ERROR: "), std::string::npos) << second.output();
    EXPECT_NE(second.output().find("in use"), std::string::npos) << second.output();

#ifdef _WIN32
    GTEST_SKIP() << "no SIGTERM on Windows";
#else
    c.terminate();
    EXPECT_EQ(c.wait_exit(5000), 0) << c.output();
    EXPECT_NE(c.output().find("faults injected"), std::string::npos) << c.output();
#endif
}

TEST(Vrnsim, TraceAndFaultSwitchesReachTheProgram) {
    std::uint16_t base = vrntest::pick_free_base(4);
    Child c({"--port", base_arg(base), "--trace", "--seed", "3", "--drop-ack", "1", "--faults-after", "1"});
    ASSERT_TRUE(c.wait_for(kReady, 5000)) << c.output();
    Udp u;
    EXPECT_EQ(u.exchange(bus_read(0), std::uint16_t(base + 1)).size(), 36u) << "the first is served cleanly";
    EXPECT_TRUE(u.exchange(bus_read(0), std::uint16_t(base + 1), 300).empty()) << "then every ack is dropped";
    EXPECT_TRUE(c.wait_for("[dropped]", 2000)) << c.output();
    EXPECT_NE(c.output().find("<- +1"), std::string::npos);
    EXPECT_NE(c.output().find("bus-read 0x00000000"), std::string::npos);
#ifndef _WIN32
    c.interrupt();
    EXPECT_EQ(c.wait_exit(5000), 0);
    EXPECT_NE(c.output().find("drop-ack 1"), std::string::npos) << c.output();
#endif
}

TEST(Vrnsim, FlashFileSurvivesARestart) {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("vrnsim_persist_" + std::to_string(Clock::now().time_since_epoch().count())))
                           .string();
    const Bytes data = {0x12, 0x34, 0x56, 0x78, 0x9A};
    const std::uint32_t sector2 = 2 * 0x10000;  // AMD 0xA3: 0x10000 cells per sector, 8-bit
    {
        std::uint16_t base = vrntest::pick_free_base(4);
        Child c({"--port", base_arg(base), "--flash", path});
        ASSERT_TRUE(c.wait_for(kReady, 5000)) << c.output();
        Udp u;
        const std::uint16_t cmd = std::uint16_t(base + 1);
        for (std::size_t i = 0; i < data.size(); ++i) {
            std::uint32_t bus = (sector2 + std::uint32_t(i)) * 2;
            for (std::uint32_t v : {0xAAu, 0x55u, 0xA0u, std::uint32_t(data[i])})
                ASSERT_EQ(u.exchange(bus_write(bus, v), cmd).size(), 32u);
            Bytes r;
            for (int poll = 0; poll < 100; ++poll) {
                r = u.exchange(bus_read(bus), cmd);
                ASSERT_EQ(r.size(), 36u);
                if (r[32] == data[i]) break;
            }
            EXPECT_EQ(r[32], data[i]) << i;
        }
        ASSERT_EQ(u.exchange(bus_write(0, 0xF0), cmd).size(), 32u);
        // Killed without warning: what was acknowledged is in the file.
        c.kill_hard();
        c.wait_exit(5000);
    }
    {
        std::uint16_t base = vrntest::pick_free_base(4);
        Child c({"--port", base_arg(base), "--flash", path});
        ASSERT_TRUE(c.wait_for(kReady, 5000)) << c.output();
        Udp u;
        for (std::size_t i = 0; i < data.size() + 1; ++i) {
            Bytes r = u.exchange(bus_read((sector2 + std::uint32_t(i)) * 2), std::uint16_t(base + 1));
            ASSERT_EQ(r.size(), 36u);
            EXPECT_EQ(r[32], i < data.size() ? data[i] : 0xFF) << i;
        }
        // The factory record made with the file is still at sector 1.
        Bytes r = u.exchange(bus_read(0x10000 * 2), std::uint16_t(base + 1));
        ASSERT_EQ(r.size(), 36u);
        EXPECT_EQ(r[32], 0x49);
        // A second simulator on the same file would keep a copy of its own
        // and overwrite this one's changes: refused while this one serves.
        Child second({"--port", base_arg(vrntest::pick_free_base(4)), "--flash", path});
        EXPECT_EQ(second.wait_exit(5000), 1);
        EXPECT_NE(second.output().find("is in use by another simulator"), std::string::npos) << second.output();
    }
    std::filesystem::remove(path);
}
