// The per-connection link health records.
#include "link/link_health.h"

#include <cstring>

LinkHealth g_link_health[VRN_MAX_CONNECTIONS];

LinkHealth* link_health(int handle) {
    if (handle < 0 || handle >= VRN_MAX_CONNECTIONS) return nullptr;
    return &g_link_health[handle];
}

void link_health_reset(int handle) {
    if (LinkHealth* h = link_health(handle)) std::memset(h, 0, sizeof *h);
}

unsigned link_trouble(const LinkHealth* h) {
    if (!h) return 0;
    return h->unanswered + h->failed_receives + h->bad_acks + h->stale + h->strangers + h->oversized +
           h->failed_writes + h->failed_reads;
}

int link_troubled(int handle) { return link_trouble(link_health(handle)) != 0 ? 1 : 0; }

std::uint32_t link_settle_ms(const LinkHealth* h) {
    // Twice the slowest answer seen, plus the scheduling slack of both ends.
    std::uint32_t ms = h ? 2 * h->rtt_max_ms + 10 : LINK_SETTLE_MIN_MS;
    if (ms < LINK_SETTLE_MIN_MS) return LINK_SETTLE_MIN_MS;
    return ms > LINK_SETTLE_MAX_MS ? LINK_SETTLE_MAX_MS : ms;
}
