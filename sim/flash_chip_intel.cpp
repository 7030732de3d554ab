// Intel command set: a command user interface in front of a write state
// machine, with the status register telling when it is ready and how the
// last operations went.
#include <cstdio>
#include <string>

#include "flash_chip.h"

namespace vrnsim::detail {

namespace {

constexpr std::uint32_t kReady = 0x80;       // SR.7 write state machine ready
constexpr std::uint32_t kEraseError = 0x20;  // SR.5 erase failed / bad command sequence
constexpr std::uint32_t kProgramError = 0x10;  // SR.4 program failed / bad command sequence
constexpr std::uint32_t kErrorBits = 0x3A;   // what clear status resets (SR.5, 4, 3, 1)

enum class Mode { Array, Identifier, Status };
enum class Step { None, ProgramSetup, EraseSetup };
enum class Op { None, Program, Erase };

class IntelChip final : public FlashChip {
public:
    IntelChip(const ChipConfig& config, FlashStore& store) : config_(config), cells_(config, store) {}

    std::uint32_t bus_read(std::uint32_t bus_address) override {
        if (config_.faults.dead) return cells_.data_mask();
        const std::size_t cell = cells_.cell_of(bus_address);
        if (op_ != Op::None) return busy_read();
        switch (mode_) {
        case Mode::Status: return status_ | kReady;
        case Mode::Identifier: return cells_.identifier(cell);
        case Mode::Array: break;
        }
        return cells_.read_array(cell);
    }

    void bus_write(std::uint32_t bus_address, std::uint32_t value) override {
        if (config_.faults.dead) return;
        const std::size_t cell = cells_.cell_of(bus_address);
        const std::uint32_t cmd = value & 0xFF;
        if (op_ != Op::None) {
            // While the state machine runs only the status can be asked for.
            if (cmd == 0x70) mode_ = Mode::Status;
            return;
        }
        if (step_ == Step::ProgramSetup) {
            step_ = Step::None;
            start_program(cell, value & cells_.data_mask());
            return;
        }
        if (step_ == Step::EraseSetup) {
            step_ = Step::None;
            if (cmd == 0xD0) {
                start_erase(cells_.sector_of(cell));
            } else {
                status_ |= kEraseError | kProgramError;  // command sequence error
                mode_ = Mode::Status;
            }
            return;
        }
        switch (cmd) {
        case 0xFF: mode_ = Mode::Array; break;
        case 0x90: mode_ = Mode::Identifier; break;
        case 0x70: mode_ = Mode::Status; break;
        case 0x50:
            // This module's part goes back to array reads here: the driver
            // verifies with a plain read straight after clearing the status.
            status_ &= ~kErrorBits;
            mode_ = Mode::Array;
            break;
        case 0x40:
        case 0x10: step_ = Step::ProgramSetup; break;
        case 0x20: step_ = Step::EraseSetup; break;
        default: break;  // other codes (the AMD ones the driver sends blind) do nothing
        }
    }

    std::string state_name() const override {
        if (config_.faults.dead) return "dead";
        if (op_ == Op::Program) return "intel-program-busy(" + std::to_string(busy_left_) + ")";
        if (op_ == Op::Erase) {
            if (pending_) return "erase-busy(forever)";
            return "erase-busy(" + std::to_string(busy_left_) + ")";
        }
        if (step_ == Step::ProgramSetup) return "intel-program-setup";
        if (step_ == Step::EraseSetup) return "intel-erase-setup";
        switch (mode_) {
        case Mode::Identifier: return "intel-id";
        case Mode::Status: {
            if ((status_ & kErrorBits) == 0) return "intel-status";
            char text[32];
            std::snprintf(text, sizeof text, "intel-status(0x%02X)", static_cast<unsigned>(status_ | kReady));
            return text;
        }
        case Mode::Array: break;
        }
        return "read";
    }

    const ChipConfig& config() const override { return config_; }
    ChipFaults& faults() override { return config_.faults; }

private:
    // The cell changes (and is stored) at once; the polls model the time.
    void start_program(std::size_t cell, std::uint32_t data) {
        if (!cells_.program(cell, data, config_.faults)) status_ |= kProgramError;
        start_op(Op::Program);
    }

    void start_erase(ChipCells::Range range) {
        erasing_ = range;
        pending_ = true;
        start_op(Op::Erase);
        run_pending_erase();
    }

    void start_op(Op op) {
        op_ = op;
        mode_ = Mode::Status;  // the part shows its status after program and erase
        busy_left_ = config_.faults.busy_polls > 0 ? config_.faults.busy_polls : 0;
    }

    // A never-ending erase has not touched the block; it runs as soon as
    // the fault is switched off.
    void run_pending_erase() {
        if (!pending_ || config_.faults.erase_never_ends) return;
        pending_ = false;
        if (!cells_.erase(erasing_)) status_ |= kEraseError;
    }

    std::uint32_t busy_read() {
        if (op_ == Op::Erase) run_pending_erase();
        if (pending_) return status_;
        if (busy_left_ > 0) {
            --busy_left_;
            return status_;
        }
        op_ = Op::None;
        return status_ | kReady;
    }

    ChipConfig config_;
    ChipCells cells_;
    Mode mode_ = Mode::Array;
    Step step_ = Step::None;
    Op op_ = Op::None;
    std::uint32_t status_ = 0;  // SR without the ready bit
    ChipCells::Range erasing_;
    bool pending_ = false;      // erase not yet applied (never-ending fault)
    int busy_left_ = 0;
};

}  // namespace

std::unique_ptr<FlashChip> make_intel_chip(const ChipConfig& config, FlashStore& store) {
    return std::make_unique<IntelChip>(config, store);
}

}  // namespace vrnsim::detail
