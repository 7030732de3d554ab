// The writer's data file: one value per line, ';' comments, '#' text mode.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr int VRN_IMAGE_BYTES = 65536;
constexpr int VRN_LINE_BUFFER = 128;
constexpr int VRN_PARSE_TOO_BIG = -1;
// A read that failed before the file's end (a directory, which fopen opens
// on Linux, or an I/O error): its bytes would be a silently short image,
// and an empty one erases the sector. errno says why; nothing is printed.
constexpr int VRN_PARSE_READ_FAILED = -2;

// Parses the open file into image (VRN_IMAGE_BYTES long). Returns the byte
// count, VRN_PARSE_READ_FAILED, or VRN_PARSE_TOO_BIG after printing the
// too-big error line on `errors` (none when nullptr). An empty line that would make byte 65537
// is refused like any other value line. A line read in pieces (longer
// than VRN_LINE_BUFFER - 1 characters with its line feed) gets a warning
// naming its line number on `warnings` (none when nullptr); the pieces
// still give their bytes.
int vrn_parse_data_file(std::FILE* file, std::uint8_t* image, std::FILE* warnings = stderr,
                        std::FILE* errors = stdout);

// The text of the error line (without "### ERROR: ") of a file with more
// than VRN_IMAGE_BYTES values.
std::string vrn_data_file_too_big_text();

// Whether the data file at path reads back as the count bytes of image.
bool vrn_data_file_holds(const std::string& path, const std::uint8_t* image, int count);

// The value a line gives with text mode off: strtoul semantics on the whole
// line, base 16 only for a 0x/0X prefix, saturating at 2^32 - 1. Done by
// hand so that a 32-bit and a 64-bit long give the same result.
std::uint32_t vrn_data_line_value(const char* line);

// Comment text placed before byte `at` of an image (at == count: after the
// last byte). A '\n' in it starts another comment line.
struct VrnDataNote {
    int at;
    std::string text;
};

// The image as a data file that vrn_parse_data_file reads back as the same
// bytes: one "0xNN" line per byte, the notes (in order of `at`) as ';'
// lines, each short enough to be read whole, with anything but printable
// ASCII shown as \xNN.
std::string vrn_data_file_text(const std::uint8_t* image, int count, const std::vector<VrnDataNote>& notes);
