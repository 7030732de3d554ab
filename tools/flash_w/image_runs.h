// Programming the data image into a sector and reading it back, cell by
// cell with the same traffic as the driver's runs (one reset at the end),
// so that a progress line can follow them and a failed read-back stops at
// once instead of waiting out every remaining cell.
#pragma once

#include <cstdint>

#include "progress.h"

// As vrn_flash_program (sector, 0, data, count): the bytes programmed and
// verified before the first failure, count when all succeeded. After a
// failed byte, vrn_flash_cancel_program at that cell precedes the reset.
int vrn_program_image(int handle, int sector, const std::uint8_t* data, int count, VrnProgress* progress);

enum : int { VRN_VERIFY_OK = 0, VRN_VERIFY_READ_FAILED = 1, VRN_VERIFY_DIFFERS = 2 };

// Reads cells 0..count-1 of the sector back into read_back and compares
// them with data, stopping at the first failed read or difference (then
// *cell names it). One of the VRN_VERIFY_ results.
int vrn_verify_image(int handle, int sector, const std::uint8_t* data, std::uint8_t* read_back, int count,
                     VrnProgress* progress, int* cell);
