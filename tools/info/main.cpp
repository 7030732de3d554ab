// vrnstat: prints the module's register blocks, flash chip and records.
#include <cstdio>
#include <cstring>
#include <string>

#include "connect.h"
#include "failure_texts.h"
#include "info_records.h"
#include "program_args.h"
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
std::uint8_t g_record[VRN_ICR_BYTES > VRN_NETCFG_BYTES ? VRN_ICR_BYTES : VRN_NETCFG_BYTES];

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

bool show_record(int handle, const VrnRecordLayout& layout, std::uint8_t* record) {
    if (vrn_recover_read(handle, layout.sector, 0, record, layout.bytes, nullptr) != 0) {
        std::printf("### ERROR: %s\n\n", vrn_record_read_failure_text(layout).c_str());
        return false;
    }
    swap_words_to_host(record, record, layout.words);
    print_record(stdout, layout, record);
    return true;
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
        "--help\t\t- this text\n");
}

}  // namespace

int main(int argc, char** argv) {
    int wait = VRN_WAIT_DEFAULT;
    int first = 1;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (int taken = vrn_take_wait_option(argc, argv, &first, &wait)) {
            if (taken < 0) return -1;
        } else if (std::strcmp(argv[first], "--help") == 0) {
            print_help();
            return 0;
        } else {
            std::printf("### ERROR: Unknown option %s (vrnstat --help lists them)\n", argv[first]);
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
    char address[VRN_ADDRESS_BUFFER];
    if (vrn_join_address_args(argv[1], argv[2], address) != 0) return -1;

    int handle = vrn_connect(argv[1], argv[2], address, true, wait);
    if (handle == -1) return -1;

    bool ok = show_block(handle, "DFA", 0, 0, 1, print_dfa_block);
    ok &= show_block(handle, "VRBUS_NAIN", 2, 0x80000000u, 2, print_vrbus_block);

    vrnFlashInfo info;
    int agreed = vrn_recover_identify(handle, &info);
    vrn_print_flash_info(&info);
    std::string why = vrn_identify_failure_text(agreed, "");
    if (!why.empty()) {
        std::printf("### ERROR: %s\n", why.c_str());
        ok = false;
    }
    // An unlisted chip still has its sector size, so the records are read
    // where they lie; only a chip that could not be identified is not read.
    for (const VrnRecordLayout* layout : {&VRN_ICR_LAYOUT, &VRN_NETCFG_LAYOUT}) {
        if (agreed == 0) {
            ok &= show_record(handle, *layout, g_record);
        } else {
            std::printf("### ERROR: Can't read %s: flash chip not identified\n\n", layout->what);
        }
    }

    vrn_close(handle);
    return ok ? 0 : EXIT_READ_FAILED;
}
