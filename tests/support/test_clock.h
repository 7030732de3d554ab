// Elapsed time for tests. On the platform's tick, which is real time over
// real sockets and the fake clock over the scripted platform; or on the
// steady clock, for what must be measured apart from the platform.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/platform.h"

namespace vrntest {

using SteadyClock = std::chrono::steady_clock;

inline long ms_since(std::uint32_t start_tick) { return static_cast<long>(plat_tick_ms() - start_tick); }

inline long ms_since(SteadyClock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count());
}

}  // namespace vrntest
