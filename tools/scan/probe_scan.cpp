// The network scan's probes: one socket, many addresses in flight, a
// bounded rate, one resend, answers matched by source address.
#include "probe_scan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "link/udp_endpoint.h"
#include "platform/bytes.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Heard : std::uint8_t { Nothing, Other, Echo };

struct Probe {
    std::uint32_t ip;  // host byte order
    int sends;
    Heard heard;
    Clock::time_point sent;  // the last send
    double rtt_ms;
};

// Sends in one go at most, when the loop comes round late.
constexpr long SEND_BURST = 16;
// Datagrams taken in one go at most, so that a flood cannot stall the sends.
constexpr int RECEIVE_BURST = 256;
constexpr long POLL_LIMIT_MS = 100;
constexpr long PROGRESS_EVERY_MS = 200;

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

Probe* probe_of(std::vector<Probe>& probes, std::uint32_t ip) {
    auto it = std::lower_bound(probes.begin(), probes.end(), ip, [](const Probe& p, std::uint32_t v) { return p.ip < v; });
    return it != probes.end() && it->ip == ip ? &*it : nullptr;
}

struct Scan {
    Scan(const VrnScanSettings& s, VrnScanResult* r, vrn_socket sock, const std::vector<std::uint32_t>& targets)
        : settings(s), result(r), socket(sock) {
        udp_probe_datagram(probe);
        probes.reserve(targets.size());
        for (std::uint32_t ip : targets) probes.push_back({ip, 0, Heard::Nothing, {}, 0.0});
    }

    const VrnScanSettings& settings;
    VrnScanResult* result;
    vrn_socket socket;
    unsigned char probe[UDP_PROBE_BYTES];
    std::vector<Probe> probes;
    std::size_t next_first = 0;   // the next address to get its first probe
    std::size_t next_resend = 0;  // the next address that may need its resend
    std::size_t echoes = 0, others = 0;
    long sent = 0;
    Clock::time_point start, last_send, last_progress;

    Clock::duration wait() const { return std::chrono::milliseconds(settings.wait_ms); }

    // Moves past the addresses that need no resend: they echoed, or had theirs.
    void skip_resent() {
        while (next_resend < next_first &&
               (probes[next_resend].heard == Heard::Echo || probes[next_resend].sends >= UDP_PROBE_ATTEMPTS))
            ++next_resend;
    }

    bool sends_left() {
        skip_resent();
        return next_first < probes.size() || next_resend < probes.size();
    }

    // The address to probe now, or nullptr. Resends come first once due:
    // an address has one wait to answer its first probe.
    Probe* next_to_send(Clock::time_point now) {
        skip_resent();
        if (next_resend < next_first && probes[next_resend].sent + wait() <= now) return &probes[next_resend];
        return next_first < probes.size() ? &probes[next_first] : nullptr;
    }

    // Sends what the rate allows, until the socket's buffer is full.
    void send_due(Clock::time_point now) {
        long allowed = 1 + static_cast<long>(ms_between(start, now) * static_cast<double>(settings.rate) / 1000.0) - sent;
        for (allowed = std::min(allowed, SEND_BURST); allowed > 0; --allowed) {
            Probe* p = next_to_send(now);
            if (!p) return;
            const VrnSockAddr to = vrn_sockaddr(plat_htonl(p->ip), static_cast<std::uint16_t>(settings.base_port + 1));
            if (plat_sendto(socket, probe, UDP_PROBE_BYTES, &to) != UDP_PROBE_BYTES) {
                const int e = plat_last_error();
                if (e == VRN_WSAEWOULDBLOCK) return;  // sent later
                ++result->send_failures;               // no route to it: it cannot answer
                result->send_error = e;
            }
            if (p->sends++ == 0) ++next_first;
            p->sent = last_send = now;
            ++sent;
        }
    }

    void take(const unsigned char* data, int n, const VrnSockAddr& from) {
        Probe* p = probe_of(probes, plat_ntohl(from.addr));
        if (!p || p->sends == 0) {
            ++result->strangers;
            return;
        }
        const double rtt = ms_between(p->sent, Clock::now());
        if (n == UDP_PROBE_BYTES && std::memcmp(data, probe, UDP_PROBE_BYTES) == 0) {
            if (p->heard == Heard::Echo) return;
            if (p->heard == Heard::Other) --others;
            p->heard = Heard::Echo;
            p->rtt_ms = rtt;
            ++echoes;
        } else if (p->heard == Heard::Nothing) {
            p->heard = Heard::Other;
            p->rtt_ms = rtt;
            ++others;
        }
    }

    void receive() {
        for (int i = 0; i < RECEIVE_BURST; ++i) {
            // Longer than any probe answer: a long datagram is an answer
            // too, and it is taken whole as the socket allows.
            unsigned char data[UDP_MAX_PAYLOAD];
            VrnSockAddr from{};
            const int n = plat_recvfrom(socket, data, sizeof data, &from);
            if (n >= 0) {
                take(data, n, from);
                continue;
            }
            const int e = plat_last_error();
            if (e == VRN_WSAEWOULDBLOCK) return;
            // Too long for the buffer: still an answer, and not the echo.
            if (e == VRN_WSAEMSGSIZE) take(data, 0, from);
            // Anything else (WinSock reports an earlier probe's unreachable
            // port here, 10054) says nothing about an answer.
        }
    }

    void show_progress(Clock::time_point now, bool last) {
        if (!settings.progress || (!last && now - last_progress < std::chrono::milliseconds(PROGRESS_EVERY_MS))) return;
        last_progress = now;
        std::fprintf(stderr, "\rprobed %zu of %zu addresses, %zu modules, %zu other answers   %s", next_first,
                     probes.size(), echoes, others, last ? "\n" : "");
    }

    // How long the next poll may wait: until the next send, or the end.
    long poll_ms(Clock::time_point now) {
        Clock::time_point next = last_send + wait();
        if (next_first < probes.size()) next = now + std::chrono::milliseconds(1);
        else if (next_resend < probes.size()) next = std::min(next, probes[next_resend].sent + wait());
        const long ms = static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
        return std::clamp(ms, 0L, POLL_LIMIT_MS);
    }

    void run() {
        start = last_send = last_progress = Clock::now();
        for (;;) {
            Clock::time_point now = Clock::now();
            send_due(now);
            show_progress(now, false);
            // Done when every address echoed, or when the last probe has had its wait.
            if (echoes == probes.size()) break;
            if (!sends_left() && now >= last_send + wait()) break;
            int ready = 0;
            if (plat_poll_readable(&socket, 1, &ready, poll_ms(now)) > 0) receive();
        }
        show_progress(Clock::now(), true);
    }
};

}  // namespace

int vrn_scan_probe(const std::vector<std::uint32_t>& targets, const VrnScanSettings& settings,
                   VrnScanResult* result, std::string* error) {
    *result = VrnScanResult{};
    result->probed = targets.size();
    if (plat_net_start() != 0) {
        *error = "The socket library did not start";
        return -1;
    }
    vrn_socket s = plat_udp_socket();
    const VrnSockAddr any = vrn_sockaddr(0, 0);
    if (s == VRN_NO_SOCKET || plat_set_nonblocking(s, 1) != 0 || plat_bind(s, &any) != 0) {
        const int e = plat_last_error();
        *error = std::string("Can't make the scan's UDP socket: ") + udp_socket_error_text(e) + " (" +
                 std::to_string(e) + ")";
        if (s != VRN_NO_SOCKET) plat_close_socket(s);
        plat_net_stop();
        return -1;
    }
    // Answers from a whole block can arrive together.
    plat_set_rcvbuf(s, UDP_RCVBUF_BYTES);

    Scan scan(settings, result, s, targets);
    scan.run();
    plat_close_socket(s);
    plat_net_stop();

    for (const Probe& p : scan.probes)
        if (p.heard != Heard::Nothing) result->answers.push_back({p.ip, p.heard == Heard::Echo, p.rtt_ms});
    return 0;
}
