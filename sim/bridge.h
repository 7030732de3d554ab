// The bus bridge behind BRIDGE_CTRL/BRIDGE_ADDR/BRIDGE_DATA (register
// space code 2, that is space_mode 3, sub_space 1).
//
// A write of 0x4000 (BRIDGE_REQ with the set-up strobe) to BRIDGE_CTRL
// asks for the bus; the status read from BRIDGE_CTRL shows BRIDGE_REQ from
// the grant_after-th status read on. Once granted, strobe 0x01 starts a
// read cycle (the bus value at BRIDGE_ADDR goes to BRIDGE_DATA at once) and
// strobe 0x12 a write cycle (BRIDGE_DATA goes to the bus at BRIDGE_ADDR);
// strobe 0x10 only prepares. BRIDGE_DONE shows from the done_after-th status
// read after a start strobe. Writing 0 releases the bridge. Strobes before
// the grant are ignored. The cycle code (bits 8 and up) is kept for the
// trace only: every cycle reaches the same bus.
#pragma once

#include <cstdint>
#include <functional>

namespace vrnsim {

constexpr std::uint32_t kBridgeCtrl = 0x800036, kBridgeAddr = 0x800037, kBridgeData = 0x800038;
constexpr std::uint32_t kBridgeReq = 0x4000, kBridgeDone = 0x8000;

class Bridge {
public:
    using BusRead = std::function<std::uint32_t(std::uint32_t address)>;
    using BusWrite = std::function<void(std::uint32_t address, std::uint32_t value)>;

    Bridge(int grant_after, int done_after, bool never_grants, BusRead read, BusWrite write);

    static bool is_bridge_register(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address);
    std::uint32_t read(std::uint32_t address);
    void write(std::uint32_t address, std::uint32_t value);

    bool granted() const { return granted_; }
    std::uint32_t cycle_code() const { return cycle_; }

private:
    int grant_after_, done_after_;
    bool never_grants_;
    BusRead bus_read_;
    BusWrite bus_write_;
    bool requested_ = false, granted_ = false;
    bool cycle_running_ = false, done_ = false;
    int grant_left_ = 0, done_left_ = 0;
    std::uint32_t cycle_ = 0, addr_ = 0, data_ = 0;
};

}  // namespace vrnsim
