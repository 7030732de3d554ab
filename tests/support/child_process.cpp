#include "child_process.h"

#include <atomic>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace vrntest {

using Clock = std::chrono::steady_clock;

namespace {

// How long the output of a child that has ended may take to reach its end.
constexpr int kDrainMs = 3000;

}  // namespace

struct ChildProcess::Impl {
    bool started = false;
    bool exited = false;
    int status = kTimedOut;
    mutable std::mutex mu;
    std::string out, err;
    std::atomic<bool> stop_reading{false};
    std::thread reader;
#ifdef _WIN32
    HANDLE proc = nullptr;
    HANDLE out_rd = nullptr, err_rd = nullptr;
    std::thread err_reader;
#else
    pid_t pid = -1;
    int out_fd = -1, err_fd = -1;
#endif

    void append(bool to_err, const char* data, std::size_t n) {
        std::lock_guard<std::mutex> lk(mu);
        (to_err ? err : out).append(data, n);
    }

    bool poll_exit() {
        if (!started || exited) return true;
#ifdef _WIN32
        if (WaitForSingleObject(proc, 0) != WAIT_OBJECT_0) return false;
        DWORD code = 0;
        GetExitCodeProcess(proc, &code);
        status = int(code & 0xFFu);
#else
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) != pid) return false;
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
#endif
        exited = true;
        return true;
    }

    // After the exit: lets the readers reach the end of the pipes, within a bound.
    void finish_reading() {
        auto end = Clock::now() + std::chrono::milliseconds(kDrainMs);
#ifdef _WIN32
        // ReadFile ends when the last write end closes, which the exit did.
        (void)end;
        if (reader.joinable()) reader.join();
        if (err_reader.joinable()) err_reader.join();
#else
        while (Clock::now() < end) {
            {
                std::lock_guard<std::mutex> lk(mu);
                if (out_fd < 0 && err_fd < 0) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stop_reading = true;
        if (reader.joinable()) reader.join();
#endif
    }

#ifndef _WIN32
    void read_loop() {
        while (!stop_reading) {
            pollfd p[2];
            int n = 0;
            int fds[2];
            {
                std::lock_guard<std::mutex> lk(mu);
                fds[0] = out_fd;
                fds[1] = err_fd;
            }
            for (int fd : fds)
                if (fd >= 0) p[n++] = pollfd{fd, POLLIN, 0};
            if (n == 0) return;
            if (::poll(p, nfds_t(n), 20) <= 0) continue;
            for (int i = 0; i < n; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buf[4096];
                ssize_t got = ::read(p[i].fd, buf, sizeof buf);
                bool is_err = p[i].fd == fds[1];
                if (got > 0) {
                    append(is_err, buf, std::size_t(got));
                } else {
                    std::lock_guard<std::mutex> lk(mu);
                    ::close(p[i].fd);
                    (is_err ? err_fd : out_fd) = -1;
                }
            }
        }
    }
#endif
};

ChildProcess::ChildProcess(std::vector<std::string> argv) : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
#ifdef _WIN32
    // Inheritable pipe ends exist only inside this lock, so that a child
    // started at the same time by another thread cannot keep them open.
    static std::mutex spawn_mu;
    std::lock_guard<std::mutex> lk(spawn_mu);
    std::string cmd;
    for (const std::string& a : argv) cmd += "\"" + a + "\" ";
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out_wr = nullptr, err_wr = nullptr;
    if (!CreatePipe(&m.out_rd, &out_wr, &sa, 0) || !CreatePipe(&m.err_rd, &err_wr, &sa, 0)) return;
    SetHandleInformation(m.out_rd, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(m.err_rd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = out_wr;
    si.hStdError = err_wr;
    PROCESS_INFORMATION pi{};
    m.started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(out_wr);
    CloseHandle(err_wr);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!m.started) return;
    m.proc = pi.hProcess;
    CloseHandle(pi.hThread);
    auto pump = [&m](HANDLE h, bool is_err) {
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) m.append(is_err, buf, n);
    };
    m.reader = std::thread(pump, m.out_rd, false);
    m.err_reader = std::thread(pump, m.err_rd, true);
#else
    int out_p[2], err_p[2];
    // Close-on-exec, so that children started by other threads do not hold
    // these pipes open; the dup2 below gives this child its own copies.
    if (pipe2(out_p, O_CLOEXEC) != 0) return;
    if (pipe2(err_p, O_CLOEXEC) != 0) {
        ::close(out_p[0]);
        ::close(out_p[1]);
        return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out_p[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_p[1], 2);
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    m.started = posix_spawn(&m.pid, cargv[0], &fa, nullptr, cargv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out_p[1]);
    ::close(err_p[1]);
    m.out_fd = out_p[0];
    m.err_fd = err_p[0];
    m.reader = std::thread([&m] { m.read_loop(); });
#endif
}

ChildProcess::~ChildProcess() {
    Impl& m = *impl_;
    if (m.started && !m.poll_exit()) {
        kill();
        wait_exit(5000);
    }
    m.finish_reading();
#ifdef _WIN32
    if (m.out_rd) CloseHandle(m.out_rd);
    if (m.err_rd) CloseHandle(m.err_rd);
    if (m.proc) CloseHandle(m.proc);
#else
    if (m.out_fd >= 0) ::close(m.out_fd);
    if (m.err_fd >= 0) ::close(m.err_fd);
#endif
}

bool ChildProcess::started() const { return impl_->started; }

bool ChildProcess::running() { return impl_->started && !impl_->poll_exit(); }

std::string ChildProcess::out() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->out;
}

std::string ChildProcess::err() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->err;
}

namespace {

bool wait_text(ChildProcess& c, bool in_err, const std::string& text, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    auto holds = [&] { return (in_err ? c.err() : c.out()).find(text) != std::string::npos; };
    while (Clock::now() < end) {
        if (holds()) return true;
        if (!c.running()) {
            c.wait_exit(0);
            return holds();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return holds();
}

}  // namespace

bool ChildProcess::wait_for_err(const std::string& text, int ms) { return wait_text(*this, true, text, ms); }

bool ChildProcess::wait_for_out(const std::string& text, int ms) { return wait_text(*this, false, text, ms); }

int ChildProcess::wait_exit(int ms) {
    Impl& m = *impl_;
    if (!m.started) return kTimedOut;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!m.poll_exit()) {
        if (Clock::now() >= end) return kTimedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    m.finish_reading();
    return m.status;
}

void ChildProcess::terminate() {
    Impl& m = *impl_;
    if (!m.started || m.exited) return;
#ifdef _WIN32
    TerminateProcess(m.proc, 143);
#else
    ::kill(m.pid, SIGTERM);
#endif
}

void ChildProcess::kill() {
    Impl& m = *impl_;
    if (!m.started || m.exited) return;
#ifdef _WIN32
    TerminateProcess(m.proc, 137);
#else
    ::kill(m.pid, SIGKILL);
#endif
}

RunResult run_program(const std::vector<std::string>& argv, int timeout_ms) {
    RunResult r;
    auto t0 = Clock::now();
    ChildProcess c(argv);
    if (!c.started()) {
        r.status = -1;
        r.err = "could not start " + argv[0];
        return r;
    }
    r.status = c.wait_exit(timeout_ms);
    if (r.status == ChildProcess::kTimedOut) {
        r.timed_out = true;
        c.kill();
        c.wait_exit(5000);
    }
    r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    r.out = c.out();
    r.err = c.err();
    return r;
}

bool has_line_starting(const std::string& text, const std::string& prefix) {
    for (std::size_t pos = 0; pos < text.size();) {
        if (text.compare(pos, prefix.size(), prefix) == 0) return true;
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    return false;
}

}  // namespace vrntest
