// Recovery from link faults, above the plain flash and register operations:
// after a fault, the smallest step that is safe to redo is redone, so that
// a lost datagram costs time rather than the run. On a link that shows no
// trouble every operation here sends exactly what the plain operation
// beneath it sends. Decisions rest on the connection's link health
// (link/link_health.h); each recovery step is noted on standard error.
#pragma once

#include <csignal>
#include <cstdint>

#include "flash/flash_info.h"
#include "recovery/progress.h"

// Every bound of the recovery layer, in one place. A repeat costs one
// receive wait per lost datagram: the endpoint's 4 seconds, or what the
// connection's wait is set to (vrn_set_wait).
struct VrnRecoveryBounds {
    // Reads of one cell in read mode (the first included); a read changes
    // nothing, so it is simply repeated.
    int read_attempts;
    // The budget of the whole run: once more than lost_floor attempts have
    // been lost, and more than one in lost_share, nothing is repeated any
    // more. A link that answers now and then must not keep a run going for
    // ever.
    int lost_floor;
    int lost_share;
    // Identifications until two that ran without trouble agree. On a link
    // that has never shown trouble one identification is enough.
    int identify_passes;
    // Runs of the whole sector erase. A run is repeated when any of its
    // writes may not have reached the chip (erasing twice is harmless) or
    // its poll bound passed; two runs in a row whose bound passed although
    // every write was answered end the repeats (the chip does not finish).
    int erase_runs;
    // Runs of one byte's program sequence before the byte fails (a run is
    // lost with one of its command writes: at 5% loss one run in ten); of
    // them at most two whose verify failed on a link without trouble.
    int program_runs;
    // Passes of erase, program and read-back of the whole image: a cell
    // that needs an erase, or a read-back that differs, starts the next.
    int image_passes;
    // Passes over a run of cells (or a register block) on a troubled link,
    // until two agree byte for byte; also the read-back passes of a write.
    int read_passes;
    // Reads of a cell after a cancelled program, until two in a row agree
    // (an AMD chip still busy toggles a bit from one read to the next).
    int stable_reads;
    // Sends of a reset until it is acknowledged.
    int reset_sends;
    // 1: each recovery step is noted on standard error.
    int notes;
};

constexpr VrnRecoveryBounds VRN_RECOVERY_DEFAULTS = {
    .read_attempts = 6,
    .lost_floor = 64,
    .lost_share = 4,
    .identify_passes = 10,
    .erase_runs = 12,
    .program_runs = 8,
    .image_passes = 3,
    .read_passes = 4,
    .stable_reads = 16,
    .reset_sends = 4,
    .notes = 1,
};

// The bounds in force; they start at VRN_RECOVERY_DEFAULTS.
extern VrnRecoveryBounds g_recovery;

// Longest run of cells vrn_recover_read and vrn_recover_write take.
constexpr int VRN_RECOVER_MAX_CELLS = 65536;
// Longest register block vrn_recover_reg_read takes, in bytes.
constexpr int VRN_RECOVER_MAX_BLOCK = 1024;

// Set, from a signal handler or another thread, to stop the recovery
// operations between two exchanges: they end as when the link is given up
// (vrn_link_gone), leaving the chip in read mode. Whoever sets it clears it.
extern volatile std::sig_atomic_t g_vrn_cancel;

// Whether the run on this connection is to stop repeating steps: the
// module counts as gone (link_health.h), or the run has spent its budget
// of lost attempts; also while g_vrn_cancel is set. Noted once on standard
// error. The first call puts the
// connection under this bound: from then on its exchanges stop once the
// module counts as gone (LinkHealth::stop_when_gone).
int vrn_link_gone(int handle);

// Starts an operation of its own on a connection that ran others before
// (a library user's, not a program's single run): the run's budget of lost
// attempts starts afresh, an earlier giving up is forgotten, and so is the
// silence that made the module count as gone.
void vrn_recover_begin(int handle);

enum : int { VRN_IDENTIFY_DID_NOT_HOLD = -1, VRN_IDENTIFY_NO_ANSWER = -2 };

// Identifies the chip into *info, from a clean description: a module's
// chip owes nothing to one identified before. 0; VRN_IDENTIFY_DID_NOT_HOLD
// when no two identifications without trouble agreed;
// VRN_IDENTIFY_NO_ANSWER when the module counts as gone, or answered none
// of the identification's requests before the run's budget was spent.
int vrn_recover_identify(int handle, vrnFlashInfo* info);

// One cell in read mode: the byte, or -1 after the read attempts.
int vrn_recover_read_cell(int handle, int sector, int offset);

// length cells from (sector, offset) into buffer, each pass followed by
// the reset that ends a read run. On a troubled link two passes must
// agree, and every pass after the first is guarded: all ones is written to
// each cell before it is read (a reset in read mode), so that a stray
// answer can no longer shift the reads unseen. When two passes disagree on
// a few cells only, each of those is read alone from a port that never
// sent, where no other request's answer can reach it. 0, or -1. progress
// may be null.
// *failed (when given) names the offset of a cell that could not be read,
// or is -1 when the passes ran but no two agreed.
int vrn_recover_read(int handle, int sector, int offset, std::uint8_t* buffer, int length, VrnProgress* progress,
                     int* failed = nullptr);

// vrn_reg_read of a block, repeated after a failure; on a troubled link
// two reads must agree. 0, or -1.
int vrn_recover_reg_read(int handle, int space, std::uint32_t address, std::uint32_t* buffer, int count, int step);

// Erases the sector. 0, or -1.
int vrn_recover_erase(int handle, int sector);

enum : int { VRN_BYTE_DONE = 0, VRN_BYTE_NEEDS_ERASE = 1, VRN_BYTE_FAILED = -1 };

// Programs one byte and makes sure the cell holds it. After a lost answer
// or a failed verify: cancel a program command that may wait for its data
// (all ones to the cell), reset the chip at that cell, read the cell; it
// holds the byte: done; every 1 bit of the byte is still 1 in the cell:
// run the sequence again; otherwise the cell needs an erase. A byte whose
// verify failed twice in runs that met no trouble on the link fails: the
// chip refuses it.
int vrn_recover_program_byte(int handle, int sector, int offset, std::uint8_t value);

// Leaves the chip in read mode after a failed operation at (sector,
// offset): the cancel, a reset and, on an Intel chip, a cleared status, all
// written to that cell so that a chip still waiting for program data spoils
// no cell but that one. Tried even when the run's budget is spent; nothing
// is sent once the module counts as gone.
void vrn_recover_leave_read_mode(int handle, int sector, int offset);

enum : int {
    VRN_WRITE_OK = 0,
    VRN_WRITE_ERASE_FAILED = 1,
    VRN_WRITE_PROGRAM_FAILED = 2,
    VRN_WRITE_READ_FAILED = 3,
    VRN_WRITE_DIFFERS = 4,
    VRN_WRITE_FIRST_READ_FAILED = 5,  // the read before any change (VRN_WRITE_CHANGED_ONLY)
    // Nothing changed: the link gave out (vrn_link_gone) before the first
    // change to the sector, or the caller's VrnBeforeChange refused it.
    VRN_WRITE_GAVE_UP = 6,
    VRN_WRITE_REFUSED = 7,
    // The read-back differed, but no read of the cell alone came through
    // clean to confirm it before the run's budget ended.
    VRN_WRITE_UNCONFIRMED = 8,
};

// What vrn_recover_write ended with: cell names the failed program byte,
// the first cell of a read that failed or differs, or is -1 when the reads
// ran and no two passes agreed; programmed counts the cells handled before
// the one the program stopped at, of to_program (the image, or the cells
// that differ); wrote and read are the image byte and the cell's byte of a
// difference. unchanged: the sector already held the image; erased: the
// sector was erased; cells_programmed: the bytes programmed, over all
// passes; refused: what VrnBeforeChange returned; gone (VRN_WRITE_GAVE_UP,
// VRN_WRITE_UNCONFIRMED): the module counted as gone, rather than the run's
// budget being spent. A difference is reported (VRN_WRITE_DIFFERS) only
// once a read of that cell alone, which no other request's answer could
// reach, confirmed it.
struct VrnWriteReport {
    int status;
    int cell;
    int programmed;
    int to_program;
    std::uint8_t wrote;
    std::uint8_t read;
    int unchanged;
    int erased;
    int cells_programmed;
    int refused;
    int gone;
};

enum : int {
    VRN_WRITE_PROGRESS = 1,      // progress lines on standard error
    // After the erase, image bytes of all ones are not programmed (8-bit
    // chips; a 16-bit cell is still programmed to 0x00FF, as a plain write
    // leaves it).
    VRN_WRITE_SKIP_ERASED = 2,
    // The image's cells are read first: when they hold the image nothing is
    // written; when programming alone can reach it only the cells that
    // differ are programmed and read back, without an erase; otherwise the
    // sector is erased and written as with VRN_WRITE_SKIP_ERASED. Cells of
    // the sector beyond the image keep what they held unless an erase was
    // needed.
    VRN_WRITE_CHANGED_ONLY = 4,
};

// Called once in a vrn_recover_write run, before its first change to the
// sector (the erase; with VRN_WRITE_CHANGED_ONLY, the first program without
// one), and not at all when the sector already holds the image: the place
// to save what the change destroys. 0 lets the run go on; anything else
// ends it with VRN_WRITE_REFUSED, the value kept in report->refused.
struct VrnBeforeChange {
    int (*call)(int handle, int sector, void* context);
    void* context;
};

// Writes count image bytes from cell 0 of the sector: erase, program each
// byte, read back and compare, with the recovery above, and the whole
// image again (erase included) when a cell needs an erase or the read-back
// differs. flags: VRN_WRITE_ values. Once the module counts as gone, or
// the run's budget is spent, before the first change (before_change
// included), nothing is changed: VRN_WRITE_GAVE_UP. One of the VRN_WRITE_
// results, also in *report.
int vrn_recover_write(int handle, int sector, const std::uint8_t* data, int count, int flags,
                      VrnWriteReport* report, const VrnBeforeChange* before_change = nullptr);
