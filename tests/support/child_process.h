// A program run as a child process for tests: standard output and standard
// error each read into memory as they come, standard input empty, and a
// bound on every wait so that a child that hangs is killed, never waited
// for without end.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace vrntest {

class ChildProcess {
public:
    // argv[0] is the program's path.
    explicit ChildProcess(std::vector<std::string> argv);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const;
    bool running();
    std::string out() const;  // standard output so far
    std::string err() const;  // standard error so far

    // Waits until standard error (or output) holds text; false after ms or
    // when the child ended without writing it.
    bool wait_for_err(const std::string& text, int ms);
    bool wait_for_out(const std::string& text, int ms);

    // The exit status as the system keeps it (low 8 bits; 128 + signal for
    // a child killed by a signal), or kTimedOut when it has not ended
    // within ms. Once ended, out() and err() hold everything it wrote.
    int wait_exit(int ms);
    static constexpr int kTimedOut = -1000;

    void terminate();  // ask it to stop (SIGTERM; on Windows a hard kill)
    void kill();       // stop it now

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

struct RunResult {
    int status = ChildProcess::kTimedOut;  // as ChildProcess::wait_exit
    bool timed_out = false;                // killed at the bound
    std::string out, err;
    std::chrono::milliseconds elapsed{0};
};

// Runs the program to its end; one still running after timeout_ms is
// killed and reported timed out.
RunResult run_program(const std::vector<std::string>& argv, int timeout_ms);

// Whether some line of text starts with prefix.
bool has_line_starting(const std::string& text, const std::string& prefix);

}  // namespace vrntest
