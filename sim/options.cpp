#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <system_error>

#include "platform/platform.h"
#include "program_texts.h"

namespace vrnsim {

const char* usage_text() {
    return "Usage: vrnsim [options]\n"
           "Answers like a VRN module on four loopback UDP ports (BASE..BASE+3).\n"
           "\n"
           "  --address A            loopback address to listen on (127.x.y.z, default 127.0.0.1)\n"
           "  --port BASE            base port (default 3011); commands arrive on BASE+1\n"
           "  --chip KIND:DEV:WIDTH  flash chip: amd or intel, device code, 8 or 16 bits\n"
           "                         (default amd:0xA3:8; e.g. intel:0x18:16)\n"
           "  --maker M              maker code (default 0x01 for amd, 0x89 for intel)\n"
           "  --flash FILE           keep the flash contents in FILE (created erased, with a\n"
           "                         factory ICR record in sector 1, when missing)\n"
           "  --dfa W,W,...          words of the DFA block (default: for the chip width)\n"
           "  --vrbus W,W,...        words of the VRBUS_NAIN block\n"
           "  --trace                one decoded line per datagram to standard error\n"
           "  --pcap FILE            write every datagram, both directions, to FILE as a pcap\n"
           "                         capture (Ethernet/IPv4/UDP) for Wireshark or tshark\n"
           "  --answer-delay MS      answer every request MS ms late, as a slow module does\n"
           "  --latency US           answer every request US microseconds late, as a network\n"
           "                         does: the next request is served meanwhile\n"
           "  --jitter MS            answer every request a further 0..MS ms late, drawn per answer\n"
           "  --queue N[:US]         a small network stack: one request served every US\n"
           "                         microseconds (default 200), at most N held; more are lost\n"
           "\n"
           "Faults on the command port (R is a rate from 0 to 1 per datagram):\n"
           "  --seed N               seed of the fault generator (default 1)\n"
           "  --drop-request R       --drop-ack R\n"
           "  --dup-ack R[:MIN-MAX]  acknowledge twice, the copy MIN..MAX ms after the original\n"
           "                         (default 0-0: both at once)\n"
           "  --delay-ack R[:MS]     acknowledge MS ms late (default 5000)\n"
           "  --hold-request R[:MS]  serve a request MS ms after it came (default 5), those\n"
           "                         that come meanwhile first: requests out of order\n"
           "  --dup-request R[:MIN-MAX]  a request arrives twice, the copy MIN..MAX ms\n"
           "                         after the original (default 0-0: right after it)\n"
           "  --split-ack R          acknowledge as two datagrams\n"
           "  --corrupt-magic R      spoil a magic word of the acknowledge\n"
           "  --other-port R         answer from another port\n"
           "  --foreign-address R    answer from another loopback address\n"
           "  --outage FROM:TO       drop every command datagram FROM to TO ms after the first\n"
           "  --faults-after N       serve N command datagrams cleanly first\n"
           "  --fault-limit N        inject at most N faults in all\n"
           "Faults of the chip and the bridge:\n"
           "  --busy-polls N         status reads an operation stays busy for (default 2)\n"
           "  --stuck-cell N         cell index that refuses to program\n"
           "  --erase-never-ends     erase stays busy forever\n"
           "  --dead-chip            the chip answers nothing (reads float high)\n"
           "  --bridge-never-grants  the bus bridge never grants a request\n"
           "  --bridge-grant-after N, --bridge-done-after N  status reads before grant/done (default 1)\n"
           "\n"
           "\n"
           "  --help                 this text\n"
           "  --version              the program's name and version\n"
           "\n"
           "Stops cleanly on Ctrl-C or SIGTERM.\n";
}

namespace {

bool parse_uint(const std::string& s, unsigned long max, unsigned long* out) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno || *end || v > max) return false;
    *out = v;
    return true;
}

bool parse_rate(const std::string& s, double* out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (errno || *end || !(v >= 0 && v <= 1)) return false;
    *out = v;
    return true;
}

// "R[:MIN-MAX]": a rate and, optionally, the range of a copy's delay in ms.
bool parse_copy(const std::string& value, double* rate, int* min_ms, int* max_ms, std::string* why) {
    std::string r = value;
    if (std::size_t c = value.find(':'); c != std::string::npos) {
        r = value.substr(0, c);
        const std::string range = value.substr(c + 1);
        const std::size_t dash = range.find('-');
        unsigned long lo = 0, hi = 0;
        if (dash == std::string::npos || !parse_uint(range.substr(0, dash), 600000, &lo) ||
            !parse_uint(range.substr(dash + 1), 600000, &hi) || lo > hi) {
            *why = "the copy's delay must be MIN-MAX ms, 0 <= MIN <= MAX <= 600000";
            return false;
        }
        *min_ms = int(lo);
        *max_ms = int(hi);
    }
    if (!parse_rate(r, rate)) {
        *why = "rate must be 0..1";
        return false;
    }
    return true;
}

// "R[:MS]": a rate and, optionally, a time in ms; `what` names the time.
bool parse_rate_ms(const std::string& value, double* rate, int* ms, const char* what, std::string* why) {
    std::string r = value;
    if (std::size_t c = value.find(':'); c != std::string::npos) {
        r = value.substr(0, c);
        unsigned long n = 0;
        if (!parse_uint(value.substr(c + 1), 600000, &n)) {
            *why = std::string(what) + " must be 0..600000 ms";
            return false;
        }
        *ms = int(n);
    }
    if (!parse_rate(r, rate)) {
        *why = "rate must be 0..1";
        return false;
    }
    return true;
}

bool parse_words(const std::string& s, std::vector<std::uint32_t>* out) {
    out->clear();
    std::size_t pos = 0;
    while (pos <= s.size()) {
        std::size_t comma = s.find(',', pos);
        std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        unsigned long v;
        if (!parse_uint(item, 0xFFFFFFFFul, &v)) return false;
        out->push_back(std::uint32_t(v));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return !out->empty();
}

bool parse_chip(const std::string& s, ChipConfig* chip, std::string* error) {
    std::size_t a = s.find(':');
    std::size_t b = a == std::string::npos ? a : s.find(':', a + 1);
    if (b == std::string::npos) {
        *error = "--chip wants KIND:DEVICE:WIDTH, e.g. amd:0xA3:8, not \"" + s + "\"";
        return false;
    }
    std::string kind = s.substr(0, a), dev = s.substr(a + 1, b - a - 1), width = s.substr(b + 1);
    if (kind == "amd")
        chip->kind = ChipKind::Amd;
    else if (kind == "intel")
        chip->kind = ChipKind::Intel;
    else {
        *error = "--chip kind must be amd or intel, not \"" + kind + "\"";
        return false;
    }
    unsigned long d, w;
    if (!parse_uint(dev, 0xFF, &d)) {
        *error = "--chip device code must be 0..255, not \"" + dev + "\"";
        return false;
    }
    if (!parse_uint(width, 16, &w) || (w != 8 && w != 16)) {
        *error = "--chip width must be 8 or 16, not \"" + width + "\"";
        return false;
    }
    chip->device = std::uint8_t(d);
    chip->width = int(w);
    return true;
}

struct RateOption {
    const char* name;
    double* value;
};
struct CountOption {
    const char* name;
    std::function<void(long)> store;
};

template <class T, std::size_t N>
const T* find_option(const T (&table)[N], const std::string& name) {
    for (const T& t : table)
        if (name == t.name) return &t;
    return nullptr;
}

}  // namespace

bool parse_options(const std::vector<std::string>& args, Options* out, std::string* error) {
    Options o;
    bool maker_given = false;
    unsigned long maker = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool has_value = false;
        if (std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            has_value = true;
        }
        bool missing = false;
        auto flag = [&](const char* n) { return name == n && !has_value; };
        auto take = [&](const char* n) {
            if (name != n) return false;
            if (!has_value) {
                if (i + 1 >= args.size()) {
                    missing = true;
                    return false;
                }
                value = args[++i];
                has_value = true;
            }
            return true;
        };
        auto bad = [&](const std::string& what) {
            *error = name + ": " + what + (has_value ? ", not \"" + value + "\"" : "");
            return false;
        };
        unsigned long n;
        WireFaults& f = o.config.faults;
        ChipFaults& cf = o.config.chip.faults;
        const RateOption rates[] = {
            {"--drop-request", &f.drop_request}, {"--drop-ack", &f.drop_ack},
            {"--split-ack", &f.split_ack},
            {"--corrupt-magic", &f.corrupt_magic}, {"--other-port", &f.other_port},
            {"--foreign-address", &f.foreign_address},
        };
        const CountOption counts[] = {
            {"--faults-after", [&](long v) { f.faults_after = int(v); }},
            {"--fault-limit", [&](long v) { f.fault_limit = v; }},
            {"--busy-polls", [&](long v) { cf.busy_polls = int(v); }},
            {"--stuck-cell", [&](long v) { cf.stuck_cell = v; }},
            {"--bridge-grant-after", [&](long v) { o.config.bridge_grant_after = int(v); }},
            {"--bridge-done-after", [&](long v) { o.config.bridge_done_after = int(v); }},
            {"--answer-delay", [&](long v) { o.config.answer_delay_ms = int(v); }},
            {"--latency", [&](long v) { o.config.latency_us = v; }},
            {"--jitter", [&](long v) { f.jitter_ms = int(v); }},
        };
        if (flag("--help") || flag("-h")) {
            o.help = true;
        } else if (flag("--version")) {
            o.version = true;
        } else if (flag("--trace")) {
            o.config.trace = true;
        } else if (flag("--erase-never-ends")) {
            cf.erase_never_ends = true;
        } else if (flag("--dead-chip")) {
            cf.dead = true;
        } else if (flag("--bridge-never-grants")) {
            o.config.bridge_never_grants = true;
        } else if (take("--address")) {
            std::uint32_t ip = plat_inet_addr(value.c_str());
            if (ip == 0xFFFFFFFFu || (plat_ntohl(ip) >> 24) != 127)
                return bad("only a loopback address 127.x.y.z is served");
            o.config.address = value;
        } else if (take("--port")) {
            if (!parse_uint(value, 65532, &n) || n == 0) return bad("base port must be 1..65532");
            o.config.base_port = std::uint16_t(n);
        } else if (take("--chip")) {
            if (!parse_chip(value, &o.config.chip, error)) return false;
        } else if (take("--maker")) {
            if (!parse_uint(value, 0xFF, &maker)) return bad("maker code must be 0..255");
            maker_given = true;
        } else if (take("--flash")) {
            if (value.empty()) return bad("a file name is wanted");
            o.config.flash_file = value;
        } else if (take("--pcap")) {
            if (value.empty()) return bad("a file name is wanted");
            o.config.pcap_file = value;
        } else if (take("--dfa")) {
            if (!parse_words(value, &o.config.dfa)) return bad("a comma-separated list of 32-bit words is wanted");
        } else if (take("--vrbus")) {
            if (!parse_words(value, &o.config.vrbus)) return bad("a comma-separated list of 32-bit words is wanted");
        } else if (take("--seed")) {
            if (!parse_uint(value, 0xFFFFFFFFul, &n)) return bad("seed must be a 32-bit number");
            f.seed = std::uint32_t(n);
        } else if (take("--delay-ack")) {
            std::string why;
            if (!parse_rate_ms(value, &f.delay_ack, &f.delay_ms, "delay", &why)) return bad(why);
        } else if (take("--queue")) {
            std::string depth = value;
            if (std::size_t c = value.find(':'); c != std::string::npos) {
                depth = value.substr(0, c);
                if (!parse_uint(value.substr(c + 1), 1000000, &n) || n == 0)
                    return bad("service time must be 1..1000000 us");
                o.config.service_us = long(n);
            }
            if (!parse_uint(depth, 4096, &n) || n == 0) return bad("queue must hold 1..4096 requests");
            o.config.queue_depth = int(n);
        } else if (take("--hold-request")) {
            std::string why;
            if (!parse_rate_ms(value, &f.hold_request, &f.hold_ms, "hold", &why)) return bad(why);
        } else if (take("--dup-ack")) {
            std::string why;
            if (!parse_copy(value, &f.duplicate_ack, &f.dup_min_ms, &f.dup_max_ms, &why)) return bad(why);
        } else if (take("--dup-request")) {
            std::string why;
            if (!parse_copy(value, &f.duplicate_request, &f.dup_request_min_ms, &f.dup_request_max_ms, &why))
                return bad(why);
        } else if (take("--outage")) {
            const std::size_t c = value.find(':');
            unsigned long to = 0;
            if (c == std::string::npos || !parse_uint(value.substr(0, c), 86400000, &n) ||
                !parse_uint(value.substr(c + 1), 86400000, &to) || to < n)
                return bad("FROM:TO in ms, FROM no later than TO");
            f.outage_from_ms = long(n);
            f.outage_to_ms = long(to);
        } else if (const auto* r = find_option(rates, name); r && take(name.c_str())) {
            if (!parse_rate(value, r->value)) return bad("rate must be 0..1");
        } else if (const auto* c = find_option(counts, name); c && take(name.c_str())) {
            if (!parse_uint(value, 0x7FFFFFFF, &n)) return bad("a count is wanted");
            c->store(long(n));
        } else if (missing) {
            *error = name + " wants a value";
            return false;
        } else {
            *error = vrn_unknown_option_text("vrnsim", args[i]);
            return false;
        }
    }
    // The capture would truncate the flash file (or the flash overwrite it).
    std::error_code ec;
    if (!o.config.flash_file.empty() && !o.config.pcap_file.empty() &&
        (o.config.flash_file == o.config.pcap_file ||
         std::filesystem::equivalent(o.config.flash_file, o.config.pcap_file, ec))) {
        *error = "--flash and --pcap name the same file \"" + o.config.pcap_file + "\"";
        return false;
    }
    o.config.chip.maker = maker_given ? std::uint8_t(maker) : o.config.chip.kind == ChipKind::Intel ? 0x89 : 0x01;
    *out = std::move(o);
    return true;
}

}  // namespace vrnsim
