// AMD command set: unlock cycles, autoselect, embedded program and sector
// erase with data polling (DQ7) and toggle (DQ6) status while they run.
#include <string>

#include "flash_chip.h"

namespace vrnsim::detail {

namespace {

constexpr std::uint32_t kDq7 = 0x80;  // program: inverted data bit 7; erase: 0
constexpr std::uint32_t kDq6 = 0x40;  // toggles on every read while busy
constexpr std::uint32_t kDq5 = 0x20;  // operation exceeded its time: failed
constexpr std::uint32_t kDq3 = 0x08;  // erase has started
constexpr std::uint32_t kDq2 = 0x04;  // toggles on reads inside the erasing sector

// Where a command sequence has got to; each entry is one more bus write.
enum class Step { None, Unlock1, Unlock2, ProgramSetup, EraseSetup, EraseUnlock1, EraseUnlock2 };
enum class Op { None, Program, Erase };

class AmdChip final : public FlashChip {
public:
    AmdChip(const ChipConfig& config, FlashStore& store) : config_(config), cells_(config, store) {}

    std::uint32_t bus_read(std::uint32_t bus_address) override {
        if (config_.faults.dead) return cells_.data_mask();
        const std::size_t cell = cells_.cell_of(bus_address);
        if (op_ != Op::None) return busy_read(cell);
        return autoselect_ ? cells_.identifier(cell) : cells_.read_array(cell);
    }

    void bus_write(std::uint32_t bus_address, std::uint32_t value) override {
        if (config_.faults.dead) return;
        const std::size_t cell = cells_.cell_of(bus_address);
        const std::uint32_t cmd = value & 0xFF;
        if (op_ != Op::None) {
            // An embedded operation ignores commands; once it has failed
            // (DQ5), reset is the way back to reading.
            if (failed_ && (cmd == 0xF0 || cmd == 0xFF)) {
                op_ = Op::None;
                failed_ = false;
            }
            return;
        }
        if (step_ == Step::ProgramSetup) {  // this write is data, even 0xF0
            step_ = Step::None;
            start_program(cell, value & cells_.data_mask());
            return;
        }
        // 0xFF is the other set's reset, which the driver sends blind.
        if (cmd == 0xF0 || cmd == 0xFF) {
            step_ = Step::None;
            autoselect_ = false;
            return;
        }
        step_ = next_step(cmd, cell);
    }

    std::string state_name() const override {
        if (config_.faults.dead) return "dead";
        if (op_ == Op::Program) {
            if (failed_) return "amd-program-failed";
            return "amd-program-busy(" + std::to_string(busy_left_) + ")";
        }
        if (op_ == Op::Erase) {
            if (failed_) return "amd-erase-failed";
            if (pending_) return "erase-busy(forever)";
            return "erase-busy(" + std::to_string(busy_left_) + ")";
        }
        switch (step_) {
        case Step::Unlock1: return "amd-unlock1";
        case Step::Unlock2: return "amd-unlock2";
        case Step::ProgramSetup: return "amd-program-setup";
        case Step::EraseSetup: return "amd-erase-setup";
        case Step::EraseUnlock1: return "amd-erase-unlock1";
        case Step::EraseUnlock2: return "amd-erase-unlock2";
        case Step::None: break;
        }
        return autoselect_ ? "autoselect" : "read";
    }

    const ChipConfig& config() const override { return config_; }
    ChipFaults& faults() override { return config_.faults; }

private:
    Step next_step(std::uint32_t cmd, std::size_t cell) {
        switch (step_) {
        case Step::None:
            if (cmd == 0xAA) return Step::Unlock1;
            if (cmd == 0x90) autoselect_ = true;  // taken without the unlock cycles too
            return Step::None;
        case Step::Unlock1:
            if (cmd == 0x55) return Step::Unlock2;
            return cmd == 0xAA ? Step::Unlock1 : Step::None;
        case Step::Unlock2:
            if (cmd == 0x90) autoselect_ = true;
            if (cmd == 0xA0) return Step::ProgramSetup;
            if (cmd == 0x80) return Step::EraseSetup;
            return Step::None;
        case Step::EraseSetup:
            return cmd == 0xAA ? Step::EraseUnlock1 : Step::None;
        case Step::EraseUnlock1:
            return cmd == 0x55 ? Step::EraseUnlock2 : Step::None;
        case Step::EraseUnlock2:
            if (cmd == 0x30) start_erase(cells_.sector_of(cell));
            if (cmd == 0x10) start_erase(cells_.whole_chip());
            return Step::None;
        case Step::ProgramSetup:
            break;  // handled before decoding
        }
        return Step::None;
    }

    // The cell is changed (and stored) at once; the polls only model the
    // time the chip takes. A failure shows DQ5 once the time has run out.
    void start_program(std::size_t cell, std::uint32_t data) {
        autoselect_ = false;
        op_ = Op::Program;
        data_ = data;
        failed_ = false;
        will_fail_ = !cells_.program(cell, data, config_.faults);
        busy_left_ = config_.faults.busy_polls > 0 ? config_.faults.busy_polls : 0;
    }

    void start_erase(ChipCells::Range range) {
        autoselect_ = false;
        op_ = Op::Erase;
        erasing_ = range;
        failed_ = false;
        will_fail_ = false;
        pending_ = true;
        busy_left_ = config_.faults.busy_polls > 0 ? config_.faults.busy_polls : 0;
        run_pending_erase();
    }

    // A never-ending erase has not touched the sector; it runs as soon as
    // the fault is switched off.
    void run_pending_erase() {
        if (!pending_ || config_.faults.erase_never_ends) return;
        pending_ = false;
        will_fail_ = !cells_.erase(erasing_);
    }

    std::uint32_t busy_read(std::size_t cell) {
        if (op_ == Op::Erase) run_pending_erase();
        if (!failed_ && !pending_) {
            if (busy_left_ == 0) {
                if (!will_fail_) {
                    op_ = Op::None;
                    return cells_.read_array(cell);
                }
                failed_ = true;
            } else {
                --busy_left_;
            }
        }
        toggle_ = !toggle_;
        std::uint32_t status = toggle_ ? kDq6 : 0;
        if (failed_) status |= kDq5;
        if (op_ == Op::Program) {
            status |= ~data_ & kDq7;
        } else {
            status |= kDq3;
            const bool inside = cell >= erasing_.first && cell - erasing_.first < erasing_.count;
            if (inside && toggle_) status |= kDq2;
        }
        return status;
    }

    ChipConfig config_;
    ChipCells cells_;
    Step step_ = Step::None;
    bool autoselect_ = false;
    Op op_ = Op::None;
    std::uint32_t data_ = 0;         // what the running program writes
    ChipCells::Range erasing_;
    bool pending_ = false;           // erase not yet applied (never-ending fault)
    bool will_fail_ = false;         // the operation ends in DQ5
    bool failed_ = false;            // DQ5 is showing; waits for reset
    int busy_left_ = 0;
    bool toggle_ = false;
};

}  // namespace

std::unique_ptr<FlashChip> make_amd_chip(const ChipConfig& config, FlashStore& store) {
    return std::make_unique<AmdChip>(config, store);
}

}  // namespace vrnsim::detail
