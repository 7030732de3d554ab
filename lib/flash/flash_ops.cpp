// Cell access, sector erase, byte programming with verification and runs
// of cells, in the Intel or the AMD command set as identification chose.
#include "flash/flash_ops.h"

#include <initializer_list>

#include "flash/flash_commands.h"
#include "flash/flash_info.h"
#include "link/link_health.h"
#include "platform/platform.h"
#include "protocol/bus_access.h"
#include "protocol/packet.h"

VrnFlashBounds g_flash_bounds = VRN_FLASH_BOUNDS;

namespace {

constexpr int ERASED = 0xFF;

// Compared reads of an AMD byte program; one more read ends it in failure.
constexpr int AMD_VERIFY_READS = 4095;

bool intel_set(int handle) {
    return flash_command_set(flash_info_of(handle)->vendor_id) == FlashCommandSet::Intel;
}

// A poll's bound, taken when the command was written. It counts only the
// time the chip was really answering: a failed exchange tells nothing of
// the chip, and one lost datagram must not fail an operation the chip
// finishes in time. Time so lost has a bound of its own.
struct PollClock {
    std::uint32_t start;
    std::uint32_t bound_ms;
    std::uint32_t lost_ms = 0;

    bool link_gone() const { return lost_ms >= g_flash_bounds.link_lost_ms; }
    bool passed() const { return link_gone() || plat_tick_ms() - start >= bound_ms + lost_ms; }
    int read_cell(int handle, int sector, int offset) {
        const std::uint32_t t0 = plat_tick_ms();
        const int cell = vrn_flash_read_cell(handle, sector, offset);
        if (cell == VRN_FLASH_READ_FAILED) lost_ms += plat_tick_ms() - t0;
        return cell;
    }
    int write_cell(int handle, int sector, int offset, int value) {
        const std::uint32_t t0 = plat_tick_ms();
        const int r = vrn_flash_write_cell(handle, sector, offset, value);
        if (r != 0) lost_ms += plat_tick_ms() - t0;
        return r;
    }
};

PollClock clock_from_now(std::uint32_t bound_ms) {
    return PollClock{plat_tick_ms(), bound_ms};
}

// Writes the values in order; false when one went unacknowledged. The
// chip may or may not have taken it. By default the sequence stops there,
// since what follows would be taken in a state nobody knows; go_on sends
// the rest all the same, for a sequence whose every later write is
// harmless to a chip that missed an earlier one.
bool write_sequence(int handle, int sector, int offset, std::initializer_list<int> values, bool go_on = false) {
    bool all = true;
    for (int v : values) {
        if (vrn_flash_write_cell(handle, sector, offset, v) != 0) {
            all = false;
            if (!go_on) break;
        }
    }
    return all;
}

// Cell accesses sent together (vrn_bus_each), each failed one counted as
// a failed cell write or read is: the number answered.
int run_steps(int handle, VrnBusStep* steps, int count) {
    const int answered = vrn_bus_each(handle, steps, count);
    if (LinkHealth* health = link_health(handle))
        for (int i = 0; i < count; ++i)
            if (steps[i].result < 0) ++(steps[i].write ? health->failed_writes : health->failed_reads);
    return answered;
}

VrnBusStep cell_write(std::uint32_t address, int value) {
    return VrnBusStep{address, static_cast<std::uint32_t>(value), 1, -1};
}
VrnBusStep cell_read(std::uint32_t address) { return VrnBusStep{address, 0, 0, -1}; }

// Verify reads sent together: as many as the chip took for the byte
// before (at most FLASH_POLL_BURST), so that a chip that finishes while
// they travel costs one round trip, not one per read.
constexpr int FLASH_POLL_BURST = 8;

int poll_burst(const LinkHealth* h, int reads_left) {
    int k = h->poll_burst < 1 ? 1 : h->poll_burst > FLASH_POLL_BURST ? FLASH_POLL_BURST : h->poll_burst;
    return k < reads_left ? k : reads_left;
}

// Whether one of the k reads showed the byte. The chip then took `before`
// reads and those up to it, as many as the next byte's verify sends
// together.
bool read_shows(LinkHealth* h, const VrnBusStep* reads, int k, int before, std::uint8_t value) {
    for (int i = 0; i < k; ++i) {
        if (reads[i].result == value) {
            h->poll_burst = before + i + 1;
            return true;
        }
    }
    return false;
}

// The AMD program's four writes sent together, and behind them its first
// verify reads: the same requests in the same order, without a round trip
// between them. Each write's answer is awaited all the same, so an
// unanswered one is known as in write_sequence; the chip's state in every
// case of loss, duplication and reordering is gone through in
// docs/BURSTS.md. A read that came before the program reads the old cell,
// which is never the byte (a byte equal to the erased cell is not sent
// so), and a status read never is either. False when a write went
// unanswered; *reads are the verify reads sent, and *done tells that one
// of them showed the byte.
bool amd_program_together(int handle, int sector, int offset, std::uint8_t value, int* reads, bool* done) {
    LinkHealth* h = link_health(handle);
    const std::uint32_t at = flash_cell_address(flash_info_of(handle), sector, offset);
    VrnBusStep steps[4 + FLASH_POLL_BURST] = {cell_write(at, FLASH_AMD_UNLOCK1), cell_write(at, FLASH_AMD_UNLOCK2),
                                              cell_write(at, FLASH_AMD_PROGRAM), cell_write(at, value)};
    *reads = poll_burst(h, FLASH_POLL_BURST);
    for (int i = 0; i < *reads; ++i) steps[4 + i] = cell_read(at);
    run_steps(handle, steps, 4 + *reads);
    *done = false;
    for (int i = 0; i < 4; ++i)
        if (steps[i].result < 0) return false;
    *done = read_shows(h, steps + 4, *reads, 0, value);
    return true;
}

// The AMD verify: a status read never equals the byte (its bit 7 is the
// byte's bit 7 inverted), so any read equal to the byte ends the program.
// 0, or -1 after AMD_VERIFY_READS + 1 reads (those sent with the program,
// `sent`, among them) without it or a link gone.
int amd_verify_together(int handle, int sector, int offset, std::uint8_t value, int sent, PollClock& clock) {
    LinkHealth* h = link_health(handle);
    const std::uint32_t at = flash_cell_address(flash_info_of(handle), sector, offset);
    VrnBusStep steps[FLASH_POLL_BURST];
    for (int reads = sent; reads <= AMD_VERIFY_READS && !clock.link_gone();) {
        const int k = poll_burst(h, AMD_VERIFY_READS + 1 - reads);
        for (int i = 0; i < k; ++i) steps[i] = cell_read(at);
        const std::uint32_t t0 = plat_tick_ms();
        if (run_steps(handle, steps, k) <= 0) clock.lost_ms += plat_tick_ms() - t0;
        if (read_shows(h, steps, k, reads, value)) return 0;
        reads += k;
    }
    return -1;
}

bool ready(int status) {
    return status != VRN_FLASH_READ_FAILED && (status & FLASH_INTEL_STATUS_READY) != 0;
}

// The Intel status read: 0x70, poll for the ready bit, read once more for
// the status, clear it with 0x50. -1 when the bound passes before the
// chip is ready, or when the status read itself fails.
int read_status_within(int handle, int sector, int offset, PollClock& clock) {
    clock.write_cell(handle, sector, offset, FLASH_INTEL_READ_STATUS);
    while (!ready(clock.read_cell(handle, sector, offset))) {
        if (clock.passed()) {
            return -1;
        }
    }
    const int status = clock.read_cell(handle, sector, offset);
    clock.write_cell(handle, sector, offset, FLASH_INTEL_CLEAR_STATUS);
    return status;
}

// Repeats status reads until one is ready, then reads the cell back. Fails
// at the bound, on an error bit in the ready status, or when the cell does
// not read `expected`.
int intel_finish(int handle, int sector, int offset, int expected, PollClock& clock) {
    int status = read_status_within(handle, sector, offset, clock);
    while (!ready(status)) {
        if (clock.passed()) {
            return -1;
        }
        status = read_status_within(handle, sector, offset, clock);
    }
    // A read-back whose answer was lost says nothing of the cell: read it
    // again within the bound rather than fail an operation that finished.
    int cell = clock.read_cell(handle, sector, offset);
    while (cell == VRN_FLASH_READ_FAILED && !clock.passed()) cell = clock.read_cell(handle, sector, offset);
    if (cell != expected || (status & FLASH_INTEL_STATUS_ERRORS) != 0) {
        return -1;
    }
    return 0;
}

// The end of an Intel program sent together: the status command with as
// many status reads as the chip took before, until one shows ready; then
// the status read, its clear, the cell read and the reset at once (none of
// them can reach a chip that waits for data: the program has ended). The
// same requests as intel_finish and vrn_flash_reset one at a time. 0, or
// -1 when the bound passes, an answer is lost, the status shows an error
// or the cell does not read `expected`.
int intel_finish_together(int handle, int sector, int offset, int expected, PollClock& clock) {
    LinkHealth* h = link_health(handle);
    const vrnFlashInfo* info = flash_info_of(handle);
    const std::uint32_t at = flash_cell_address(info, sector, offset);
    VrnBusStep steps[1 + FLASH_POLL_BURST];
    for (int reads = 0, first = 1;; first = 0) {
        const int k = poll_burst(h, FLASH_POLL_BURST);
        if (first) steps[0] = cell_write(at, FLASH_INTEL_READ_STATUS);
        for (int i = 0; i < k; ++i) steps[first + i] = cell_read(at);
        const std::uint32_t t0 = plat_tick_ms();
        if (run_steps(handle, steps, first + k) <= 0) clock.lost_ms += plat_tick_ms() - t0;
        int shown = -1;
        for (int i = 0; i < k && shown < 0; ++i)
            if (ready(steps[first + i].result)) shown = i;
        if (shown >= 0) {
            h->poll_burst = reads + shown + 1;
            break;
        }
        if (clock.passed()) return -1;
        reads += k;
    }
    VrnBusStep end[4] = {cell_read(at), cell_write(at, FLASH_INTEL_CLEAR_STATUS), cell_read(at),
                         cell_write(flash_cell_address(info, 0, 0), FLASH_INTEL_READ_ARRAY)};
    if (run_steps(handle, end, 4) != 4) return -1;
    if (!ready(end[0].result) || (end[0].result & FLASH_INTEL_STATUS_ERRORS) != 0) return -1;
    return end[2].result == expected ? 0 : -1;
}

}  // namespace

int vrn_flash_write_cell(int handle, int sector, int offset, int value) {
    unsigned char word[4];
    put_u32(word, static_cast<std::uint32_t>(value));
    const int r = vrn_bus_write(handle, BUS_DIRECT, 0, 0, flash_cell_address(flash_info_of(handle), sector, offset), word, 1);
    if (r != 0) {
        if (LinkHealth* health = link_health(handle)) ++health->failed_writes;
    }
    return r;
}

int vrn_flash_read_cell(int handle, int sector, int offset) {
    unsigned char x = 0;
    if (vrn_bus_read(handle, BUS_DIRECT, 0, 0, flash_cell_address(flash_info_of(handle), sector, offset), &x, 1) != 0) {
        if (LinkHealth* health = link_health(handle)) ++health->failed_reads;
        return VRN_FLASH_READ_FAILED;
    }
    return x;
}

int vrn_flash_read_status(int handle, int sector, int offset) {
    // Called on its own the status may belong to an erase, the longest
    // operation the chip runs.
    PollClock clock = clock_from_now(g_flash_bounds.erase_ms);
    return read_status_within(handle, sector, offset, clock);
}

int vrn_flash_erase_sector(int handle, int sector) {
    PollClock clock = clock_from_now(g_flash_bounds.erase_ms);
    // An unanswered command write fails the erase at once: whether it
    // started is unknown, and polling for it could take the whole bound.
    if (intel_set(handle)) {
        if (!write_sequence(handle, sector, 0, {FLASH_INTEL_BLOCK_ERASE, FLASH_INTEL_ERASE_CONFIRM}) ||
            intel_finish(handle, sector, 0, ERASED, clock) < 0) {
            return -1;
        }
    } else {
        if (!write_sequence(handle, sector, 0,
                            {FLASH_AMD_UNLOCK1, FLASH_AMD_UNLOCK2, FLASH_AMD_ERASE_SETUP, FLASH_AMD_UNLOCK1,
                             FLASH_AMD_UNLOCK2, FLASH_AMD_SECTOR_ERASE})) {
            return -1;
        }
        while (clock.read_cell(handle, sector, 0) != ERASED) {
            if (clock.passed()) {
                return -1;
            }
        }
    }
    vrn_flash_reset(handle);
    return sector;
}

int vrn_flash_erase_all(int handle) {
    int sector = 0;
    for (; sector < flash_info_of(handle)->sector_count; ++sector) {
        vrn_flash_erase_sector(handle, sector);
    }
    return sector;
}

namespace {

int program_byte(int handle, int sector, int offset, std::uint8_t value, bool closed, bool together = false) {
    // An unanswered write may leave the chip waiting for its data, which it
    // would take from the next write anywhere (the reset to cell 0 of sector
    // 0): the program is cancelled at its own cell and fails at once, since
    // a verify of a byte that was never programmed would poll in vain. The
    // AMD sequence is sent whole all the same: most often only the answer
    // was lost and the chip programs the byte, and a chip that missed an
    // unlock cycle takes what follows as no command. The Intel set stops:
    // its data byte, taken for a command, could start one.
    const bool intel = intel_set(handle);
    // A byte equal to the erased cell goes one step at a time on the AMD
    // chip: were its data overtaking the three commands, the chip would
    // wait for data while its erased cell read as the byte, and the reset
    // that follows a verify would be programmed into cell 0 of sector 0.
    if (!intel && value == ERASED) together = false;
    PollClock clock = clock_from_now(g_flash_bounds.program_ms);
    int verify_reads = 0;
    bool verified = false;
    const bool sent = intel      ? write_sequence(handle, sector, offset, {FLASH_INTEL_PROGRAM, value})
                      : together ? amd_program_together(handle, sector, offset, value, &verify_reads, &verified)
                                 : write_sequence(handle, sector, offset,
                                                  {FLASH_AMD_UNLOCK1, FLASH_AMD_UNLOCK2, FLASH_AMD_PROGRAM, value}, true);
    if (!sent) {
        vrn_flash_cancel_program(handle, sector, offset);
        return -1;
    }
    if (intel && together) {
        // Its reset went out with the cell read.
        return intel_finish_together(handle, sector, offset, value, clock) < 0 ? -1 : value;
    }
    if (intel) {
        if (intel_finish(handle, sector, offset, value, clock) < 0) {
            return -1;
        }
    } else if (together) {
        if (!verified && amd_verify_together(handle, sector, offset, value, verify_reads, clock) < 0) {
            return -1;
        }
    } else {
        for (int counter = 0;; ++counter) {
            const int cell = clock.read_cell(handle, sector, offset);
            if (counter == AMD_VERIFY_READS || clock.link_gone()) {
                return -1;
            }
            if (cell == value) {
                break;
            }
        }
    }
    if (closed) vrn_flash_cancel_program(handle, sector, offset);
    vrn_flash_reset(handle);
    return value;
}

}  // namespace

int vrn_flash_program_byte(int handle, int sector, int offset, std::uint8_t value) {
    return program_byte(handle, sector, offset, value, false);
}

int vrn_flash_program_byte_closed(int handle, int sector, int offset, std::uint8_t value) {
    return program_byte(handle, sector, offset, value, true);
}

int vrn_flash_program_byte_together(int handle, int sector, int offset, std::uint8_t value) {
    return program_byte(handle, sector, offset, value, false, vrn_in_flight(handle) > 1);
}

int vrn_flash_all_ones(int handle) {
    return flash_info_of(handle)->data_width == 16 ? 0xFFFF : 0xFF;
}

int vrn_flash_cancel_program(int handle, int sector, int offset) {
    // Until acknowledged: were it lost as well, the chip would still be
    // waiting.
    for (int tries = 0; tries < FLASH_CANCEL_TRIES; ++tries) {
        if (vrn_flash_write_cell(handle, sector, offset, vrn_flash_all_ones(handle)) == 0) {
            return 0;
        }
    }
    return -1;
}

int vrn_flash_program(int handle, int sector, int offset, const std::uint8_t* data, int length) {
    int i = 0;
    while (i < length && vrn_flash_program_byte(handle, sector, offset + i, data[i]) == data[i]) {
        ++i;
    }
    vrn_flash_reset(handle);
    return i;
}

int vrn_flash_read_cells(int handle, int sector, const int* offsets, int count, std::uint8_t* buffer,
                         std::uint8_t* got) {
    if (count < 0 || count > FLASH_READ_EACH_CELLS) return -1;
    VrnBusStep steps[FLASH_READ_EACH_CELLS];
    const vrnFlashInfo* info = flash_info_of(handle);
    for (int i = 0; i < count; ++i) steps[i] = cell_read(flash_cell_address(info, sector, offsets[i]));
    const int read = run_steps(handle, steps, count);
    for (int i = 0; i < count; ++i) {
        got[i] = steps[i].result >= 0 ? 1 : 0;
        if (got[i]) buffer[i] = static_cast<std::uint8_t>(steps[i].result);
    }
    return read;
}

int vrn_flash_read(int handle, int sector, int offset, std::uint8_t* buffer, int length) {
    int i = 0;
    PollClock link = clock_from_now(0);
    // A failed read stores the low 8 bits of VRN_FLASH_READ_FAILED; the
    // caller learns of it from the link health's failed reads. A module
    // that has gone ends the run short.
    while (i < length && !link.link_gone()) {
        buffer[i] = static_cast<std::uint8_t>(link.read_cell(handle, sector, offset + i));
        ++i;
    }
    vrn_flash_reset(handle);
    return i;
}
