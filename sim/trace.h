// The trace: one line per datagram, readable by a person, e.g.
//   vrnsim <- +1  40 B bus-write 0x00000000 := 0x000000AA | chip amd:unlock-1
//   vrnsim -> +1  32 B ack bus-write
//   vrnsim -> +1  36 B ack reg-read 0x00004000 [delayed 5000 ms] [duplicated]
//   vrnsim <- +1  40 B refused: magic_b 0x00000000
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "wire.h"

namespace vrnsim {

struct AckPlan;

class Trace {
public:
    using Sink = std::function<void(const std::string&)>;
    Trace() = default;
    explicit Trace(Sink sink) : sink_(std::move(sink)) {}
    bool on() const { return bool(sink_); }

    // `detail` is the decoded part after the command name; the caller
    // builds it only when the trace is on.
    void request(int socket, std::size_t size, const std::string& detail) const;
    void answer(int socket, std::size_t size, const std::string& detail, const AckPlan& plan) const;
    void line(const std::string& text) const;

private:
    Sink sink_;
};

std::string port_label(int socket);
// "reg-read 3/1 0x00800036 0x00800037" and the like, from the request alone.
std::string describe(const Request& r);
std::string fmt(const char* f, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace vrnsim
