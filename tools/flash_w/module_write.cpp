// One module's write: the same steps and words for one module and for many.
#include "module_write.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "data_file.h"
#include "dump_file.h"
#include "failure_texts.h"
#include "vrn.h"

namespace {

// What the steps of one write share: the request, where its words go, and
// the answers lost before the first change, to tell of a poor link.
struct Run {
    const VrnModuleWrite& w;
    VrnModuleResult* result;
    vrnFlashInfo chip;
    unsigned lost_identifying;
};

// An error line when alone; else the first reason, for the module's row.
void error_line(Run& run, const std::string& why) {
    if (run.w.alone) {
        std::printf("### ERROR: %s\n", why.c_str());
    } else if (run.result->error.empty()) {
        run.result->error = why;
    }
}

// Reads the whole sector and saves its cells up to the last one that is
// not erased. 0, or an exit status after the error line.
int take_backup(int handle, Run& run) {
    const int sector = run.w.sector;
    const long cells = run.chip.sector_size;
    // The sector's old cells: a buffer of each write's own.
    std::vector<std::uint8_t> old;
    if (cells <= VRN_FLASH_MAX_SECTOR_CELLS) old.resize(static_cast<std::size_t>(cells > 0 ? cells : 0));
    const bool shown = run.w.alone && plat_stderr_is_terminal() != 0;
    if (cells > VRN_FLASH_MAX_SECTOR_CELLS ||
        vrn_read_dump_cells(handle, sector, old.data(), cells, "backup", shown) != 0) {
        error_line(run, "Read of sector " + std::to_string(sector) + " for the backup failed, nothing changed");
        return VRN_EXIT_BACKUP_FAILED;
    }
    long count = cells;
    while (count > 0 && old[static_cast<std::size_t>(count - 1)] == 0xFF) --count;
    if (count > VRN_IMAGE_BYTES) {
        error_line(run, "Sector " + std::to_string(sector) + " holds data up to cell " + std::to_string(count - 1) +
                            ", beyond the " + std::to_string(VRN_IMAGE_BYTES) +
                            " cells of a data file: no backup, nothing changed");
        return VRN_EXIT_BACKUP_FAILED;
    }
    const char* backup = run.w.backup;
    std::string error;
    if (vrn_write_dump_file(backup, VrnDumpOrigin{"vrnprog --backup", run.w.ip, run.w.port, sector, run.chip},
                            old.data(), static_cast<int>(count), &error) != 0) {
        error_line(run, std::string("Can't write backup file ") + backup + ": " + error + ", nothing changed");
        return VRN_EXIT_BACKUP_FAILED;
    }
    run.result->backed_up = true;
    if (!run.w.alone) return 0;
    if (count == 0) {
        std::printf("Backup of sector %d: it is erased; %s holds no cells (written back, it erases the sector)\n",
                    sector, backup);
    } else {
        std::printf("Backup of sector %d: %ld cells in %s\n", sector, count, backup);
    }
    return 0;
}

// VrnBeforeChange: the backup, and (alone) a word on standard error when
// the link already lost answers, while there is still time to stop the run.
int before_change(int handle, int sector, void* context) {
    auto& run = *static_cast<Run*>(context);
    const unsigned lost_before = link_lost(link_health(handle));
    if (run.w.backup) {
        if (int status = take_backup(handle, run)) return status;
    }
    const unsigned lost_backup = link_lost(link_health(handle)) - lost_before;
    const unsigned lost_reading = lost_before - run.lost_identifying;  // the first read of --changed-only
    if (!run.w.alone || run.lost_identifying + lost_reading + lost_backup == 0) return 0;
    std::fflush(stdout);
    std::fprintf(stderr, "the link lost answers before sector %d is changed:", sector);
    const char* sep = " ";
    const std::pair<unsigned, const char*> steps[] = {
        {run.lost_identifying, "the identification"}, {lost_reading, "the first read"}, {lost_backup, "the backup"}};
    for (const auto& [lost, step] : steps) {
        if (lost == 0) continue;
        std::fprintf(stderr, "%s%u in %s", sep, lost, step);
        sep = ", ";
    }
    std::fprintf(stderr, "; each step was repeated until it held, so the run goes on\n");
    return 0;
}

// The exit status of a vrn_recover_write result; a run that gave up before
// the first change is the module not answering, as an identification's.
int write_exit_status(const VrnWriteReport& report) {
    switch (report.status) {
    case VRN_WRITE_OK: return 0;
    case VRN_WRITE_GAVE_UP: return vrn_chip_exit_status(VRN_CHIP_NO_ANSWER);
    case VRN_WRITE_REFUSED: return report.refused;
    case VRN_WRITE_ERASE_FAILED: return VRN_EXIT_ERASE_FAILED;
    case VRN_WRITE_PROGRAM_FAILED: return VRN_EXIT_PROGRAM_FAILED;
    case VRN_WRITE_READ_FAILED:
    case VRN_WRITE_FIRST_READ_FAILED: return VRN_EXIT_READ_FAILED;
    case VRN_WRITE_UNCONFIRMED: return VRN_EXIT_UNCONFIRMED;
    default: return VRN_EXIT_COMPARE_FAILED;
    }
}

int close_with(int handle, VrnModuleResult* result, int status) {
    vrn_close(handle);
    result->status = status;
    return status;
}

}  // namespace

int vrn_write_module(int handle, const VrnModuleWrite& w, VrnModuleResult* result) {
    *result = VrnModuleResult{0, "", 0, false};
    Run run{w, result, {}, 0};
    int agreed = vrn_recover_identify(handle, &run.chip);
    if (w.alone) vrn_print_flash_info(&run.chip);
    std::string why;
    if (int refused = vrn_chip_check(agreed, run.chip, w.sector, ", nothing erased", &why)) {
        error_line(run, why);
        return close_with(handle, result, vrn_chip_exit_status(refused));
    }
    run.lost_identifying = link_lost(link_health(handle));
    const VrnBeforeChange hook{before_change, &run};
    int flags = w.flags;
    if (w.alone && plat_stderr_is_terminal()) flags |= VRN_WRITE_PROGRESS;
    VrnWriteReport report;
    const int status = vrn_recover_write(handle, w.sector, w.image, w.count, flags, &report, &hook);
    const int exit_status = write_exit_status(report);
    result->bytes = report.cells_programmed;
    // A refusing hook has said why.
    if (exit_status != 0 && status != VRN_WRITE_REFUSED) error_line(run, vrn_write_failure_text(report, w.sector));
    // Past the first change the sector may hold neither the old contents nor the new.
    const bool changed = status != VRN_WRITE_GAVE_UP && status != VRN_WRITE_REFUSED;
    if (exit_status != 0 && changed && result->backed_up) {
        if (w.alone) {
            std::printf("The old contents of sector %d are in %s; this puts them back:\n    %s\n", w.sector, w.backup,
                        vrn_write_back_line(w.ip, w.port, w.sector, w.backup).c_str());
        } else {
            result->error += std::string("; the old contents are in ") + w.backup;
        }
    }
    if (w.alone && status == VRN_WRITE_OK && report.unchanged && w.backup)
        std::fprintf(stderr, "nothing changed, so no backup was written to %s\n", w.backup);
    return close_with(handle, result, exit_status);
}
