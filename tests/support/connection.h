// Connections and endpoints opened for the length of a test, and what the
// link tests read from them, over either kind of platform.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_module.h"
#include "vrn.h"

namespace vrntest {

// The port (host order) that peer table entry i sends to.
inline std::uint16_t peer_port(int i) { return plat_htons(g_peer_table[i].peer.port); }

// A 32-byte channel-family request written out by hand: header with
// word_count 6 and packet_type 0x36, then the payload head.
inline const Bytes kChannelRequest = {0x6b, 0x24, 0x5a, 0x13, 0x06, 0x00, 0x00, 0x00, 0xdf, 0x2b, 0xa1,
                                      0xec, 0x36, 0x00, 0x00, 0x00, 0x55, 0xaa, 0x24, 0x1b, 0x00, 0x11,
                                      0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// A connection, opened with or without the echo probe; h is -1 when the
// open failed.
struct Conn {
    int h = -1;
    explicit Conn(const std::string& address, int probe = 0) {
        udp_set_echo_probe(probe);
        h = vrn_open(address.c_str(), 0);
        udp_set_echo_probe(0);
    }
    ~Conn() {
        if (h >= 0) vrn_close(h);
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    UdpEndpoint* ep() const { return g_conn_table[h].endpoint; }
};

// An endpoint without a connection; ep is null when the open failed.
struct Endpoint {
    UdpEndpoint* ep;
    explicit Endpoint(const std::string& address) : ep(udp_ep_open(address.c_str(), 0)) {}
    ~Endpoint() {
        if (ep) udp_ep_close(ep);
    }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;
};

// A fixture connected to a fake module that answers with the fixture's own
// answer(). The script is taken away at tear-down, before anything of the
// fixture goes: a module serving real sockets answers from its own thread.
class ScriptedModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_.set_script([this](const Datagram& d, int seq) { return answer(d, seq); });
        handle_ = vrn_open(module_.address().c_str(), 0);
        ASSERT_GE(handle_, 0);
    }
    void TearDown() override {
        module_.set_script({});
        if (handle_ >= 0) vrn_close(handle_);
    }
    virtual std::vector<Action> answer(const Datagram& d, int seq) = 0;
    // What came to the command port, in order.
    std::vector<Datagram> requests() const {
        std::vector<Datagram> out;
        for (const Datagram& d : module_.received())
            if (d.port_index == 1) out.push_back(d);
        return out;
    }
    // The one request that came, in hex; else how many came.
    std::string sole_request() const {
        const std::vector<Datagram> got = requests();
        return got.size() == 1 ? hex(got[0].bytes) : std::to_string(got.size()) + " requests";
    }

    FakeModule module_;
    int handle_ = -1;
};

}  // namespace vrntest
