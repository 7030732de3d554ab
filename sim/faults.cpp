#include "faults.h"

#include <utility>

#include "platform/platform.h"

namespace vrnsim {

FaultInjector::FaultInjector(const WireFaults& f) : f_(f), state_(f.seed) {}

void FaultInjector::configure(const WireFaults& f) { f_ = f; }

// splitmix64: small, fast and the same on every platform and compiler.
double FaultInjector::next_unit() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return double(z >> 11) * (1.0 / 9007199254740992.0);
}

bool FaultInjector::armed() const {
    return seen_ > std::uint64_t(f_.faults_after < 0 ? 0 : f_.faults_after) &&
           (f_.fault_limit < 0 || injected_ < std::uint64_t(f_.fault_limit));
}

bool FaultInjector::roll(double rate, std::uint64_t* counter) {
    if (rate <= 0 || !armed()) return false;
    if (rate < 1 && next_unit() >= rate) return false;
    ++injected_;
    ++*counter;
    return true;
}

bool FaultInjector::drop_request() {
    // The platform's clock, so that the tests' fake clock drives it too.
    const std::uint32_t now = plat_tick_ms();
    if (seen_++ == 0) first_ms_ = now;
    const long since = long(now - first_ms_);
    if (f_.outage_from_ms >= 0 && since >= f_.outage_from_ms && since < f_.outage_to_ms) {
        ++counts_.drop_request;
        return true;
    }
    return roll(f_.drop_request, &counts_.drop_request);
}

bool FaultInjector::hold_request() { return roll(f_.hold_request, &counts_.hold_request); }

int FaultInjector::duplicate_request() {
    if (!roll(f_.duplicate_request, &counts_.duplicate_request)) return -1;
    return f_.dup_request_min_ms + int(next_unit() * (f_.dup_request_max_ms - f_.dup_request_min_ms + 1));
}

AckPlan FaultInjector::plan_ack(bool framed) {
    AckPlan p;
    // A property of the link rather than a fault: neither counted nor bounded.
    if (f_.jitter_ms > 0) p.delay_ms = int(next_unit() * (f_.jitter_ms + 1));
    if (roll(f_.drop_ack, &counts_.drop_ack)) {
        p.drop = true;
        return p;
    }
    if (roll(f_.corrupt_magic, &counts_.corrupt_magic)) {
        // magic_a, magic_b or payload_magic; an unframed answer loses its first word.
        static const int offsets[3] = {0, 8, 16};
        p.corrupt_offset = framed ? offsets[int(next_unit() * 3) % 3] : 0;
    }
    p.split = roll(f_.split_ack, &counts_.split_ack);
    if (roll(f_.other_port, &counts_.other_port))
        p.from = kOtherPort;
    else if (foreign_ok_ && roll(f_.foreign_address, &counts_.foreign_address))
        p.from = kForeignAddress;
    if (roll(f_.delay_ack, &counts_.delay_ack)) p.delay_ms += f_.delay_ms;
    p.duplicate = roll(f_.duplicate_ack, &counts_.duplicate_ack);
    // Drawn only when a range is set, so that the seeds of plain duplicates keep their runs.
    if (p.duplicate && f_.dup_max_ms > 0)
        p.copy_delay_ms = f_.dup_min_ms + int(next_unit() * (f_.dup_max_ms - f_.dup_min_ms + 1));
    return p;
}

std::string FaultInjector::summary() const {
    const std::pair<const char*, std::uint64_t> items[] = {
        {"drop-request", counts_.drop_request}, {"drop-ack", counts_.drop_ack},
        {"dup-ack", counts_.duplicate_ack},     {"delay-ack", counts_.delay_ack},
        {"split-ack", counts_.split_ack},       {"corrupt-magic", counts_.corrupt_magic},
        {"other-port", counts_.other_port},     {"foreign-address", counts_.foreign_address},
        {"hold-request", counts_.hold_request}, {"dup-request", counts_.duplicate_request},
    };
    std::string s = "faults injected:";
    for (const auto& [name, n] : items) s += std::string(s.back() == ':' ? " " : ", ") + name + " " + std::to_string(n);
    return s;
}

}  // namespace vrnsim
