// The factory identification (ICR) record that a new module carries at the
// start of flash sector 1: 164 bytes, nine big-endian words (SIG, SIZE,
// SERIAL, TYPE, VER, DEVID, DAY, MON, YEAR) and a 128-byte NUL-terminated
// COMMENT. Stored one byte per cell: cell k of sector 1 holds byte k.
#pragma once

#include <cstdint>

#include "wire.h"

namespace vrnsim {

constexpr std::size_t kIcrBytes = 164;
constexpr std::uint32_t kIcrSig = 0x49435231;  // "ICR1"

// DEVID is the module's VRBUS DeviceID.
Bytes factory_icr(std::uint32_t device_id);

}  // namespace vrnsim
