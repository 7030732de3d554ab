// The progress line of the long flash runs, on standard error.
#include "recovery/progress.h"

#include <atomic>
#include <cmath>
#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr std::uint32_t kRedrawMs = 200;

// A line is drawn and not yet ended: a note must start on a line of its own.
std::atomic<bool> s_line_open{false};

// What vrn_progress_state reads; written by the thread that runs the
// operation, read by any other.
std::atomic<unsigned> s_serial{0};
std::atomic<long> s_done{0};
std::atomic<long> s_total{0};
// The calling thread's watcher, if any.
thread_local VrnProgressWatch* t_watch = nullptr;

void note_begin(long total) {
    s_total.store(total);
    s_done.store(0);
    s_serial.fetch_add(1);
    if (!t_watch) return;
    t_watch->total.store(total);
    t_watch->done.store(0);
    t_watch->serial.fetch_add(1);
}

void note_done(long done) {
    s_done.store(done, std::memory_order_relaxed);
    if (t_watch) t_watch->done.store(done, std::memory_order_relaxed);
}

// Read again when a run began meanwhile, so that one run's counts are never
// given under another's serial.
VrnProgressState read_state(const std::atomic<unsigned>& serial, const std::atomic<long>& done,
                            const std::atomic<long>& total) {
    VrnProgressState state;
    do {
        state.serial = serial.load();
        state.total = total.load();
        state.done = done.load(std::memory_order_relaxed);
    } while (serial.load() != state.serial);
    return state;
}

void draw(VrnProgress* p, long done) {
    char line[160];
    vrn_format_progress(line, sizeof line, p->phase, done, p->total, plat_tick_ms() - p->start_ms);
    // Trailing blanks clear what a longer previous line left behind.
    std::fprintf(stderr, "\r%s    ", line);
    std::fflush(stderr);
    s_line_open = true;
}

}  // namespace

int vrn_format_progress(char* buf, std::size_t size, const char* phase, long done, long total,
                        std::uint32_t elapsed_ms) {
    if (done <= 0 || elapsed_ms == 0) {
        return std::snprintf(buf, size, "%s %ld/%ld bytes, -- B/s, --:-- left", phase, done, total);
    }
    double rate = static_cast<double>(done) * 1000.0 / elapsed_ms;
    long left_s = std::lround(static_cast<double>(total - done) / rate);
    return std::snprintf(buf, size, "%s %ld/%ld bytes, %.0f B/s, %ld:%02ld left", phase, done, total, rate,
                         left_s / 60, left_s % 60);
}

void vrn_progress_begin(VrnProgress* p, bool shown, const char* phase, long total) {
    p->shown = shown;
    p->phase = phase;
    p->total = total;
    p->start_ms = plat_tick_ms();
    p->last_ms = p->start_ms;
    note_begin(total);
    if (shown) draw(p, 0);
}

void vrn_progress_update(VrnProgress* p, long done) {
    note_done(done);
    if (!p->shown) return;
    std::uint32_t now = plat_tick_ms();
    if (done < p->total && now - p->last_ms < kRedrawMs) return;
    p->last_ms = now;
    draw(p, done);
}

void vrn_progress_end(VrnProgress* p, long done) {
    note_done(done);
    if (!p->shown) return;
    draw(p, done);
    vrn_progress_break();
}

void vrn_progress_break() {
    if (!s_line_open) return;
    std::fputs("\n", stderr);
    std::fflush(stderr);
    s_line_open = false;
}

VrnProgressState vrn_progress_state() { return read_state(s_serial, s_done, s_total); }

void vrn_progress_watch(VrnProgressWatch* watch) { t_watch = watch; }

VrnProgressState vrn_progress_read(const VrnProgressWatch* watch) {
    return watch ? read_state(watch->serial, watch->done, watch->total) : VrnProgressState{};
}
