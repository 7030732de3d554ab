// Child processes for the program tests: run a program to its end with its
// output captured, or keep a vrnsim running in the background. (Not named
// process.h: that is a C library header on Windows, which pthread.h takes.)
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <spawn.h>
#endif

namespace vrntest {

struct RunResult {
    int status = -1;        // exit status, low 8 bits (-1 reads 255); 1000 + signal when killed
    std::string out;        // standard output (on Windows with CR LF turned back into LF)
    std::string err;        // standard error
    bool timed_out = false; // killed after the time limit
    long elapsed_ms = 0;
};

// Runs path with args. Standard input is the null device, or a pipe that
// carries `input` and then closes when input is given. Standard error goes
// to the file stderr_path when given (POSIX only: a terminal's device, for
// instance), else it is captured. Kills the child after timeout_ms.
RunResult run_program(const std::string& path, const std::vector<std::string>& args, int timeout_ms,
                      const std::string* input = nullptr, const std::string* stderr_path = nullptr);

// A vrnsim child on a loopback base it leases itself (support/port_lease.h:
// the base is nobody else's until this object goes, the child killed or
// not), ready when its "listening" line has shown on standard error.
// Stopped with SIGTERM (TerminateProcess on Windows) when destroyed.
class SimProcess {
public:
    // extra: vrnsim options besides --port (e.g. --chip, --flash, faults).
    explicit SimProcess(std::vector<std::string> extra);
    // On the base given (leased by the caller), for a restart on the ports a
    // client already talks to; not ready() when it cannot have them.
    SimProcess(std::vector<std::string> extra, std::uint16_t port);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ready() const { return ready_; }
    std::uint16_t port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }
    std::string log() const;  // its standard error so far
    // Stops it and waits for it to end; its exit status.
    int stop();
    // Ends it at once (SIGKILL), as a module losing its power would.
    void kill();

private:
    // Starts vrnsim on port; false when the port was taken (worth another try).
    bool launch(const std::vector<std::string>& extra, std::uint16_t port);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
    bool ready_ = false;
};

// Simulators on several loopback addresses sharing one base port, as
// modules of one network share their port: one per entry of `extras` (its
// options, "--address" among them). Tries other bases when one is taken on
// an address; empty when none served them all. *base: the base used.
std::vector<std::unique_ptr<SimProcess>> start_sims_on_one_base(const std::vector<std::vector<std::string>>& extras,
                                                                 std::uint16_t* base);

// A directory of its own under the system temp directory, removed with
// everything in it when destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name) const;
    std::string write(const std::string& name, const std::string& content) const;  // returns the path

private:
    std::string dir_;
};

std::string read_file_bytes(const std::string& path);
// All of an open stream, from its start.
std::string read_stream_bytes(std::FILE* f);

#ifndef _WIN32
// A pseudo-terminal, for what a program does only on a terminal: give
// slave() as a child's standard error, and read what it shows there.
class PseudoTerminal {
public:
    PseudoTerminal();  // !usable() when the system has none
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    bool usable() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slave() const { return slave_; }
    // Collects what is written to the terminal, in the background, until
    // stopped; returns what came.
    void start_reading();
    std::string stop_reading();

private:
    int master_ = -1;
    std::string slave_;
    std::atomic<bool> stop_{false};
    std::string seen_;
    std::thread reader_;
};
#endif

#ifndef _WIN32
// posix_spawn of argv[0] with argv, the file actions (destroyed here) and
// this process's environment; true when the child started.
bool spawn_child(pid_t* pid, posix_spawn_file_actions_t* actions, std::vector<std::string> argv);
#endif

// The lines of a program's output, without their line ends.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace vrntest
