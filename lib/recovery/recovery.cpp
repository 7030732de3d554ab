// Recovery from link faults: repeats of the smallest safe step, judged by
// the connection's link health.
#include "recovery/recovery.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "flash/flash_commands.h"
#include "flash/flash_ops.h"
#include "link/link_health.h"
#include "platform/platform.h"
#include "protocol/packet.h"
#include "protocol/register_space.h"

VrnRecoveryBounds g_recovery = VRN_RECOVERY_DEFAULTS;
volatile std::sig_atomic_t g_vrn_cancel = 0;

namespace {

void note(const char* format, ...) {
    if (!g_recovery.notes) return;
    vrn_progress_break();
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

unsigned trouble(int handle) { return link_trouble(link_health(handle)); }

// Whether a step may be tried once more after `tries`: within its bound,
// and beyond it while the module has answered none of the step's requests
// (answers: the count when the step began), until it counts as gone: an
// outage shorter than LINK_SILENCE_MS costs time, never the run, whatever
// each attempt waits. The run's budget and a stop still end it. A receive
// that failed on our side (the connection may not exchange datagrams) is
// no outage: it would only fail again, at once, for the whole silence.
struct StepStart {
    unsigned answers, failed_receives;
};
StepStart step_start(int handle) {
    const LinkHealth* h = link_health(handle);
    return {h->answers, h->failed_receives};
}
// Cancelled for every connection, or for this one.
bool cancelled(int handle) {
    const ConnEntry* e = conn_entry(handle);
    return g_vrn_cancel || (e && e->cancel);
}

bool try_again(int handle, int tries, int bound, const StepStart& start) {
    const LinkHealth* h = link_health(handle);
    return tries < bound || (h->answers == start.answers && h->failed_receives == start.failed_receives &&
                             !h->gone && !h->given_up && !cancelled(handle));
}

// Each repeat of a step after lost answers waits longer than the one before
// (link_timer_patience); a step within another keeps the larger patience,
// and each gives back at its end what it found.
class Patience {
public:
    explicit Patience(int handle) : health_(link_health(handle)), outer_(health_->timer.patience) {}
    ~Patience() { link_timer_patience(health_, outer_); }
    Patience(const Patience&) = delete;
    Patience& operator=(const Patience&) = delete;
    void lost_again() {
        ++lost_;
        link_timer_patience(health_, lost_ > outer_ ? lost_ : outer_);
    }

private:
    LinkHealth* health_;
    std::uint32_t outer_;
    std::uint32_t lost_ = 0;
};

FlashCommandSet command_set(int handle) { return flash_command_set(flash_info_of(handle)->vendor_id); }

// A write that must reach the chip before the next one is sent; tried
// even when the run's budget is spent, while the module answers at all.
bool write_acknowledged(int handle, int sector, int offset, int value) {
    const StepStart start = step_start(handle);
    for (int send = 0; try_again(handle, send, g_recovery.reset_sends, start) && !link_health(handle)->gone;
         ++send) {
        if (vrn_flash_write_cell(handle, sector, offset, value) == 0) return true;
    }
    return false;
}

// Brings a chip that may be anywhere in a program command back to read
// mode, touching no cell but (sector, offset).
void settle_chip(int handle, int sector, int offset) {
    vrn_flash_cancel_program(handle, sector, offset);
    // On an Intel chip: waits out a program the cancel may have started,
    // and clears the status.
    if (command_set(handle) == FlashCommandSet::Intel) vrn_flash_read_status(handle, sector, offset);
    write_acknowledged(handle, sector, offset, flash_reset_command(command_set(handle)));
}

// The cell's byte once two reads in a row agree, or -1.
int stable_read(int handle, int sector, int offset) {
    int last = -1;
    for (int k = 0; k < g_recovery.stable_reads; ++k) {
        const int cell = vrn_recover_read_cell(handle, sector, offset);
        if (cell < 0) return -1;
        if (cell == last) return cell;
        last = cell;
    }
    return -1;
}

// The cell read from a port that has never sent: no answer to an earlier
// request, late or a copy, can reach its wait, so a read that met no
// trouble of any kind gives the cell's own byte. Repeated after a lost
// answer for as long as the run's budget lasts, after an answer spoilt
// otherwise (a stranger's datagram, no new port to be had) as often as a
// cell read is; -1 when none came through clean.
int confirming_read(int handle, int sector, int offset) {
    LinkHealth* h = link_health(handle);
    Patience patience(handle);
    for (int spoilt = 0; spoilt < g_recovery.read_attempts && !vrn_link_gone(handle);) {
        const unsigned before = trouble(handle), kept = h->ports_kept;
        h->fresh_port_next = 1;
        const int cell = vrn_flash_read_cell(handle, sector, offset);
        h->fresh_port_next = 0;
        if (cell != VRN_FLASH_READ_FAILED && trouble(handle) == before && h->ports_kept == kept) return cell;
        if (cell == VRN_FLASH_READ_FAILED) {
            patience.lost_again();
        } else {
            ++spoilt;
        }
        note("reading cell %d of sector %d alone again: the read met trouble", offset, sector);
    }
    return -1;
}

// Most confirming reads of one read-back, and of the cells on which two
// passes of a read disagree: each holds a socket a while.
constexpr int MAX_CONFIRMING_READS = 64;
constexpr int MAX_SETTLING_READS = 16;

// After a confirming read found a cell other than a pass read it.
void note_stray(int handle, int sector, int offset, int passed, int alone) {
    ++link_health(handle)->strays;
    note("cell %d of sector %d read 0x%02X in a pass but 0x%02X alone: another request's answer stood in for its own",
         offset, sector, passed, alone);
}

// The cells of an image a step works on: 0..count-1, or those listed.
struct Cells {
    const int* list;
    int count;
    int at(int i) const { return list ? list[i] : i; }
};

// read_pass with several reads in flight: the cells in groups, each read
// whose answers were lost in the group read again alone as a pass reads
// every cell. The same requests in the same order as one at a time; only
// the repeats after a lost answer differ.
int read_pass_in_flight(int handle, int sector, int offset, Cells cells, std::uint8_t* buffer, VrnProgress* progress,
                        int* failed) {
    int offsets[FLASH_READ_EACH_CELLS];
    std::uint8_t got[FLASH_READ_EACH_CELLS];
    for (int first = 0; first < cells.count; first += FLASH_READ_EACH_CELLS) {
        const int n = cells.count - first < FLASH_READ_EACH_CELLS ? cells.count - first : FLASH_READ_EACH_CELLS;
        for (int i = 0; i < n; ++i) offsets[i] = offset + cells.at(first + i);
        if (vrn_link_gone(handle) || vrn_flash_read_cells(handle, sector, offsets, n, buffer + first, got) < 0) {
            vrn_progress_break();
            if (failed) *failed = offsets[0] - offset;
            return -1;
        }
        for (int i = 0; i < n; ++i) {
            if (got[i]) continue;
            note("reading cell %d of sector %d again after a lost answer", offsets[i], sector);
            const int cell = vrn_recover_read_cell(handle, sector, offsets[i]);
            if (cell < 0) {
                vrn_progress_break();
                if (failed) *failed = offsets[i] - offset;
                return -1;
            }
            buffer[first + i] = static_cast<std::uint8_t>(cell);
        }
        if (progress) vrn_progress_update(progress, first + n);
    }
    // A copy taken in place of a later read's answer on one port leaves
    // that answer to come after it, which no request of the pass may see:
    // it is looked for once the closing reset's answer came, as one port
    // would have found it there.
    vrn_flash_reset(handle);
    link_flight_settle(handle);
    return 0;
}

// One run of cells through vrn_recover_read_cell, then the reset that ends
// a read run. 0, or -1 when a cell could not be read (*failed names it).
//
// A guarded pass writes all ones to each cell before reading it: the
// write's 32-byte answer comes between any two 36-byte read answers, so a
// late or duplicated read answer lands in a write's wait, where it is too
// long to be taken, and a late write answer is too short to be a read's.
// A run of reads can then no longer be shifted by one stray answer without
// a sign. In read mode all ones is a reset in either command set.
int read_pass(int handle, int sector, int offset, Cells cells, std::uint8_t* buffer, VrnProgress* progress,
              bool guarded, int* failed) {
    if (!guarded && vrn_in_flight(handle) > 1) return read_pass_in_flight(handle, sector, offset, cells, buffer, progress, failed);
    for (int i = 0; i < cells.count; ++i) {
        const int at = offset + cells.at(i);
        if (guarded) vrn_flash_write_cell(handle, sector, at, vrn_flash_all_ones(handle));
        const int cell = vrn_recover_read_cell(handle, sector, at);
        if (cell < 0) {
            vrn_progress_break();
            if (failed) *failed = at - offset;
            return -1;
        }
        buffer[i] = static_cast<std::uint8_t>(cell);
        if (progress) vrn_progress_update(progress, i + 1);
    }
    vrn_flash_reset(handle);
    return 0;
}

// The work space of the runs of cells: one per thread, made when first
// needed, so that connections used from different threads at once never
// share it.
struct Scratch {
    // Earlier passes of a run of cells or a block, for the agreement of two.
    std::uint8_t passes[VRN_RECOVERY_DEFAULTS.read_passes][VRN_RECOVER_MAX_CELLS];
    std::uint8_t read_back[VRN_RECOVER_MAX_CELLS];
    std::uint8_t matched[VRN_RECOVER_MAX_CELLS];
    std::uint8_t pass_cells[VRN_RECOVER_MAX_CELLS];
    std::uint8_t settled[VRN_RECOVER_MAX_CELLS];
    std::uint8_t current[VRN_RECOVER_MAX_CELLS];
    int changed_cells[VRN_RECOVER_MAX_CELLS];
};

Scratch& scratch() {
    thread_local const std::unique_ptr<Scratch> space(new Scratch);
    // clang-tidy 14's analyzer takes the thread's object for one destroyed
    // at the end of the call.
    return *space;  // NOLINT(clang-analyzer-cplusplus.NewDelete)
}

int pass_limit() {
    return g_recovery.read_passes < VRN_RECOVERY_DEFAULTS.read_passes ? g_recovery.read_passes
                                                                        : VRN_RECOVERY_DEFAULTS.read_passes;
}

// Keeps a pass that succeeded; true when it equals one kept before, or
// when the link has never shown trouble (one pass is then enough).
bool pass_confirmed(int handle, const void* pass, std::size_t bytes, int* kept) {
    if (!link_troubled(handle)) return true;
    for (int k = 0; k < *kept; ++k) {
        if (std::memcmp(scratch().passes[k], pass, bytes) == 0) return true;
    }
    if (*kept < pass_limit()) std::memcpy(scratch().passes[(*kept)++], pass, bytes);
    return false;
}

bool same_chip(const vrnFlashInfo& a, const vrnFlashInfo& b) {
    return a.device_id == b.device_id && a.vendor_id == b.vendor_id && a.volume == b.volume &&
           a.base_address == b.base_address && a.sector_size == b.sector_size && a.sector_count == b.sector_count &&
           a.data_width == b.data_width;
}

// The erase runs; 0 when one ran with every write answered and its poll
// saw the sector's first cell erased.
int erase_runs(int handle, int sector) {
    Patience patience(handle);
    int stalled = 0;
    for (int run = 0; run < g_recovery.erase_runs && !vrn_link_gone(handle); ++run) {
        const LinkHealth before = *link_health(handle);
        const int erased = vrn_flash_erase_sector(handle, sector);
        const LinkHealth& now = *link_health(handle);
        // A write that went unanswered, or whose answer may have been a
        // stale one standing in for it, may not have reached the chip.
        const bool doubtful = now.failed_writes != before.failed_writes || now.bad_acks != before.bad_acks ||
                              now.stale != before.stale || now.oversized != before.oversized ||
                              now.strangers != before.strangers;
        if (erased == sector && !doubtful) return 0;
        stalled = erased != sector && !doubtful ? stalled + 1 : 0;
        if (stalled == 2) break;
        if (doubtful) patience.lost_again();
        note("erasing sector %d again after %s", sector, doubtful ? "a lost answer" : "the erase did not finish");
        settle_chip(handle, sector, 0);
    }
    return -1;
}

enum class Verify { Ok, ReadFailed, Differs, Unconfirmed };


// Reads the cells back and compares them with the image. On a troubled
// link each cell must match in two passes, every pass after the first
// guarded. A difference is believed only from a confirming read of the
// cell (confirming_read): a late or duplicated answer taken for the cell's
// own would otherwise erase and write a sector that was right. A cell the
// confirming read finds right counts as matched. Unconfirmed: a pass
// differed, and no read could confirm or refute it (report names the cell
// and what the pass read).
Verify verify_cells(int handle, int sector, const std::uint8_t* data, Cells cells, bool shown,
                    VrnWriteReport* report) {
    std::uint8_t* const read_back = scratch().read_back;
    // Per cell: passes that read the image's byte; 2 once certain.
    std::uint8_t* const matched = scratch().matched;
    std::memset(matched, 0, static_cast<std::size_t>(cells.count));
    int confirming = 0;
    bool unconfirmed = false;
    for (int pass = 0; pass < pass_limit() && !vrn_link_gone(handle); ++pass) {
        const bool guarded = pass > 0;
        VrnProgress progress;
        vrn_progress_begin(&progress, shown, pass == 0 ? "read back" : "read back again", cells.count);
        if (read_pass(handle, sector, 0, cells, read_back, &progress, guarded, &report->cell) < 0) {
            return Verify::ReadFailed;
        }
        vrn_progress_end(&progress, cells.count);
        const int confirmed_before = confirming;
        for (int k = 0; k < cells.count; ++k) {
            const int cell = cells.at(k);
            if (read_back[k] == data[cell]) {
                if (matched[k] < 2) ++matched[k];
                continue;
            }
            if (matched[k] == 2) continue;  // known right: this pass took a stray answer
            if (confirming == MAX_CONFIRMING_READS) {
                unconfirmed = true;  // left to the passes that follow
                continue;
            }
            ++confirming;
            report->cell = cell;
            report->wrote = data[cell];
            report->read = read_back[k];
            const int alone = confirming_read(handle, sector, cell);
            if (alone < 0) {
                vrn_flash_reset(handle);
                return Verify::Unconfirmed;
            }
            if (alone != data[cell]) {
                vrn_flash_reset(handle);
                report->read = static_cast<std::uint8_t>(alone);
                return Verify::Differs;
            }
            note_stray(handle, sector, cell, read_back[k], alone);
            matched[k] = 2;
        }
        if (confirming != confirmed_before) vrn_flash_reset(handle);  // the end of those reads' run
        const int need = link_troubled(handle) ? 2 : 1;
        int k = 0;
        while (k < cells.count && matched[k] >= need) ++k;
        if (k == cells.count) return Verify::Ok;
        note("reading sector %d back again: on a troubled link two passes must match", sector);
    }
    if (unconfirmed) return Verify::Unconfirmed;
    report->cell = -1;  // the reads ran, but no two passes agreed
    return Verify::ReadFailed;
}

// Programs the cells with vrn_recover_program_byte, in order. After an
// erase a byte of all ones is left out on an 8-bit chip (the cell already
// holds it) when skip_erased, and also once the link has shown trouble:
// its verify could not tell a data write that went astray, and the chip
// would take the byte program's closing reset at cell 0 of sector 0 as the
// data. A 16-bit cell still wants its high half programmed to 0. A
// VRN_BYTE_ result; report names the cell it ended at.
int program_cells(int handle, int sector, const std::uint8_t* data, Cells cells, bool after_erase, bool skip_erased,
                  bool shown, VrnWriteReport* report) {
    const bool eight_bit = flash_info_of(handle)->data_width != 16;
    VrnProgress progress;
    vrn_progress_begin(&progress, shown, "program", cells.count);
    int byte = VRN_BYTE_DONE;
    int i = 0;
    for (; i < cells.count; ++i) {
        const int cell = cells.at(i);
        const bool skip = after_erase && eight_bit && data[cell] == 0xFF && (skip_erased || link_troubled(handle));
        if (!skip) {
            byte = vrn_recover_program_byte(handle, sector, cell, data[cell]);
            if (byte != VRN_BYTE_DONE) break;
            ++report->cells_programmed;
        }
        vrn_progress_update(&progress, i + 1);
    }
    vrn_progress_end(&progress, i);
    report->cell = i < cells.count ? cells.at(i) : cells.count;
    report->programmed = i;
    report->to_program = cells.count;
    return byte;
}

// What follows the programming of cells: a byte that failed ends the
// write; after a clean program, the closing reset and the read-back. A
// VRN_WRITE_ result, or -1 when the write goes on (a cell needs an erase,
// or the read-back differs: report says where).
int after_program(int handle, int sector, const std::uint8_t* data, Cells cells, int byte, bool shown,
                  VrnWriteReport* report) {
    if (byte == VRN_BYTE_FAILED) {
        vrn_recover_leave_read_mode(handle, sector, report->cell);
        return report->status = VRN_WRITE_PROGRAM_FAILED;
    }
    if (byte == VRN_BYTE_NEEDS_ERASE) {
        report->status = VRN_WRITE_PROGRAM_FAILED;
        return -1;
    }
    vrn_flash_reset(handle);
    const Verify verified = verify_cells(handle, sector, data, cells, shown, report);
    if (verified == Verify::Ok) return report->status = VRN_WRITE_OK;
    if (verified == Verify::ReadFailed || verified == Verify::Unconfirmed) {
        vrn_recover_leave_read_mode(handle, sector, report->cell < 0 ? 0 : report->cell);
        report->gone = link_health(handle)->gone;
        return report->status = verified == Verify::ReadFailed ? VRN_WRITE_READ_FAILED : VRN_WRITE_UNCONFIRMED;
    }
    report->status = VRN_WRITE_DIFFERS;
    return -1;
}

// Erase, program and read back, the whole image again (erase included)
// when a cell needs an erase or the read-back differs.
int write_with_erase(int handle, int sector, const std::uint8_t* data, int count, bool skip_erased, bool shown,
                     VrnWriteReport* report) {
    const Cells all = {nullptr, count};
    for (int pass = 0; pass < g_recovery.image_passes; ++pass) {
        const std::uint32_t t0 = plat_tick_ms();
        if (shown) std::fprintf(stderr, "erase sector %d%s ...", sector, pass ? " again" : "");
        const int erased = vrn_recover_erase(handle, sector);
        if (shown) std::fprintf(stderr, " %.1f s\n", (plat_tick_ms() - t0) / 1000.0);
        if (erased != 0) return report->status = VRN_WRITE_ERASE_FAILED;
        report->erased = 1;

        const int byte = program_cells(handle, sector, data, all, true, skip_erased, shown, report);
        const int ended = after_program(handle, sector, data, all, byte, shown, report);
        if (ended >= 0) return ended;
        note("cell %d of sector %d %s: erasing the sector and programming the image again", report->cell, sector,
             report->status == VRN_WRITE_DIFFERS ? "differs" : "needs an erase");
    }
    vrn_recover_leave_read_mode(handle, sector, report->cell);
    return report->status;
}

// The step before the first change to the sector: the caller's hook, with
// the link judged before it (a hook that reads would only fail) and after
// it. VRN_WRITE_OK lets the change go ahead.
int begin_change(int handle, int sector, const VrnBeforeChange* hook, VrnWriteReport* report) {
    auto gave_up = [&] {
        report->gone = link_health(handle)->gone;
        return report->status = VRN_WRITE_GAVE_UP;
    };
    if (vrn_link_gone(handle)) return gave_up();
    if (hook && hook->call) {
        report->refused = hook->call(handle, sector, hook->context);
        if (report->refused != 0) return report->status = VRN_WRITE_REFUSED;
    }
    if (vrn_link_gone(handle)) return gave_up();
    return VRN_WRITE_OK;
}

}  // namespace

int vrn_link_gone(int handle) {
    LinkHealth* h = link_health(handle);
    if (!h) return 0;
    h->stop_when_gone = 1;
    if (cancelled(handle)) return 1;
    if (h->given_up) return 1;
    const unsigned lost = link_lost(h) - h->lost_before, attempts = h->attempts - h->attempts_before;
    if (h->gone) {
        note("giving up: the module has not answered for %.0f s", link_silence_ms(h) / 1000.0);
    } else if (lost > static_cast<unsigned>(g_recovery.lost_floor) &&
               lost > attempts / static_cast<unsigned>(g_recovery.lost_share)) {
        note("giving up: %u of %u requests went without an answer", lost, attempts);
    } else {
        return 0;
    }
    h->given_up = 1;
    return 1;
}

void vrn_recover_begin(int handle) {
    LinkHealth* h = link_health(handle);
    if (!h) return;
    h->given_up = 0;
    h->lost_before = link_lost(h);
    h->attempts_before = h->attempts;
    // The silence of an earlier operation is not this one's: the module
    // counts as gone again only after a silence of its own.
    h->gone = 0;
    h->silent_attempts = 0;
}

int vrn_recover_identify(int handle, vrnFlashInfo* info) {
    const unsigned answers = link_health(handle)->answers;
    // From a clean description, as at the start of a program: the driver's
    // one record keeps an unlisted chip's sector count from the chip
    // identified before, perhaps another module's.
    *flash_info_of(handle) = vrnFlashInfo{};
    vrnFlashInfo last{};
    bool have = false;
    Patience patience(handle);
    const StepStart start = step_start(handle);
    for (int pass = 0; try_again(handle, pass, g_recovery.identify_passes, start) && !vrn_link_gone(handle);
         ++pass) {
        const unsigned before = trouble(handle);
        vrn_flash_identify(handle);
        vrn_flash_get_info(handle, info);
        const bool clean = trouble(handle) == before;
        // A misread code names another geometry or command set; so may a
        // late answer taken for a later one without any read failing.
        if (clean && (!link_troubled(handle) || (have && same_chip(last, *info)))) return 0;
        if (clean) {
            last = *info;
            have = true;
        } else {
            patience.lost_again();
        }
        note("identifying the flash chip again %s", clean ? "to confirm it on a troubled link" : "after a lost answer");
    }
    const LinkHealth* h = link_health(handle);
    return h->gone || h->answers == answers ? VRN_IDENTIFY_NO_ANSWER : VRN_IDENTIFY_DID_NOT_HOLD;
}

int vrn_recover_read_cell(int handle, int sector, int offset) {
    Patience patience(handle);
    const StepStart start = step_start(handle);
    for (int attempt = 0; try_again(handle, attempt, g_recovery.read_attempts, start) && !vrn_link_gone(handle);
         ++attempt) {
        const int cell = vrn_flash_read_cell(handle, sector, offset);
        if (cell != VRN_FLASH_READ_FAILED) return cell;
        patience.lost_again();
        note("reading cell %d of sector %d again after a lost answer", offset, sector);
    }
    return -1;
}

int vrn_recover_read(int handle, int sector, int offset, std::uint8_t* buffer, int length, VrnProgress* progress,
                     int* failed) {
    if (length < 0 || length > VRN_RECOVER_MAX_CELLS) return -1;
    // The latest pass, and per cell whether two reads agreed on what
    // buffer holds (or a confirming read gave it).
    std::uint8_t* const pass_cells = scratch().pass_cells;
    std::uint8_t* const settled = scratch().settled;
    bool have = false;  // buffer holds a whole pass
    if (failed) *failed = -1;  // unless the last pass fails at a cell: no two passes agreed
    for (int pass = 0; pass < pass_limit() && !vrn_link_gone(handle); ++pass) {
        if (pass > 0 && progress) vrn_progress_begin(progress, progress->shown, progress->phase, length);
        std::uint8_t* into = have ? pass_cells : buffer;
        if (read_pass(handle, sector, offset, Cells{nullptr, length}, into, progress, pass > 0, failed) != 0) continue;
        if (failed) *failed = -1;
        if (!have) {
            if (!link_troubled(handle)) return 0;
            have = true;
            std::memset(settled, 0, static_cast<std::size_t>(length));
        } else {
            // Cells on which two passes disagree are few when a stray answer
            // spoilt a read here and there: a confirming read settles each;
            // many are read again in the next pass.
            int open = 0;
            for (int i = 0; i < length; ++i) {
                if (!settled[i] && pass_cells[i] == buffer[i]) settled[i] = 1;
                if (!settled[i]) ++open;
            }
            if (open == 0) return 0;
            if (open <= MAX_SETTLING_READS) {
                for (int i = 0; i < length; ++i) {
                    if (settled[i]) continue;
                    const int alone = confirming_read(handle, sector, offset + i);
                    if (alone < 0) {
                        vrn_flash_reset(handle);
                        if (failed) *failed = i;
                        return -1;
                    }
                    if (alone != buffer[i] && alone != pass_cells[i]) {
                        note("cell %d of sector %d read 0x%02X and 0x%02X in two passes but 0x%02X alone", offset + i,
                             sector, buffer[i], pass_cells[i], alone);
                    }
                    buffer[i] = static_cast<std::uint8_t>(alone);
                    settled[i] = 1;
                }
                vrn_flash_reset(handle);
                ++link_health(handle)->strays;
                note("cells %d to %d of sector %d: %d cells on which two passes disagreed were read alone", offset,
                     offset + length - 1, sector, open);
                return 0;
            }
            for (int i = 0; i < length; ++i)
                if (!settled[i]) buffer[i] = pass_cells[i];
        }
        note("reading cells %d to %d of sector %d again: on a troubled link two passes must agree", offset,
             offset + length - 1, sector);
    }
    return -1;
}

int vrn_recover_reg_read(int handle, int space, std::uint32_t address, std::uint32_t* buffer, int count, int step) {
    if (count < 0 || count > VRN_RECOVER_MAX_BLOCK) return -1;
    int kept = 0;
    Patience patience(handle);
    const StepStart start = step_start(handle);
    for (int pass = 0; try_again(handle, pass, pass_limit(), start) && !vrn_link_gone(handle); ++pass) {
        if (vrn_reg_read(handle, space, 0, 0, address, buffer, count, step) == 0) {
            if (pass_confirmed(handle, buffer, static_cast<std::size_t>(count), &kept)) return 0;
            note("reading register block 0x%08X of space %d again: on a troubled link two reads must agree",
                 static_cast<unsigned>(address), space);
        } else {
            patience.lost_again();
            note("reading register block 0x%08X of space %d again after a lost answer", static_cast<unsigned>(address),
                 space);
        }
    }
    return -1;
}

int vrn_recover_erase(int handle, int sector) {
    if (erase_runs(handle, sector) == 0) return 0;
    vrn_recover_leave_read_mode(handle, sector, 0);
    return -1;
}

int vrn_recover_program_byte(int handle, int sector, int offset, std::uint8_t value) {
    Patience patience(handle);
    int refused = 0;  // runs whose verify failed on a link that showed no trouble
    for (int run = 0; run < g_recovery.program_runs && !vrn_link_gone(handle); ++run) {
        const unsigned before = trouble(handle);
        // Once an answer may have stood in for another's, a data write may
        // have gone astray unseen; where the verify cannot tell (0xFF on a
        // 16-bit chip; on an 8-bit one such bytes are left to the erase),
        // the cell gets all ones before the program's closing reset.
        const bool closed = value == 0xFF && flash_info_of(handle)->data_width == 16 && link_troubled(handle);
        // A byte's first try sends its commands together when the
        // connection keeps several requests in flight; a repeat goes one
        // write at a time, so a link that reorders costs one poll at most.
        const int programmed = closed     ? vrn_flash_program_byte_closed(handle, sector, offset, value)
                               : run == 0 ? vrn_flash_program_byte_together(handle, sector, offset, value)
                                          : vrn_flash_program_byte(handle, sector, offset, value);
        const bool lost = trouble(handle) != before;
        if (programmed == value && !lost) return VRN_BYTE_DONE;
        if (lost) patience.lost_again();
        note("checking cell %d of sector %d after %s", offset, sector, lost ? "a lost answer" : "a failed verify");
        settle_chip(handle, sector, offset);
        const int cell = stable_read(handle, sector, offset);
        if (cell == value) return VRN_BYTE_DONE;
        if (cell >= 0 && (cell & value) != value) return VRN_BYTE_NEEDS_ERASE;
        // A cell that refuses its byte twice with every answer there is a
        // fault of the chip: more runs cannot help, and each costs the
        // program's whole poll.
        if (!lost && ++refused == 2) break;
        if (cell >= 0) note("retrying cell %d of sector %d: it reads 0x%02X", offset, sector, cell);
    }
    return VRN_BYTE_FAILED;
}

void vrn_recover_leave_read_mode(int handle, int sector, int offset) { settle_chip(handle, sector, offset); }

int vrn_recover_write(int handle, int sector, const std::uint8_t* data, int count, int flags,
                      VrnWriteReport* report, const VrnBeforeChange* before_change) {
    *report = VrnWriteReport{};
    if (count < 0 || count > VRN_RECOVER_MAX_CELLS) return report->status = VRN_WRITE_PROGRAM_FAILED;
    const bool shown = (flags & VRN_WRITE_PROGRESS) != 0;
    if (!(flags & VRN_WRITE_CHANGED_ONLY)) {
        if (begin_change(handle, sector, before_change, report) != VRN_WRITE_OK) return report->status;
        return write_with_erase(handle, sector, data, count, (flags & VRN_WRITE_SKIP_ERASED) != 0, shown, report);
    }

    // What the cells hold, and the cells that differ from the image: too big
    // for the stack of every platform.
    std::uint8_t* const current = scratch().current;
    int* const changed_cells = scratch().changed_cells;
    VrnProgress progress;
    vrn_progress_begin(&progress, shown, "read", count);
    if (vrn_recover_read(handle, sector, 0, current, count, &progress, &report->cell) != 0)
        return report->status = VRN_WRITE_FIRST_READ_FAILED;
    vrn_progress_end(&progress, count);
    int changed = 0;
    int unreachable = -1;  // the first cell only an erase can give its byte
    for (int i = 0; i < count; ++i) {
        if (current[i] == data[i]) continue;
        changed_cells[changed++] = i;
        if (unreachable < 0 && (current[i] & data[i]) != data[i]) unreachable = i;
    }
    if (changed == 0) {
        report->unchanged = 1;
        note("sector %d already holds the image", sector);
        return report->status = VRN_WRITE_OK;
    }
    if (begin_change(handle, sector, before_change, report) != VRN_WRITE_OK) return report->status;
    if (unreachable < 0) {
        const Cells cells = {changed_cells, changed};
        const int byte = program_cells(handle, sector, data, cells, false, false, shown, report);
        const int ended = after_program(handle, sector, data, cells, byte, shown, report);
        if (ended >= 0) return ended;
        unreachable = report->cell;
    }
    note("cell %d of sector %d cannot be programmed without an erase: erasing the sector", unreachable, sector);
    return write_with_erase(handle, sector, data, count, true, shown, report);
}
