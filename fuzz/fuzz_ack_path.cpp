// Arbitrary datagrams answering each kind of request the library sends:
// register reads and writes, direct and bridged bus access, the flash
// driver's sequences, channel commands and streams, the raw command, query,
// block, register list and bulk transfers, over the scripted platform
// (answer_script.h).
//
// Input: byte 0 picks the command, bytes 1-2 its arguments, the rest is the
// answer script. Besides the sanitizers, the target checks that a command
// reporting success took an acceptable acknowledge of the right length,
// and that returned data is the data of that acknowledge.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "answer_script.h"
#include "vrn.h"

namespace {

constexpr int kSpaces[] = {0, 1, 2, 3, 32, 33, 34, 49, 5};

// Written out from the wire format, not taken from the library.
bool acceptable_ack(const std::vector<std::uint8_t>& d, std::size_t len) {
    static const std::uint8_t magic_a[4] = {0x6b, 0x24, 0x5a, 0x13}, magic_b[4] = {0xdf, 0x2b, 0xa1, 0xec};
    static const std::uint8_t reg[4] = {0xaa, 0x94, 0x45, 0xcd}, chan[4] = {0x55, 0xaa, 0x24, 0x1b};
    if (d.size() != len || len < 32) return false;
    if (std::memcmp(d.data(), magic_a, 4) || std::memcmp(d.data() + 8, magic_b, 4)) return false;
    if ((d[12] & 0xF) != 3) return false;
    return !std::memcmp(d.data() + 16, reg, 4) || !std::memcmp(d.data() + 16, chan, 4);
}

std::uint32_t word_at(const std::vector<std::uint8_t>& d, std::size_t at) {
    return std::uint32_t(d[at]) | (std::uint32_t(d[at + 1]) << 8) | (std::uint32_t(d[at + 2]) << 16) |
           (std::uint32_t(d[at + 3]) << 24);
}

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "ack path: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) broken(what);
}

// Whether some acknowledge of len bytes the module sent for the last
// request is acceptable and satisfies took_from.
template <typename F>
bool took(std::size_t len, F took_from) {
    for (const std::vector<std::uint8_t>& got : fuzzplat::answers_for_last_request(len))
        if (acceptable_ack(got, len) && took_from(got)) return true;
    return false;
}

bool took(std::size_t len) {
    return took(len, [](const std::vector<std::uint8_t>&) { return true; });
}

void run(int handle, std::uint8_t op, std::uint8_t a, std::uint8_t b) {
    const std::uint32_t address = std::uint32_t(a) << 4 | b;
    switch (op % 15) {
    case 0: {  // direct bus read of one cell
        std::uint8_t x = 0xA5;
        int r = vrn_bus_read(handle, BUS_DIRECT, 0, 0, address, &x, 1);
        check(r == 0 || r == -1, "bus read result");
        if (r == 0) {
            check(took(36, [&](const auto& got) { return x == got[32]; }),
                  "bus read byte is not that of an acceptable acknowledge");
        }
        break;
    }
    case 1: {  // direct bus read of several items into an exact buffer
        int n = 1 + a % 6;
        std::vector<std::uint8_t> buf(std::size_t(n), 0);
        int r = vrn_bus_read(handle, BUS_DIRECT, 0, 0, address, buf.data(), n);
        if (r == 0) {
            check(took(36, [&](const auto& got) { return buf[std::size_t(n - 1)] == got[32]; }),
                  "last bus read byte is not that of an acceptable acknowledge");
        }
        break;
    }
    case 2: {  // direct bus write; data must hold count + 3 bytes
        int n = 1 + a % 4;
        std::vector<std::uint8_t> data(std::size_t(n + 3), b);
        int r = vrn_bus_write(handle, BUS_DIRECT, 0, 0, address, data.data(), n);
        if (r == 0) check(took(32), "bus write took an unacceptable acknowledge");
        break;
    }
    case 3: {  // bridged bus read and write, bus code 1 or 2
        int bus = 1 + (a & 1), n = b % 7;
        std::vector<std::uint16_t> words(std::size_t(n / 2 + 1), 0x1234);
        if (a & 2)
            vrn_bus_read(handle, bus, 0, 0, address, words.data(), n);
        else
            vrn_bus_write(handle, bus, 0, 0, address, words.data(), n);
        break;
    }
    case 4: {  // one register word
        int space = kSpaces[a % 9];
        std::uint32_t v = 0xDEADBEEF;
        int r = vrn_reg_read32(handle, space, 0, 0, address, &v);
        if (r == 0) {
            check(took(36, [&](const auto& got) { return v == word_at(got, 32); }),
                  "register word is not that of an acceptable acknowledge");
        }
        break;
    }
    case 5: {  // a block of registers, up to three batches, into an exact buffer
        int space = kSpaces[a % 9], words = 1 + b % 150;
        std::vector<std::uint32_t> buf(std::size_t(words), 0);
        int r = vrn_reg_read(handle, space, 0, 0, address, buf.data(), 4 * words, 1 + (a >> 4));
        if (r == 0) {
            // The last batch: 60 words each before it.
            const std::size_t last = std::size_t(32 + 4 * ((words - 1) % 60 + 1));
            check(took(last, [&](const auto& got) { return buf.back() == word_at(got, last - 4); }),
                  "last block word is not that of an acceptable acknowledge");
        }
        break;
    }
    case 6: {  // register write of one word or a block
        int space = kSpaces[a % 9], words = 1 + b % 70;
        std::vector<std::uint32_t> data(std::size_t(words), 0x01020304u * b);
        int r = vrn_reg_write(handle, space, 0, 0, address, data.data(), 4 * words, 1);
        if (r == 0) check(took(32), "register write took an unacceptable acknowledge");
        break;
    }
    case 7: {  // the flash driver: identify, erase, program, read back
        vrn_flash_identify(handle);
        vrnFlashInfo info;
        vrn_flash_get_info(handle, &info);
        int sector = a % 4, n = 1 + b % 4;
        vrn_flash_erase_sector(handle, sector);
        std::vector<std::uint8_t> image(std::size_t(n), std::uint8_t(a ^ b));
        int programmed = vrn_flash_program(handle, sector, 0, image.data(), n);
        check(programmed >= 0 && programmed <= n, "program count out of range");
        std::vector<std::uint8_t> back(std::size_t(n), 0);
        int read = vrn_flash_read(handle, sector, 0, back.data(), n);
        check(read >= 0 && read <= n, "read count out of range");
        break;
    }
    case 8: {  // single cell access and the Intel status read
        int cell = vrn_flash_read_cell(handle, a % 3, b);
        check(cell == VRN_FLASH_READ_FAILED || (cell >= 0 && cell <= 255), "cell value out of range");
        if (cell >= 0) check(took(36, [&](const auto& got) { return cell == got[32]; }), "cell read is not the acknowledge's");
        vrn_flash_read_status(handle, a % 3, b);
        break;
    }
    case 9: {  // a channel's life, with a stream transfer while it is started
        bool read = a & 1;
        std::uint32_t descriptor[VRN_DESCRIPTOR_WORDS] = {read ? 4u : 8u, std::uint32_t(b) * 8u, a, b, 0, 0, 0, 0, 0};
        int slot = vrn_channel_open(handle, descriptor);
        if (slot < 0) break;
        check(slot < VRN_MAX_SLOTS && descriptor[1] % 8 == 0 && descriptor[1] <= 1460, "channel open result");
        vrn_channel_start(handle, slot, a);
        // A time-out below -1 asks for a transfer without end; not fuzzed.
        static const int timeouts[] = {0, 1, 20, -1};
        int length = (a * 7) % 700, timeout = timeouts[(a >> 1) & 3];
        std::vector<std::uint8_t> buf(std::size_t(length > 0 ? length : 1), 0x5A);
        int n = read ? vrn_stream_read(handle, slot, buf.data(), length, timeout)
                     : vrn_stream_write(handle, slot, buf.data(), length, timeout);
        check(n >= -1 && n <= length + 1460, "stream transfer count");
        vrn_channel_stop(handle, slot);
        vrn_channel_close(handle, slot);
        break;
    }
    case 10: {  // the raw command, which goes without a packet header
        std::uint32_t args[VRN_RAW_ARGS] = {a, b, 1, 2, 3, 4, 5, 6, 7}, results[VRN_RAW_ARGS];
        vrn_raw_command(handle, args, results, (a % 4) - 1);
        break;
    }
    case 11: {  // query, set and the info query
        int length = (a * 16 + b) % 1413;
        std::vector<std::uint32_t> buf(std::size_t(length >= 4 ? length / 4 : 1), 0);
        int r = vrn_query(handle, b, buf.data(), length);
        check(r >= -1, "query result");
        vrn_set_value(handle, a, b);
        std::uint8_t info[VRN_INFO_BYTES];
        vrn_query_info(handle, info, sizeof info);
        break;
    }
    case 12: {  // block transfer: buffers cover the length rounded up to 96 bytes
        // The library keeps to the length itself, so the buffers are exact.
        int length = (a * 4 + b) % 400;
        std::vector<std::uint32_t> request(std::size_t(length > 0 ? (length + 3) / 4 : 1), 0x11111111u), reply(request.size(), 0);
        int r = vrn_transfer_blocks(handle, 1 + b % 3, reply.data(), request.data(), length);
        if (r == 0 && length > 0) check(took(BLOCK_PACKET_BYTES), "block took an unacceptable acknowledge");
        break;
    }
    case 13: {  // register list write
        int words = 1 + b % 130;
        std::vector<std::uint32_t> addresses(std::size_t(words), a), values(std::size_t(words), b);
        int r = vrn_reg_write_list(handle, kSpaces[a % 9], 0, 0, addresses.data(), values.data(), 4 * words, 1);
        if (r == 0) check(took(32), "list write took an unacceptable acknowledge");
        break;
    }
    default: {  // bulk transfers on the read channel's socket
        std::uint32_t descriptor[VRN_DESCRIPTOR_WORDS] = {4u, 1024u, 0, 0, 0, 0, 0, 0, 0};
        vrn_channel_open(handle, descriptor);
        int length = b * 8;
        std::vector<std::uint8_t> in(std::size_t(length > 0 ? length + 1031 : 1032), 0);
        int n = vrn_bulk_receive(handle, in.data(), length, a % 3 * 10);
        check(n >= -1 && n <= length + 1031, "bulk receive count");
        // Exact as well: the last datagram's tail is filled with zeros.
        int out_length = a * 9;
        std::vector<std::uint8_t> out(std::size_t(out_length > 0 ? out_length : 1), 0x33);
        vrn_bulk_send(handle, out.data(), out_length, 10);
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The link prints a line for every failed receive; millions of them
    // would only slow the fuzzer.
    if (!std::getenv("VRN_FUZZ_VERBOSE")) std::freopen("/dev/null", "w", stdout);
    // Short polls: the fake clock moves on with every exchange.
    g_flash_bounds.erase_ms = 200;
    g_flash_bounds.program_ms = 50;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    fuzzplat::reset(data + 3, size - 3);
    g_flash_info = vrnFlashInfo{};
    g_udp_error_counter = 0;
    int handle = vrn_open("127.0.0.1:3011", 0);
    check(handle >= 0, "open failed");
    run(handle, data[0], data[1], data[2]);
    vrn_close(handle);
    return 0;
}
