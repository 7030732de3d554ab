// vrnstat: prints the module's register blocks, flash chip and records.
#include <cstdio>
#include <cstring>
#include <string>

#include "connect.h"
#include "failure_texts.h"
#include "info_records.h"
#include "module_info.h"
#include "program_args.h"
#include "program_texts.h"
#include "vrn.h"

namespace {

// Some block or record could not be read; the rest was still printed.
constexpr int EXIT_READ_FAILED = -2;

void print_usage() {
    std::printf("Usage:\n");
    std::printf("vrnstat.exe <ip> <port>\n");
    std::printf("<ip>\t- IP address of module\n");
    std::printf("<port>\t- control port of module\n");
    std::printf("Example:\n");
    std::printf("vrnstat.exe 192.168.0.150 3011\n");
}

std::uint32_t g_block[VRN_BLOCK_WORDS];
VrnModuleInfo g_info;

// A failed read leaves an error line where its block would be, so that the
// output keeps its order and a broken link does not look like a module
// full of zeros.
bool show_block(int handle, const char* name, int space, std::uint32_t address, int step,
                void (*print)(std::FILE*, const std::uint32_t*)) {
    if (vrn_recover_reg_read(handle, space, address, g_block, VRN_BLOCK_BYTES, step) != 0) {
        std::printf("### ERROR: Can't read block %s\n\n", name);
        return false;
    }
    print(stdout, g_block);
    return true;
}

bool show_record(int handle, const VrnRecordLayout& layout) {
    if (vrn_read_module_record(handle, layout, &g_info) != 0) {
        std::printf("### ERROR: %s\n\n", vrn_record_failure(g_info, layout).c_str());
        return false;
    }
    print_record(stdout, layout, &layout == &VRN_ICR_LAYOUT ? g_info.icr : g_info.netcfg);
    return true;
}

// Everything vrnstat prints, each part as soon as it is read.
bool show_module(int handle) {
    bool ok = show_block(handle, "DFA", 0, 0, 1, print_dfa_block);
    ok &= show_block(handle, "VRBUS_NAIN", 2, 0x80000000u, 2, print_vrbus_block);
    vrn_read_flash(handle, &g_info);
    vrn_print_flash_info(&g_info.flash);
    if (g_info.identified != 0) {
        std::printf("### ERROR: %s\n", vrn_identify_failure(g_info).c_str());
        ok = false;
    }
    ok &= show_record(handle, VRN_ICR_LAYOUT);
    ok &= show_record(handle, VRN_NETCFG_LAYOUT);
    return ok;
}

// --json: the chip and the records as one JSON object, nothing else on
// standard output (the error counter line goes to standard error).
bool show_module_json(int handle, const char* ip, const char* port) {
    bool ok = vrn_read_module_info(handle, &g_info) == 0;
    nlohmann::ordered_json row = {{"address", ip}, {"port", vrn_port_value(port)}};
    vrn_put_module_info(row, g_info);
    std::fputs(vrn_json_text(row).c_str(), stdout);
    return ok;
}

// --json when the module cannot be opened: the address and the error.
void show_open_failure_json(const char* ip, const char* port, const char* address) {
    const nlohmann::ordered_json row = {
        {"address", ip}, {"port", vrn_port_value(port)}, {"error", vrn_connect_failure_text(address)}};
    std::fputs(vrn_json_text(row).c_str(), stdout);
}

// The options come before the positional arguments; the usage text stays
// that of the plain program.
void print_help() {
    print_usage();
    std::printf(
        "\n"
        "Options, before <ip>:\n"
        "--wait MS\t- wait MS milliseconds (1..4000) for each answer instead of 4000\n"
        "--wait auto\t- wait as long as the answers measured on the link take: a lost\n"
        "\t\t  datagram then costs milliseconds instead of seconds\n"
        "--in-flight N\t- keep up to N reads (1..32) in flight at once, each from a port\n"
        "\t\t  of its own: a module across a network is read N times as\n"
        "\t\t  fast (default 1: one exchange at a time)\n"
        "--json\t\t- print the flash chip and the ICR and NetCfg records as one JSON\n"
        "\t\t  object (the fields as vrnscan --json lists them), nothing else\n"
        "--help\t\t- this text\n"
        "--version\t- the program's name and version\n");
}

int run(int argc, char** argv) {
    VrnLinkSettings link;
    bool json = false;
    int first = 1;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (int taken = vrn_take_wait_option(argc, argv, &first, &link.wait)) {
            if (taken < 0) return -1;
        } else if (int in_flight_taken = vrn_take_in_flight_option(argc, argv, &first, &link.in_flight)) {
            if (in_flight_taken < 0) return -1;
        } else if (std::strcmp(argv[first], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[first], "--help") == 0) {
            print_help();
            return 0;
        } else if (std::strcmp(argv[first], "--version") == 0) {
            std::printf("%s\n", vrn_version_line("vrnstat").c_str());
            return 0;
        } else {
            std::printf("### ERROR: %s\n", vrn_unknown_option_text("vrnstat", argv[first]).c_str());
            return -1;
        }
    }
    argc -= first - 1;
    argv += first - 1;
    if (argc < 3) {
        print_usage();
        plat_wait_key();
        return -1;
    }
    if (vrn_refuse_late_options(argc, argv, 3, "vrnstat") != 0) return -1;
    // With --json, standard output holds the object alone.
    char address[VRN_ADDRESS_BUFFER];
    if (vrn_join_address_args(argv[1], argv[2], address, json ? stderr : stdout) != 0) return -1;

    if (json) udp_set_error_counter_output(stderr);
    int handle = vrn_connect(argv[1], argv[2], address, true, link, !json);
    if (handle == -1) {
        // The object still comes, with its error, as vrnscan --info --json has it.
        if (json) show_open_failure_json(argv[1], argv[2], address);
        return -1;
    }
    bool ok = json ? show_module_json(handle, argv[1], argv[2]) : show_module(handle);
    vrn_close(handle);
    return ok ? 0 : EXIT_READ_FAILED;
}

}  // namespace

int main(int argc, char** argv) { return vrn_run_main(run, argc, argv); }
