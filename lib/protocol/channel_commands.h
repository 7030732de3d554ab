// Channel open, start, stop and close; the 64-byte raw command; link control.
#pragma once

#include <cstdint>

constexpr int VRN_RAW_BYTES = 64;
constexpr int VRN_RAW_ARGS = 9;
constexpr std::uint32_t CHAN_CMD_START = 0x1100u;
constexpr std::uint32_t CHAN_CMD_STOP = 0x1200u;
constexpr std::uint32_t CHAN_CMD_OPEN = 0x1300u;
constexpr std::uint32_t CHAN_CMD_CLOSE = 0x1400u;
// Descriptor word 0: the kind of channel.
constexpr std::uint32_t CHAN_KIND_READ = 4u;
constexpr std::uint32_t CHAN_KIND_WRITE = 8u;

extern std::uint32_t g_raw_sequence;

// A channel-family request: header, payload head (channel magic, command,
// arg1, arg2), then `extra_words` words. Returns the bytes to send.
int build_chan_request(unsigned char* s_buf, std::uint32_t command, std::uint32_t arg1, std::uint32_t arg2,
                       const std::uint32_t* extra, int extra_words);

int vrn_raw_command(int handle, const std::uint32_t* args, std::uint32_t* results, int mode);
// Takes the connection's mutex around udp_control, which does nothing.
int vrn_link_control(int handle, int a, int b);
int vrn_channel_open(int handle, std::uint32_t* descriptor);
int vrn_channel_start(int handle, int slot, std::uint32_t value);
int vrn_channel_stop(int handle, int slot);
int vrn_channel_close(int handle, int slot);
