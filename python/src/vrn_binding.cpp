// The extension module vrn._vrn: the library and its recovery layer behind
// a Python interface (vrn/__init__.py adds the record classes). The C
// names and -1 results stay here: failures become vrn.VrnError with the
// text the programs print, bad arguments ValueError or TypeError before
// anything is sent.
#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "connect.h"
#include "data_file.h"
#include "failure_texts.h"
#include "file_output.h"
#include "info_records.h"
#include "program_args.h"
#include "record_fields.h"
#include "vrn.h"

namespace py = pybind11;

namespace {

// A failure the library reported, raised as vrn.VrnError.
struct VrnFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --- one call at a time on each Module ----------------------------------------

// Each Module's connection has state of its own (vrn_open_own): Modules
// run at once from different threads, and each takes one call at a time.
// A Module's lock is always taken with the GIL released, so that a thread
// waiting for it never holds up one that needs the GIL to report progress.
struct ModuleLock {
    std::mutex mutex;
    // The thread holding the lock: a progress callback runs on it, and a
    // call of the same Module from there would wait for itself.
    std::atomic<std::thread::id> holder{};
};

class Turn {
public:
    explicit Turn(ModuleLock& lock) : lock_(lock) {
        if (lock.holder.load() == std::this_thread::get_id())
            throw VrnFailure("A Module cannot be used from a progress callback of its own call");
        py::gil_scoped_release release;
        lock.mutex.lock();
        lock.holder = std::this_thread::get_id();
    }
    ~Turn() {
        lock_.holder = std::thread::id();
        lock_.mutex.unlock();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

private:
    ModuleLock& lock_;
};

// Sockets a connection replaced after trouble are held 10 s and then let
// go at its next exchange; a Module left idle never comes to one. A thread
// of its own lets go of those of every connection not exchanging at the
// moment once a second (conn_release_held), started with the first Module
// and left to end with the process.
constexpr auto kHeldSocketsLook = std::chrono::seconds(1);

void start_held_socket_release() {
    static std::once_flag started;
    std::call_once(started, [] {
        // Signals stay with Python's main thread.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        struct Restore {
            sigset_t* old;
            ~Restore() { pthread_sigmask(SIG_SETMASK, old, nullptr); }
        } restore{&old};
        std::thread([] {
            for (;;) {
                std::this_thread::sleep_for(kHeldSocketsLook);
                conn_release_held();
            }
        }).detach();
    });
}

// How often a long operation's caller looks at its progress and at
// signals (Ctrl-C): often enough for a prompt stop, rarely enough to cost
// nothing next to the exchanges.
constexpr auto kWatchSlice = std::chrono::milliseconds(50);

// Calls progress(done, total) when the progress of the runs watched moved
// since *last; nothing before the first has begun.
void report_progress(const py::object& progress, const VrnProgressWatch& runs, VrnProgressState* last) {
    if (progress.is_none()) return;
    VrnProgressState now = vrn_progress_read(&runs);
    if (now.serial == 0 || (now.serial == last->serial && now.done == last->done)) return;
    *last = now;
    progress(now.done, now.total);
}

// Runs work, a recovery operation on the connection handle, on a thread of
// its own, while the calling thread waits in short slices without the GIL,
// calls progress and checks for signals. The library has no callbacks:
// progress is read from the record that the worker thread's runs count
// into (vrn_progress_watch), and a stop is asked for with vrn_cancel,
// which the recovery operations on that connection look at between
// exchanges and answer by ending as when the link is given up, leaving the
// chip in read mode. An exception from a signal handler (KeyboardInterrupt)
// or from progress asks for it; once the operation has ended the exception
// goes on up. Other connections' operations run on.
template <class Work>
void run_long(int handle, Work&& work, const py::object& progress) {
    // Each operation has the run's budget to itself: one that gave up
    // leaves the Module usable once the link is well again.
    vrn_recover_begin(handle);
    VrnProgressWatch runs;  // the worker's runs count here, this thread reads
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;
    VrnProgressState last{0, -1, -1};

    // Signals go to the waiting thread only: the worker's socket waits must
    // not end early, and Python handles signals on its main thread anyway.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread worker;
    try {
        worker = std::thread([&] {
            vrn_progress_watch(&runs);
            work();
            vrn_progress_watch(nullptr);
            std::lock_guard<std::mutex> lock(mu);
            finished = true;
            cv.notify_one();
        });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    std::exception_ptr stop;
    for (bool done = false; !done;) {
        {
            py::gil_scoped_release release;
            std::unique_lock<std::mutex> lock(mu);
            done = cv.wait_for(lock, kWatchSlice, [&] { return finished; });
        }
        if (stop) continue;
        try {
            report_progress(progress, runs, &last);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        } catch (...) {
            stop = std::current_exception();
            vrn_cancel(handle, 1);
        }
    }
    {
        py::gil_scoped_release release;
        worker.join();
    }
    if (stop) {
        vrn_cancel(handle, 0);
        std::rethrow_exception(stop);
    }
}

// --- arguments -----------------------------------------------------------------

// A non-negative int argument no larger than max.
long count_arg(const char* name, long value, long max) {
    if (value < 0 || value > max)
        throw py::value_error(std::string(name) + " " + std::to_string(value) + " is out of range (0.." +
                              std::to_string(max) + " expected)");
    return value;
}

std::uint32_t word_arg(const char* name, const py::handle& value) {
    if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value))
        throw py::type_error(std::string(name) + " must be an int, not " +
                             std::string(py::str(value.get_type().attr("__name__"))));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL)
        throw py::value_error(std::string(name) + " " + std::string(py::str(value)) +
                              " does not fit 32 bits (0..0xFFFFFFFF expected)");
    return static_cast<std::uint32_t>(v);
}

RegSpace space_arg(int space, bool writing) {
    RegSpace sp{};
    if (reg_space_lookup(space, &sp) != 0)
        throw py::value_error("Unknown register space " + std::to_string(space) +
                              " (0, 1, 2, 3, 32, 33, 34 or 49 expected)");
    if (writing && !sp.writable) throw py::value_error("Register space " + std::to_string(space) + " is read-only");
    return sp;
}

// The wait of each answer: None (the endpoint's 4 s), "auto", or 1..4000 ms.
int wait_arg(const py::object& wait) {
    if (wait.is_none()) return VRN_WAIT_DEFAULT;
    if (py::isinstance<py::str>(wait) && wait.cast<std::string>() == "auto") return VRN_WAIT_AUTO;
    if (py::isinstance<py::int_>(wait) && !py::isinstance<py::bool_>(wait)) {
        long ms = wait.cast<long>();
        if (ms >= 1 && ms <= VRN_WAIT_MAX_MS) return static_cast<int>(ms);
    } else if (!py::isinstance<py::str>(wait)) {
        throw py::type_error("wait must be None, \"auto\" or milliseconds");
    }
    throw py::value_error("Bad wait " + std::string(py::repr(wait)) + " (None, \"auto\", or 1.." +
                          std::to_string(VRN_WAIT_MAX_MS) + " milliseconds expected)");
}

void progress_arg(const py::object& progress) {
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress must be None or called with (done, total)");
}

std::vector<std::uint8_t> bytes_arg(const char* name, const py::object& data, std::size_t max) {
    if (!PyObject_CheckBuffer(data.ptr()) || py::isinstance<py::str>(data))
        throw py::type_error(std::string(name) + " must be bytes-like, not " +
                             std::string(py::str(data.get_type().attr("__name__"))));
    // A copy in order, whatever the buffer's layout (a strided memoryview).
    std::string bytes = py::reinterpret_steal<py::bytes>(PyBytes_FromObject(data.ptr()));
    if (bytes.size() > max)
        throw py::value_error(std::string(name) + " holds " + std::to_string(bytes.size()) + " bytes; at most " +
                              std::to_string(max) + " fit");
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// A file name: str or os.PathLike.
std::string path_arg(const py::object& path) {
    return py::module_::import("os").attr("fspath")(path).cast<std::string>();
}

// --- the records ----------------------------------------------------------------

const VrnRecordLayout& layout_named(const std::string& name) {
    if (name == VRN_NETCFG_LAYOUT.name) return VRN_NETCFG_LAYOUT;
    if (name == VRN_ICR_LAYOUT.name) return VRN_ICR_LAYOUT;
    throw py::value_error("no record " + name);
}

// Field names as Python spells them: "ip", "devid".
std::string py_name(const char* field) {
    std::string s(field);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const char* kind_name(VrnFieldKind kind) {
    switch (kind) {
    case VrnFieldKind::HexWord: return "hex";
    case VrnFieldKind::IntWord: return "int";
    case VrnFieldKind::Address: return "address";
    case VrnFieldKind::Comment: return "comment";
    }
    return "";
}

// Text the flash or vrnstat's printing gave, as vrnstat --json shows it:
// UTF-8, every byte that is not (an erased comment is all 0xFF) as U+FFFD.
// The record keeps the comment's bytes themselves under _comment_raw.
py::str printed_text(const char* text, std::size_t size) {
    PyObject* s = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "replace");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// The comment's text: its bytes up to the first NUL.
py::str comment_text(const std::uint8_t* at) {
    std::size_t n = 0;
    while (n < static_cast<std::size_t>(VRN_COMMENT_BYTES) && at[n] != 0) ++n;
    return printed_text(reinterpret_cast<const char*>(at), n);
}

std::string comment_bytes(const py::handle& text) {
    if (!py::isinstance<py::str>(text)) throw py::type_error("comment must be a str");
    PyObject* b = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
    if (!b) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(b);
}

const char* const kCommentRaw = "_comment_raw";

// Whether the comment is the text of the field as it was read (which then
// keeps its bytes, whatever follows the NUL or the lack of one).
bool kept_comment(const py::dict& values, const py::handle& comment) {
    if (!values.contains(kCommentRaw) || !py::isinstance<py::bytes>(values[kCommentRaw])) return false;
    std::string kept = values[kCommentRaw].cast<std::string>();
    return kept.size() == static_cast<std::size_t>(VRN_COMMENT_BYTES) &&
           comment_text(reinterpret_cast<const std::uint8_t*>(kept.data())).equal(comment);
}

void copy_kept_comment(const py::dict& values, std::uint8_t* field) {
    std::string kept = values[kCommentRaw].cast<std::string>();
    std::copy(kept.begin(), kept.end(), field);
}

void set_field(std::uint8_t* record, const VrnRecordLayout& layout, const VrnFieldRule& rule, const std::string& text,
               const std::string& name) {
    std::string error;
    if (!vrn_set_field(record, layout, rule, text, name, &error)) throw py::value_error(error);
}

// The record's bytes, as they lie in the flash, as its fields' values;
// the comment's whole field as it lies goes along under _comment_raw.
py::dict record_decode(const std::string& name, const py::bytes& data) {
    const VrnRecordLayout& layout = layout_named(name);
    std::string raw = data;
    if (raw.size() != static_cast<std::size_t>(layout.bytes))
        throw py::value_error(std::string(layout.name) + " records have " + std::to_string(layout.bytes) +
                              " bytes, not " + std::to_string(raw.size()));
    const auto* r = reinterpret_cast<const std::uint8_t*>(raw.data());
    std::vector<std::uint8_t> host(raw.begin(), raw.end());
    swap_words_to_host(host.data(), host.data(), layout.words);
    py::dict values;
    for (int i = 0; i < layout.field_count; ++i) {
        const VrnRecordField& f = layout.fields[i];
        py::str key(py_name(f.name));
        switch (f.kind) {
        case VrnFieldKind::HexWord: values[key] = py::int_(load_word_be(r + f.offset)); break;
        case VrnFieldKind::IntWord: values[key] = py::int_(static_cast<std::int32_t>(load_word_be(r + f.offset))); break;
        case VrnFieldKind::Address: {
            char text[32];
            format_field_value(text, sizeof text, f, host.data());
            values[key] = py::str(text);
            break;
        }
        case VrnFieldKind::Comment:
            values[key] = comment_text(r + f.offset);
            values[kCommentRaw] = py::bytes(reinterpret_cast<const char*>(r + f.offset), VRN_COMMENT_BYTES);
            break;
        }
    }
    return values;
}

// The values as a record's bytes. Only what cannot be stored at all is
// refused here (a word beyond 32 bits, an address that is not one, a
// comment too long for its field); a comment equal to the text of
// _comment_raw keeps that field's bytes as they were.
py::bytes record_encode(const std::string& name, const py::dict& values) {
    const VrnRecordLayout& layout = layout_named(name);
    std::vector<std::uint8_t> r(static_cast<std::size_t>(layout.bytes), 0);
    for (int i = 0; i < layout.field_count; ++i) {
        const VrnRecordField& f = layout.fields[i];
        std::string key = py_name(f.name);
        py::object v = values[key.c_str()];
        switch (f.kind) {
        case VrnFieldKind::HexWord:
            store_word_be(&r[f.offset], word_arg(key.c_str(), v));
            break;
        case VrnFieldKind::IntWord: {
            if (!py::isinstance<py::int_>(v) || py::isinstance<py::bool_>(v))
                throw py::type_error(key + " must be an int");
            long long n = v.cast<long long>();
            if (n < -2147483648LL || n > 0xFFFFFFFFLL)
                throw py::value_error(key + " " + std::to_string(n) + " does not fit 32 bits");
            store_word_be(&r[f.offset], static_cast<std::uint32_t>(n));
            break;
        }
        case VrnFieldKind::Address: {
            if (!py::isinstance<py::str>(v)) throw py::type_error(key + " must be a str such as \"192.168.0.150\"");
            set_field(r.data(), layout, {"", f.name, VrnValueKind::Dotted, "", 0, 0}, v.cast<std::string>(), key);
            break;
        }
        case VrnFieldKind::Comment: {
            if (!kept_comment(values, v))
                set_field(r.data(), layout, {"", f.name, VrnValueKind::Comment, "", 0, 0}, comment_bytes(v), key);
            else
                copy_kept_comment(values, &r[static_cast<std::size_t>(f.offset)]);
            break;
        }
        }
    }
    return py::bytes(reinterpret_cast<const char*>(r.data()), r.size());
}

// The value of a field as vrnrec's option takes it, for its check.
std::string option_text(const VrnFieldRule& rule, const py::dict& values) {
    auto word = [&](const char* field) { return values[py_name(field).c_str()].cast<long long>(); };
    char text[64];
    switch (rule.kind) {
    case VrnValueKind::Hex: std::snprintf(text, sizeof text, "0x%llX", word(rule.field)); return text;
    case VrnValueKind::Decimal: return std::to_string(word(rule.field));
    case VrnValueKind::Date:
        std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", word("YEAR"), word("MON"), word("DAY"));
        return text;
    case VrnValueKind::Dotted:
    case VrnValueKind::Address:
    case VrnValueKind::Mask: return values[py_name(rule.field).c_str()].cast<std::string>();
    case VrnValueKind::Comment: return comment_bytes(values[py_name(rule.field).c_str()]);
    }
    return "";
}

// Refuses values that vrnrec would refuse, with vrnrec's reasons (the
// value named as the field is in Python: "Bad port 0 (1..65532 expected:
// ...)"), and warns of what vrnrec warns of. A comment kept as it was read
// is not checked again.
void record_check(const std::string& name, const py::dict& values) {
    const VrnRecordLayout& layout = layout_named(name);
    py::bytes encoded = record_encode(name, values);  // the types and sizes first
    std::string raw = encoded;
    std::vector<std::uint8_t> scratch(raw.begin(), raw.end());
    const VrnFieldRules& rules = vrn_field_rules(layout);
    for (int i = 0; i < rules.count; ++i) {
        const VrnFieldRule& rule = rules.rules[i];
        std::string option = rule.option + 2;  // without "--"
        if (rule.kind == VrnValueKind::Comment && kept_comment(values, values[option.c_str()])) continue;
        set_field(scratch.data(), layout, rule, option_text(rule, values), option);
    }
    if (&layout != &VRN_NETCFG_LAYOUT) return;
    std::string error, warning;
    if (!vrn_check_subnet(scratch.data(), layout, false, &error, &warning)) throw py::value_error(error);
    if (!warning.empty() && PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) != 0) throw py::error_already_set();
}

// The record as vrnstat prints it.
py::str record_text(const std::string& name, const py::bytes& data) {
    const VrnRecordLayout& layout = layout_named(name);
    std::string raw = data;
    if (raw.size() != static_cast<std::size_t>(layout.bytes)) throw py::value_error("wrong record size");
    std::vector<std::uint8_t> host(raw.begin(), raw.end());
    swap_words_to_host(host.data(), host.data(), layout.words);
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    if (!out) throw std::runtime_error("no memory for the record's text");
    print_record(out, layout, host.data());
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return printed_text(result.data(), result.size());
}

py::tuple record_layout(const std::string& name) {
    const VrnRecordLayout& layout = layout_named(name);
    py::list fields;
    for (int i = 0; i < layout.field_count; ++i)
        fields.append(py::make_tuple(py_name(layout.fields[i].name), kind_name(layout.fields[i].kind)));
    return py::make_tuple(layout.sector, layout.bytes, fields);
}

// --- data files -------------------------------------------------------------------

py::bytes load_data_file(const py::object& path_like) {
    const std::string path = path_arg(path_like);
    static std::uint8_t image[VRN_IMAGE_BYTES];
    std::FILE* f = std::fopen(path.c_str(), "rt");
    if (!f) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    // The parser's warnings of lines read in pieces become Python warnings.
    char* warned = nullptr;
    std::size_t warned_size = 0;
    std::FILE* warnings = open_memstream(&warned, &warned_size);
    int count = vrn_parse_data_file(f, image, warnings, nullptr);
    const int read_error = errno;
    std::fclose(f);
    if (warnings) std::fclose(warnings);
    std::string warning_text(warned ? warned : "", warned_size);
    std::free(warned);
    if (count == VRN_PARSE_TOO_BIG) throw py::value_error(path + ": " + vrn_data_file_too_big_text());
    if (count == VRN_PARSE_READ_FAILED) {
        // A directory, say: an OSError as a failed open is, never a short image.
        errno = read_error != 0 ? read_error : EIO;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    if (!warning_text.empty()) {
        std::string text = path + ": " + warning_text.substr(0, warning_text.find_last_not_of('\n') + 1);
        if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw py::error_already_set();
    }
    return py::bytes(reinterpret_cast<const char*>(image), static_cast<std::size_t>(count));
}

void save_data_file(const py::object& path_like, const py::object& data, const std::string& comment) {
    const std::string path = path_arg(path_like);
    std::vector<std::uint8_t> image = bytes_arg("data", data, VRN_IMAGE_BYTES);
    std::vector<VrnDataNote> notes;
    if (!comment.empty()) notes.push_back({0, comment});
    std::string text = vrn_data_file_text(image.data(), static_cast<int>(image.size()), notes);
    std::string error;
    auto check = [&](const std::string& temp, std::string* why) {
        if (vrn_data_file_holds(temp, image.data(), static_cast<int>(image.size()))) return true;
        *why = "the file written does not read back as the data";
        return false;
    };
    if (vrn_write_file_whole(path, text, &error, check) != 0)
        throw VrnFailure("Can't write data file " + path + ": " + error);
}

// --- the module -------------------------------------------------------------------

struct FlashInfo {
    int vendor, device, sector_size, sector_count, width;

    static FlashInfo of(const vrnFlashInfo& i) {
        return {i.vendor_id, i.device_id, i.sector_size, i.sector_count, i.data_width};
    }
    bool operator==(const FlashInfo&) const = default;
};

struct WriteReport {
    bool unchanged, erased;
    int cells_programmed;
    bool operator==(const WriteReport&) const = default;
};

class Module {
public:
    Module(const std::string& ip, int port, bool probe, const py::object& wait, int in_flight) {
        if (!vrn_is_dotted_ipv4(ip.c_str())) throw py::value_error("Bad IP address " + ip + " (dotted IPv4 address expected)");
        if (port < 1 || port > 65535) throw py::value_error("Bad port " + std::to_string(port) + " (1..65535 expected)");
        VrnLinkSettings link;
        link.wait = wait_arg(wait);
        if (in_flight < 1 || in_flight > VRN_MAX_IN_FLIGHT)
            throw py::value_error("Bad in_flight " + std::to_string(in_flight) + " (1.." +
                                  std::to_string(VRN_MAX_IN_FLIGHT) + " reads at once expected)");
        link.in_flight = in_flight;
        address_ = ip + ":" + std::to_string(port);
        {
            py::gil_scoped_release release;  // the echo probe waits for its answer
            handle_ = vrn_open_module(address_.c_str(), probe, link);
        }
        if (handle_ == -1) throw VrnFailure(vrn_connect_failure_text(address_.c_str()));
        start_held_socket_release();
    }
    // No call is running: each holds a reference to its Module.
    ~Module() {
        if (handle_ >= 0) vrn_close(handle_);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    void close() {
        if (handle_ < 0) return;
        Turn turn(lock_);
        if (handle_ < 0) return;  // closed by another thread meanwhile
        const int h = handle_;
        handle_ = -1;
        py::gil_scoped_release release;
        vrn_close(h);
    }
    bool closed() const { return handle_ < 0; }
    const std::string& address() const { return address_; }

    std::string repr() const { return "<vrn.Module " + address_ + (closed() ? " closed" : "") + ">"; }

    py::list read_registers(int space, const py::object& address, long count, long step) {
        const RegSpace sp = space_arg(space, false);
        const std::uint32_t first = word_arg("address", address);
        count_arg("count", count, INT32_MAX / 4);
        count_arg("step", step, INT32_MAX);
        std::vector<std::uint32_t> words(static_cast<std::size_t>(count));
        Turn turn(lock_);
        const int h = usable();
        // Blocks of whole batches: on a clean link the requests are those of
        // one vrn_reg_read of the whole count.
        constexpr int kBlockBytes = VRN_RECOVER_MAX_BLOCK / REG_BATCH_BYTES * REG_BATCH_BYTES;
        const std::uint32_t advance = sp.step_factor * static_cast<std::uint32_t>(step);
        int failed_at = -1;
        run_long(
            h, [&] {
                for (long done = 0; done < count && failed_at < 0;) {
                    const int bytes = static_cast<int>(std::min<long>((count - done) * 4, kBlockBytes));
                    const std::uint32_t at = first + static_cast<std::uint32_t>(done) * advance;
                    if (vrn_recover_reg_read(h, space, at, &words[static_cast<std::size_t>(done)], bytes,
                                             static_cast<int>(step)) != 0)
                        failed_at = static_cast<int>(done);
                    done += bytes / 4;
                }
            },
            py::none());
        if (failed_at >= 0) {
            char text[128];
            std::snprintf(text, sizeof text, "Can't read register 0x%08X of space %d",
                          static_cast<unsigned>(first + static_cast<std::uint32_t>(failed_at) * advance), space);
            throw VrnFailure(text);
        }
        return py::cast(words);
    }

    void write_registers(int space, const py::object& address, const py::iterable& values, long step) {
        space_arg(space, true);
        const std::uint32_t first = word_arg("address", address);
        count_arg("step", step, INT32_MAX);
        std::vector<std::uint32_t> words;
        for (py::handle v : values) words.push_back(word_arg("value", v));
        if (words.size() > static_cast<std::size_t>(INT32_MAX / 4)) throw py::value_error("too many values");
        Turn turn(lock_);
        const int h = usable();
        int result;
        {
            py::gil_scoped_release release;
            result = vrn_reg_write(h, space, 0, 0, first, words.data(), static_cast<int>(words.size() * 4),
                                   static_cast<int>(step));
        }
        if (result != 0) {
            char text[128];
            std::snprintf(text, sizeof text, "Write of registers from 0x%08X of space %d was not acknowledged", first,
                          space);
            throw VrnFailure(text);
        }
    }

    py::bytes bus_read(const py::object& address, long count) {
        const std::uint32_t first = word_arg("address", address);
        count_arg("count", count, INT32_MAX);
        std::string data(static_cast<std::size_t>(count), '\0');
        Turn turn(lock_);
        const int h = usable();
        int result;
        {
            py::gil_scoped_release release;
            result = vrn_bus_read(h, BUS_DIRECT, 0, 0, first, data.data(), static_cast<int>(count));
        }
        if (result != 0) throw VrnFailure(bus_failure("read", first));
        return py::bytes(data);
    }

    // Each item is one exchange carrying the item's value as its data word,
    // as the flash driver writes a cell.
    void bus_write(const py::object& address, const py::object& data) {
        const std::uint32_t first = word_arg("address", address);
        std::vector<std::uint32_t> items;
        if (PyObject_CheckBuffer(data.ptr())) {
            for (std::uint8_t b : bytes_arg("data", data, INT32_MAX)) items.push_back(b);
        } else if (py::isinstance<py::iterable>(data) && !py::isinstance<py::str>(data)) {
            for (py::handle v : py::reinterpret_borrow<py::iterable>(data)) items.push_back(word_arg("item", v));
        } else {
            throw py::type_error("data must be bytes-like or a sequence of ints");
        }
        Turn turn(lock_);
        const int h = usable();
        std::size_t i = 0;
        {
            py::gil_scoped_release release;
            for (; i < items.size(); ++i)
                if (vrn_bus_write(h, BUS_DIRECT, 0, 0, first + 8 * static_cast<std::uint32_t>(i), &items[i], 1) != 0)
                    break;
        }
        if (i < items.size()) throw VrnFailure(bus_failure("write", first + 8 * static_cast<std::uint32_t>(i)));
    }

    FlashInfo flash() {
        Turn turn(lock_);
        identify("");
        return FlashInfo::of(info_);
    }

    py::bytes read(long sector, long offset, long count, const py::object& progress) {
        count_arg("sector", sector, INT32_MAX);
        count_arg("offset", offset, INT32_MAX);
        count_arg("count", count, VRN_RECOVER_MAX_CELLS);
        progress_arg(progress);
        Turn turn(lock_);
        const int s = usable_sector(sector, ", nothing read");
        if (offset + count > info_.sector_size) {
            throw VrnFailure("Cells " + std::to_string(offset) + " to " + std::to_string(offset + count - 1) +
                             " are beyond the " + std::to_string(info_.sector_size) + " cells of sector " +
                             std::to_string(s) + ", nothing read");
        }
        std::string data(static_cast<std::size_t>(count), '\0');
        int result = 0, failed = -1;
        const int h = handle_;
        run_long(
            h, [&] {
                VrnProgress p;
                vrn_progress_begin(&p, false, "read", count);
                result = vrn_recover_read(h, s, static_cast<int>(offset), reinterpret_cast<std::uint8_t*>(data.data()),
                                          static_cast<int>(count), &p, &failed);
            },
            progress);
        if (result != 0)
            throw VrnFailure(vrn_read_failure_text(s, failed < 0 ? -1 : static_cast<int>(offset) + failed, ""));
        return py::bytes(data);
    }

    WriteReport write(long sector, const py::object& data, bool skip_erased, bool changed_only,
                      const py::object& progress) {
        count_arg("sector", sector, INT32_MAX);
        std::vector<std::uint8_t> image = bytes_arg("data", data, VRN_IMAGE_BYTES);
        progress_arg(progress);
        const int flags = (skip_erased ? VRN_WRITE_SKIP_ERASED : 0) | (changed_only ? VRN_WRITE_CHANGED_ONLY : 0);
        Turn turn(lock_);
        const int s = usable_sector(sector, ", nothing erased");
        VrnWriteReport report{};
        const int h = handle_;
        run_long(
            h, [&] {
                vrn_recover_write(h, s, image.data(), static_cast<int>(image.size()), flags, &report);
            },
            progress);
        if (report.status != VRN_WRITE_OK) throw VrnFailure(vrn_write_failure_text(report, s));
        return {report.unchanged != 0, report.erased != 0, report.cells_programmed};
    }

    // The record's bytes as they lie in the flash, read as vrnstat reads them.
    py::bytes read_record(const std::string& name) {
        const VrnRecordLayout& layout = layout_named(name);
        Turn turn(lock_);
        identify("");
        std::vector<std::uint8_t> record(static_cast<std::size_t>(layout.bytes));
        int result = 0;
        const int h = handle_;
        run_long(
            h, [&] {
                result = vrn_recover_read(h, layout.sector, 0, record.data(), layout.bytes, nullptr);
            },
            py::none());
        if (result != 0) throw VrnFailure(vrn_record_read_failure_text(layout));
        return py::bytes(reinterpret_cast<const char*>(record.data()), record.size());
    }

private:
    // The handle, unless the Module is closed. Under the Module's lock.
    int usable() const {
        if (handle_ < 0) throw VrnFailure("The connection to " + address_ + " is closed");
        return handle_;
    }

    // Identifies the chip once per Module, as the programs do once per run;
    // later flash operations use what was found. consequence follows the
    // reason of a failure (", nothing erased").
    void identify(const char* consequence) {
        const int h = usable();
        if (!identified_) {
            int agreed = 0;
            run_long(h, [&] { agreed = vrn_recover_identify(h, &info_); }, py::none());
            std::string why = vrn_identify_failure_text(agreed, consequence);
            if (!why.empty()) throw VrnFailure(why);
            identified_ = true;
        }
    }

    int usable_sector(long sector, const char* consequence) {
        identify(consequence);
        std::string why;
        if (vrn_chip_check(0, info_, sector, consequence, &why) != VRN_CHIP_OK) throw VrnFailure(why);
        return static_cast<int>(sector);
    }

    static std::string bus_failure(const char* what, std::uint32_t address) {
        char text[96];
        std::snprintf(text, sizeof text, "Bus %s at 0x%08X was not answered", what, static_cast<unsigned>(address));
        return text;
    }

    ModuleLock lock_;
    int handle_ = -1;
    std::string address_;
    bool identified_ = false;
    vrnFlashInfo info_{};
};

}  // namespace

PYBIND11_MODULE(_vrn, m) {
    m.doc() = "The VRN module's library: connections, registers, bus, flash and records";

    py::register_exception<VrnFailure>(m, "VrnError").attr("__doc__") =
        "A call to the module failed; the message is the reason the programs give";

    py::class_<FlashInfo>(m, "FlashInfo", "The flash chip's description")
        .def_readonly("vendor", &FlashInfo::vendor, "maker code")
        .def_readonly("device", &FlashInfo::device, "device code")
        .def_readonly("sector_size", &FlashInfo::sector_size, "cells per sector")
        .def_readonly("sector_count", &FlashInfo::sector_count, "number of sectors")
        .def_readonly("width", &FlashInfo::width, "data width in bits, 8 or 16")
        .def(py::self == py::self)
        .def("__repr__", [](const FlashInfo& f) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "FlashInfo(vendor=0x%02X, device=0x%02X, sector_size=0x%X, sector_count=%d, width=%d)",
                          static_cast<unsigned>(f.vendor), static_cast<unsigned>(f.device),
                          static_cast<unsigned>(f.sector_size), f.sector_count, f.width);
            return std::string(text);
        });

    py::class_<WriteReport>(m, "WriteReport", "What a write did")
        .def_readonly("unchanged", &WriteReport::unchanged, "the sector already held the image: nothing written")
        .def_readonly("erased", &WriteReport::erased, "the sector was erased")
        .def_readonly("cells_programmed", &WriteReport::cells_programmed, "bytes programmed, over all passes")
        .def(py::self == py::self)
        .def("__repr__", [](const WriteReport& r) {
            return std::string("WriteReport(unchanged=") + (r.unchanged ? "True" : "False") +
                   ", erased=" + (r.erased ? "True" : "False") +
                   ", cells_programmed=" + std::to_string(r.cells_programmed) + ")";
        });

    py::class_<Module>(m, "Module", "A connection to a module at ip and its base port")
        .def(py::init<const std::string&, int, bool, const py::object&, int>(), py::arg("ip"), py::arg("port"),
             py::kw_only(), py::arg("probe") = false, py::arg("wait") = py::none(), py::arg("in_flight") = 1)
        .def("close", &Module::close)
        .def_property_readonly("closed", &Module::closed)
        .def_property_readonly("address", &Module::address)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Module& self, const py::args&) { self.close(); return false; })
        .def("__repr__", &Module::repr)
        .def("read_registers", &Module::read_registers, py::arg("space"), py::arg("address"), py::arg("count"),
             py::kw_only(), py::arg("step") = 1)
        .def("write_registers", &Module::write_registers, py::arg("space"), py::arg("address"), py::arg("values"),
             py::kw_only(), py::arg("step") = 1)
        .def("bus_read", &Module::bus_read, py::arg("address"), py::arg("count"))
        .def("bus_write", &Module::bus_write, py::arg("address"), py::arg("data"))
        .def_property_readonly("flash", &Module::flash)
        .def("read", &Module::read, py::arg("sector"), py::arg("offset"), py::arg("count"), py::kw_only(),
             py::arg("progress") = py::none())
        .def("write", &Module::write, py::arg("sector"), py::arg("data"), py::kw_only(),
             py::arg("skip_erased") = false, py::arg("changed_only") = false, py::arg("progress") = py::none())
        .def("_read_record", &Module::read_record, py::arg("name"));

    m.def("load_data_file", &load_data_file, py::arg("path"));
    m.def("save_data_file", &save_data_file, py::arg("path"), py::arg("data"), py::kw_only(),
          py::arg("comment") = "");
    m.def("_record_layout", &record_layout);
    m.def("_record_decode", &record_decode);
    m.def("_record_encode", &record_encode);
    m.def("_record_check", &record_check);
    m.def("_record_text", &record_text);
}
