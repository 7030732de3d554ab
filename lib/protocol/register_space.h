// Register reads and writes in the module's register spaces, batched by
// MAX_PAIR_BYTES.
#pragma once

#include <cstdint>

constexpr int MAX_PAIR_BYTES = 480;

struct RegSpace {
    std::uint32_t packet_type;
    std::uint32_t space_mode;
    std::uint32_t sub_space;
    std::uint32_t step_factor;  // address advance per word = step_factor x step
    int writable;
};

// Fills *out for a known register space code; 0, or -1 for an unknown code.
int reg_space_lookup(int space, RegSpace* out);

int vrn_reg_read(int handle, int space, int reserved1, int reserved2, std::uint32_t address, std::uint32_t* buffer,
                 int count, int step);
int vrn_reg_write(int handle, int space, int reserved1, int reserved2, std::uint32_t address,
                  const std::uint32_t* data, int count, int step);
int vrn_reg_read32(int handle, int space, int reserved1, int reserved2, std::uint32_t address, std::uint32_t* value);
int vrn_reg_write32(int handle, int space, int reserved1, int reserved2, std::uint32_t address, std::uint32_t value);
