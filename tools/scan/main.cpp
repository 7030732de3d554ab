// vrnscan: finds the modules on a network with the echo probe and, with
// --info, reads what each one is, as a table, JSON or CSV.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli_args.h"
#include "connect.h"
#include "probe_scan.h"
#include "program_args.h"
#include "scan_report.h"
#include "scan_targets.h"
#include "vrn.h"

namespace {

enum : int {
    EXIT_USAGE = -1,   // the command line
    EXIT_SOCKET = -2,  // no socket to probe from, or no probe could be sent
};

// The highest base port: a module takes base..base+3.
constexpr int MAX_BASE_PORT = 65532;

// --info's workers: each holds a connection of its own (four sockets).
constexpr int DEFAULT_JOBS = 16;

// Opens one module on a connection of its own and reads it as vrnstat does.
void read_module(VrnScanRow& r, const std::string& ip, std::uint16_t port, VrnLinkSettings link) {
    const std::string address = ip + ":" + std::to_string(port);
    const int handle = vrn_open_module(address.c_str(), true, link);
    if (handle == -1) {
        r.open_failure = std::string("Can't connect: ") + udp_open_failure();
        return;
    }
    vrn_read_module_info(handle, &r.info);
    r.read = true;
    vrn_close(handle);
}

// Reads the modules found, up to `jobs` at a time: each worker takes the
// next module in address order, and each row holds its own results, so the
// output is in address order whatever finishes first. This thread is one of
// the workers: with one module or one job it reads them one after another,
// exactly as a single reader would.
void read_modules(std::vector<VrnScanRow>& rows, std::uint16_t port, VrnLinkSettings link, int jobs, bool progress) {
    std::vector<VrnScanRow*> modules;
    for (VrnScanRow& r : rows)
        if (r.answer.module) modules.push_back(&r);
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < modules.size(); i = next++) {
            const std::string ip = vrn_ip_text(modules[i]->answer.ip);
            if (progress) std::fprintf(stderr, "reading %s (%zu of %zu)\n", ip.c_str(), i + 1, modules.size());
            read_module(*modules[i], ip, port, link);
        }
    };
    const std::size_t helpers = std::min(modules.size(), static_cast<std::size_t>(jobs)) - (modules.empty() ? 0 : 1);
    std::vector<std::thread> workers;
    try {
        for (std::size_t k = 0; k < helpers; ++k) workers.emplace_back(work);
    } catch (const std::system_error&) {
        // Out of threads: the workers started, and this one, read them all.
    }
    work();
    for (std::thread& t : workers) t.join();
}


int run(int argc, char** argv) {
    CLI::App app{"Finds the VRN modules among the addresses given: each address's command port (PORT+1)\n"
                 "is sent the echo probe, many addresses at once, and every address that answers is\n"
                 "listed with its round trip. Only an address that echoes the probe exactly is a module.",
                 "vrnscan"};
    vrn_cli_setup(app);
    std::vector<std::string> targets;
    std::string port_text = "3011", wait_text, in_flight_text, jobs_text = std::to_string(DEFAULT_JOBS);
    bool info = false, json = false, csv = false;
    app.add_option("target", targets,
                   "an IPv4 address, a range of the last part (192.168.0.10-40) or of whole addresses\n"
                   "(10.0.0.250-10.0.1.5), or a block up to a /16 (192.168.0.0/24)")
        ->required();
    app.add_option("--port", port_text, "the modules' base port (default 3011)");
    app.add_option("--wait", wait_text,
                   "MS milliseconds (1..4000) for an address to answer a probe before its resend, and for\n"
                   "each answer of --info's reads (instead of 4000); `auto`: --info waits as long as the\n"
                   "answers measured on the link take. Without it a probe waits 500 ms.");
    app.add_option("--in-flight", in_flight_text,
                   "N (1..32) reads of --info kept in flight at once, each from a port of its own: a module\n"
                   "across a network is read N times as fast (default 1: one exchange at a time)");
    app.add_flag("--info", info,
                 "read each module found as vrnstat does: the ICR and NetCfg records and the flash\n"
                 "chip; several modules at once (--jobs)");
    app.add_option("--jobs", jobs_text,
                   "N (1.." + std::to_string(VRN_JOBS_MAX) + ") modules read at once by --info, each on a connection of its own\n"
                   "(default " + std::to_string(DEFAULT_JOBS) + "; 1: one after another)");
    auto* json_flag = app.add_flag("--json", json, "one JSON array of objects (fields in the README)");
    app.add_flag("--csv", csv, "comma-separated values under a header line of the field names")->excludes(json_flag);
    app.footer("Progress goes to standard error when that is a terminal.\n\n"
               "Exit status: 0 the scan ran, whether or not anything answered; 255 (-1) bad command\n"
               "line; 254 (-2) no socket to probe from, or no probe could be sent.\n\n"
               "Examples:\n  vrnscan 192.168.0.0/24\n  vrnscan --info --json 192.168.0.10-40 192.168.1.7\n"
               "  vrnscan --info --jobs 4 192.168.0.0/24");
    int status = 0;
    if (!vrn_cli_parse(app, argc, argv, &status)) return status;

    const int port = vrn_port_value(port_text.c_str());
    if (port < 0 || port > MAX_BASE_PORT) {
        std::printf("### ERROR: Bad port %s (1..%d expected: a module takes PORT..PORT+3)\n", port_text.c_str(),
                    MAX_BASE_PORT);
        return EXIT_USAGE;
    }
    const int jobs = vrn_jobs_value(jobs_text.c_str());
    if (jobs < 0) return EXIT_USAGE;
    const int wait = wait_text.empty() ? VRN_WAIT_DEFAULT : vrn_wait_arg(wait_text.c_str());
    if (wait == -2) return EXIT_USAGE;
    VrnLinkSettings link;
    link.wait = wait;
    link.in_flight = in_flight_text.empty() ? 1 : vrn_in_flight_arg(in_flight_text.c_str());
    if (link.in_flight < 0) return EXIT_USAGE;
    std::vector<std::uint32_t> addresses;
    const std::string refused = vrn_scan_targets(targets, &addresses);
    if (!refused.empty()) {
        std::printf("### ERROR: %s\n", refused.c_str());
        return EXIT_USAGE;
    }

    // Standard output holds the results alone.
    udp_set_error_counter_output(stderr);
    const bool progress = plat_stderr_is_terminal() != 0;
    const VrnScanSettings settings = {static_cast<std::uint16_t>(port), wait > 0 ? wait : VRN_SCAN_WAIT_MS,
                                      VRN_SCAN_RATE, progress};
    VrnScanResult result;
    std::string error;
    if (vrn_scan_probe(addresses, settings, &result, &error) != 0) {
        std::printf("### ERROR: %s\n", error.c_str());
        return EXIT_SOCKET;
    }
    if (result.send_failures > 0) {
        const char* what = udp_socket_error_text(result.send_error);
        if (static_cast<std::size_t>(result.send_failures) >= 2 * result.probed) {
            std::printf("### ERROR: No probe could be sent: %s (%d)\n", what, result.send_error);
            return EXIT_SOCKET;
        }
        std::fprintf(stderr, "%ld probes could not be sent: %s (%d)\n", result.send_failures, what, result.send_error);
    }

    std::vector<VrnScanRow> rows;
    rows.reserve(result.answers.size());
    for (const VrnScanAnswer& a : result.answers) rows.push_back({a, false, "", {}});
    if (info) read_modules(rows, static_cast<std::uint16_t>(port), link, jobs, progress);

    std::vector<nlohmann::ordered_json> objects;
    objects.reserve(rows.size());
    for (const VrnScanRow& r : rows) objects.push_back(vrn_scan_row_json(r, static_cast<std::uint16_t>(port)));
    const std::string out = json  ? vrn_scan_json(objects)
                            : csv ? vrn_scan_csv(objects, info)
                                  : vrn_scan_table(objects, info, result.probed, static_cast<std::uint16_t>(port));
    std::fputs(out.c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return vrn_run_main(run, argc, argv); }
