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
int read_piece(std::FILE* file, char* buf) {
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
    return n;
}

// True when the file holds more characters: a full piece without its line
// feed then leaves the rest of its line to the next piece.
bool more_follows(std::FILE* file) {
    int c = std::getc(file);
    if (c == EOF) return false;
    std::ungetc(c, file);
    return true;
}

// A note's character as printable ASCII: anything else (a line end, a
// Ctrl-Z, which ends a Windows text file, or a byte above 0x7E) as \xNN.
// A backslash stays one: the notes are for people, and hold Windows paths.
std::string note_char(unsigned char c) {
    if (c >= 0x20 && c <= 0x7E) return std::string(1, static_cast<char>(c));
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    return hex;
}

// One line of a note as ';' comment lines short enough to be read whole: a
// longer line would be read in pieces, and its remainder as a value.
void append_note_line(std::string* out, const std::string& line) {
    const std::size_t room = VRN_LINE_BUFFER - 1 - 3;  // "; " and the line feed
    std::string piece;
    bool wrapped = false;
    for (unsigned char c : line) {
        std::string shown = note_char(c);
        if (piece.size() + shown.size() > room) {
            *out += "; " + piece + "\n";
            piece.clear();
            wrapped = true;
        }
        piece += shown;
    }
    if (!piece.empty()) *out += "; " + piece + "\n";
    else if (!wrapped) *out += ";\n";
}

void append_note(std::string* out, const std::string& note) {
    std::size_t start = 0;
    for (;;) {
        std::size_t nl = note.find('\n', start);
        append_note_line(out, note.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
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

std::string vrn_data_file_too_big_text() { return "To Big data file - " + std::to_string(VRN_IMAGE_BYTES + 1); }

bool vrn_data_file_holds(const std::string& path, const std::uint8_t* image, int count) {
    static std::uint8_t parsed[VRN_IMAGE_BYTES];
    std::FILE* f = std::fopen(path.c_str(), "rt");
    int n = f ? vrn_parse_data_file(f, parsed, nullptr, nullptr) : -1;
    if (f) std::fclose(f);
    return n == count && std::memcmp(parsed, image, static_cast<std::size_t>(count)) == 0;
}

int vrn_parse_data_file(std::FILE* file, std::uint8_t* image, std::FILE* warnings, std::FILE* errors) {
    char ss[VRN_LINE_BUFFER];
    bool text_mode = false;
    long count = 0;
    long line = 1;
    bool line_warned = false;
    for (int n; (n = read_piece(file, ss)) > 0;) {
        // The pieces stay as they are; the warning only says why a value
        // may have come from nowhere.
        bool line_ends = ss[n - 1] == '\n';
        if (!line_ends && n == VRN_LINE_BUFFER - 1 && !line_warned && more_follows(file)) {
            if (warnings) {
                std::fprintf(warnings,
                             "line %ld is longer than %d characters; its remainder is read as a separate value\n",
                             line, VRN_LINE_BUFFER - 1);
            }
            line_warned = true;
        }
        if (line_ends) {
            ++line;
            line_warned = false;
        }
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
            if (errors) std::fprintf(errors, "### ERROR: %s\n", vrn_data_file_too_big_text().c_str());
            return VRN_PARSE_TOO_BIG;
        }
        image[count++] = byte;
    }
    if (std::ferror(file)) return VRN_PARSE_READ_FAILED;
    return static_cast<int>(count);
}

std::string vrn_data_file_text(const std::uint8_t* image, int count, const std::vector<VrnDataNote>& notes) {
    std::string out;
    out.reserve(static_cast<std::size_t>(count > 0 ? count : 0) * 5 + 256);
    auto note = notes.begin();
    for (int i = 0; i <= count; ++i) {
        for (; note != notes.end() && note->at <= i; ++note) append_note(&out, note->text);
        if (i == count) break;
        char value[8];
        std::snprintf(value, sizeof value, "0x%02X\n", image[i]);
        out += value;
    }
    return out;
}
