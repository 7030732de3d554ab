// vrndump: reads cells of one flash sector into a data file that vrnprog
// writes back byte for byte.
#include <cstdio>
#include <string>

#include "cli_args.h"
#include "connect.h"
#include "data_file.h"
#include "dump_file.h"
#include "failure_texts.h"
#include "file_output.h"
#include "program_args.h"
#include "vrn.h"

namespace {

// As vrnprog's where the meaning is the same.
enum : int {
    EXIT_USAGE = -1,  // command line, or the connection
    EXIT_NOT_WRITTEN = -2,
    EXIT_READ_FAILED = -8,
    // -4, -5 and -10: vrn_chip_exit_status
};

std::uint8_t g_cells[VRN_IMAGE_BYTES];

// Identifies the flash chip into *info and prints its description. 0, or
// a VRN_IDENTIFY_ failure.
int identify_chip(int handle, vrnFlashInfo* info) {
    int agreed = vrn_recover_identify(handle, info);
    vrn_print_flash_info(info);
    return agreed;
}

long count_value(const std::string& text) {
    long v = vrn_sector_value(text.c_str());  // decimal digits only
    return v >= 1 && v <= VRN_IMAGE_BYTES ? v : -1;
}

int dump(int handle, const std::string& ip, const std::string& port, long sector, int count,
         const std::string& file) {
    vrnFlashInfo info;
    const int agreed = identify_chip(handle, &info);
    std::string why;
    if (int refused = vrn_chip_check(agreed, info, sector, ", nothing read", &why)) {
        std::printf("### ERROR: %s\n", why.c_str());
        return vrn_chip_exit_status(refused);
    }
    int s = static_cast<int>(sector);
    if (vrn_read_dump_cells(handle, s, g_cells, count, "read", plat_stderr_is_terminal() != 0) != 0) {
        std::printf("### ERROR: Read of sector %d failed, nothing written to %s\n", s, file.c_str());
        return EXIT_READ_FAILED;
    }

    std::string error;
    if (vrn_write_dump_file(file, VrnDumpOrigin{"vrndump", ip, port, s, info}, g_cells, count, &error) != 0) {
        std::printf("### ERROR: Can't write dump file %s: %s\n", file.c_str(), error.c_str());
        return EXIT_NOT_WRITTEN;
    }
    std::printf("Dumped %d cells of sector %d into %s\n", count, s, file.c_str());
    return 0;
}

int run(int argc, char** argv) {
    CLI::App app{"Reads `count` cells from cell 0 of a flash sector of a VRN module into a data file,\n"
                 "one value per line, that `vrnprog ip port sector file` writes back byte for byte.",
                 "vrndump"};
    vrn_cli_setup(app);
    std::string ip, port, sector_text, count_text, file;
    app.add_option("ip", ip, "IP address of module")->required();
    app.add_option("port", port, "control port of module")->required();
    app.add_option("sector", sector_text, "flash sector to read")->required();
    app.add_option("count", count_text, "number of cells to read, 1..65536")->required();
    app.add_option("file", file, "data file to write (replaced only by a complete dump)")->required();
    std::string wait_text;
    app.add_option("--wait", wait_text,
                   "wait for each answer: MS milliseconds (1..4000) instead of 4000, or `auto`: as long as the\n"
                   "answers measured on the link take, so that a lost datagram costs milliseconds");
    std::string in_flight_text;
    app.add_option("--in-flight", in_flight_text,
                   "keep up to N reads (1..32) in flight at once, each from a port of its own: a module across a\n"
                   "network is read N times as fast (default 1: one exchange at a time)");
    app.footer("The file is written under a temporary name beside it and renamed into place only\n"
               "after a complete read, so a failed dump leaves no file (and an older one as it was).\n"
               "Progress goes to standard error when that is a terminal.\n\n"
               "Exit status: 0 dumped; 255 (-1) bad command line or no connection; 254 (-2) the\n"
               "file cannot be written; 252 (-4) flash chip not identified; 251 (-5) sector beyond\n"
               "the chip; 248 (-8) a read failed; 246 (-10) the module stopped answering.\n\n"
               "Example:\n  vrndump 192.168.0.150 3011 2 152 netcfg-saved.dat");
    int status = 0;
    if (!vrn_cli_parse(app, argc, argv, &status)) return status;

    // Everything is checked before anything is sent.
    char address[VRN_ADDRESS_BUFFER];
    char file_name[VRN_FILE_NAME_BUFFER];
    if (vrn_join_address_args(ip.c_str(), port.c_str(), address) != 0) return EXIT_USAGE;
    long sector = vrn_sector_arg(sector_text.c_str());
    if (sector < 0) return EXIT_USAGE;
    long count = count_value(count_text);
    if (count < 0) {
        std::printf("### ERROR: Bad count %s (1..%d expected)\n", count_text.c_str(), VRN_IMAGE_BYTES);
        return EXIT_USAGE;
    }
    if (vrn_file_name_arg(file.c_str(), file_name) != 0) return EXIT_USAGE;
    VrnLinkSettings link;
    link.wait = wait_text.empty() ? VRN_WAIT_DEFAULT : vrn_wait_arg(wait_text.c_str());
    if (link.wait == -2) return EXIT_USAGE;
    link.in_flight = in_flight_text.empty() ? 1 : vrn_in_flight_arg(in_flight_text.c_str());
    if (link.in_flight < 0) return EXIT_USAGE;
    std::string error;
    if (vrn_write_back_name(file, &error) != 0 || vrn_check_writable(file, &error) != 0) {
        std::printf("### ERROR: Can't write dump file %s: %s\n", file.c_str(), error.c_str());
        return EXIT_NOT_WRITTEN;
    }

    int handle = vrn_connect(ip.c_str(), port.c_str(), address, true, link);
    if (handle == -1) return EXIT_USAGE;
    int result = dump(handle, ip, port, sector, static_cast<int>(count), file);
    vrn_close(handle);
    return result;
}

}  // namespace

int main(int argc, char** argv) { return vrn_run_main(run, argc, argv, EXIT_NOT_WRITTEN); }
