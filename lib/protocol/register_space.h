// Register reads and writes in the module's register spaces, batched by
// MAX_PAIR_BYTES, and the one builder of (address, value) pair requests.
#pragma once

#include <cstdint>

constexpr int MAX_PAIR_BYTES = 480;
// One batch moves at most this many data bytes: each word takes an
// (address, value) pair of 8 bytes in the pair area.
constexpr int REG_BATCH_BYTES = MAX_PAIR_BYTES / 2;
constexpr int REG_BATCH_PAIRS = REG_BATCH_BYTES / 4;
constexpr std::uint32_t REG_WRITE_FLAG = 0x00020000u;
constexpr std::uint32_t REG_READ_FLAG = 0x00010000u;

struct RegSpace {
    std::uint32_t packet_type;
    std::uint32_t space_mode;
    std::uint32_t sub_space;
    std::uint32_t step_factor;  // address advance per word = step_factor x step
    int writable;
};

// Fills *out for a known register space code; 0, or -1 for an unknown code.
int reg_space_lookup(int space, RegSpace* out);
// reg_space_lookup, and a byte count that moves whole words only; 0 or -1.
int reg_space_for(int space, int count, RegSpace* out);
// Pairs in the batch that moves the next of `count` bytes.
int reg_batch_pairs(int count);
// The request of one batch of `pairs` registers of space sp (at most
// REG_BATCH_PAIRS): addresses[i] with values[i], or with 0 when values is
// null (a read). Returns the number of bytes to send.
int reg_batch_request(unsigned char* request, const RegSpace& sp, std::uint32_t flag, int pairs,
                      const std::uint32_t* addresses, const std::uint32_t* values);
// One batch written and acknowledged; 0 or -1.
int reg_write_batch(int handle, const RegSpace& sp, int pairs, const std::uint32_t* addresses,
                    const std::uint32_t* values);

int vrn_reg_read(int handle, int space, int reserved1, int reserved2, std::uint32_t address, std::uint32_t* buffer,
                 int count, int step);
int vrn_reg_write(int handle, int space, int reserved1, int reserved2, std::uint32_t address,
                  const std::uint32_t* data, int count, int step);
int vrn_reg_read32(int handle, int space, int reserved1, int reserved2, std::uint32_t address, std::uint32_t* value);
int vrn_reg_write32(int handle, int space, int reserved1, int reserved2, std::uint32_t address, std::uint32_t value);
