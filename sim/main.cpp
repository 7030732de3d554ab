// vrnsim: the module model as a program, listening on loopback in place of
// a VRN module, for people and for the tests.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "module.h"
#include "options.h"
#include "platform/platform.h"
#include "program_args.h"
#include "program_texts.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void on_signal(int) { g_stop = 1; }

const char* kind_name(vrnsim::ChipKind k) { return k == vrnsim::ChipKind::Intel ? "intel" : "amd"; }

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    vrnsim::Options opt;
    std::string error;
    if (!vrnsim::parse_options(args, &opt, &error)) {
        std::fprintf(stderr, "### ERROR: %s\n", error.c_str());
        return 1;
    }
    if (opt.help) {
        if (!vrn_stdout_usable()) return 1;
        std::fputs(vrnsim::usage_text(), stdout);
        return vrn_stdout_status(0, 1);
    }
    if (opt.version) {
        if (!vrn_stdout_usable()) return 1;
        std::printf("%s\n", vrn_version_line("vrnsim").c_str());
        return vrn_stdout_status(0, 1);
    }
    const vrnsim::ModuleConfig& c = opt.config;
    opt.config.keep_logs = false;  // nobody reads them here, and a long run would grow them without end
    vrnsim::ModuleServer server(opt.config);
    if (!server.start(&error)) {
        std::fprintf(stderr, "### ERROR: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::fprintf(stderr, "vrnsim: listening on %s:%u-%u (%s maker 0x%02X device 0x%02X, %d-bit, flash %s)\n",
                 c.address.c_str(), unsigned(c.base_port), unsigned(c.base_port + 3), kind_name(c.chip.kind),
                 unsigned(c.chip.maker), unsigned(c.chip.device), c.chip.width,
                 c.flash_file.empty() ? "in memory" : c.flash_file.c_str());
    std::fflush(stderr);
    bool flash_failed = false, pcap_failed = false;
    while (!g_stop) {
        plat_sleep_ms(50);
        if (!pcap_failed && !c.pcap_file.empty()) {
            std::string e = server.pcap_error();
            if (!e.empty()) {
                // The module goes on serving; the capture stops there.
                std::fprintf(stderr, "### ERROR: pcap file %s: %s\n", c.pcap_file.c_str(), e.c_str());
                pcap_failed = true;
            }
        }
        if (!flash_failed && !c.flash_file.empty()) {
            std::string e = server.flash_error();
            if (!e.empty()) {
                // From here on the module answers no flash change: nothing acknowledged is lost.
                std::fprintf(stderr, "### ERROR: flash file %s: %s\n", c.flash_file.c_str(), e.c_str());
                flash_failed = true;
            }
        }
    }
    std::fprintf(stderr, "vrnsim: stopping; %s\n", server.fault_summary().c_str());
    server.stop();
    return flash_failed || pcap_failed ? 1 : 0;
}
