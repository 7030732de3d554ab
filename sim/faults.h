// Wire faults on the command port, decided per datagram by a seeded
// generator so that a run can be repeated exactly. A request is dropped
// before the module sees it; an acknowledge is decided after the module
// has acted on its request (so a dropped acknowledge leaves the work done).
#pragma once

#include <cstdint>
#include <string>

#include "module_types.h"

namespace vrnsim {

// What happens to one acknowledge on its way out.
struct AckPlan {
    bool drop = false;
    int corrupt_offset = -1;  // byte offset of the magic word spoilt, or -1
    bool split = false;       // sent as two datagrams
    int from = -1;            // -1 the port of the request; kOtherPort / kForeignAddress
    int delay_ms = 0;
    bool duplicate = false;
    int copy_delay_ms = 0;    // how long after the original the copy leaves
};

class FaultInjector {
public:
    explicit FaultInjector(const WireFaults& f);
    // Replaces the rates; the counts and the generator's position stay.
    void configure(const WireFaults& f);
    // Where no socket on another address could be had, that fault is off.
    void set_foreign_available(bool ok) { foreign_ok_ = ok; }

    // Called once per datagram on a command port, before anything else.
    bool drop_request();
    bool hold_request();
    // -1, or how many ms after the request its copy arrives.
    int duplicate_request();
    AckPlan plan_ack(bool framed);

    const FaultCounts& counts() const { return counts_; }
    std::string summary() const;

private:
    bool armed() const;
    bool roll(double rate, std::uint64_t* counter);
    double next_unit();

    WireFaults f_;
    std::uint64_t state_;
    std::uint64_t seen_ = 0;
    std::uint32_t first_ms_ = 0;  // when the first command datagram came
    std::uint64_t injected_ = 0;
    bool foreign_ok_ = true;
    FaultCounts counts_{};
};

}  // namespace vrnsim
