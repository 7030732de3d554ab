#include "link_trouble.h"

#include "vrn.h"

bool vrn_link_troubled() {
    static bool seen = false;
    seen = seen || g_flash_read_failures != 0 || g_link_unanswered != 0 || g_link_stale_drops != 0 ||
           g_udp_error_counter != 0;
    return seen;
}
