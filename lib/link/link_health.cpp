// The per-connection link health records, and the wait each attempt takes.
#include "link/link_health.h"

#include <cstring>

#include "platform/platform.h"

LinkHealth g_link_health[VRN_MAX_CONNECTIONS];

namespace {
LinkHealth s_own_health[VRN_MAX_OWN_CONNECTIONS];
}

LinkHealth* link_health(int handle) {
    if (handle >= 0 && handle < VRN_MAX_CONNECTIONS) return &g_link_health[handle];
    const int own = conn_own_index(handle);
    return own < 0 ? nullptr : &s_own_health[own];
}

void link_health_reset(int handle) {
    if (LinkHealth* h = link_health(handle)) std::memset(h, 0, sizeof *h);
}

unsigned link_trouble(const LinkHealth* h) {
    if (!h) return 0;
    return h->unanswered + h->failed_receives + h->bad_acks + h->stale + h->strangers + h->oversized +
           h->failed_writes + h->failed_reads;
}

int link_troubled(int handle) {
    const LinkHealth* h = link_health(handle);
    return h && h->stale + h->strangers + h->oversized + h->bad_acks + h->strays + h->ports_kept != 0 ? 1 : 0;
}

unsigned link_lost(const LinkHealth* h) { return h ? h->unanswered + h->failed_receives : 0; }

std::uint32_t link_silence_ms(const LinkHealth* h) {
    return h && h->silent_attempts != 0 ? plat_tick_ms() - h->silent_since_ms : 0;
}

int link_check_gone(LinkHealth* h) {
    if (!h) return 0;
    if (!h->gone && link_silence_ms(h) >= LINK_SILENCE_MS) h->gone = 1;
    return h->gone;
}

int vrn_set_wait(int handle, int wait) {
    if (conn_lookup(handle) < 0) return -1;
    if (wait != VRN_WAIT_DEFAULT && wait != VRN_WAIT_AUTO && (wait < 1 || wait > VRN_WAIT_MAX_MS)) return -1;
    link_health(handle)->timer.wait = wait;
    link_health(handle)->timer.backoff = 0;
    return 0;
}

int vrn_set_in_flight(int handle, int count) {
    if (conn_lookup(handle) < 0 || count < 1 || count > VRN_MAX_IN_FLIGHT) return -1;
    LinkHealth* h = link_health(handle);
    h->in_flight = count;
    h->flight_window = count;
    h->flight_answered = 0;
    return 0;
}

int vrn_in_flight(int handle) {
    const LinkHealth* h = conn_lookup(handle) < 0 ? nullptr : link_health(handle);
    return h && h->in_flight > 1 ? h->in_flight : 1;
}

namespace {

std::uint32_t adaptive_wait_ms(const LinkTimer& t) {
    std::uint32_t ms = LINK_RTO_INITIAL_MS;
    if (t.samples > 0) {
        // The margin over the smoothed round trip is at least twice the
        // round trip: a module whose answers always take the same time shows
        // almost no variation, and a wait that ends before a late answer
        // costs a repeat and its recovery, several round trips, more than a
        // lost answer's longer wait.
        std::uint32_t margin_us = 4 * t.rttvar_us;
        if (margin_us < LINK_RTO_GRANULARITY_MS * 1000) margin_us = LINK_RTO_GRANULARITY_MS * 1000;
        if (margin_us < 2 * t.srtt_us) margin_us = 2 * t.srtt_us;
        ms = (t.srtt_us + margin_us + 999) / 1000;
        if (ms < LINK_RTO_FLOOR_MS) ms = LINK_RTO_FLOOR_MS;
        if (ms < t.late_floor_ms) ms = t.late_floor_ms;
    }
    const std::uint32_t max = static_cast<std::uint32_t>(VRN_WAIT_MAX_MS);
    for (std::uint32_t k = 0; k < t.backoff + t.patience && ms < max; ++k) ms *= 2;
    return ms < max ? ms : max;
}

}  // namespace

long link_wait_ms(const LinkHealth* h) {
    if (!h || h->timer.wait == VRN_WAIT_DEFAULT) return VRN_WAIT_MAX_MS;
    if (h->timer.wait == VRN_WAIT_AUTO) {
        const std::uint32_t ms = adaptive_wait_ms(h->timer);
        return static_cast<long>(h->unanswered == 0 && ms < LINK_RTO_BEFORE_LOSS_MS ? LINK_RTO_BEFORE_LOSS_MS : ms);
    }
    // A fixed wait too doubles after each wait in a row that ran out: a
    // module away for a while then costs a few requests, not one each few
    // milliseconds until the run's budget is spent.
    long ms = h->timer.wait;
    for (std::uint32_t k = 0; k < h->timer.backoff && ms < VRN_WAIT_MAX_MS; ++k) ms *= 2;
    return ms < VRN_WAIT_MAX_MS ? ms : VRN_WAIT_MAX_MS;
}

void link_timer_answered(LinkHealth* h, std::uint32_t rtt_ms) {
    LinkTimer& t = h->timer;
    // Every answer taken is to the request just sent: after a lost one the
    // request goes out again from a new port, so the sample is never
    // ambiguous and a retried exchange counts too.
    if (t.samples > 0 && rtt_ms > adaptive_wait_ms(t)) link_timer_late(h, rtt_ms);
    const std::uint32_t r = rtt_ms * 1000;
    if (t.samples++ == 0) {
        t.srtt_us = r;
        t.rttvar_us = r / 2;
    } else {
        const std::uint32_t delta = t.srtt_us > r ? t.srtt_us - r : r - t.srtt_us;
        t.rttvar_us = t.rttvar_us - t.rttvar_us / 4 + delta / 4;
        t.srtt_us = t.srtt_us - t.srtt_us / 8 + r / 8;
    }
    t.backoff = 0;
}

void link_timer_ran_out(LinkHealth* h) {
    if (h->timer.backoff < 16) ++h->timer.backoff;
}

void link_timer_late(LinkHealth* h, std::uint32_t late_ms) {
    ++h->late_answers;
    const std::uint32_t max = static_cast<std::uint32_t>(VRN_WAIT_MAX_MS);
    const std::uint32_t floor = late_ms < max / 2 ? 2 * late_ms : max;
    if (h->timer.late_floor_ms < floor) h->timer.late_floor_ms = floor;
}

std::uint32_t link_timer_patience(LinkHealth* h, std::uint32_t doublings) {
    const std::uint32_t was = h->timer.patience;
    h->timer.patience = doublings < 16 ? doublings : 16;
    return was;
}
