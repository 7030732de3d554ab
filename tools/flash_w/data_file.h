// The writer's data file: one value per line, ';' comments, '#' text mode.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int VRN_IMAGE_BYTES = 65536;
constexpr int VRN_LINE_BUFFER = 128;
constexpr int VRN_PARSE_TOO_BIG = -1;

// Parses the open file into image (VRN_IMAGE_BYTES long). Returns the byte
// count, or VRN_PARSE_TOO_BIG after printing the too-big error. An empty
// line that would make byte 65537 is refused like any other value line.
int vrn_parse_data_file(std::FILE* file, std::uint8_t* image);

// The value a line gives with text mode off: strtoul semantics on the whole
// line, base 16 only for a 0x/0X prefix, saturating at 2^32 - 1. Done by
// hand so that a 32-bit and a 64-bit long give the same result.
std::uint32_t vrn_data_line_value(const char* line);
