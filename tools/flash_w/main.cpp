// vrnprog: writes a data file into one sector of the flash of a module,
// or of many modules at once.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "connect.h"
#include "data_file.h"
#include "dump_file.h"
#include "file_output.h"
#include "many_modules.h"
#include "program_args.h"
#include "program_texts.h"
#include "scan_targets.h"
#include "vrn.h"

namespace {

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
        "--in-flight N\t- keep up to N reads (1..32) in flight at once, each from a port\n"
        "\t\t  of its own: a module across a network is read N times as\n"
        "\t\t  fast (default 1: one exchange at a time)\n"
        "--backup FILE\t- before the sector is changed, read it and save its cells up to\n"
        "\t\t  the last one not erased in FILE, as vrndump does; a backup that\n"
        "\t\t  cannot be completed stops the run before anything is changed.\n"
        "\t\t  `vrnprog <ip> <port> <sector> FILE` puts the old contents back\n"
        "--jobs N\t- with many modules, write N of them at once (1..64, default 8)\n"
        "--json\t\t- the modules' rows as one JSON array (fields in the README)\n"
        "--help\t\t- this text\n"
        "--version\t- the program's name and version\n"
        "\n"
        "Many modules: <ip> may be a range (192.168.0.10-40, 10.0.0.250-10.0.1.5), a\n"
        "block up to a /16 (192.168.0.0/24), or such targets and addresses joined by\n"
        "commas. Each module is written as a run on it alone would be, on a connection\n"
        "of its own, N at once; then one row per module in address order: address,\n"
        "result (exact or failed), bytes programmed, time, and why a failure failed.\n"
        "A backup FILE is then one file per module, the address before the extension:\n"
        "before.dat for 10.0.0.5 is before-10.0.0.5.dat. Exit status 0 when every\n"
        "module holds the image exactly, else 243 (-13). A single address is the plain\n"
        "program, unless --json asks for its row.\n");
}

// The image is too big for the stack of every platform. Only read once
// parsed: the jobs of many modules share it.
std::uint8_t g_image[VRN_IMAGE_BYTES];

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

// Takes a --jobs option at argv[*i] ("--jobs N" or "--jobs=N"), as
// vrn_take_wait_option takes --wait: 1 when taken, 0 when argv[*i] is
// another option, -1 after the error line.
int take_jobs_option(int argc, char** argv, int* i, int* jobs) {
    const char* value = nullptr;
    const std::string expected = "1.." + std::to_string(VRN_JOBS_MAX) + " modules at once";
    const int taken = vrn_option_value(argc, argv, i, "--jobs", expected.c_str(), &value);
    if (taken <= 0) return taken;
    const int n = vrn_jobs_value(value);
    if (n < 0) return -1;
    *jobs = n;
    return 1;
}

// Parses the whole data file into g_image before any flash traffic, so
// that a bad file leaves the flash untouched. 0 with *count, or the exit
// status after the error line.
int load_image(const char* file_name, int* count) {
    std::FILE* file = std::fopen(file_name, "rt");
    if (!file) {
        std::printf("### ERROR: Can't open data file %s\n", file_name);
        return -2;
    }
    *count = vrn_parse_data_file(file, g_image);
    std::fclose(file);
    if (*count == VRN_PARSE_TOO_BIG) return -3;
    if (*count == VRN_PARSE_READ_FAILED) {
        std::printf("### ERROR: Can't open data file %s\n", file_name);
        return -2;
    }
    return 0;
}

// Whether <ip> names targets rather than one address: a list or a block,
// or an address, a dash and more. Any other text stays a bad address, in
// the words the one-module program has always used.
bool names_targets(const char* text) {
    if (std::strchr(text, ',') != nullptr || std::strchr(text, '/') != nullptr) return true;
    const char* dash = std::strchr(text, '-');
    return dash && dash[1] != '\0' && vrn_is_dotted_ipv4(std::string(text, dash).c_str());
}

struct Options {
    int flags = 0;
    VrnLinkSettings link;
    int jobs = VRN_JOBS_DEFAULT;
    bool json = false;
    const char* backup = nullptr;
};

// The targets at argv[1]: every argument checked, every backup name too,
// the data file parsed, all before anything is sent; then the rows.
int run_many(char** argv, const Options& o) {
    std::vector<std::string> texts;
    for (const char *p = argv[1], *comma; ; p = comma + 1) {
        comma = std::strchr(p, ',');
        texts.emplace_back(p, comma ? static_cast<std::size_t>(comma - p) : std::strlen(p));
        if (!comma) break;
    }
    VrnManyWrite many;
    const std::string refused = vrn_scan_targets(texts, &many.addresses);
    if (!refused.empty()) {
        std::printf("### ERROR: %s\n", refused.c_str());
        return -1;
    }
    char address[VRN_ADDRESS_BUFFER];
    if (vrn_join_address_args(vrn_ip_text(many.addresses.front()).c_str(), argv[2], address) != 0) return -1;
    const long sector = vrn_sector_arg(argv[3]);
    if (sector < 0) return -1;
    char file_name[VRN_FILE_NAME_BUFFER];
    if (vrn_file_name_arg(argv[4], file_name) != 0) return -1;
    if (o.backup) {
        for (std::uint32_t ip : many.addresses) {
            const std::string name = vrn_backup_name(o.backup, vrn_ip_text(ip));
            if (check_backup_file(*o.backup ? name.c_str() : o.backup, file_name) != 0) return VRN_EXIT_BACKUP_FAILED;
        }
    }
    int count = 0;
    if (int status = load_image(file_name, &count)) return status;

    many.port = argv[2];
    many.jobs = o.jobs;
    many.link = o.link;
    many.write = VrnModuleWrite{nullptr, argv[2], static_cast<int>(sector), g_image, count, o.flags, o.backup, false};
    many.json = o.json;
    // Standard output holds the rows alone; the recovery's notes could not
    // say which module they are about, and the rows say what failed.
    udp_set_error_counter_output(stderr);
    g_recovery.notes = 0;
    return vrn_write_many(many);
}

int run(int argc, char** argv) {
    Options o;
    int first = 1;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        const char* option = argv[first];
        if (int taken = vrn_take_wait_option(argc, argv, &first, &o.link.wait)) {
            if (taken < 0) return -1;
        } else if (int in_flight_taken = vrn_take_in_flight_option(argc, argv, &first, &o.link.in_flight)) {
            if (in_flight_taken < 0) return -1;
        } else if (int jobs_taken = take_jobs_option(argc, argv, &first, &o.jobs)) {
            if (jobs_taken < 0) return -1;
        } else if (std::strncmp(option, "--backup=", 9) == 0) {
            o.backup = option + 9;
        } else if (std::strcmp(option, "--backup") == 0) {
            if (first + 1 >= argc) {
                std::printf("### ERROR: --backup needs a file name\n");
                return -1;
            }
            o.backup = argv[++first];
        } else if (std::strcmp(option, "--skip-erased") == 0) {
            o.flags |= VRN_WRITE_SKIP_ERASED;
        } else if (std::strcmp(option, "--changed-only") == 0) {
            o.flags |= VRN_WRITE_CHANGED_ONLY;
        } else if (std::strcmp(option, "--json") == 0) {
            o.json = true;
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
    if (o.json || names_targets(argv[1])) return run_many(argv, o);
    // Every argument is checked before anything is sent: a sector that is
    // not a number must not become sector 0.
    char address[VRN_ADDRESS_BUFFER];
    char file_name[VRN_FILE_NAME_BUFFER];
    if (vrn_join_address_args(argv[1], argv[2], address) != 0) return -1;
    long sector = vrn_sector_arg(argv[3]);
    if (sector < 0) return -1;
    if (vrn_file_name_arg(argv[4], file_name) != 0) return -1;
    if (o.backup && check_backup_file(o.backup, file_name) != 0) return VRN_EXIT_BACKUP_FAILED;

    int handle = vrn_connect(argv[1], argv[2], address, false, o.link);
    if (handle == -1) return -1;
    int count = 0;
    if (int status = load_image(file_name, &count)) return status;

    const VrnModuleWrite w{argv[1], argv[2], static_cast<int>(sector), g_image, count, o.flags, o.backup, true};
    VrnModuleResult result;
    return vrn_write_module(handle, w, &result);
}

}  // namespace

int main(int argc, char** argv) { return vrn_run_main(run, argc, argv); }
