// Running a program to its end from a benchmark (POSIX only): its output
// discarded or kept in a file, its exit status returned.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// What run_program returns for a program still running at its cap.
constexpr int kRunStopped = -2;

// Starts a program, its standard output to out_path, its standard error to
// the null device: its process id, or -1.
inline pid_t spawn_program(const std::vector<std::string>& args, const char* out_path = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

// Waits for a program started by spawn_program: its exit status. One still
// running cap_s seconds after t0 (cap_s 0: no cap) is killed and
// kRunStopped returned.
inline int wait_program(pid_t pid, std::chrono::steady_clock::time_point t0, double cap_s = 0) {
    if (pid < 0) return -1;
    int status = -1;
    while (waitpid(pid, &status, cap_s > 0 ? WNOHANG : 0) == 0) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() > cap_s) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return kRunStopped;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a program to its end (see spawn_program and wait_program).
inline int run_program(const std::vector<std::string>& args, const char* out_path = "/dev/null", double cap_s = 0) {
    const auto t0 = std::chrono::steady_clock::now();
    return wait_program(spawn_program(args, out_path), t0, cap_s);
}
#endif
