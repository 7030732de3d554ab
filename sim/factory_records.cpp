#include "factory_records.h"

#include <cstring>

namespace vrnsim {

namespace {
void put_be(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}
}  // namespace

Bytes factory_icr(std::uint32_t device_id) {
    Bytes r(kIcrBytes, 0);
    const std::uint32_t words[9] = {
        kIcrSig,
        std::uint32_t(kIcrBytes),  // SIZE
        1001,                      // SERIAL
        0x00000001,                // TYPE
        0x00010000,                // VER
        device_id,                 // DEVID
        17, 3, 2011,               // DAY, MON, YEAR of manufacture
    };
    for (int i = 0; i < 9; ++i) put_be(&r[4 * i], words[i]);
    static const char comment[] = "vrnsim factory record";
    std::memcpy(&r[36], comment, sizeof comment);
    return r;
}

}  // namespace vrnsim
