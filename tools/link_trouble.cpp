#include "link_trouble.h"

#include "vrn.h"

bool vrn_link_troubled() {
    static bool seen = false;
    seen = seen || g_flash_read_failures != 0 || g_link_unanswered != 0 || g_link_stale_drops != 0 ||
           g_udp_error_counter != 0 || g_udp_strangers != 0;
    return seen;
}

namespace {

constexpr int IDENTIFY_PASSES = 3;

bool same_chip(const vrnFlashInfo& a, const vrnFlashInfo& b) {
    return a.device_id == b.device_id && a.vendor_id == b.vendor_id && a.volume == b.volume &&
           a.base_address == b.base_address && a.sector_size == b.sector_size && a.sector_count == b.sector_count &&
           a.data_width == b.data_width;
}

}  // namespace

int vrn_identify_agreed(int handle, vrnFlashInfo* info) {
    vrnFlashInfo last{};
    for (int pass = 0; pass < IDENTIFY_PASSES; ++pass) {
        vrn_flash_identify(handle);
        vrn_flash_get_info(handle, info);
        if (!vrn_link_troubled() || (pass > 0 && same_chip(last, *info))) return 0;
        last = *info;
    }
    return -1;
}
