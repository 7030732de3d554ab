// The writer's data file parser on arbitrary bytes, against a model of the
// format written here from its description: pieces of at most 127
// characters as a 128-character line buffer reads them, CR LF taken as a
// line feed, ';' comments, empty lines, '#' text mode, and values converted
// like strtoul with base 16 only after a 0x prefix, saturating at 2^32 - 1.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data_file.h"

namespace {

bool white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The C library's conversion on the whole line, cut to 32 bits the way a
// 32-bit unsigned long would give it.
std::uint32_t model_value(const std::string& line) {
    std::size_t p = 0;
    while (p < line.size() && white(line[p])) ++p;
    int base = (p + 1 < line.size() && line[p] == '0' && (line[p + 1] == 'x' || line[p + 1] == 'X')) ? 16 : 10;
    bool negative = p < line.size() && line[p] == '-';
    errno = 0;
    unsigned long long v = std::strtoull(line.c_str(), nullptr, base);
    if (errno == ERANGE) return 0xFFFFFFFFu;
    unsigned long long magnitude = negative ? 0ull - v : v;
    if (magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    return negative ? 0u - std::uint32_t(magnitude) : std::uint32_t(magnitude);
}

std::vector<std::uint8_t> model_parse(const std::uint8_t* data, std::size_t size, bool* too_big) {
    // Each carriage return right before a line feed goes, in one pass over
    // the bytes as the file holds them.
    std::string text;
    for (std::size_t i = 0; i < size; ++i)
        if (!(data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')) text += char(data[i]);
    std::vector<std::uint8_t> image;
    bool text_mode = false;
    *too_big = false;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t nl = text.find('\n', pos);
        std::size_t len = nl == std::string::npos ? text.size() - pos : nl + 1 - pos;
        if (len > std::size_t(VRN_LINE_BUFFER - 1)) len = VRN_LINE_BUFFER - 1;
        std::string piece = text.substr(pos, len);
        pos += len;
        piece = piece.substr(0, piece.find('\0'));  // the parser sees a C string
        std::size_t p = 0;
        while (p < piece.size() && white(piece[p])) ++p;
        char at_p = p < piece.size() ? piece[p] : '\0';
        if (at_p == ';') continue;
        std::uint8_t byte;
        if (!piece.empty() && piece[0] == '\n') {
            byte = 0;
        } else if (at_p == '#') {
            text_mode = !text_mode;
            continue;
        } else if (text_mode) {
            byte = piece.empty() ? 0 : std::uint8_t(piece[0]);
        } else {
            byte = std::uint8_t(model_value(piece));
        }
        if (image.size() >= std::size_t(VRN_IMAGE_BYTES)) {
            *too_big = true;
            return image;
        }
        image.push_back(byte);
    }
    return image;
}

[[noreturn]] void broken(const char* what, std::size_t at) {
    std::fprintf(stderr, "data file: %s (byte %zu)\n", what, at);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;  // fmemopen wants at least one byte
    std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (!f) return 0;
    static std::uint8_t image[VRN_IMAGE_BYTES];
    int count = vrn_parse_data_file(f, image, nullptr);
    std::fclose(f);
    bool too_big = false;
    std::vector<std::uint8_t> want = model_parse(data, size, &too_big);
    if (too_big) {
        if (count != VRN_PARSE_TOO_BIG) broken("too big a file was accepted", 0);
        return 0;
    }
    if (count != static_cast<int>(want.size())) broken("byte count differs from the model", std::size_t(count));
    for (std::size_t i = 0; i < want.size(); ++i)
        if (image[i] != want[i]) broken("byte differs from the model", i);
    return 0;
}
