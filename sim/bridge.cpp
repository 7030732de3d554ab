#include "bridge.h"

#include <utility>

namespace vrnsim {

Bridge::Bridge(int grant_after, int done_after, bool never_grants, BusRead read, BusWrite write)
    : grant_after_(grant_after), done_after_(done_after), never_grants_(never_grants),
      bus_read_(std::move(read)), bus_write_(std::move(write)) {}

bool Bridge::is_bridge_register(std::uint32_t space_mode, std::uint32_t sub_space, std::uint32_t address) {
    return space_mode == 3 && sub_space == 1 && address >= kBridgeCtrl && address <= kBridgeData;
}

std::uint32_t Bridge::read(std::uint32_t address) {
    if (address == kBridgeAddr) return addr_;
    if (address == kBridgeData) return data_;
    // Status read: each one counts towards the grant and the completion.
    if (requested_ && !granted_ && !never_grants_ && --grant_left_ <= 0) granted_ = true;
    if (cycle_running_ && !done_ && --done_left_ <= 0) done_ = true;
    return (granted_ ? kBridgeReq : 0) | (done_ ? kBridgeDone : 0);
}

void Bridge::write(std::uint32_t address, std::uint32_t value) {
    if (address == kBridgeAddr) {
        addr_ = value;
        return;
    }
    if (address == kBridgeData) {
        data_ = value;
        return;
    }
    if (!(value & kBridgeReq)) {  // release
        requested_ = granted_ = cycle_running_ = done_ = false;
        return;
    }
    cycle_ = (value >> 8) & 0x3F;
    std::uint32_t strobe = value & 0xFF;
    if (!requested_) {
        requested_ = true;
        grant_left_ = grant_after_;
        granted_ = !never_grants_ && grant_after_ <= 0;
    }
    if (!granted_) return;
    if (strobe == 0x01 || strobe == 0x12) {
        if (strobe == 0x01)
            data_ = bus_read_(addr_);
        else
            bus_write_(addr_, data_);
        cycle_running_ = true;
        done_left_ = done_after_;
        done_ = done_after_ <= 0;
    } else if (strobe == 0x00) {
        // A new set-up after a finished cycle begins the next one.
        cycle_running_ = done_ = false;
    }
}

}  // namespace vrnsim
