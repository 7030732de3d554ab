// What the vrnprog benchmarks share: their images, and the flash file and
// data file they write. POSIX only.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "data_file.h"
#include "run_program.h"
#include "vrn.h"

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

}  // namespace vrnbench
