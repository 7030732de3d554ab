#include "data_file.h"

#include <cstring>

namespace {

// The C locale's white space; bytes 0x80 and above are not white space.
bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* skip_white(const char* p) {
    while (is_white(*p)) ++p;
    return p;
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// One piece of a line, as fgets with a buffer of VRN_LINE_BUFFER reads it
// from a file opened in text mode: at most 127 characters, up to and
// including the line feed. On Windows the C library already turns CR LF
// into LF; elsewhere it is done here, so that a CR LF split by the piece
// limit still counts as one line feed and files written on Windows parse
// the same everywhere.
bool read_piece(std::FILE* file, char* buf) {
    int n = 0;
    while (n < VRN_LINE_BUFFER - 1) {
        int c = std::getc(file);
        if (c == EOF) break;
#ifndef _WIN32
        if (c == '\r') {
            int next = std::getc(file);
            if (next == '\n') c = '\n';
            else if (next != EOF) std::ungetc(next, file);
        }
#endif
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return n > 0;
}

}  // namespace

std::uint32_t vrn_data_line_value(const char* line) {
    const char* p = skip_white(line);
    unsigned base = (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) ? 16 : 10;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (base == 16) p += 2;  // only reached without a sign, so the prefix is there
    std::uint64_t value = 0;
    bool saturated = false;
    for (int d; (d = digit_value(*p)) < static_cast<int>(base); ++p) {
        value = value * base + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFu) {
            saturated = true;
            value = 0xFFFFFFFFu;
        }
    }
    if (saturated) return 0xFFFFFFFFu;
    std::uint32_t v = static_cast<std::uint32_t>(value);
    return negative ? 0u - v : v;
}

int vrn_parse_data_file(std::FILE* file, std::uint8_t* image) {
    char ss[VRN_LINE_BUFFER];
    bool text_mode = false;
    long count = 0;
    while (read_piece(file, ss)) {
        const char* p = skip_white(ss);
        if (*p == ';') continue;
        std::uint8_t byte;
        if (ss[0] == '\n') {
            byte = 0;
        } else if (*p == '#') {
            text_mode = !text_mode;
            continue;
        } else if (text_mode) {
            byte = static_cast<std::uint8_t>(ss[0]);
        } else {
            byte = static_cast<std::uint8_t>(vrn_data_line_value(ss) & 0xFFu);
        }
        if (count >= VRN_IMAGE_BYTES) {
            std::printf("### ERROR: To Big data file - %ld\n", count + 1);
            return VRN_PARSE_TOO_BIG;
        }
        image[count++] = byte;
    }
    return static_cast<int>(count);
}
