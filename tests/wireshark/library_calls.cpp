// Calls each library command that vrnprog and vrnstat leave out once against
// a module (vrnsim with --pcap), so that the capture holds every kind of
// datagram for the dissector's checks. Usage: vrn_library_calls IP PORT
#include <cstdio>
#include <string>
#include <vector>

#include "vrn.h"

namespace {

bool step(const char* what, bool ok) {
    std::printf("%-28s %s\n", what, ok ? "ok" : "FAILED");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vrn_library_calls IP PORT\n");
        return 2;
    }
    const std::string address = std::string(argv[1]) + ":" + argv[2];
    const int h = vrn_open(address.c_str(), 0);
    if (h < 0) {
        std::fprintf(stderr, "### ERROR: cannot open %s\n", address.c_str());
        return 1;
    }
    bool ok = true;
    std::uint32_t v = 0;
    ok &= step("register read, space 2", vrn_reg_read32(h, 2, 0, 0, 0x800036, &v) == 0);
    ok &= step("register write, space 3", vrn_reg_write32(h, 3, 0, 0, 0x40, 0x12345678) == 0);
    const std::uint32_t addresses[3] = {0x10, 0x18, 0x11}, values[3] = {0xA1, 0xB2, 0xC3};
    ok &= step("register list write", vrn_reg_write_list(h, 32, 0, 0, addresses, values, 12, 1) == 0);
    std::uint8_t word[2] = {0, 0};
    ok &= step("bridged bus read", vrn_bus_read(h, 2, 0, 0, 0x10, word, 2) == 0);

    std::uint32_t info[59] = {};
    ok &= step("query code 2", vrn_query(h, 2, info, 236) == 0 && info[1] == 236);
    ok &= step("set 7 := 1234", vrn_set_value(h, 7, 1234) == 0);
    std::uint32_t seven = 0;
    ok &= step("query code 7", vrn_query(h, 7, &seven, 4) == 0 && seven == 1234);

    std::vector<std::uint32_t> request(48), reply(48);
    for (std::size_t i = 0; i < request.size(); ++i) request[i] = std::uint32_t(0x01010101u * i);
    ok &= step("block transfer, kind 1", vrn_transfer_blocks(h, 1, reply.data(), request.data(), 100) == 0);
    ok &= step("block transfer, kind 2", vrn_transfer_blocks(h, 2, reply.data(), request.data(), 96) == 0);

    std::uint32_t args[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9}, results[9] = {};
    vrn_raw_command(h, args, results, -1);
    ok &= step("raw command", results[0] == 2);
    // The test pattern is sent without a receive of its own: take the module's echo here.
    std::uint8_t echo[16];
    ok &= step("test pattern", udp_send_test_pattern(g_conn_table[h].endpoint) > 0 &&
                                   udp_recv_all(g_conn_table[h].endpoint->fixed_sock[1], echo, 16, 0) == 16);

    // A read channel: the first bulk datagram tells the module where the stream goes.
    std::uint32_t rd_desc[9] = {4, 64, 0, 0, 0, 0, 0, 0, 0};
    const int rd = vrn_channel_open(h, rd_desc);
    ok &= step("read channel open", rd >= 0);
    std::vector<std::uint8_t> bulk(1024, 0x5A), buf(4096);
    ok &= step("bulk send", vrn_bulk_send(h, bulk.data(), 100, 1000) == 1024);
    ok &= step("read channel start", vrn_channel_start(h, rd, 1) == 0);
    ok &= step("stream read", vrn_stream_read(h, rd, buf.data(), 192, 2000) == 192);
    ok &= step("read channel stop", vrn_channel_stop(h, rd) == 0);
    vrn_bulk_receive(h, buf.data(), 0, 0);  // what came before the stop

    std::uint32_t wr_desc[9] = {8, 100, 0, 0, 0, 0, 0, 0, 0};
    const int wr = vrn_channel_open(h, wr_desc);
    ok &= step("write channel open", wr >= 0);
    ok &= step("write channel start", vrn_channel_start(h, wr, 0) == 0);
    ok &= step("stream write", vrn_stream_write(h, wr, bulk.data(), 250, 1000) == 250);
    ok &= step("write channel stop", vrn_channel_stop(h, wr) == 0);
    ok &= step("channels close", vrn_channel_close(h, wr) == 0 && vrn_channel_close(h, rd) == 0);
    vrn_close(h);
    return ok ? 0 : 1;
}
