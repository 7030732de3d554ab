#include "trace.h"

#include <cstdarg>
#include <cstdio>

#include "faults.h"

namespace vrnsim {

std::string fmt(const char* f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string port_label(int socket) {
    switch (socket) {
    case kOtherPort: return "other";
    case kForeignAddress: return "foreign";
    default: return fmt("+%d", socket);
    }
}

std::string describe(const Request& r) {
    std::string s = cmd_name(r.cmd);
    switch (r.cmd) {
    case Cmd::RegRead:
    case Cmd::RegWrite: {
        s += fmt(" space %u/%u", unsigned(r.arg1), unsigned(r.sub_space));
        std::size_t shown = 0;
        for (const Pair& p : r.pairs) {
            if (shown++ == 6) {
                s += fmt(" ... (%u words)", unsigned(r.pairs.size()));
                break;
            }
            s += r.cmd == Cmd::RegRead ? fmt(" 0x%08X", unsigned(p.address))
                                       : fmt(" 0x%08X:=0x%08X", unsigned(p.address), unsigned(p.value));
        }
        break;
    }
    case Cmd::BusRead: s += fmt(" 0x%08X", unsigned(r.bus_address)); break;
    case Cmd::BusWrite: s += fmt(" 0x%08X := 0x%08X", unsigned(r.bus_address), unsigned(r.bus_data)); break;
    case Cmd::Block:
        s += fmt(" type 0x%02X mode %u words 0x%08X 0x%08X ...", unsigned(r.packet_type), unsigned(r.arg1),
                 unsigned(r.block[0]), unsigned(r.block[1]));
        break;
    case Cmd::ChanOpen:
        s += fmt(" kind %u chunk %u", unsigned(r.words[0]), unsigned(r.words[1]));
        break;
    case Cmd::ChanStart: s += fmt(" dir %u value %u", unsigned(r.arg2), unsigned(r.arg1)); break;
    case Cmd::ChanStop:
    case Cmd::ChanClose: s += fmt(" dir %u", unsigned(r.arg2)); break;
    case Cmd::Query: s += fmt(" code %u length %u", unsigned(r.query_code), unsigned(r.arg2)); break;
    case Cmd::Set: s += fmt(" %u := %u", unsigned(r.arg2), unsigned(r.query_code)); break;
    case Cmd::Raw:
        s += fmt(" seq %u args 0x%X 0x%X 0x%X ...", unsigned(r.raw_sequence), unsigned(r.words[0]),
                 unsigned(r.words[1]), unsigned(r.words[2]));
        break;
    case Cmd::Echo: break;
    }
    return s;
}

void Trace::line(const std::string& text) const {
    if (sink_) sink_("vrnsim " + text);
}

void Trace::request(int socket, std::size_t size, const std::string& detail) const {
    if (sink_) line(fmt("<- %-7s %4u B ", port_label(socket).c_str(), unsigned(size)) + detail);
}

void Trace::answer(int socket, std::size_t size, const std::string& detail, const AckPlan& p) const {
    if (!sink_) return;
    std::string s = fmt("-> %-7s %4u B ", port_label(p.from >= 0 ? p.from : socket).c_str(), unsigned(size)) + detail;
    if (p.drop) s += " [dropped]";
    if (p.corrupt_offset >= 0) s += fmt(" [corrupt word at %d]", p.corrupt_offset);
    if (p.split) s += " [split]";
    if (p.from == kOtherPort) s += " [from other port]";
    if (p.from == kForeignAddress) s += " [from foreign address]";
    if (p.delay_ms) s += fmt(" [delayed %d ms]", p.delay_ms);
    if (p.duplicate) s += " [duplicated]";
    line(s);
}

}  // namespace vrnsim
