// A run of requests, up to the connection's in-flight count at a time, each
// from a port of its own and matched to its answer by that port.
#include "link/link_health.h"
#include "protocol/packet.h"

namespace {

// One place of the window: a flight socket and the request it carries.
struct Slot {
    int request;           // its index in the run, or -1 when the place is free
    int attempts;          // sends of that request so far
    LinkWindowRequest shape;
    std::uint32_t sent_ms;
    std::uint32_t wait_ms;
};

// What an attempt that ended without its answer costs, as for one exchange.
void count_lost(LinkHealth* h, std::uint32_t sent_ms) {
    link_timer_ran_out(h);
    if (h->silent_attempts++ == 0) h->silent_since_ms = sent_ms;
    ++h->unanswered;
    link_check_gone(h);
}

void count_answered(LinkHealth* h, std::uint32_t rtt_ms) {
    link_timer_answered(h, rtt_ms);
    ++h->answers;
    h->gone = 0;
    h->silent_attempts = 0;
}

// The window shrinks by half after a lost answer, as a sender's congestion
// window does (a small network stack may hold only a few datagrams), and
// grows by one after a window's worth of answers, up to the count set.
void window_lost(LinkHealth* h) {
    h->flight_window = h->flight_window > 1 ? h->flight_window / 2 : 1;
    h->flight_answered = 0;
}

void window_answered(LinkHealth* h) {
    if (h->flight_window >= h->in_flight) return;
    if (++h->flight_answered >= h->flight_window) {
        ++h->flight_window;
        h->flight_answered = 0;
    }
}

}  // namespace

int link_flight_settle(int handle) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = *conn_entry(handle);
    LinkHealth* h = link_health(handle);
    plat_mutex_wait(e.mutex);
    int found = 0;
    for (int k = 0; k < UDP_FLIGHT_SOCKETS; ++k) {
        if (e.endpoint->flight[k] == VRN_NO_SOCKET) continue;
        const int n = udp_drain(e.endpoint->flight[k]);
        if (n == 0) continue;
        found += n;
        h->stale += static_cast<unsigned>(n);
        if (udp_flight_replace(e.endpoint, k) == 0) ++h->ports_replaced;
        else ++h->ports_kept;
    }
    plat_mutex_release(e.mutex);
    return found;
}

int link_exchange_window(int handle, const LinkWindowJob* job) {
    if (conn_lookup(handle) < 0 || !job || job->count < 0) return -1;
    ConnEntry& e = *conn_entry(handle);
    LinkHealth* h = link_health(handle);
    UdpEndpoint* ep = e.endpoint;
    const int places = h->in_flight < 1 ? 1 : h->in_flight > UDP_FLIGHT_SOCKETS ? UDP_FLIGHT_SOCKETS : h->in_flight;
    if (h->flight_window < 1 || h->flight_window > places) h->flight_window = places;
    plat_mutex_wait(e.mutex);
    udp_release_held(ep);
    Slot slots[UDP_FLIGHT_SOCKETS];
    for (Slot& s : slots) s = Slot{-1, 0, {}, 0, 0};
    // Requests asked again after a lost answer go out before new ones, so
    // that the run is never held up by one at its start.
    struct Again {
        int request, attempts;
    } again[UDP_FLIGHT_SOCKETS];
    int again_count = 0;
    int next = 0, done = 0, busy = 0;
    bool failed = false;
    unsigned char request[VRN_BUF_BYTES];
    unsigned char ack[VRN_BUF_BYTES + 1];
    const auto free_slot = [&](int k) {
        slots[k].request = -1;
        --busy;
    };
    // After trouble at a place, its port is replaced: a late answer or a
    // copy of one still on its way finds the old port held and unread.
    const auto fresh_port = [&](int k) {
        if (udp_flight_replace(ep, k) == 0) {
            ++h->ports_replaced;
        } else {
            ++h->ports_kept;
        }
    };
    const auto send = [&](int k, int index, int attempts) {
        // Anything already waiting is a copy or a late answer to an earlier
        // request of this place.
        if (udp_flight_socket(ep, k) != VRN_NO_SOCKET) {
            const unsigned stale = static_cast<unsigned>(udp_drain(ep->flight[k]));
            if (stale != 0) {
                h->stale += stale;
                fresh_port(k);
            }
        }
        const LinkWindowRequest shape = job->make(job->context, index, request);
        if (attempts == 1) ++h->exchanges;
        ++h->attempts;
        slots[k] = Slot{index, attempts, shape, plat_tick_ms(), static_cast<std::uint32_t>(link_wait_ms(h))};
        ++busy;
        if (udp_flight_send(ep, k, request, shape.length) != 0) slots[k].wait_ms = 0;  // lost at once
    };
    // Why an attempt ended without its answer: its wait ran out, the
    // receive failed, or what came was not its answer (counted already).
    enum class Lost { Waited, Failed, Spoilt };
    const auto lose = [&](int k, Lost why) {
        const Slot s = slots[k];
        free_slot(k);
        if (why == Lost::Waited) count_lost(h, s.sent_ms);
        if (why == Lost::Failed) ++h->failed_receives;
        if (why != Lost::Spoilt) window_lost(h);  // a spoilt answer is no sign of a full queue
        fresh_port(k);
        // A request that has used its attempts is left to the caller; the
        // others go on, unless the module is gone.
        if (h->gone && h->stop_when_gone) {
            failed = true;
        } else if (s.attempts < s.shape.attempts) {
            again[again_count++] = Again{s.request, s.attempts};
        }
    };
    while (!failed) {
        // Fill the free places, up to the window.
        for (int k = 0; k < places && busy < h->flight_window; ++k) {
            if (slots[k].request >= 0) continue;
            if (again_count > 0) {
                const Again a = again[--again_count];
                send(k, a.request, a.attempts + 1);
            } else if (next < job->count) {
                send(k, next++, 1);
            } else {
                break;
            }
        }
        if (busy == 0) break;
        // Wait for the first answer, or until the earliest wait runs out.
        const std::uint32_t now = plat_tick_ms();
        long wait = VRN_WAIT_MAX_MS;
        vrn_socket socks[UDP_FLIGHT_SOCKETS];
        int ready[UDP_FLIGHT_SOCKETS];
        for (int k = 0; k < places; ++k) {
            socks[k] = slots[k].request >= 0 ? ep->flight[k] : VRN_NO_SOCKET;
            if (slots[k].request < 0) continue;
            const std::uint32_t spent = now - slots[k].sent_ms;
            const long left = spent >= slots[k].wait_ms ? 0 : static_cast<long>(slots[k].wait_ms - spent);
            if (left < wait) wait = left;
        }
        plat_poll_readable(socks, places, ready, wait);
        for (int k = 0; k < places; ++k) {
            if (slots[k].request < 0) continue;
            UdpRecvNotes notes{};
            int n = udp_flight_take(ep, k, ack, slots[k].shape.ack_len, &notes);
            h->strangers += notes.strangers;
            if (n < 0) {
                lose(k, Lost::Failed);
                continue;
            }
            if (n == 0) {
                if (plat_tick_ms() - slots[k].sent_ms >= slots[k].wait_ms) lose(k, Lost::Waited);
                else if (notes.strangers != 0) fresh_port(k);
                continue;
            }
            // A datagram of another length, or one that fails the check, is
            // no answer to this request: it is asked again from a new port.
            const bool whole = n == slots[k].shape.ack_len;
            if (!whole) ++h->oversized;
            else count_answered(h, plat_tick_ms() - slots[k].sent_ms);
            if (!whole || check_ack(ack) != 0) {
                if (whole) ++h->bad_acks;
                lose(k, Lost::Spoilt);
                continue;
            }
            job->take(job->context, slots[k].request, ack);
            ++done;
            window_answered(h);
            free_slot(k);
        }
    }
    // Whatever is still in flight is given up with its port.
    for (int k = 0; k < places; ++k)
        if (slots[k].request >= 0) {
            free_slot(k);
            fresh_port(k);
        }
    plat_mutex_release(e.mutex);
    return done;
}
