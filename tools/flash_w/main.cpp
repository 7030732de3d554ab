// vrnprog: writes a data file into one sector of the module's flash.
#include <cstdio>
#include <cstring>
#include <string>

#include "connect.h"
#include "data_file.h"
#include "failure_texts.h"
#include "program_args.h"
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
        "--help\t\t- this text\n");
}

// The image is too big for the stack of every platform.
std::uint8_t g_image[VRN_IMAGE_BYTES];

int fail(int handle, int status) {
    vrn_close(handle);
    return status;
}

int write_exit_status(int status) {
    switch (status) {
    case VRN_WRITE_ERASE_FAILED: return EXIT_ERASE_FAILED;
    case VRN_WRITE_PROGRAM_FAILED: return EXIT_PROGRAM_FAILED;
    case VRN_WRITE_READ_FAILED:
    case VRN_WRITE_FIRST_READ_FAILED: return EXIT_READ_FAILED;
    default: return EXIT_COMPARE_FAILED;
    }
}

int write_flash(int handle, long sector, int count, int flags) {
    vrnFlashInfo info;
    int agreed = vrn_recover_identify(handle, &info);
    vrn_print_flash_info(&info);
    std::string why;
    if (int refused = vrn_chip_check(agreed, info, sector, ", nothing erased", &why)) {
        std::printf("### ERROR: %s\n", why.c_str());
        return fail(handle, vrn_chip_exit_status(refused));
    }
    int s = static_cast<int>(sector);
    VrnWriteReport report;
    if (plat_stderr_is_terminal()) flags |= VRN_WRITE_PROGRESS;
    if (vrn_recover_write(handle, s, g_image, count, flags, &report) == VRN_WRITE_OK) {
        vrn_close(handle);
        return 0;
    }
    std::printf("### ERROR: %s\n", vrn_write_failure_text(report, s).c_str());
    return fail(handle, write_exit_status(report.status));
}

}  // namespace

int main(int argc, char** argv) {
    int flags = 0;
    int wait = VRN_WAIT_DEFAULT;
    int first = 1;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        const char* option = argv[first];
        if (int taken = vrn_take_wait_option(argc, argv, &first, &wait)) {
            if (taken < 0) return -1;
        } else if (std::strcmp(option, "--skip-erased") == 0) {
            flags |= VRN_WRITE_SKIP_ERASED;
        } else if (std::strcmp(option, "--changed-only") == 0) {
            flags |= VRN_WRITE_CHANGED_ONLY;
        } else if (std::strcmp(option, "--help") == 0) {
            print_help();
            return 0;
        } else {
            std::printf("### ERROR: Unknown option %s (vrnprog --help lists them)\n", option);
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
    // Every argument is checked before anything is sent: a sector that is
    // not a number must not become sector 0.
    char address[VRN_ADDRESS_BUFFER];
    char file_name[VRN_FILE_NAME_BUFFER];
    if (vrn_join_address_args(argv[1], argv[2], address) != 0) return -1;
    long sector = vrn_sector_arg(argv[3]);
    if (sector < 0) return -1;
    if (vrn_file_name_arg(argv[4], file_name) != 0) return -1;

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
    if (count == VRN_PARSE_TOO_BIG) return -3;
    std::fclose(file);

    return write_flash(handle, sector, count, flags);
}
