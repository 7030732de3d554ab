#include "wire.h"

#include <cstdio>

namespace vrnsim {

const char* cmd_name(Cmd c) {
    switch (c) {
    case Cmd::Echo: return "echo";
    case Cmd::Raw: return "raw-command";
    case Cmd::RegRead: return "reg-read";
    case Cmd::RegWrite: return "reg-write";
    case Cmd::BusRead: return "bus-read";
    case Cmd::BusWrite: return "bus-write";
    case Cmd::Block: return "block-transfer";
    case Cmd::ChanOpen: return "channel-open";
    case Cmd::ChanStart: return "channel-start";
    case Cmd::ChanStop: return "channel-stop";
    case Cmd::ChanClose: return "channel-close";
    case Cmd::Query: return "query";
    case Cmd::Set: return "set";
    }
    return "?";
}

namespace {

bool refuse(std::string* why, const char* fmt, unsigned long a = 0, unsigned long b = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, a, b);
    if (why) *why = buf;
    return false;
}

// Register-family command_word of a register read or write:
// cmd_class 3, bits 20 and 19 set, bits 23-21 and 18 clear, exactly one of
// read_flag (16) and write_flag (17), pair_words in 15-8, low byte 0.
bool is_register_rw(std::uint32_t cw) {
    if ((cw >> 28) != 3) return false;
    if ((cw & 0x00FC0000u) != 0x00180000u) return false;
    std::uint32_t rw = (cw >> 16) & 3;
    if (rw != 1 && rw != 2) return false;
    return (cw & 0xFF) == 0;
}

bool decode_register_family(const std::uint8_t* d, std::size_t n, Request* r, std::string* why) {
    std::uint32_t cw = r->command_word;
    if (cw == kBusReadCommand || cw == kBusWriteCommand) {
        bool write = cw == kBusWriteCommand;
        std::size_t want = write ? 44 : 40;
        if (n != want) return refuse(why, write ? "bus-write of %lu bytes, wants %lu" : "bus-read of %lu bytes, wants %lu", n, want);
        if (r->packet_type != 0x31) return refuse(why, "bus command with packet_type 0x%lx", r->packet_type);
        if (r->arg1 != 3) return refuse(why, "bus command with space_mode %lu", r->arg1);
        std::uint32_t items = get32(d + 36);
        if (items != 1) return refuse(why, "bus command for %lu items (the module moves one)", items);
        r->cmd = write ? Cmd::BusWrite : Cmd::BusRead;
        r->bus_address = get32(d + 32);
        r->bus_data = write ? get32(d + 40) : 0;
        return true;
    }
    if (cw == kBlockCommand) {
        if (n != kBlockBytes) return refuse(why, "block transfer of %lu bytes, wants 128", n);
        if (r->packet_type != 0x30 && r->packet_type != 0x37)
            return refuse(why, "block transfer with packet_type 0x%lx", r->packet_type);
        r->cmd = Cmd::Block;
        for (std::size_t i = 0; i < 24; ++i) r->block[i] = get32(d + 32 + 4 * i);
        return true;
    }
    if (!is_register_rw(cw)) return refuse(why, "unknown register-family command_word 0x%08lx", cw);
    std::uint32_t pair_words = (cw >> 8) & 0xFF;
    if (pair_words == 0 || pair_words % 2) return refuse(why, "register command with pair_words %lu", pair_words);
    if (n != 32 + 4 * std::size_t(pair_words))
        return refuse(why, "register command with pair_words %lu in %lu bytes", pair_words, n);
    bool mode_ok = (r->arg1 == 3 && r->packet_type == 0x31) || (r->arg1 == 1 && r->packet_type == 0x12);
    if (!mode_ok) return refuse(why, "space_mode %lu does not go with packet_type 0x%lx", r->arg1, r->packet_type);
    r->cmd = ((cw >> 16) & 3) == 1 ? Cmd::RegRead : Cmd::RegWrite;
    r->sub_space = (cw >> 24) & 0xF;
    r->pairs.resize(pair_words / 2);
    for (std::size_t i = 0; i < r->pairs.size(); ++i) {
        r->pairs[i].address = get32(d + 32 + 8 * i);
        r->pairs[i].value = get32(d + 36 + 8 * i);
    }
    return true;
}

bool decode_channel_family(const std::uint8_t* d, std::size_t n, Request* r, std::string* why) {
    if (r->packet_type != 0x36) return refuse(why, "channel-family request with packet_type 0x%lx", r->packet_type);
    switch (r->command_word) {
    case kChanOpen:
        if (n != 68) return refuse(why, "channel-open of %lu bytes, wants 68", n);
        if (r->arg1 != 9) return refuse(why, "channel-open with descriptor of %lu words", r->arg1);
        r->cmd = Cmd::ChanOpen;
        for (std::size_t i = 0; i < 9; ++i) r->words[i] = get32(d + 32 + 4 * i);
        return true;
    case kChanStart:
    case kChanStop:
    case kChanClose:
        if (n != 32) return refuse(why, "channel command of %lu bytes, wants 32", n);
        if (r->arg2 > 1) return refuse(why, "channel command for direction %lu", r->arg2);
        r->cmd = r->command_word == kChanStart ? Cmd::ChanStart
                 : r->command_word == kChanStop ? Cmd::ChanStop
                                                : Cmd::ChanClose;
        return true;
    case kChanQuerySet:
        if (n != 48) return refuse(why, "query/set of %lu bytes, wants 48", n);
        if (r->arg1 != kQueryArg && r->arg1 != kSetArg)
            return refuse(why, "query/set with first argument 0x%lx", r->arg1);
        r->cmd = r->arg1 == kQueryArg ? Cmd::Query : Cmd::Set;
        r->query_code = get32(d + 32);
        if (r->cmd == Cmd::Query && 48 + std::size_t(r->arg2) > kMaxDatagram)
            return refuse(why, "query for %lu bytes does not fit one datagram", r->arg2);
        return true;
    default:
        return refuse(why, "unknown channel-family command_word 0x%lx", r->command_word);
    }
}

}  // namespace

bool decode_request(const std::uint8_t* d, std::size_t n, Request* r, std::string* why) {
    *r = Request{};
    if (n == kEchoBytes) {
        r->cmd = Cmd::Echo;
        return true;
    }
    if (n == kRawBytes && get32(d) == kChannelMagic) {
        if (get32(d + 4) != kRawBytes) return refuse(why, "raw command with length word %lu", get32(d + 4));
        if (get32(d + 20) != 2) return refuse(why, "raw command with kind word %lu", get32(d + 20));
        r->cmd = Cmd::Raw;
        r->raw_sequence = get32(d + 8);
        for (std::size_t i = 0; i < 9; ++i) r->words[i] = get32(d + 24 + 4 * i);
        return true;
    }
    if (n < 32) return refuse(why, "datagram of %lu bytes is too short", n);
    if (n > kMaxDatagram) return refuse(why, "datagram of %lu bytes is too long", n);
    if (n % 4) return refuse(why, "datagram of %lu bytes is not whole words", n);
    if (get32(d) != kMagicA) return refuse(why, "magic_a 0x%08lx", get32(d));
    if (get32(d + 8) != kMagicB) return refuse(why, "magic_b 0x%08lx", get32(d + 8));
    if (get32(d + 4) != n / 4 - 2) return refuse(why, "word_count %lu disagrees with %lu bytes", get32(d + 4), n);
    r->packet_type = get32(d + 12);
    r->command_word = get32(d + 20);
    r->arg1 = get32(d + 24);
    r->arg2 = get32(d + 28);
    std::uint32_t magic = get32(d + 16);
    if (magic == kRegisterMagic) return decode_register_family(d, n, r, why);
    if (magic == kChannelMagic) return decode_channel_family(d, n, r, why);
    return refuse(why, "payload_magic 0x%08lx", magic);
}

Bytes make_reply(std::size_t size, std::uint32_t packet_type, std::uint32_t payload_magic, std::uint32_t command_word,
                 std::uint32_t arg1, std::uint32_t arg2) {
    Bytes b(size, 0);
    put32(&b[0], kMagicA);
    put32(&b[4], std::uint32_t(size / 4 - 2));
    put32(&b[8], kMagicB);
    put32(&b[12], packet_type);
    put32(&b[16], payload_magic);
    put32(&b[20], command_word);
    put32(&b[24], arg1);
    put32(&b[28], arg2);
    return b;
}

std::string hex_bytes(const std::uint8_t* data, std::size_t size, std::size_t max_bytes) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < size && i < max_bytes; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", data[i]);
        s += buf;
    }
    if (size > max_bytes) s += " ...";
    return s;
}

}  // namespace vrnsim
