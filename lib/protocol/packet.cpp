// The packet header, the payload head, the acknowledge check and the
// exchange every command runs under its connection's mutex.
#include "protocol/packet.h"

#include "link/link_health.h"

int make_packet_header(void* header, std::uint32_t word_count, std::uint32_t packet_type) {
    auto* h = static_cast<unsigned char*>(header);
    std::memset(h, 0, VRN_HEADER_BYTES);
    put_u32(h + 0, VRN_MAGIC_A);
    put_u32(h + 8, VRN_MAGIC_B);
    put_u32(h + 12, packet_type);
    put_u32(h + 4, word_count);
    return static_cast<int>(word_count);
}

void put_payload_head(void* request, std::uint32_t payload_magic, std::uint32_t command_word, std::uint32_t arg1,
                      std::uint32_t arg2) {
    auto* p = static_cast<unsigned char*>(request) + VRN_HEADER_BYTES;
    put_u32(p + 0, payload_magic);
    put_u32(p + 4, command_word);
    put_u32(p + 8, arg1);
    put_u32(p + 12, arg2);
}

int check_payload_magic(const void* payload) {
    std::uint32_t m = get_u32(payload);
    return (m == VRN_REG_MAGIC || m == VRN_CHAN_MAGIC) ? 0 : -1;
}

int check_ack(const void* buffer) {
    const auto* b = static_cast<const unsigned char*>(buffer);
    if (get_u32(b + 0) != VRN_MAGIC_A) return -1;
    if (get_u32(b + 8) != VRN_MAGIC_B) return -1;
    if ((get_u32(b + 12) & 0xFu) != 3u) return -1;
    return check_payload_magic(b + 16);
}

namespace {

// After trouble the command socket is replaced: whatever is still on its
// way to the old port (the late answer to a lost exchange, the copy of a
// duplicated one) then finds it closed and can never stand in for a later
// request's answer. The module answers each request at its source.
void take_fresh_port(UdpEndpoint* ep, LinkHealth* health) {
    if (health->port_unused) return;
    if (udp_replace_socket(ep, 1) == 0) {
        ++health->ports_replaced;
        health->port_unused = 1;
    } else {
        ++health->ports_kept;
    }
}

// link_send, counting what the drain found into the link health.
int send_noted(UdpEndpoint* ep, const void* buffer, int length, LinkHealth* health) {
    // Acknowledges carry no sequence number: anything still waiting here is
    // late or duplicated, and would be taken as the answer to this request;
    // so might a copy of it still on its way.
    const unsigned stale = static_cast<unsigned>(udp_drain(ep->fixed_sock[1]));
    health->stale += stale;
    if (stale != 0) take_fresh_port(ep, health);
    health->port_unused = 0;
    return udp_ep_send_all(ep, ep->fixed_sock[1], buffer, length) == -1 ? -1 : 0;
}

// The adaptive wait learns from the attempts whose wait ran out: their
// ports are watched while held, and an answer found there came too late,
// not never.
void watch_late(UdpEndpoint* ep, LinkHealth* health, std::uint32_t sent) {
    if (health->timer.wait != VRN_WAIT_AUTO) return;
    std::uint32_t held_ms = 0;
    const int slot = udp_newest_held(ep, &held_ms);
    if (slot < 0) return;
    health->late[health->late_next] = LateWatch{1, slot, held_ms, sent};
    health->late_next = (health->late_next + 1) % LINK_LATE_WATCHES;
}

void look_for_late_answers(UdpEndpoint* ep, LinkHealth* health) {
    for (LateWatch& w : health->late) {
        if (!w.watching) continue;
        const int found = udp_drain_held(ep, w.held_slot, w.held_ms);
        const std::uint32_t since_sent = plat_tick_ms() - w.sent_ms;
        if (found == 0) {
            // An answer later than the longest wait would meet no wait at
            // all: past it, watching costs a receive per exchange and
            // teaches nothing the doubling of the wait does not.
            if (since_sent > static_cast<std::uint32_t>(VRN_WAIT_MAX_MS)) w.watching = 0;
            continue;
        }
        // It came at most now: the time since the request bounds it from
        // above, and too long a wait costs less than one that runs out again.
        if (found > 0) link_timer_late(health, since_sent);
        w.watching = 0;
    }
}

// One exchange under the connection's mutex; with `checked`, a whole answer
// must also pass check_ack.
int exchange(int handle, const void* request, int request_len, void* ack, int ack_len, int attempts, bool checked) {
    if (conn_lookup(handle) < 0) return -1;
    ConnEntry& e = *conn_entry(handle);
    LinkHealth* health = link_health(handle);
    plat_mutex_wait(e.mutex);
    ++health->exchanges;
    look_for_late_answers(e.endpoint, health);
    udp_release_held(e.endpoint);
    // Once a copy has shown, consecutive exchanges take turns over several
    // ports: a copy of one's answer waits at its own port, instead of
    // reaching the next one's wait, and is dropped before that port sends
    // again; having come to a port nobody was waiting on, it is no trouble.
    bool rotated = false;
    if (health->port_per_exchange) {
        rotated = udp_rotate_socket(e.endpoint, 1) == 0;
        if (rotated) health->copies_dropped += unsigned(udp_drain(e.endpoint->fixed_sock[1]));
        else take_fresh_port(e.endpoint, health);
    }
    if (health->fresh_port_next) {
        health->fresh_port_next = 0;
        // A socket replaced after trouble has not sent yet, unless a spare
        // that has took its place.
        if (rotated) health->port_unused = 0;
        take_fresh_port(e.endpoint, health);
    }
    int r = 0;
    bool bad = false;
    for (int i = 0; i < attempts && !(health->gone && health->stop_when_gone); ++i) {
        ++health->attempts;
        const unsigned stale = health->stale;
        const std::uint32_t sent = plat_tick_ms();
        send_noted(e.endpoint, request, request_len, health);
        UdpRecvNotes notes{};
        r = udp_ep_recv_all(e.endpoint, e.endpoint->fixed_sock[1], ack, ack_len, &notes, link_wait_ms(health));
        health->strangers += notes.strangers;
        health->oversized += notes.oversized;
        // A datagram before the request, after an exchange that was answered
        // on this port, can only be a copy of that answer.
        if (health->stale != stale) health->port_per_exchange = 1;
        const bool whole = r == ack_len;
        bad = whole && checked && check_ack(ack) != 0;
        if (whole) {
            link_timer_answered(health, plat_tick_ms() - sent);
            ++health->answers;
            health->gone = 0;
            health->silent_attempts = 0;
            if (bad) ++health->bad_acks;
        } else {
            link_timer_ran_out(health);
            if (health->silent_attempts++ == 0) health->silent_since_ms = sent;
            if (r != 0) ++health->failed_receives;
            else ++health->unanswered;
            link_check_gone(health);
        }
        if (!whole || bad || notes.strangers != 0 || notes.oversized != 0) {
            const unsigned replaced = health->ports_replaced;
            take_fresh_port(e.endpoint, health);
            if (r == 0 && health->ports_replaced != replaced) watch_late(e.endpoint, health, sent);
        }
        if (whole || r != 0) break;
    }
    plat_mutex_release(e.mutex);
    return bad ? -1 : r;
}

}  // namespace

int link_send(UdpEndpoint* ep, const void* buffer, int length) {
    LinkHealth scratch{};
    return send_noted(ep, buffer, length, &scratch);
}

int link_receive(UdpEndpoint* ep, void* buffer, int length) {
    return udp_ep_recv_all(ep, ep->fixed_sock[1], buffer, length, nullptr, UDP_WAIT_SECONDS * 1000);
}

int link_release_channel(UdpEndpoint*, int index) { return index >= 16 ? -1 : 0; }

int link_query(UdpEndpoint*, void*, int) { return 1; }

int link_exchange(int handle, const void* request, int request_len, void* ack, int ack_len, int attempts) {
    return exchange(handle, request, request_len, ack, ack_len, attempts, false);
}

int link_exchange_acked(int handle, const void* request, int request_len, void* ack, int ack_len, int attempts) {
    return exchange(handle, request, request_len, ack, ack_len, attempts, true) == ack_len ? 0 : -1;
}
