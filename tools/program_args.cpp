// Command line checks shared by the programs.
#include "program_args.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "link/link_health.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of a run of decimal digits that makes up all of text, or -1
// when text is empty, holds anything else, or exceeds limit.
long decimal_value(const char* text, long limit) {
    if (!text || !*text) return -1;
    long value = 0;
    for (const char* p = text; *p; ++p) {
        if (!is_digit(*p)) return -1;
        int d = *p - '0';
        // Checked before it is computed: long has 32 bits on Windows.
        if (value > (limit - d) / 10) return -1;
        value = value * 10 + d;
    }
    return value;
}

}  // namespace

bool vrn_dotted_value(const char* text, std::uint32_t* ip) {
    if (!text) return false;
    const char* p = text;
    std::uint32_t word = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') return false;
        int digits = 0;
        int value = 0;
        while (digits < 4 && is_digit(p[digits])) {
            value = value * 10 + (p[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && p[0] == '0')) return false;
        word = word << 8 | static_cast<std::uint32_t>(value);
        p += digits;
    }
    if (*p != '\0') return false;
    *ip = word;
    return true;
}

bool vrn_is_dotted_ipv4(const char* text) {
    std::uint32_t ip = 0;
    return vrn_dotted_value(text, &ip);
}

std::string vrn_ip_text(std::uint32_t ip) {
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." + std::to_string((ip >> 8) & 0xFF) +
           "." + std::to_string(ip & 0xFF);
}

int vrn_port_value(const char* text) {
    long v = decimal_value(text, 65535);
    return v >= 1 ? static_cast<int>(v) : -1;
}

long vrn_sector_value(const char* text) { return decimal_value(text, INT_MAX); }

int vrn_join_address_args(const char* ip, const char* port, char* address, std::FILE* errors) {
    std::size_t ip_len = std::strlen(ip);
    std::size_t port_len = std::strlen(port);
    if (ip_len + 1 + port_len >= VRN_ADDRESS_BUFFER) {
        std::fprintf(errors, "### ERROR: Address <ip>:<port> is longer than %d characters\n",
                     static_cast<int>(VRN_ADDRESS_BUFFER - 1));
        return -1;
    }
    if (!vrn_is_dotted_ipv4(ip)) {
        std::fprintf(errors, "### ERROR: Bad IP address %s (dotted IPv4 address expected)\n", ip);
        return -1;
    }
    if (vrn_port_value(port) < 0) {
        std::fprintf(errors, "### ERROR: Bad port %s (1..65535 expected)\n", port);
        return -1;
    }
    // The length is checked above, so nothing is cut.
    int n = std::snprintf(address, VRN_ADDRESS_BUFFER, "%s:%s", ip, port);
    return n > 0 && static_cast<std::size_t>(n) < VRN_ADDRESS_BUFFER ? 0 : -1;
}

long vrn_sector_arg(const char* text) {
    long v = vrn_sector_value(text);
    if (v < 0) {
        std::printf("### ERROR: Bad sector %s (non-negative decimal number expected)\n", text);
    }
    return v;
}

int vrn_wait_arg(const char* text) {
    if (text && std::strcmp(text, "auto") == 0) return VRN_WAIT_AUTO;
    long v = decimal_value(text, VRN_WAIT_MAX_MS);
    if (v >= 1) return static_cast<int>(v);
    std::printf("### ERROR: Bad wait %s (auto, or 1..%d milliseconds expected)\n", text ? text : "",
                VRN_WAIT_MAX_MS);
    return -2;
}

int vrn_option_value(int argc, char** argv, int* i, const char* name, const char* expected, const char** value) {
    const char* arg = argv[*i];
    const std::size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) == 0 && arg[n] == '=') {
        *value = arg + n + 1;
        return 1;
    }
    if (std::strcmp(arg, name) != 0) return 0;
    if (*i + 1 >= argc) {
        std::printf("### ERROR: %s needs a value (%s)\n", name, expected);
        return -1;
    }
    *value = argv[++*i];
    return 1;
}

int vrn_take_wait_option(int argc, char** argv, int* i, int* wait) {
    const char* value = nullptr;
    const int taken = vrn_option_value(argc, argv, i, "--wait", "auto, or milliseconds", &value);
    if (taken <= 0) return taken;
    const int w = vrn_wait_arg(value);
    if (w == -2) return -1;
    *wait = w;
    return 1;
}

int vrn_in_flight_arg(const char* text) {
    const long v = decimal_value(text, VRN_MAX_IN_FLIGHT);
    if (v >= 1) return static_cast<int>(v);
    std::printf("### ERROR: Bad in-flight count %s (1..%d reads at once expected)\n", text ? text : "",
                VRN_MAX_IN_FLIGHT);
    return -1;
}

int vrn_take_in_flight_option(int argc, char** argv, int* i, int* in_flight) {
    const char* value = nullptr;
    const int taken = vrn_option_value(argc, argv, i, "--in-flight", "reads at once", &value);
    if (taken <= 0) return taken;
    const int n = vrn_in_flight_arg(value);
    if (n < 0) return -1;
    *in_flight = n;
    return 1;
}

int vrn_refuse_late_options(int argc, char** argv, int first, const char* program) {
    for (int i = first; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) != 0) continue;
        std::printf("### ERROR: Option %s after the arguments: options go before <ip> (%s --help lists them)\n",
                    argv[i], program);
        return -1;
    }
    return 0;
}

bool vrn_shell_word(const std::string& text, std::string* word) {
    auto bare = [](unsigned char c) {
        if (c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
#ifdef _WIN32
        return c != 0 && std::strchr("_-.\\/:@+", c) != nullptr;  // cmd.exe splits words at , ; =
#else
        return c != 0 && std::strchr("_-./:@%+=,", c) != nullptr;
#endif
    };
    auto control = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
#ifdef _WIN32
    // Inside double quotes cmd.exe takes everything literally but % and ".
    const char* const not_in_double_quotes = "%\"";
#else
    const char* const not_in_double_quotes = "$`\"\\!";
#endif
    bool plain = !text.empty(), double_quoted = true;
    for (unsigned char c : text) {
        plain = plain && bare(c);
        if (control(c) || std::strchr(not_in_double_quotes, c)) double_quoted = false;
    }
    if (plain) {
        *word = text;
    } else if (double_quoted) {
        *word = "\"" + text + "\"";
    } else {
#ifdef _WIN32
        return false;
#else
        // Nothing is special inside single quotes; a quote itself ends
        // them, is given escaped, and they begin again.
        std::string quoted(1, '\'');
        for (char c : text) {
            if (c == '\'') {
                quoted += "'\\''";
            } else {
                quoted += c;
            }
        }
        quoted += '\'';
        *word = std::move(quoted);
#endif
    }
    return true;
}

int vrn_file_name_arg(const char* text, char* name) {
    std::size_t len = std::strlen(text);
    if (len >= VRN_FILE_NAME_BUFFER) {
        std::printf("### ERROR: Data file name is longer than %d characters\n",
                    static_cast<int>(VRN_FILE_NAME_BUFFER - 1));
        return -1;
    }
    std::memcpy(name, text, len + 1);
    return 0;
}

bool vrn_stdout_usable() {
#ifndef _WIN32
    // Standard input is left alone: a closed one must stay a failed open
    // of /dev/stdin, never an empty data file.
    bool out_closed = false;
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        out_closed = out_closed || fd == STDOUT_FILENO;
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    if (out_closed) {
        std::fprintf(stderr, "### ERROR: Can't write standard output: it is closed\n");
        return false;
    }
#endif
    return true;
}

int vrn_stdout_status(int status, int failed) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && !std::ferror(stdout)) return status;
    std::fprintf(stderr, "### ERROR: Can't write standard output: %s\n",
                 !flushed && error != 0 ? std::strerror(error) : "a write failed");
    return status != 0 ? status : failed;
}

int vrn_run_main(int (*body)(int, char**), int argc, char** argv, int failed) noexcept {
    if (!vrn_stdout_usable()) return failed;
    int status = -1;
    try {
        status = body(argc, argv);
    } catch (const std::exception& e) {
        std::printf("### ERROR: %s\n", e.what());
    } catch (...) {
        std::printf("### ERROR: unexpected failure\n");
    }
    return vrn_stdout_status(status, failed);
}
