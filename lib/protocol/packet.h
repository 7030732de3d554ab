// Framing shared by every command: the packet header, the payload head, the
// acknowledge check and the lock-send-receive-unlock exchange.
#pragma once

#include <cstdint>
#include <cstring>

#include "link/connection_table.h"
#include "link/udp_endpoint.h"
#include "platform/bytes.h"

constexpr std::uint32_t VRN_MAGIC_A = 0x135a246bu;
constexpr std::uint32_t VRN_MAGIC_B = 0xeca12bdfu;
constexpr std::uint32_t VRN_REG_MAGIC = 0xcd4594aau;
constexpr std::uint32_t VRN_CHAN_MAGIC = 0x1b24aa55u;
constexpr int VRN_HEADER_BYTES = 16;
constexpr int VRN_HEAD_BYTES = 32;  // header plus payload head
constexpr int VRN_BUF_BYTES = 1460;
constexpr int VRN_RETRY_ATTEMPTS = 11;
// packet_type of every channel-family request (channel commands, query, set).
constexpr std::uint32_t CHAN_PACKET_TYPE = 0x36u;

// The 16-byte packet header; word_count is the request's length in words
// less the two magics. Returns word_count.
int make_packet_header(void* header, std::uint32_t word_count, std::uint32_t packet_type);
// The 16-byte payload head behind the header (offsets 16 to 31): payload
// magic, command word and the two argument words.
void put_payload_head(void* request, std::uint32_t payload_magic, std::uint32_t command_word, std::uint32_t arg1,
                      std::uint32_t arg2);
// The word_count of a request of `bytes` bytes, and the other way round.
constexpr std::uint32_t word_count_of(int bytes) { return static_cast<std::uint32_t>(bytes / 4 - 2); }
constexpr int request_bytes_of(int word_count) { return (word_count + 2) * 4; }
int check_ack(const void* buffer);
int check_payload_magic(const void* payload);

int link_send(UdpEndpoint* ep, const void* buffer, int length);
int link_receive(UdpEndpoint* ep, void* buffer, int length);
// Nothing to release on UDP: 0 for a channel index below 16, else -1.
int link_release_channel(UdpEndpoint* ep, int index);
// Nothing to hand over on UDP: returns 1 and leaves the destination as it is.
int link_query(UdpEndpoint* ep, void* destination, int length);

// One exchange on a looked-up connection under its mutex: up to `attempts`
// sends of the request, each followed by a receive of ack_len bytes within
// the connection's wait (link_wait_ms); a receive of 0 repeats. Stale
// datagrams are drained before every send. After an attempt without its
// whole answer, or one that met a datagram that was not its answer, the
// command socket is replaced (udp_replace_socket). Everything that went
// wrong is counted in the connection's link health.
// Returns the last receive's result: ack_len, 0 (nothing complete) or -1.
int link_exchange(int handle, const void* request, int request_len, void* ack, int ack_len, int attempts);
// How request i of a run is sent: its bytes and length (at most
// VRN_BUF_BYTES), the length of its acknowledge (at most VRN_BUF_BYTES),
// and how often it may be sent (1 for a write a chip may have taken).
struct LinkWindowRequest {
    int length;
    int ack_len;
    int attempts;
};
// A run of `count` requests: make writes request i, take is given its
// whole answer once it passed check_ack.
struct LinkWindowJob {
    int count;
    LinkWindowRequest (*make)(void* context, int i, unsigned char* request);
    void (*take)(void* context, int i, const unsigned char* ack);
    void* context;
};
// The run under the connection's mutex, up to its in-flight count of
// requests at a time (vrn_set_in_flight), each sent from a flight socket
// of its own (udp_flight_send) and answered at it. Requests go out in
// order; answers are taken as they come. An attempt without its answer
// within the connection's wait, or met by a datagram that is not its
// answer, is sent again from a new port, up to its attempts; the run goes
// on past a request that used them, unless the module is gone (then what
// is still in flight is given up). Everything that went wrong is counted in the link
// health. Returns how many requests were taken (count when all), or -1
// for a handle that is not open.
int link_exchange_window(int handle, const LinkWindowJob* job);
// Drains the connection's flight sockets: whatever waits there came after
// its place's answer was taken (a copy, or the real answer that a copy
// stood in for), counted as stale datagrams, each such port replaced.
// Called after the exchange that ends a run, as the next request on one
// port would find them: the datagrams that reached the window's ports by
// then. The number found, or -1 for a handle that is not open.
int link_flight_settle(int handle);
// link_exchange, then check_ack: 0 when a whole acknowledge came and passed
// it, else -1 (a bad acknowledge counts as trouble and replaces the port).
int link_exchange_acked(int handle, const void* request, int request_len, void* ack, int ack_len, int attempts);
