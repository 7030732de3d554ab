// vrnprog on many modules: the jobs, the progress line on the whole run, the rows.
#include "many_modules.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "connect.h"
#include "failure_texts.h"
#include "module_info.h"  // vrn_json_text
#include "program_args.h"
#include "vrn.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedraw = std::chrono::milliseconds(200);

const char* result_word(const VrnModuleResult& r) { return r.status == 0 ? "exact" : "failed"; }

// Opens the module, writes it as a run on it alone would, and closes it;
// nothing is printed.
void write_one(const VrnManyWrite& many, VrnModuleRow* row) {
    const Clock::time_point start = Clock::now();
    const std::string ip = vrn_ip_text(row->ip), address = ip + ":" + many.port;
    VrnModuleWrite w = many.write;
    w.ip = ip.c_str();
    w.alone = false;
    if (w.backup) {
        row->backup = vrn_backup_name(w.backup, ip);
        w.backup = row->backup.c_str();
    }
    const int handle = vrn_open_module(address.c_str(), false, many.link);
    if (handle == -1) {
        row->result = VrnModuleResult{-1, vrn_connect_failure_text(address.c_str()), 0, false};
    } else {
        vrn_write_module(handle, w, &row->result);
    }
    row->ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// How many modules have ended, for the progress line.
struct Tally {
    std::mutex mu;
    std::condition_variable changed;
    std::size_t done = 0;
    std::size_t failed = 0;
};

void draw_progress(std::size_t done, std::size_t total, std::size_t failed, Clock::duration elapsed) {
    const long s = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
    // Trailing blanks clear what a longer previous line left behind.
    std::fprintf(stderr, "\r%zu/%zu modules done, %zu failed, %ld:%02ld    ", done, total, failed, s / 60, s % 60);
    std::fflush(stderr);
}

}  // namespace

std::string vrn_backup_name(const std::string& file, const std::string& ip) {
    const std::filesystem::path path(file);
    const std::string extension = path.filename().extension().string();
    return file.substr(0, file.size() - extension.size()) + "-" + ip + extension;
}

std::string vrn_rows_table(const std::vector<VrnModuleRow>& rows, int sector) {
    std::string out;
    char line[160];
    std::snprintf(line, sizeof line, "%-15s  %-6s  %6s  %8s  %s\n", "address", "result", "bytes", "time", "error");
    out += line;
    std::size_t exact = 0;
    for (const VrnModuleRow& r : rows) {
        exact += r.result.status == 0 ? 1 : 0;
        std::snprintf(line, sizeof line, "%-15s  %-6s  %6d  %6.1f s", vrn_ip_text(r.ip).c_str(),
                      result_word(r.result), r.result.bytes, static_cast<double>(r.ms) / 1000.0);
        out += line;
        if (!r.result.error.empty()) out += "  " + r.result.error;
        out += "\n";
    }
    std::snprintf(line, sizeof line, "Sector %d holds the image exactly on %zu of %zu modules.\n", sector, exact,
                  rows.size());
    return out + line;
}

std::string vrn_rows_json(const std::vector<VrnModuleRow>& rows, int port) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const VrnModuleRow& r : rows) {
        nlohmann::ordered_json o;
        o["address"] = vrn_ip_text(r.ip);
        o["port"] = port;
        o["result"] = result_word(r.result);
        o["status"] = r.result.status;
        o["bytes"] = r.result.bytes;
        o["ms"] = r.ms;
        o["error"] = r.result.error.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.result.error);
        o["backup"] = r.result.backed_up ? nlohmann::ordered_json(r.backup) : nlohmann::ordered_json();
        array.push_back(std::move(o));
    }
    return vrn_json_text(array);
}

int vrn_write_many(const VrnManyWrite& many) {
    const std::size_t total = many.addresses.size();
    std::vector<VrnModuleRow> rows(total);
    for (std::size_t i = 0; i < total; ++i) rows[i].ip = many.addresses[i];

    Tally tally;
    std::atomic<std::size_t> next{0};
    auto job = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < total;) {
            write_one(many, &rows[i]);
            {
                std::lock_guard<std::mutex> lock(tally.mu);
                ++tally.done;
                tally.failed += rows[i].result.status != 0 ? 1 : 0;
            }
            tally.changed.notify_one();
        }
    };
    const std::size_t jobs = std::min<std::size_t>(static_cast<std::size_t>(many.jobs > 0 ? many.jobs : 1), total);
    std::vector<std::thread> threads;
    threads.reserve(jobs);
    const Clock::time_point start = Clock::now();
    for (std::size_t j = 0; j < jobs; ++j) {
        // Fewer jobs when the system gives no more threads; none: this one.
        try {
            threads.emplace_back(job);
        } catch (const std::system_error&) {
            break;
        }
    }
    if (threads.empty()) job();

    if (plat_stderr_is_terminal()) {
        for (;;) {
            std::unique_lock<std::mutex> lock(tally.mu);
            tally.changed.wait_for(lock, kRedraw);
            const std::size_t done = tally.done, failed = tally.failed;
            lock.unlock();
            draw_progress(done, total, failed, Clock::now() - start);
            if (done == total) break;
        }
        std::fputs("\n", stderr);
        std::fflush(stderr);
    }
    for (std::thread& t : threads) t.join();

    const std::string out = many.json ? vrn_rows_json(rows, vrn_port_value(many.port))
                                      : vrn_rows_table(rows, many.write.sector);
    std::fputs(out.c_str(), stdout);
    for (const VrnModuleRow& r : rows)
        if (r.result.status != 0) return VRN_EXIT_NOT_ALL_EXACT;
    return 0;
}
