// What the vrnprog benchmarks share: their images, the flash file and data
// file they write, and running vrnprog as a process. POSIX only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "data_file.h"
#include "vrn.h"

extern char** environ;

namespace vrnbench {

constexpr std::size_t kSectorCells = 0x10000;  // amd:0xA3:8, the model's default chip
constexpr std::size_t kSectors = 64;
constexpr int kSector = 2;

inline std::vector<std::uint8_t> netcfg_example() {
    std::vector<std::uint8_t> image(VRN_IMAGE_BYTES);
    std::FILE* f = std::fopen(VRN_EXAMPLES_DIR "/netcfg.dat", "rb");
    int n = f ? vrn_parse_data_file(f, image.data(), nullptr) : -1;
    if (f) std::fclose(f);
    image.resize(n > 0 ? std::size_t(n) : 0);
    return image;
}

// Deterministic bytes for a seed (xorshift).
inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::uint8_t& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = std::uint8_t(x >> 9);
    }
    return v;
}

// A flash file of the model's chip, with `held` in sector kSector.
inline void write_flash(const std::string& path, const std::vector<std::uint8_t>& held) {
    std::vector<char> cells(kSectorCells * kSectors, '\xFF');
    std::copy(held.begin(), held.end(), cells.begin() + std::ptrdiff_t(kSector * kSectorCells));
    std::ofstream(path, std::ios::binary).write(cells.data(), std::streamsize(cells.size()));
}

inline void write_data_file(const std::string& path, const std::vector<std::uint8_t>& image) {
    std::string text;
    char line[8];
    for (std::uint8_t b : image) {
        std::snprintf(line, sizeof line, "0x%02X\n", b);
        text += line;
    }
    std::ofstream(path, std::ios::binary) << text;
}

constexpr int kStopped = -2;

// Runs a program to its end with its output discarded: its exit status, or
// kStopped when it was still running after cap_s seconds (0: no cap) and
// was killed.
inline int run(const std::vector<std::string>& args, double cap_s = 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int status = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    const auto t0 = std::chrono::steady_clock::now();
    while (waitpid(pid, &status, cap_s > 0 ? WNOHANG : 0) == 0) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() > cap_s) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return kStopped;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vrnbench
