// Query and set, the info query, block transfers, the register list write,
// raw and bulk datagrams.
#pragma once

#include <cstdint>

constexpr int BLOCK_PACKET_BYTES = 128;
constexpr int BLOCK_DATA_BYTES = 96;
constexpr int BULK_SEND_BYTES = 1024;
constexpr int BULK_RECV_BYTES = 1032;
constexpr int VRN_INFO_BYTES = 236;

int vrn_query(int handle, std::uint32_t code, std::uint32_t* buffer, int length);
int vrn_set_value(int handle, std::uint32_t a, std::uint32_t b);
// Runs the info query and throws its record away: the buffer (at least 28
// bytes) is left as it is, and the result is link_query's 1.
int vrn_query_info(int handle, void* buffer, unsigned size);
int vrn_transfer_blocks(int handle, int kind, std::uint32_t* reply, const std::uint32_t* request, int length);
int vrn_transfer_blocks_io(int handle, int kind, const std::uint32_t* request, std::uint32_t* reply, int length);
int vrn_reg_write_list(int handle, int space, int reserved1, int reserved2, const std::uint32_t* addresses,
                       const std::uint32_t* values, int length, int stride);
int vrn_raw_send(int handle, const void* data, int length);
int vrn_raw_receive(int handle, void* buffer, int length);
int vrn_bulk_send(int handle, const void* data, int length, int timeout_ms);
int vrn_bulk_receive(int handle, void* buffer, int length, int timeout_ms);
