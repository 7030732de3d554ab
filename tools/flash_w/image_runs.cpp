#include "image_runs.h"

#include "vrn.h"

int vrn_program_image(int handle, int sector, const std::uint8_t* data, int count, VrnProgress* progress) {
    int i = 0;
    while (i < count && vrn_flash_program_byte(handle, sector, i, data[i]) == data[i]) {
        ++i;
        vrn_progress_update(progress, i);
    }
    // A byte whose verify failed may have lost its data write although an
    // answer came for it (a late answer to an earlier write, taken in its
    // place): the chip would then program the closing reset into cell 0 of
    // sector 0, outside the sector being written.
    if (i < count) vrn_flash_cancel_program(handle, sector, i);
    vrn_flash_reset(handle);
    return i;
}

int vrn_verify_image(int handle, int sector, const std::uint8_t* data, std::uint8_t* read_back, int count,
                     VrnProgress* progress, int* cell) {
    int result = VRN_VERIFY_OK;
    for (int k = 0; k < count; ++k) {
        unsigned failures_before = g_flash_read_failures;
        int v = vrn_flash_read_cell(handle, sector, k);
        if (v < 0 || g_flash_read_failures != failures_before) {
            result = VRN_VERIFY_READ_FAILED;
        } else {
            read_back[k] = static_cast<std::uint8_t>(v);
            if (read_back[k] != data[k]) result = VRN_VERIFY_DIFFERS;
        }
        if (result != VRN_VERIFY_OK) {
            *cell = k;
            break;
        }
        vrn_progress_update(progress, k + 1);
    }
    vrn_flash_reset(handle);
    return result;
}
