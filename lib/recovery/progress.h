// A progress line on standard error for the long flash runs, shown only
// when standard error is a terminal so that standard output and redirected
// runs stay exactly as they are.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// "<phase> <done>/<total> bytes, <rate> B/s, <m:ss> left" (no line end).
// Rate and time left read "--" until a byte has taken measurable time.
int vrn_format_progress(char* buf, std::size_t size, const char* phase, long done, long total,
                        std::uint32_t elapsed_ms);

struct VrnProgress {
    bool shown;           // false: every call below does nothing
    const char* phase;
    long total;
    std::uint32_t start_ms;
    std::uint32_t last_ms;
};

void vrn_progress_begin(VrnProgress* p, bool shown, const char* phase, long total);
// Redraws the line, at most every 200 ms unless done == total.
void vrn_progress_update(VrnProgress* p, long done);
// Draws the last state and ends the line.
void vrn_progress_end(VrnProgress* p, long done);
// Ends a line that is being drawn, so that other text on standard error
// starts on a line of its own; the next redraw starts a new line.
void vrn_progress_break();

// The run begun last and how far it got, shown or not, for a caller that
// watches a long run from another thread (the Python binding calls its
// progress callback from this while the run goes on elsewhere). serial
// counts the runs begun, so that a new run is seen even when its counts
// equal the last one's.
struct VrnProgressState {
    unsigned serial;
    long done;
    long total;
};
VrnProgressState vrn_progress_state();

// One watcher's view of the runs of one thread: a caller that runs
// operations on several threads at once (modules side by side) gives each
// thread its own, and reads each apart with vrn_progress_read while
// vrn_progress_state shows only the run begun last in the whole process.
struct VrnProgressWatch {
    std::atomic<unsigned> serial{0};
    std::atomic<long> done{0};
    std::atomic<long> total{0};
};
// The calling thread's runs from now on also count into *watch (nullptr:
// into none). The record must outlive the thread's runs.
void vrn_progress_watch(VrnProgressWatch* watch);
VrnProgressState vrn_progress_read(const VrnProgressWatch* watch);
