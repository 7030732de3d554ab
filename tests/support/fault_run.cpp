#include "fault_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.h"  // lines_of
#include "options.h"
#include "port_lease.h"

namespace vrntest {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kErrorHead = "### ERROR: ";

std::string hex2(unsigned v) {
    char b[12];
    std::snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

std::string read_range(const std::string& path, std::size_t offset, std::size_t n) {
    std::ifstream f(path, std::ios::binary);
    std::string b(n, '\0');
    if (!f.seekg(std::streamoff(offset))) return {};
    f.read(b.data(), std::streamsize(n));
    b.resize(std::size_t(f.gcount()));
    return b;
}

std::uint32_t cell_at(const std::string& flash, std::size_t cell, std::size_t cell_bytes) {
    std::size_t at = cell * cell_bytes;
    if (at + cell_bytes > flash.size()) return 0xFFFFFFFFu;
    auto byte = [&](std::size_t i) { return std::uint32_t(static_cast<unsigned char>(flash[i])); };
    return cell_bytes == 2 ? (byte(at) | (byte(at + 1) << 8)) : byte(at);
}

// The value cell i of the written sector must hold after a successful run:
// the image byte (a 16-bit cell keeps it in its low half, the high half
// programmed to 0), erased beyond the image.
std::uint32_t expected_cell(const std::vector<std::uint8_t>& image, std::size_t i, std::size_t cell_bytes) {
    if (i < image.size()) return image[i];
    return cell_bytes == 2 ? 0xFFFFu : 0xFFu;
}

// Whether a cell holds what a successful run leaves. An image byte of 0xFF
// is already what the erased cell reads, so a program of it that was lost
// changes nothing the programs can see: on a 16-bit chip its high half may
// then still be erased (0xFFFF) rather than programmed to 0 (0x00FF).
bool cell_as_written(std::uint32_t got, const std::vector<std::uint8_t>& image, std::size_t i,
                     std::size_t cell_bytes) {
    std::uint32_t want = expected_cell(image, i, cell_bytes);
    return got == want || (cell_bytes == 2 && i < image.size() && image[i] == 0xFF && got == 0xFFFFu);
}

// Output of vrnstat as it compares between runs: without the receive error
// lines the link prints under faults, and with the port named neutrally.
std::string normalise_stat(std::string s, std::uint16_t base) {
    const std::string counter = "\nERROR COUNTER = ";
    for (std::size_t at; (at = s.find(counter)) != std::string::npos;) {
        std::size_t end = s.find('\n', at + counter.size());
        s.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    }
    const std::string port = " : " + std::to_string(base) + " ";
    if (std::size_t at = s.find(port); at != std::string::npos) s.replace(at, port.size(), " : BASE ");
    return s;
}

// The first line of got that the module does not hold: got's lines must
// come in want in order, except in a block (up to an empty line) that
// itself ends in an error line, which owns up to what it printed. Empty
// when every other line is true.
std::string first_untrue_line(const std::string& got, const std::string& want) {
    std::vector<std::string> g = lines_of(got), w = lines_of(want);
    std::size_t j = 0;
    for (std::size_t i = 0; i < g.size(); ++i) {
        if (g[i].rfind(kErrorHead, 0) == 0) continue;
        std::size_t k = j;
        while (k < w.size() && w[k] != g[i]) ++k;
        if (k < w.size()) {
            j = k + 1;
            continue;
        }
        std::size_t e = i;
        while (e < g.size() && !g[e].empty() && g[e].rfind(kErrorHead, 0) != 0) ++e;
        if (e < g.size() && !g[e].empty()) {
            i = e;  // the block's error line
            continue;
        }
        return g[i].empty() ? "(an empty line)" : g[i];
    }
    return {};
}

std::string first_difference(const std::string& got, const std::string& want) {
    std::vector<std::string> g = lines_of(got), w = lines_of(want);
    for (std::size_t i = 0; i < g.size() || i < w.size(); ++i) {
        std::string a = i < g.size() ? g[i] : "(nothing)", b = i < w.size() ? w[i] : "(nothing)";
        if (a != b) return "line " + std::to_string(i + 1) + ": \"" + a + "\", true contents \"" + b + "\"";
    }
    return {};
}

// The switches of a simulator run without its wire faults: what the module
// itself is (its chip faults), for the reference run.
std::vector<std::string> without_wire_faults(const std::vector<std::string>& sw) {
    static const char* const wire[] = {"--seed",          "--drop-request",   "--drop-ack",     "--dup-ack",
                                       "--delay-ack",     "--split-ack",      "--corrupt-magic", "--other-port",
                                       "--foreign-address", "--faults-after", "--fault-limit",
                                       "--jitter",        "--answer-delay"};
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < sw.size(); ++i) {
        bool is_wire = false;
        for (const char* w : wire) is_wire = is_wire || sw[i] == w;
        if (is_wire)
            ++i;  // and its value
        else
            kept.push_back(sw[i]);
    }
    return kept;
}

// An error line on standard output; or, for a connection that failed (exit
// -1), on standard error, where the programs say why while standard output
// keeps the connecting line alone.
bool reports_failure(const RunResult& r) {
    return has_line_starting(r.out, kErrorHead) || (r.status == 255 && has_line_starting(r.err, kErrorHead));
}

class ScenarioRun final : public MidRun {
public:
    ScenarioRun(const Scenario& s, Outcome& o) : s_(s), o_(o), layout_(flash_layout(s.chip)) {}

    void run() {
        flash_ = dir_.path("flash.bin");
        if (layout_.sector_cells == 0) return violate("unknown chip " + s_.chip);
        run_prog(dir_.write("image.dat", data_file_text(s_.image)));
        if (s_.run_stat && !o_.hang) run_stat();
    }

    void kill_sim() override {
        if (sim_) sim_->kill();
    }

    bool restart_sim(std::string* error) override {
        if (sim_) stop(*sim_);
        sim_ = std::make_unique<SimProcess>(sim_args(s_.prog_sim), base_);
        if (!sim_->ready()) *error = "vrnsim did not start again on " + std::to_string(base_);
        return sim_->ready();
    }

    bool wait_programmed(std::size_t n, int ms) override {
        return wait_cells(0, n, ms, [&](std::uint32_t got, std::size_t i) {
            return cell_as_written(got, s_.image, i, layout_.cell_bytes);
        });
    }

    bool wait_erased(std::size_t cell, int ms) override {
        return wait_cells(cell, 1, ms, [&](std::uint32_t got, std::size_t) {
            return got == (layout_.cell_bytes == 2 ? 0xFFFFu : 0xFFu);
        });
    }

    bool prog_running() override { return !prog_done_; }

    std::uint16_t base() const override { return base_; }

    std::vector<std::uint8_t> sector_cells() override {
        const std::size_t cb = layout_.cell_bytes, n = layout_.sector_cells;
        std::string cells = read_range(flash_, std::size_t(s_.sector) * n * cb, n * cb);
        std::vector<std::uint8_t> low;
        for (std::size_t i = 0; i * cb < cells.size(); ++i) low.push_back(static_cast<std::uint8_t>(cells[i * cb]));
        return low;
    }

private:
    void violate(const std::string& what) { o_.violations.push_back(what); }

    // Polls cells first..first+n-1 of the sector in the flash file until
    // each satisfies ok(value, index).
    bool wait_cells(std::size_t first, std::size_t n, int ms,
                    const std::function<bool(std::uint32_t, std::size_t)>& ok) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        const std::size_t at = std::size_t(s_.sector) * layout_.sector_cells + first;
        while (Clock::now() < end && prog_running()) {
            std::string cells = read_range(flash_, at * layout_.cell_bytes, n * layout_.cell_bytes);
            bool done = cells.size() == n * layout_.cell_bytes;
            for (std::size_t i = 0; done && i < n; ++i) done = ok(cell_at(cells, i, layout_.cell_bytes), first + i);
            if (done) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    std::vector<std::string> sim_args(const std::vector<std::string>& switches) const {
        std::vector<std::string> a = {"--chip", s_.chip, "--flash", flash_};
        a.insert(a.end(), switches.begin(), switches.end());
        return a;
    }

    // Stops a simulator and keeps its log, whose summary line counts the faults.
    void stop(SimProcess& sim) {
        sim.stop();
        o_.faults += parse_fault_summary(sim.log());
        o_.sim_log += sim.log();
    }

    RunResult vrnprog(std::uint16_t base, const std::string& data) const {
        return run_program(VRNPROG_PATH, with_options({"127.0.0.1", std::to_string(base), std::to_string(s_.sector), data}),
                           s_.timeout_ms);
    }

    std::vector<std::string> with_options(std::vector<std::string> positional) const {
        positional.insert(positional.begin(), s_.options.begin(), s_.options.end());
        return positional;
    }

    // The flash file as the simulator keeps it, with the sector's old image
    // and seeded neighbours; every other cell erased.
    bool write_seeded_flash() {
        const std::size_t cb = layout_.cell_bytes, cells = layout_.sector_cells;
        std::string flash(layout_.sector_count * cells * cb, '\xFF');
        auto put = [&](std::size_t cell, std::uint32_t v) {
            flash[cell * cb] = char(v & 0xFF);
            if (cb == 2) flash[cell * cb + 1] = char(v >> 8);
        };
        const std::size_t sector = std::size_t(s_.sector);
        for (std::size_t seeded : {std::size_t(0), sector - 1, sector + 1}) {
            if (seeded >= layout_.sector_count || seeded == sector) continue;
            std::vector<std::uint8_t> data = make_image(cells * cb, std::uint32_t(1000 + seeded));
            for (std::size_t i = 0; i < cells; ++i)
                put(seeded * cells + i, cb == 2 ? data[2 * i] | (std::uint32_t(data[2 * i + 1]) << 8) : data[i]);
        }
        // As vrnprog leaves an image: one byte per cell, a 16-bit cell's
        // high half programmed to 0.
        for (std::size_t i = 0; i < s_.old_image.size() && i < cells; ++i) put(sector * cells + i, s_.old_image[i]);
        std::ofstream f(flash_, std::ios::binary);
        f.write(flash.data(), std::streamsize(flash.size()));
        if (!f) violate("cannot write the seeded flash file " + flash_);
        return bool(f);
    }

    bool write_old_image() {
        SimProcess clean(sim_args({}));
        if (!clean.ready()) {
            violate("vrnsim did not start for the old contents");
            return false;
        }
        RunResult r = vrnprog(clean.port(), dir_.write("old.dat", data_file_text(s_.old_image)));
        if (r.status != 0 || r.timed_out) violate("vrnprog without faults failed to write the old contents:\n" + r.out);
        return r.status == 0 && !r.timed_out;
    }

    void run_prog(const std::string& data) {
        if (s_.seed_neighbours ? !write_seeded_flash() : !s_.old_image.empty() && !write_old_image()) return;
        // The run's base stays leased to it past a killed simulator, for
        // the restart and for vrnstat; a base leased free can still be held
        // by a stranger: try a few.
        for (int attempt = 0; attempt < 5 && !(sim_ && sim_->ready()); ++attempt) {
            lease_ = PortLease();
            sim_ = std::make_unique<SimProcess>(sim_args(s_.prog_sim), lease_.base());
        }
        if (!sim_->ready()) return violate("vrnsim did not start");
        base_ = sim_->port();
        std::string before = read_file_bytes(flash_);
        // vrnprog runs on a thread of its own so that a hook can act on the
        // simulator meanwhile; run_program bounds it either way.
        std::thread prog([&] {
            o_.prog = vrnprog(base_, data);
            prog_done_ = true;
        });
        if (s_.during_prog) s_.during_prog(*this);
        prog.join();
        stop(*sim_);
        sim_.reset();
        judge_prog(before, read_file_bytes(flash_));
    }

    void judge_prog(const std::string& before, const std::string& after) {
        const RunResult& r = o_.prog;
        const std::size_t cb = layout_.cell_bytes, first = std::size_t(s_.sector) * layout_.sector_cells;
        bool outside_changed = false;
        if (before.size() != after.size()) {
            violate("the flash file changed size from " + std::to_string(before.size()) + " to " +
                    std::to_string(after.size()));
            outside_changed = true;
        } else {
            for (std::size_t c = 0; c * cb < after.size(); ++c) {
                if (c >= first && c < first + layout_.sector_cells) continue;
                if (cell_at(before, c, cb) != cell_at(after, c, cb)) {
                    violate("vrnprog changed cell " + std::to_string(c) + " outside sector " +
                            std::to_string(s_.sector) + ": " + hex2(cell_at(before, c, cb)) + " became " +
                            hex2(cell_at(after, c, cb)));
                    outside_changed = true;
                    break;
                }
            }
        }
        if (r.timed_out) {
            o_.hang = true;
            return violate("vrnprog hung: killed after " + std::to_string(r.elapsed_ms) + " ms");
        }
        bool error_line = reports_failure(r);
        auto holds_image = [&] {
            for (std::size_t i = 0; i < layout_.sector_cells; ++i)
                if (!cell_as_written(cell_at(after, first + i, cb), s_.image, i, cb)) return false;
            return true;
        };
        if (r.status != 0) {
            if (!error_line) violate("vrnprog exited " + std::to_string(r.status) + " without an error line");
            // A write reported as failed that did succeed is nearly as
            // costly as a silent failure: the user writes again, restores
            // the backup or replaces the module.
            if (r.out.find(" differs at cell ") != std::string::npos && holds_image()) {
                o_.false_alarm = true;
                violate("vrnprog reported that the read-back differs, but sector " + std::to_string(s_.sector) +
                        " holds the image");
            }
            return;
        }
        if (error_line) violate("vrnprog exited 0 after an error line");
        if (outside_changed) o_.silent_corruption = true;
        for (std::size_t i = 0; i < layout_.sector_cells; ++i) {
            std::uint32_t want = expected_cell(s_.image, i, cb), got = cell_at(after, first + i, cb);
            if (!cell_as_written(got, s_.image, i, cb)) {
                o_.silent_corruption = true;
                return violate("vrnprog exited 0 but cell " + std::to_string(i) + " of sector " +
                               std::to_string(s_.sector) + " holds " + hex2(got) + ", the image wants " +
                               hex2(want));
            }
        }
    }

    void run_stat() {
        std::string before = read_file_bytes(flash_);
        // The same base when it is still free, so that the output names the same port.
        std::unique_ptr<SimProcess> faulty;
        if (base_ != 0) faulty = std::make_unique<SimProcess>(sim_args(s_.stat_sim), base_);
        if (!faulty || !faulty->ready()) faulty = std::make_unique<SimProcess>(sim_args(s_.stat_sim));
        if (!faulty->ready()) return violate("vrnsim did not start for vrnstat");
        o_.stat = run_program(VRNSTAT_PATH, with_options({"127.0.0.1", faulty->port_text()}), s_.timeout_ms);
        o_.stat_ran = true;
        stop(*faulty);
        if (read_file_bytes(flash_) != before) violate("vrnstat changed the flash");

        SimProcess clean(sim_args(without_wire_faults(s_.stat_sim)));
        if (!clean.ready()) return violate("vrnsim did not start for the reference");
        o_.reference = run_program(VRNSTAT_PATH, {"127.0.0.1", clean.port_text()}, s_.timeout_ms);
        clean.stop();
        judge_stat(faulty->port(), clean.port());
    }

    void judge_stat(std::uint16_t faulty_base, std::uint16_t clean_base) {
        const RunResult &r = o_.stat, &ref = o_.reference;
        if (ref.timed_out) return violate("vrnstat without wire faults hung");
        if (r.timed_out) {
            o_.hang = true;
            return violate("vrnstat hung: killed after " + std::to_string(r.elapsed_ms) + " ms");
        }
        // A module whose chip is itself faulty cannot be read even without
        // wire faults; then only the lines printed as true are judged.
        bool module_readable = ref.status == 0 && !has_line_starting(ref.out, kErrorHead);
        std::string got = normalise_stat(r.out, faulty_base), want = normalise_stat(ref.out, clean_base);
        bool error_line = reports_failure(r);
        if (r.status == 0) {
            if (error_line) violate("vrnstat exited 0 after an error line");
            if (!module_readable) {
                o_.silent_corruption = true;
                violate("vrnstat exited 0 though the module cannot be read without faults either");
            } else if (got != want) {
                o_.silent_corruption = true;
                violate("vrnstat exited 0 but printed other contents: " + first_difference(got, want));
            }
            return;
        }
        if (!error_line) violate("vrnstat exited " + std::to_string(r.status) + " without an error line");
        if (std::string line = first_untrue_line(got, want); !line.empty()) {
            o_.silent_corruption = true;
            violate("vrnstat reported a failure but also printed \"" + line + "\", which the module does not hold");
        }
    }

    const Scenario& s_;
    Outcome& o_;
    FlashLayout layout_;
    TempDir dir_;
    std::string flash_;
    PortLease lease_;  // before sim_: given back after the simulator ended
    std::unique_ptr<SimProcess> sim_;
    std::uint16_t base_ = 0;
    std::atomic<bool> prog_done_{false};
};

}  // namespace

std::uint64_t FaultTally::total() const {
    return drop_request + drop_ack + dup_ack + delay_ack + split_ack + corrupt_magic + other_port + foreign_address +
           hold_request + dup_request;
}

FaultTally& FaultTally::operator+=(const FaultTally& o) {
    drop_request += o.drop_request;
    drop_ack += o.drop_ack;
    dup_ack += o.dup_ack;
    delay_ack += o.delay_ack;
    split_ack += o.split_ack;
    corrupt_magic += o.corrupt_magic;
    other_port += o.other_port;
    foreign_address += o.foreign_address;
    hold_request += o.hold_request;
    dup_request += o.dup_request;
    command_datagrams += o.command_datagrams;
    return *this;
}

std::string FaultTally::text() const {
    std::ostringstream s;
    s << "drop-request " << drop_request << ", drop-ack " << drop_ack << ", dup-ack " << dup_ack << ", delay-ack "
      << delay_ack << ", split-ack " << split_ack << ", corrupt-magic " << corrupt_magic << ", other-port "
      << other_port << ", foreign-address " << foreign_address << ", hold-request " << hold_request
      << ", dup-request " << dup_request << " (" << total() << " in "
      << command_datagrams << " command datagrams)";
    return s.str();
}

FaultTally parse_fault_summary(const std::string& text) {
    FaultTally t;
    const std::pair<const char*, std::uint64_t*> fields[] = {
        {"drop-request ", &t.drop_request}, {"drop-ack ", &t.drop_ack},
        {"dup-ack ", &t.dup_ack},           {"delay-ack ", &t.delay_ack},
        {"split-ack ", &t.split_ack},       {"corrupt-magic ", &t.corrupt_magic},
        {"other-port ", &t.other_port},     {"foreign-address ", &t.foreign_address},
        {"hold-request ", &t.hold_request}, {"dup-request ", &t.dup_request},
        {"command datagrams ", &t.command_datagrams},
    };
    // Every summary line counts (a restarted simulator writes one per life).
    for (std::size_t at = 0; (at = text.find("faults injected:", at)) != std::string::npos; ++at) {
        std::size_t eol = text.find('\n', at);
        std::string line = text.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
        for (const auto& [name, value] : fields) {
            std::size_t p = line.find(name);
            if (p != std::string::npos) *value += std::strtoull(line.c_str() + p + std::strlen(name), nullptr, 10);
        }
    }
    return t;
}

FlashLayout flash_layout(const std::string& chip) {
    vrnsim::Options o;
    std::string error;
    FlashLayout l;
    if (!vrnsim::parse_options({"--chip", chip}, &o, &error)) return l;
    vrnsim::ChipGeometry g = vrnsim::chip_geometry(o.config.chip);
    l.sector_cells = g.sector_cells;
    l.sector_count = g.sector_count;
    l.cell_bytes = std::size_t(vrnsim::chip_cell_bytes(o.config.chip));
    return l;
}

long Outcome::longest_ms() const { return std::max(prog.elapsed_ms, stat.elapsed_ms); }

std::string Outcome::report() const {
    std::ostringstream s;
    for (const std::string& v : violations) s << "VIOLATION: " << v << "\n";
    s << "faults: " << faults.text() << "\n";
    s << "vrnprog: exit " << prog.status << (prog.timed_out ? " (timed out)" : "") << " after " << prog.elapsed_ms
      << " ms\n" << prog.out << "\n";
    if (!prog.err.empty()) s << "vrnprog, standard error:\n" << prog.err << "\n";
    s << "vrnsim:\n" << sim_log;
    if (stat_ran)
        s << "vrnstat: exit " << stat.status << (stat.timed_out ? " (timed out)" : "") << " after " << stat.elapsed_ms
          << " ms\n" << stat.out << "\n";
    else
        s << "vrnstat: not run\n";
    return s.str();
}

Outcome run_scenario(const Scenario& s) {
    Outcome o;
    ScenarioRun run(s, o);
    run.run();
    return o;
}

std::vector<std::uint8_t> make_image(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = std::uint8_t(x >> 7);
    }
    if (n > 2) {
        v[1] = 0x00;
        v[n - 1] = 0xFF;
    }
    return v;
}

std::string data_file_text(const std::vector<std::uint8_t>& image) {
    std::string t = "; fault run image, " + std::to_string(image.size()) + " bytes\n";
    for (std::uint8_t b : image) t += hex2(b) + "\n";
    return t;
}

bool has_line_starting(const std::string& text, const std::string& prefix) {
    for (std::size_t pos = 0; pos < text.size();) {
        if (text.compare(pos, prefix.size(), prefix) == 0) return true;
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    return false;
}

}  // namespace vrntest
