#include "child_process.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "fake_module.h"
#include "port_lease.h"

namespace vrntest {

namespace {

using Clock = std::chrono::steady_clock;

// One child with its standard output and standard error each drained by a
// thread of its own, so that neither pipe can fill and stall it.
class Spawned {
public:
    Spawned(const std::string& path, const std::vector<std::string>& args, const std::string* input,
            bool keep_stdout, const std::string* stderr_path = nullptr) {
        std::vector<std::string> argv = {path};
        argv.insert(argv.end(), args.begin(), args.end());
        start(argv, input, keep_stdout, stderr_path);
    }
    ~Spawned() {
        if (started_ && !exited_) {
            kill_hard();
            wait(10000);
        }
        join();
#ifdef _WIN32
        if (proc_) CloseHandle(proc_);
#endif
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    bool started() const { return started_; }
    long start_error() const { return start_error_; }

    // True once the child has ended (status_ then set); false after ms.
    bool wait(int ms) {
        if (!started_) return true;
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!exited_) {
#ifdef _WIN32
            DWORD r = WaitForSingleObject(proc_, 20);
            if (r == WAIT_OBJECT_0) {
                DWORD code = 0;
                GetExitCodeProcess(proc_, &code);
                status_ = static_cast<int>(code & 0xFF);
                exited_ = true;
                break;
            }
#else
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
                exited_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
#endif
            if (Clock::now() >= end) return false;
        }
        return true;
    }

    void terminate() {
#ifdef _WIN32
        kill_hard();
#else
        if (started_ && !exited_) kill(pid_, SIGTERM);
#endif
    }
    void kill_hard() {
        if (!started_ || exited_) return;
#ifdef _WIN32
        TerminateProcess(proc_, 9);
#else
        kill(pid_, SIGKILL);
#endif
    }
    // Waits for both pipes to reach their end (after the child ended).
    void join() {
        for (auto& t : readers_)
            if (t.joinable()) t.join();
    }

    int status() const { return status_; }
    std::string out() const {
        std::lock_guard<std::mutex> lk(mu_);
        return out_;
    }
    std::string err() const {
        std::lock_guard<std::mutex> lk(mu_);
        return err_;
    }

private:
#ifdef _WIN32
    // As the C runtime splits a command line: backslashes are literal
    // unless they stand before a quote, the closing one included (a folder
    // name ending in one would otherwise swallow it).
    static std::string quote(const std::string& a) {
        std::string q = "\"";
        std::size_t backslashes = 0;
        for (char c : a) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            q.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            backslashes = 0;
            q += c;
        }
        q.append(2 * backslashes, '\\');
        return q + "\"";
    }
    void start(const std::vector<std::string>& argv, const std::string* input, bool keep_stdout,
               const std::string*) {
        // Inheritable pipe ends exist only under this lock, so that a child
        // started at the same time by another thread cannot inherit them.
        static std::mutex spawn_mu;
        std::lock_guard<std::mutex> spawn_lock(spawn_mu);
        std::string cmd;
        for (const std::string& a : argv) cmd += quote(a) + " ";
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE out_r = nullptr, out_w = nullptr, err_r = nullptr, err_w = nullptr, in_r = nullptr, in_w = nullptr;
        CreatePipe(&out_r, &out_w, &sa, 0);
        CreatePipe(&err_r, &err_w, &sa, 0);
        SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(err_r, HANDLE_FLAG_INHERIT, 0);
        if (input) {
            CreatePipe(&in_r, &in_w, &sa, 0);
            SetHandleInformation(in_w, HANDLE_FLAG_INHERIT, 0);
        } else {
            in_r = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
        }
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in_r;
        si.hStdOutput = out_w;
        si.hStdError = err_w;
        PROCESS_INFORMATION pi{};
        // Wine on a busy machine now and then refuses a start that succeeds
        // a moment later (a fresh-machine run lost a --version case to it).
        for (int tries = 0; tries < 5 && !started_; ++tries) {
            if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            started_ = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
            if (!started_) start_error_ = static_cast<long>(GetLastError());
        }
        CloseHandle(out_w);
        CloseHandle(err_w);
        CloseHandle(in_r);
        if (started_) {
            proc_ = pi.hProcess;
            CloseHandle(pi.hThread);
        }
        if (in_w) {
            DWORD n = 0;
            if (started_ && !input->empty()) WriteFile(in_w, input->data(), DWORD(input->size()), &n, nullptr);
            CloseHandle(in_w);
        }
        readers_.emplace_back([this, out_r, keep_stdout] { drain(out_r, keep_stdout ? &out_ : nullptr); });
        readers_.emplace_back([this, err_r] { drain(err_r, &err_); });
    }
    void drain(HANDLE h, std::string* into) {
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) {
            std::lock_guard<std::mutex> lk(mu_);
            if (into) into->append(buf, n);
        }
        CloseHandle(h);
    }
    HANDLE proc_ = nullptr;
#else
    void start(const std::vector<std::string>& argv, const std::string* input, bool keep_stdout,
               const std::string* stderr_path) {
        // Every end close-on-exec from the start (dup2 gives the child its
        // own copies): a child started meanwhile by another thread must not
        // inherit a write end, or this child's pipes would not reach their
        // end until that one exits.
        int out[2], err[2], in[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0) return;
        if (pipe2(err, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            return;
        }
        if (input && pipe2(in, O_CLOEXEC) != 0) in[0] = in[1] = -1;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (input && in[0] >= 0) posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        else posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        if (stderr_path) posix_spawn_file_actions_addopen(&fa, 2, stderr_path->c_str(), O_WRONLY | O_NOCTTY, 0);
        else posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        started_ = spawn_child(&pid_, &fa, argv);
        close(out[1]);
        close(err[1]);
        if (in[0] >= 0) close(in[0]);
        if (in[1] >= 0) {
            // A child that ends early must not kill the test with SIGPIPE.
            std::signal(SIGPIPE, SIG_IGN);
            std::size_t done = 0;
            while (started_ && done < input->size()) {
                ssize_t n = ::write(in[1], input->data() + done, input->size() - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            close(in[1]);
        }
        int o = out[0], e = err[0];
        readers_.emplace_back([this, o, keep_stdout] { drain(o, keep_stdout ? &out_ : nullptr); });
        readers_.emplace_back([this, e] { drain(e, &err_); });
    }
    void drain(int fd, std::string* into) {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::lock_guard<std::mutex> lk(mu_);
            if (into) into->append(buf, static_cast<std::size_t>(n));
        }
        close(fd);
    }
    pid_t pid_ = -1;
#endif

    bool started_ = false;
    long start_error_ = 0;  // the system's error of the last start refused
    bool exited_ = false;
    int status_ = -1;
    mutable std::mutex mu_;
    std::string out_, err_;
    std::vector<std::thread> readers_;
};

}  // namespace

RunResult run_program(const std::string& path, const std::vector<std::string>& args, int timeout_ms,
                      const std::string* input, const std::string* stderr_path) {
    RunResult r;
    auto t0 = Clock::now();
    Spawned child(path, args, input, true, stderr_path);
    if (!child.started()) {
        r.err = "cannot start " + path;
        if (child.start_error() != 0) r.err += " (error " + std::to_string(child.start_error()) + ")";
        return r;
    }
    if (!child.wait(timeout_ms)) {
        r.timed_out = true;
        child.kill_hard();
        child.wait(10000);
    }
    child.join();
    r.elapsed_ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    r.status = child.status();
    r.out = child.out();
    r.err = child.err();
#ifdef _WIN32
    // A program's standard output is in text mode there: undo its CR LF.
    for (std::string* s : {&r.out, &r.err}) {
        std::string lf;
        for (std::size_t i = 0; i < s->size(); ++i)
            if (!((*s)[i] == '\r' && i + 1 < s->size() && (*s)[i + 1] == '\n')) lf += (*s)[i];
        *s = lf;
    }
#endif
    return r;
}

struct SimProcess::Impl {
    PortLease lease;  // when it picked its own base: given back after the child ended
    std::unique_ptr<Spawned> child;
};

SimProcess::SimProcess(std::vector<std::string> extra) : impl_(std::make_unique<Impl>()) {
    // A base leased free can still be held by a stranger: try a few.
    for (int attempt = 0; attempt < 5 && !ready_; ++attempt) {
        impl_->lease = PortLease();
        if (!launch(extra, impl_->lease.base())) return;
    }
}

SimProcess::SimProcess(std::vector<std::string> extra, std::uint16_t port) : impl_(std::make_unique<Impl>()) {
    launch(extra, port);
}

bool SimProcess::launch(const std::vector<std::string>& extra, std::uint16_t port) {
    port_ = port;
    std::vector<std::string> args = {"--port", std::to_string(port_)};
    args.insert(args.end(), extra.begin(), extra.end());
    impl_->child = std::make_unique<Spawned>(VRNSIM_PATH, args, nullptr, false);
    if (!impl_->child->started()) return false;
    // A bound for a start that failed, not for a slow one: on a loaded
    // machine writing several flash files at once a start can take seconds.
    auto end = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < end) {
        if (impl_->child->err().find("listening on") != std::string::npos) {
            ready_ = true;
            return true;
        }
        if (impl_->child->wait(10)) {  // it ended: taken port or bad options
            impl_->child->join();     // its last words, before they are read
            break;
        }
    }
    std::string log = impl_->child->err();
    impl_->child.reset();
    if (log.find("in use") == std::string::npos && log.find("cannot be bound") == std::string::npos) {
        std::fprintf(stderr, "vrnsim did not start: %s\n", log.c_str());
        return false;
    }
    return true;
}

SimProcess::~SimProcess() { stop(); }

std::vector<std::unique_ptr<SimProcess>> start_sims_on_one_base(const std::vector<std::vector<std::string>>& extras,
                                                                 std::uint16_t* base) {
    std::vector<std::unique_ptr<SimProcess>> sims;
    for (int attempt = 0; attempt < 5 && sims.size() < extras.size(); ++attempt) {
        sims.clear();
        *base = pick_free_base(4);
        for (const std::vector<std::string>& extra : extras) {
            sims.push_back(std::make_unique<SimProcess>(extra, *base));
            if (!sims.back()->ready()) break;
        }
        if (!sims.back()->ready()) sims.clear();
    }
    return sims;
}

std::string SimProcess::log() const { return impl_->child ? impl_->child->err() : std::string(); }

int SimProcess::stop() {
    if (!impl_->child) return -1;
    impl_->child->terminate();
    if (!impl_->child->wait(10000)) {
        impl_->child->kill_hard();
        impl_->child->wait(10000);
    }
    impl_->child->join();
    return impl_->child->status();
}

void SimProcess::kill() {
    if (!impl_->child) return;
    impl_->child->kill_hard();
    impl_->child->wait(10000);
    impl_->child->join();
}

TempDir::TempDir() {
    static std::atomic<unsigned> serial{0};
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto p = base / ("vrntest_" + std::to_string(rd()) + "_" + std::to_string(serial++));
        std::error_code ec;
        if (std::filesystem::create_directory(p, ec)) {
            dir_ = p.string();
            break;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string TempDir::path(const std::string& name) const { return (std::filesystem::path(dir_) / name).string(); }

std::string TempDir::write(const std::string& name, const std::string& content) const {
    std::string p = path(name);
    std::FILE* f = std::fopen(p.c_str(), "wb");
    if (f) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    return p;
}

#ifndef _WIN32
bool spawn_child(pid_t* pid, posix_spawn_file_actions_t* actions, std::vector<std::string> argv) {
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const bool started = posix_spawn(pid, cargv[0], actions, nullptr, cargv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(actions);
    return started;
}
#endif

std::string read_stream_bytes(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

#ifndef _WIN32
PseudoTerminal::PseudoTerminal() {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) return;
    if (grantpt(m) != 0 || unlockpt(m) != 0) {
        close(m);
        return;
    }
    master_ = m;
    slave_ = ptsname(m);
}

PseudoTerminal::~PseudoTerminal() {
    if (reader_.joinable()) stop_reading();
    if (master_ >= 0) close(master_);
}

void PseudoTerminal::start_reading() {
    stop_ = false;
    reader_ = std::thread([this] {
        char buf[1024];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                ssize_t n = ::read(master_, buf, sizeof buf);
                if (n > 0) seen_.append(buf, static_cast<std::size_t>(n));
            }
        }
    });
}

std::string PseudoTerminal::stop_reading() {
    // What the child wrote last may still be on its way through the terminal.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    return seen_;
}
#endif

std::string read_file_bytes(const std::string& path) {
    std::string s;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace vrntest
