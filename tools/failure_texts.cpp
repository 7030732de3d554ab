// The reasons the programs and the Python binding give for a failure.
#include "failure_texts.h"

#include <cstdarg>
#include <cstdio>

#include "link/udp_endpoint.h"

namespace {

std::string format(const char* f, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// "<what> of sector S failed at cell C" or ": no two passes agreed".
std::string cells_failure(const char* what, int sector, int cell, const char* consequence) {
    if (cell < 0) return format("%s of sector %d failed: no two passes agreed%s", what, sector, consequence);
    return format("%s of sector %d failed at cell %d%s", what, sector, cell, consequence);
}

}  // namespace

std::string vrn_connect_failure_text(const char* address) {
    return format("Can't connect to %s: %s", address, udp_open_failure());
}

std::string vrn_identify_failure_text(int agreed, const char* consequence) {
    if (agreed == VRN_IDENTIFY_NO_ANSWER) return format("The module does not answer%s", consequence);
    if (agreed != 0) return format("Flash chip identification did not hold on a troubled link%s", consequence);
    return "";
}

int vrn_chip_check(int agreed, const vrnFlashInfo& info, long sector, const char* consequence, std::string* why) {
    *why = vrn_identify_failure_text(agreed, consequence);
    if (agreed == VRN_IDENTIFY_NO_ANSWER) return VRN_CHIP_NO_ANSWER;
    if (agreed != 0) return VRN_CHIP_NOT_IDENTIFIED;
    if (info.sector_count <= 0 || info.sector_size <= 0) {
        *why = format("Flash chip not identified (vendor 0x%02X, device 0x%02X)%s",
                      static_cast<unsigned>(info.vendor_id), static_cast<unsigned>(info.device_id), consequence);
        return VRN_CHIP_NOT_IDENTIFIED;
    }
    if (sector >= info.sector_count) {
        *why = format("Sector %ld is beyond the last sector %ld%s", sector, static_cast<long>(info.sector_count - 1),
                      consequence);
        return VRN_CHIP_SECTOR_BEYOND;
    }
    return VRN_CHIP_OK;
}

int vrn_chip_exit_status(int check) {
    switch (check) {
    case VRN_CHIP_OK: return 0;
    case VRN_CHIP_NO_ANSWER: return -10;
    case VRN_CHIP_SECTOR_BEYOND: return -5;
    default: return -4;
    }
}

std::string vrn_read_failure_text(int sector, int cell, const char* consequence) {
    return cells_failure("Read", sector, cell, consequence);
}

std::string vrn_write_failure_text(const VrnWriteReport& report, int sector) {
    switch (report.status) {
    case VRN_WRITE_OK: return "";
    case VRN_WRITE_ERASE_FAILED: return format("Erase of sector %d failed", sector);
    case VRN_WRITE_PROGRAM_FAILED:
        return format("Program of sector %d stopped after %d of %d bytes", sector, report.programmed,
                      report.to_program);
    case VRN_WRITE_READ_FAILED: return cells_failure("Read-back", sector, report.cell, "");
    case VRN_WRITE_FIRST_READ_FAILED: return vrn_read_failure_text(sector, report.cell, ", nothing written");
    case VRN_WRITE_GAVE_UP:
        return format(report.gone ? "The module stopped answering before sector %d was changed, nothing changed"
                                  : "The link lost too many answers before sector %d was changed, nothing changed",
                      sector);
    case VRN_WRITE_REFUSED: return format("The run was stopped before sector %d was changed, nothing changed", sector);
    case VRN_WRITE_UNCONFIRMED:
        return format("Could not confirm the read-back of sector %d: the link kept %s (cell %d read 0x%02X, the image "
                      "has 0x%02X)",
                      sector, report.gone ? "losing answers until the module counted as gone" : "losing or spoiling the answers",
                      report.cell, report.read, report.wrote);
    default:
        return format("Read-back of sector %d differs at cell %d: wrote 0x%02X, read 0x%02X", sector, report.cell,
                      report.wrote, report.read);
    }
}
