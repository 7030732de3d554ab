// Single datagrams with a caller-given time-out, channel socket entries and
// the endpoint operations that neither program calls.
#pragma once

#include <cstdint>

#include "link/udp_endpoint.h"

constexpr std::uint32_t UDP_TEST_PATTERN[4] = {0x11223344u, 0x55667788u, 0x99aabbccu, 0xddeeff00u};

int udp_send_timed(vrn_socket s, const void* data, int count, int unused, int timeout_ms);
int udp_recv_timed(vrn_socket s, void* buf, int size, int unused, int timeout_ms);
int udp_chan_send(UdpEndpoint* ep, int index, const void* data, int count, int timeout_ms);
int udp_chan_recv(UdpEndpoint* ep, int index, void* buf, int size, int timeout_ms);
int udp_close_socket(vrn_socket s);
int udp_add_chan_socket(UdpEndpoint* ep, std::uint16_t port);
int udp_stream_send(UdpEndpoint* ep, const void* data, int count);
int udp_stream_recv(UdpEndpoint* ep, std::uint32_t* words, int count);
int udp_send_test_pattern(UdpEndpoint* ep);
