#include "fault_run.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <random>
#include <thread>

#include "fake_module.h"
#include "options.h"

namespace vrntest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSimReadyMs = 10000;
constexpr int kSimStopMs = 5000;
constexpr int kSimStartTries = 5;
const char* const kErrorHead = "### ERROR: ";

std::int64_t ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

std::string hex2(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

std::vector<std::uint8_t> read_range(const std::string& path, std::size_t offset, std::size_t n) {
    std::ifstream f(path, std::ios::binary);
    std::vector<std::uint8_t> b(n);
    if (!f.seekg(std::streamoff(offset))) return {};
    f.read(reinterpret_cast<char*>(b.data()), std::streamsize(n));
    b.resize(std::size_t(f.gcount()));
    return b;
}

std::uint32_t cell_at(const std::vector<std::uint8_t>& flash, std::size_t cell, std::size_t cell_bytes) {
    std::size_t at = cell * cell_bytes;
    if (at + cell_bytes > flash.size()) return 0xFFFFFFFFu;
    return cell_bytes == 2 ? std::uint32_t(flash[at] | (flash[at + 1] << 8)) : flash[at];
}

// The value cell i of the written sector must hold after a successful run:
// the image byte (a 16-bit cell keeps it in its low half, the high half
// programmed to 0), erased beyond the image.
std::uint32_t expected_cell(const std::vector<std::uint8_t>& image, std::size_t i, std::size_t cell_bytes) {
    if (i < image.size()) return image[i];
    return cell_bytes == 2 ? 0xFFFFu : 0xFFu;
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

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) v.push_back(line);
    return v;
}

// The first line of got (error lines aside) that is not the next match in
// want, in order; empty when every line is true.
std::string first_untrue_line(const std::string& got, const std::string& want) {
    std::vector<std::string> g = lines_of(got), w = lines_of(want);
    std::size_t j = 0;
    for (const std::string& line : g) {
        if (line.rfind(kErrorHead, 0) == 0) continue;
        while (j < w.size() && w[j] != line) ++j;
        if (j == w.size()) return line.empty() ? "(an empty line)" : line;
        ++j;
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
// itself is (its chip and the chip's faults), for the reference run.
std::vector<std::string> without_wire_faults(const std::vector<std::string>& sw) {
    static const char* const wire[] = {"--seed",      "--drop-request",  "--drop-ack",        "--dup-ack",
                                       "--delay-ack", "--split-ack",     "--corrupt-magic",   "--other-port",
                                       "--foreign-address", "--faults-after", "--fault-limit"};
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

class ScenarioRun final : public MidRun {
public:
    ScenarioRun(const Scenario& s, Outcome& o) : s_(s), o_(o), layout_(flash_layout(s.chip)) {}

    void run() {
        dir_ = make_temp_dir("vrnfault");
        flash_ = dir_ + "/flash.bin";
        std::string data = dir_ + "/image.dat";
        if (layout_.sector_cells == 0) return violate("unknown chip " + s_.chip);
        if (!write_data_file(data, s_.image)) return violate("cannot write " + data);
        run_prog(data);
        if (s_.run_stat && !o_.hang) run_stat();
        remove_tree(dir_);
    }

    void kill_sim() override { sim_.kill(); }

    bool restart_sim(std::string* error) override {
        collect(sim_.stop());
        return sim_.start(flash_, s_.chip, s_.prog_sim, base_, error);
    }

    bool wait_programmed(std::size_t n, int ms) override {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        std::size_t first = std::size_t(s_.sector) * layout_.sector_cells;
        while (Clock::now() < end && prog_->running()) {
            std::vector<std::uint8_t> cells = read_range(flash_, first * layout_.cell_bytes, n * layout_.cell_bytes);
            bool done = cells.size() == n * layout_.cell_bytes;
            for (std::size_t i = 0; done && i < n; ++i)
                done = cell_at(cells, i, layout_.cell_bytes) == expected_cell(s_.image, i, layout_.cell_bytes);
            if (done) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    bool prog_running() override { return prog_ && prog_->running(); }

private:
    void violate(const std::string& what) { o_.violations.push_back(what); }
    void collect(const std::string& sim_err) {
        o_.faults += parse_fault_summary(sim_err);
        o_.sim_log += sim_err;
    }

    bool write_old_image() {
        std::string old = dir_ + "/old.dat", error;
        SimProcess clean;
        if (!write_data_file(old, s_.old_image) || !clean.start(flash_, s_.chip, {}, 0, &error)) {
            violate("cannot write the old contents: " + error);
            return false;
        }
        RunResult r = run_program(
            {VRNPROG_PATH, "127.0.0.1", std::to_string(clean.base()), std::to_string(s_.sector), old}, s_.timeout_ms);
        if (r.status != 0) violate("vrnprog without faults failed to write the old contents:\n" + r.out);
        return r.status == 0;
    }

    void run_prog(const std::string& data) {
        std::string error;
        if (!s_.old_image.empty() && !write_old_image()) return;
        if (!sim_.start(flash_, s_.chip, s_.prog_sim, 0, &error)) return violate("vrnsim did not start: " + error);
        base_ = sim_.base();
        std::vector<std::uint8_t> before = read_file(flash_);
        auto t0 = Clock::now();
        prog_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            VRNPROG_PATH, "127.0.0.1", std::to_string(base_), std::to_string(s_.sector), data});
        if (!prog_->started()) return violate("vrnprog did not start");
        if (s_.during_prog) s_.during_prog(*this);
        int left = int(std::max<std::int64_t>(0, s_.timeout_ms - ms_since(t0)));
        RunResult& r = o_.prog;
        r.status = prog_->wait_exit(left);
        if (r.status == ChildProcess::kTimedOut) {
            r.timed_out = true;
            prog_->kill();
            prog_->wait_exit(kSimStopMs);
        }
        r.elapsed = std::chrono::milliseconds(ms_since(t0));
        r.out = prog_->out();
        r.err = prog_->err();
        collect(sim_.stop());
        judge_prog(before, read_file(flash_));
    }

    void judge_prog(const std::vector<std::uint8_t>& before, const std::vector<std::uint8_t>& after) {
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
            return violate("vrnprog hung: killed after " + std::to_string(r.elapsed.count()) + " ms");
        }
        bool error_line = has_line_starting(r.out, kErrorHead);
        if (r.status != 0) {
            if (!error_line)
                violate("vrnprog exited " + std::to_string(r.status) + " without a \"### ERROR: \" line");
            return;
        }
        if (error_line) violate("vrnprog exited 0 after an error line");
        if (outside_changed) o_.silent_corruption = true;
        for (std::size_t i = 0; i < layout_.sector_cells; ++i) {
            std::uint32_t want = expected_cell(s_.image, i, cb), got = cell_at(after, first + i, cb);
            if (got != want) {
                o_.silent_corruption = true;
                return violate("vrnprog exited 0 but cell " + std::to_string(i) + " of sector " +
                               std::to_string(s_.sector) + " holds " + hex2(got) + ", the image wants " +
                               hex2(want));
            }
        }
    }

    void run_stat() {
        std::vector<std::uint8_t> before = read_file(flash_);
        std::string error;
        // The same base when it is still free, so that the output names the same port.
        SimProcess faulty;
        if (!faulty.start(flash_, s_.chip, s_.stat_sim, base_, &error) &&
            !faulty.start(flash_, s_.chip, s_.stat_sim, 0, &error))
            return violate("vrnsim did not start for vrnstat: " + error);
        o_.stat = run_program({VRNSTAT_PATH, "127.0.0.1", std::to_string(faulty.base())}, s_.timeout_ms);
        o_.stat_ran = true;
        collect(faulty.stop());
        if (read_file(flash_) != before) violate("vrnstat changed the flash");

        SimProcess clean;
        if (!clean.start(flash_, s_.chip, without_wire_faults(s_.stat_sim), 0, &error)) return violate("vrnsim did not start for the reference");
        o_.reference = run_program({VRNSTAT_PATH, "127.0.0.1", std::to_string(clean.base())}, s_.timeout_ms);
        clean.stop();
        const RunResult &r = o_.stat, &ref = o_.reference;
        if (ref.timed_out) return violate("vrnstat without wire faults hung");
        if (r.timed_out) {
            o_.hang = true;
            return violate("vrnstat hung: killed after " + std::to_string(r.elapsed.count()) + " ms");
        }
        // A module whose chip is itself faulty cannot be read even without
        // wire faults; then only the lines printed as true are judged.
        bool module_readable = ref.status == 0 && !has_line_starting(ref.out, kErrorHead);
        std::string got = normalise_stat(r.out, faulty.base()), want = normalise_stat(ref.out, clean.base());
        bool error_line = has_line_starting(r.out, kErrorHead);
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
        if (!error_line) violate("vrnstat exited " + std::to_string(r.status) + " without a \"### ERROR: \" line");
        if (std::string line = first_untrue_line(got, want); !line.empty()) {
            o_.silent_corruption = true;
            violate("vrnstat reported a failure but also printed \"" + line + "\", which the module does not hold");
        }
    }

    const Scenario& s_;
    Outcome& o_;
    FlashLayout layout_;
    std::string dir_, flash_;
    SimProcess sim_;
    std::uint16_t base_ = 0;
    std::unique_ptr<ChildProcess> prog_;
};

}  // namespace

std::uint64_t FaultTally::total() const {
    return drop_request + drop_ack + dup_ack + delay_ack + split_ack + corrupt_magic + other_port + foreign_address;
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
    command_datagrams += o.command_datagrams;
    return *this;
}

std::string FaultTally::text() const {
    std::ostringstream s;
    s << "drop-request " << drop_request << ", drop-ack " << drop_ack << ", dup-ack " << dup_ack << ", delay-ack "
      << delay_ack << ", split-ack " << split_ack << ", corrupt-magic " << corrupt_magic << ", other-port "
      << other_port << ", foreign-address " << foreign_address << " (" << total() << " in "
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

SimProcess::~SimProcess() { stop(); }

bool SimProcess::start(const std::string& flash_file, const std::string& chip,
                       const std::vector<std::string>& extra, std::uint16_t base, std::string* error) {
    stop();
    for (int attempt = 0; attempt < kSimStartTries; ++attempt) {
        std::uint16_t b = base ? base : pick_free_base(4);
        std::vector<std::string> argv = {VRNSIM_PATH, "--port", std::to_string(b), "--chip", chip};
        if (!flash_file.empty()) argv.insert(argv.end(), {"--flash", flash_file});
        argv.insert(argv.end(), extra.begin(), extra.end());
        child_ = std::make_unique<ChildProcess>(argv);
        if (child_->wait_for_err("listening", kSimReadyMs)) {
            base_ = b;
            return true;
        }
        child_->kill();
        child_->wait_exit(kSimStopMs);
        if (error) *error = child_->err();
        child_.reset();
        if (base) break;
    }
    return false;
}

std::string SimProcess::stop() {
    if (!child_) return {};
    child_->terminate();
    if (child_->wait_exit(kSimStopMs) == ChildProcess::kTimedOut) {
        child_->kill();
        child_->wait_exit(kSimStopMs);
    }
    std::string err = child_->err();
    child_.reset();
    return err;
}

void SimProcess::kill() {
    if (!child_) return;
    child_->kill();
    child_->wait_exit(kSimStopMs);
}

bool SimProcess::running() { return child_ && child_->running(); }

std::int64_t Outcome::longest_ms() const { return std::max(prog.elapsed.count(), stat.elapsed.count()); }

std::string Outcome::report() const {
    std::ostringstream s;
    for (const std::string& v : violations) s << "VIOLATION: " << v << "\n";
    s << "faults: " << faults.text() << "\n";
    s << "vrnprog: exit " << prog.status << (prog.timed_out ? " (timed out)" : "") << " after " << prog.elapsed.count()
      << " ms\n" << prog.out << "\n";
    s << "vrnsim:\n" << sim_log;
    if (stat_ran)
        s << "vrnstat: exit " << stat.status << (stat.timed_out ? " (timed out)" : "") << " after "
          << stat.elapsed.count() << " ms\n" << stat.out << "\n";
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

bool write_data_file(const std::string& path, const std::vector<std::uint8_t>& image) {
    std::ofstream f(path);
    f << "; fault run image, " << image.size() << " bytes\n";
    for (std::uint8_t b : image) f << hex2(b) << "\n";
    return bool(f);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string make_temp_dir(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    static const unsigned tag = std::random_device{}();
    namespace fs = std::filesystem;
    for (;;) {
        fs::path p = fs::temp_directory_path() /
                     (stem + "_" + std::to_string(tag) + "_" + std::to_string(counter++));
        std::error_code ec;
        if (fs::create_directory(p, ec)) return p.string();
    }
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

}  // namespace vrntest
