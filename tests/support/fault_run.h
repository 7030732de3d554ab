// Fault runs of the programs as processes: vrnprog and then vrnstat against
// a vrnsim with fault switches, each judged against the simulator's flash
// file by the promise to the user: a run leaves the sector exactly equal to
// the data image and exits 0, or prints a "### ERROR: " line and exits
// non-zero; never a silent corruption, never a hang.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace vrntest {

// Wire faults a simulator run injected, from its summary line.
struct FaultTally {
    std::uint64_t drop_request = 0, drop_ack = 0, dup_ack = 0, delay_ack = 0, split_ack = 0, corrupt_magic = 0,
                  other_port = 0, foreign_address = 0, hold_request = 0, dup_request = 0;
    std::uint64_t command_datagrams = 0;
    std::uint64_t total() const;
    FaultTally& operator+=(const FaultTally& o);
    std::string text() const;
};
// Reads "faults injected: drop-request N, ... (command datagrams N, ...)".
FaultTally parse_fault_summary(const std::string& sim_stderr);

// Where the cells of a chip lie in the flash file.
struct FlashLayout {
    std::size_t sector_cells = 0;
    std::size_t cell_bytes = 1;
    std::size_t sector_count = 0;
};
// For a --chip argument such as "amd:0xA3:8"; sector_cells 0 when refused.
FlashLayout flash_layout(const std::string& chip);

// A hook that runs while vrnprog does, for faults of the simulator itself.
class MidRun {
public:
    virtual ~MidRun() = default;
    virtual void kill_sim() = 0;
    virtual bool restart_sim(std::string* error) = 0;
    // Waits until the first n cells of the sector hold the image (programming
    // has got that far); false after ms or when vrnprog ended first.
    virtual bool wait_programmed(std::size_t n, int ms) = 0;
    // Waits until cell `cell` of the sector reads erased (an erase has got
    // there); false after ms or when vrnprog ended first.
    virtual bool wait_erased(std::size_t cell, int ms) = 0;
    virtual bool prog_running() = 0;
    // The simulator's base port, which a restart keeps.
    virtual std::uint16_t base() const = 0;
    // The low byte of each cell of the sector, as the flash file holds it.
    virtual std::vector<std::uint8_t> sector_cells() = 0;
};

// Deterministic image bytes for a seed, with 0x00 and 0xFF among them.
std::vector<std::uint8_t> make_image(std::size_t n, std::uint32_t seed);

struct Scenario {
    std::string chip = "amd:0xA3:8";
    long sector = 2;
    std::vector<std::uint8_t> image;
    // Written into the sector by a clean run first, so that the faulty run
    // has something to erase; longer than the usual images.
    std::vector<std::uint8_t> old_image = make_image(48, 99);
    // Instead of that clean run, the flash file is made up front: the old
    // image in the sector, and the sectors around it (sector 0, which holds
    // the boot code on a module, and the neighbours) full of other data, so
    // that a stray write or erase there shows.
    bool seed_neighbours = false;
    std::vector<std::string> options;   // before the positional arguments of vrnprog and vrnstat
    std::vector<std::string> prog_sim;  // vrnsim switches while vrnprog runs
    std::vector<std::string> stat_sim;  // while vrnstat runs
    bool run_stat = true;
    int timeout_ms = 120000;            // each program run; a run beyond it is a hang
    std::function<void(MidRun&)> during_prog;
};

struct Outcome {
    RunResult prog, stat, reference;
    FaultTally faults;                   // wire faults of both runs
    std::vector<std::string> violations; // empty: the promise held
    bool silent_corruption = false;      // exit 0 with wrong flash or wrong contents printed
    bool hang = false;
    // vrnprog said the read-back differs while the sector held the image.
    bool false_alarm = false;
    bool stat_ran = false;               // vrnstat was run (Scenario::run_stat and vrnprog did not hang)
    std::string sim_log;                 // what the simulators wrote to standard error
    bool prog_ok() const { return !prog.timed_out && prog.status == 0; }
    bool stat_ok() const { return !stat.timed_out && stat.status == 0; }
    long longest_ms() const;
    // Everything a failed test needs to show.
    std::string report() const;
};

Outcome run_scenario(const Scenario& s);

// One "0xNN" line per byte, after a comment line.
std::string data_file_text(const std::vector<std::uint8_t>& image);
// Whether some line of text starts with prefix.
bool has_line_starting(const std::string& text, const std::string& prefix);

}  // namespace vrntest
