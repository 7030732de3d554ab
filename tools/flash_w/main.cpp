// vrnprog: writes a data file into one sector of the module's flash.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "connect.h"
#include "data_file.h"
#include "dump_file.h"
#include "failure_texts.h"
#include "file_output.h"
#include "program_args.h"
#include "program_texts.h"
#include "vrn.h"

namespace {

// Exit statuses beyond the usage, connection and file errors: each flash
// failure has its own, so that a script can tell them apart.
enum : int {
    // -4, -5 and -10: vrn_chip_exit_status
    EXIT_ERASE_FAILED = -6,
    EXIT_PROGRAM_FAILED = -7,
    EXIT_READ_FAILED = -8,
    EXIT_COMPARE_FAILED = -9,
    EXIT_BACKUP_FAILED = -11,
    EXIT_UNCONFIRMED = -12,
};

void print_usage() {
    std::printf("Usage:\n");
    std::printf("vrnprog.exe <ip> <port> <sector> <file>\n");
    std::printf("<ip>\t- IP address of module\n");
    std::printf("<port>\t- control port of module\n");
    std::printf("<sector>- started sector for write\n");
    std::printf("<file>\t- name of data file\n");
    std::printf("Example:\n");
    std::printf("vrnprog.exe 192.168.0.150 3011 2 netcfg.dat\n");
}

// The options come before the positional arguments; the usage text stays
// that of the plain program.
void print_help() {
    print_usage();
    std::printf(
        "\n"
        "Options, before <ip>:\n"
        "--skip-erased\t- after the erase, do not program bytes of 0xFF (an erased\n"
        "\t\t  cell of an 8-bit chip already holds them); every cell of the\n"
        "\t\t  image is still read back and compared\n"
        "--changed-only\t- read the image's cells first: nothing is written when they\n"
        "\t\t  already hold the image; when programming alone can reach it,\n"
        "\t\t  only the cells that differ are programmed and read back, without\n"
        "\t\t  an erase; otherwise as --skip-erased. Cells of the sector beyond\n"
        "\t\t  the image are then left as they were, unless an erase was needed\n"
        "--wait MS\t- wait MS milliseconds (1..4000) for each answer instead of 4000\n"
        "--wait auto\t- wait as long as the answers measured on the link take: a lost\n"
        "\t\t  datagram then costs milliseconds instead of seconds\n"
        "--backup FILE\t- before the sector is changed, read it and save its cells up to\n"
        "\t\t  the last one not erased in FILE, as vrndump does; a backup that\n"
        "\t\t  cannot be completed stops the run before anything is changed.\n"
        "\t\t  `vrnprog <ip> <port> <sector> FILE` puts the old contents back\n"
        "--help\t\t- this text\n"
        "--version\t- the program's name and version\n");
}

// The image is too big for the stack of every platform.
std::uint8_t g_image[VRN_IMAGE_BYTES];

int fail(int handle, int status) {
    vrn_close(handle);
    return status;
}

// The sector's old cells for the backup.
std::uint8_t g_old[VRN_FLASH_MAX_SECTOR_CELLS];

// What the step before the first change to the sector needs: where the
// backup goes, and the answers lost before it, to tell of a poor link.
struct BeforeChange {
    const char* ip;
    const char* port;
    const char* backup;  // nullptr: no backup
    vrnFlashInfo chip;
    unsigned lost_identifying;
    bool backed_up;
};

// Reads the whole sector and saves its cells up to the last one that is
// not erased. 0, or an exit status after the error line.
int take_backup(int handle, int sector, const BeforeChange& c) {
    const long cells = c.chip.sector_size;
    if (cells > VRN_FLASH_MAX_SECTOR_CELLS ||
        vrn_read_dump_cells(handle, sector, g_old, cells, "backup", plat_stderr_is_terminal() != 0) != 0) {
        std::printf("### ERROR: Read of sector %d for the backup failed, nothing changed\n", sector);
        return EXIT_BACKUP_FAILED;
    }
    long count = cells;
    while (count > 0 && g_old[count - 1] == 0xFF) --count;
    if (count > VRN_IMAGE_BYTES) {
        std::printf("### ERROR: Sector %d holds data up to cell %ld, beyond the %d cells of a data file: no backup, "
                    "nothing changed\n",
                    sector, count - 1, VRN_IMAGE_BYTES);
        return EXIT_BACKUP_FAILED;
    }
    std::string error;
    if (vrn_write_dump_file(c.backup, VrnDumpOrigin{"vrnprog --backup", c.ip, c.port, sector, c.chip}, g_old,
                            static_cast<int>(count), &error) != 0) {
        std::printf("### ERROR: Can't write backup file %s: %s, nothing changed\n", c.backup, error.c_str());
        return EXIT_BACKUP_FAILED;
    }
    if (count == 0) {
        std::printf("Backup of sector %d: it is erased; %s holds no cells (written back, it erases the sector)\n",
                    sector, c.backup);
    } else {
        std::printf("Backup of sector %d: %ld cells in %s\n", sector, count, c.backup);
    }
    return 0;
}

// VrnBeforeChange: the backup, and a word on standard error when the link
// already lost answers, while there is still time to stop the run.
int before_change(int handle, int sector, void* context) {
    auto& c = *static_cast<BeforeChange*>(context);
    const unsigned lost_before = link_lost(link_health(handle));
    if (c.backup) {
        if (int status = take_backup(handle, sector, c)) return status;
        c.backed_up = true;
    }
    const unsigned lost_backup = link_lost(link_health(handle)) - lost_before;
    const unsigned lost_reading = lost_before - c.lost_identifying;  // the first read of --changed-only
    if (c.lost_identifying + lost_reading + lost_backup == 0) return 0;
    std::fflush(stdout);
    std::fprintf(stderr, "the link lost answers before sector %d is changed:", sector);
    const char* sep = " ";
    const std::pair<unsigned, const char*> steps[] = {
        {c.lost_identifying, "the identification"}, {lost_reading, "the first read"}, {lost_backup, "the backup"}};
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
    case VRN_WRITE_ERASE_FAILED: return EXIT_ERASE_FAILED;
    case VRN_WRITE_PROGRAM_FAILED: return EXIT_PROGRAM_FAILED;
    case VRN_WRITE_READ_FAILED:
    case VRN_WRITE_FIRST_READ_FAILED: return EXIT_READ_FAILED;
    case VRN_WRITE_UNCONFIRMED: return EXIT_UNCONFIRMED;
    default: return EXIT_COMPARE_FAILED;
    }
}

int write_flash(int handle, long sector, int count, int flags, const char* backup, const char* ip,
                const char* port) {
    vrnFlashInfo info;
    int agreed = vrn_recover_identify(handle, &info);
    vrn_print_flash_info(&info);
    std::string why;
    if (int refused = vrn_chip_check(agreed, info, sector, ", nothing erased", &why)) {
        std::printf("### ERROR: %s\n", why.c_str());
        return fail(handle, vrn_chip_exit_status(refused));
    }
    int s = static_cast<int>(sector);
    BeforeChange change{ip, port, backup, info, link_lost(link_health(handle)), false};
    const VrnBeforeChange hook{before_change, &change};
    VrnWriteReport report;
    if (plat_stderr_is_terminal()) flags |= VRN_WRITE_PROGRESS;
    const int status = vrn_recover_write(handle, s, g_image, count, flags, &report, &hook);
    const int exit_status = write_exit_status(report);
    // A refusing hook has said why.
    if (exit_status != 0 && status != VRN_WRITE_REFUSED)
        std::printf("### ERROR: %s\n", vrn_write_failure_text(report, s).c_str());
    // Past the first change the sector may hold neither the old contents nor the new.
    const bool changed = status != VRN_WRITE_GAVE_UP && status != VRN_WRITE_REFUSED;
    if (exit_status != 0 && changed && backup && change.backed_up) {
        std::printf("The old contents of sector %d are in %s; this puts them back:\n    %s\n", s, backup,
                    vrn_write_back_line(ip, port, s, backup).c_str());
    }
    if (status == VRN_WRITE_OK && report.unchanged && backup)
        std::fprintf(stderr, "nothing changed, so no backup was written to %s\n", backup);
    return fail(handle, exit_status);
}

// A backup file that could never be written, or that would replace the
// data file, is refused before anything is sent. 0, or -1 after the error line.
int check_backup_file(const char* backup, const char* data_file) {
    std::string error;
    std::error_code ec;
    if (*backup == '\0') {
        error = "no file name";
    } else if (std::filesystem::equivalent(backup, data_file, ec)) {
        error = "it is the data file";
    } else if (vrn_write_back_name(backup, &error) == 0) {
        vrn_check_writable(backup, &error);
    }
    if (error.empty()) return 0;
    std::printf("### ERROR: Can't write backup file %s: %s\n", backup, error.c_str());
    return -1;
}

int run(int argc, char** argv) {
    int flags = 0;
    int wait = VRN_WAIT_DEFAULT;
    const char* backup = nullptr;
    int first = 1;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        const char* option = argv[first];
        if (int taken = vrn_take_wait_option(argc, argv, &first, &wait)) {
            if (taken < 0) return -1;
        } else if (std::strncmp(option, "--backup=", 9) == 0) {
            backup = option + 9;
        } else if (std::strcmp(option, "--backup") == 0) {
            if (first + 1 >= argc) {
                std::printf("### ERROR: --backup needs a file name\n");
                return -1;
            }
            backup = argv[++first];
        } else if (std::strcmp(option, "--skip-erased") == 0) {
            flags |= VRN_WRITE_SKIP_ERASED;
        } else if (std::strcmp(option, "--changed-only") == 0) {
            flags |= VRN_WRITE_CHANGED_ONLY;
        } else if (std::strcmp(option, "--help") == 0) {
            print_help();
            return 0;
        } else if (std::strcmp(option, "--version") == 0) {
            std::printf("%s\n", vrn_version_line("vrnprog").c_str());
            return 0;
        } else {
            std::printf("### ERROR: %s\n", vrn_unknown_option_text("vrnprog", option).c_str());
            return -1;
        }
    }
    argc -= first - 1;
    argv += first - 1;
    if (argc < 5) {
        print_usage();
        plat_wait_key();
        return -1;
    }
    if (vrn_refuse_late_options(argc, argv, 5, "vrnprog") != 0) return -1;
    // Every argument is checked before anything is sent: a sector that is
    // not a number must not become sector 0.
    char address[VRN_ADDRESS_BUFFER];
    char file_name[VRN_FILE_NAME_BUFFER];
    if (vrn_join_address_args(argv[1], argv[2], address) != 0) return -1;
    long sector = vrn_sector_arg(argv[3]);
    if (sector < 0) return -1;
    if (vrn_file_name_arg(argv[4], file_name) != 0) return -1;
    if (backup && check_backup_file(backup, file_name) != 0) return EXIT_BACKUP_FAILED;

    int handle = vrn_connect(argv[1], argv[2], address, false, wait);
    if (handle == -1) return -1;

    // The whole file is parsed before any flash traffic, so a bad file
    // leaves the flash untouched.
    std::FILE* file = std::fopen(file_name, "rt");
    if (!file) {
        std::printf("### ERROR: Can't open data file %s\n", file_name);
        return -2;
    }
    int count = vrn_parse_data_file(file, g_image);
    std::fclose(file);
    if (count == VRN_PARSE_TOO_BIG) return -3;
    if (count == VRN_PARSE_READ_FAILED) {
        std::printf("### ERROR: Can't open data file %s\n", file_name);
        return -2;
    }

    return write_flash(handle, sector, count, flags, backup, argv[1], argv[2]);
}

}  // namespace

int main(int argc, char** argv) { return vrn_run_main(run, argc, argv); }
