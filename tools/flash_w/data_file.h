// The writer's data file: one value per line, ';' comments, '#' text mode.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int VRN_IMAGE_BYTES = 65536;
constexpr int VRN_LINE_BUFFER = 128;
constexpr int VRN_PARSE_TOO_BIG = -1;

// Parses the open file into image (VRN_IMAGE_BYTES long). Returns the byte
// count, or VRN_PARSE_TOO_BIG after printing the too-big error.
int vrn_parse_data_file(std::FILE* file, std::uint8_t* image);
