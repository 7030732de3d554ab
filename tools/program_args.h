// Command line checks shared by vrnprog and vrnstat. Each check prints a
// "### ERROR: " line and returns -1 when it refuses an argument, so that
// the programs stop before they connect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Room for the joined "ip:port" text and for the data file name, each with
// its terminator.
constexpr std::size_t VRN_ADDRESS_BUFFER = 128;
constexpr std::size_t VRN_FILE_NAME_BUFFER = 256;

// Four decimal parts 0..255 without leading zeros (inet_addr would read
// "010" as octal and reach another host).
bool vrn_is_dotted_ipv4(const char* text);
// The same check, giving the address as a word in host byte order (the
// first part in the top byte); false when text is not one.
bool vrn_dotted_value(const char* text, std::uint32_t* ip);
// "a.b.c.d" of such a word.
std::string vrn_ip_text(std::uint32_t ip);
// Decimal digits only, 1..65535; returns the port or -1.
int vrn_port_value(const char* text);
// Decimal digits only, no sign, at most INT_MAX; returns the value or -1.
long vrn_sector_value(const char* text);

// Checks ip and port and joins them with "%s:%s" into address (size
// VRN_ADDRESS_BUFFER). 0, or -1 after the error line on `errors`.
int vrn_join_address_args(const char* ip, const char* port, char* address, std::FILE* errors = stdout);
// Checks the sector argument; the sector, or -1 after the error line.
long vrn_sector_arg(const char* text);
// The value of a --wait option: "auto" gives VRN_WAIT_AUTO, decimal
// milliseconds 1..4000 that wait; -2 after the error line. (-2, because
// VRN_WAIT_AUTO is -1.)
int vrn_wait_arg(const char* text);
// Takes a --wait option at argv[*i] ("--wait X" or "--wait=X"), for the
// programs that read their options by hand: 1 when taken (*i moved to its
// value, *wait set), 0 when argv[*i] is another option, -1 after the error
// line.
int vrn_take_wait_option(int argc, char** argv, int* i, int* wait);
// The value of an --in-flight option: 1..VRN_MAX_IN_FLIGHT reads kept in
// flight at once; -1 after the error line.
int vrn_in_flight_arg(const char* text);
// Takes an --in-flight option at argv[*i], as vrn_take_wait_option takes
// --wait.
int vrn_take_in_flight_option(int argc, char** argv, int* i, int* in_flight);
// The value of option name at argv[*i], given as "NAME V" or "NAME=V": 1
// with *value (i past it), 0 when argv[*i] is another option, -1 after the
// line saying the value is missing (expected: what it should be).
int vrn_option_value(int argc, char** argv, int* i, const char* name, const char* expected, const char** value);

// The words after the positional arguments (argv[first..]) are ignored,
// as ever, but an option among them is refused: taken for nothing, a late
// --backup would leave the user believing a backup exists. 0, or -1 after
// the error line.
int vrn_refuse_late_options(int argc, char** argv, int first, const char* program);

// Copies the file name into name (size VRN_FILE_NAME_BUFFER). 0, or -1
// after the error line.
int vrn_file_name_arg(const char* text, char* name);

// Standard output is for results that scripts keep (`vrnrec ... > new.dat`,
// then `vrnprog ... new.dat`): a full disk or a closed output reported as
// success would let the next step erase a sector with an empty file.
//
// At the start: false after a "### ERROR: " line on standard error when
// standard output is closed. A closed standard output or error is taken by
// the null device first, so that no socket or output file opened later
// gets its descriptor and the program's text.
bool vrn_stdout_usable();
// At the end: flushes standard output; status when everything written
// reached it, else failed after a "### ERROR: " line on standard error
// (status itself when that is already a failure).
int vrn_stdout_status(int status, int failed);

// text as one word of a command line pasted into a shell (POSIX sh, or
// cmd.exe on Windows): as it is when nothing in it is special; in double
// quotes when only blanks and the like are (as the lines printed always
// had it); else, on POSIX, in single quotes, so that no $, backquote,
// backslash or quote in a file name runs or breaks anything. False when no
// quoting keeps it one literal word (cmd.exe expands %NAME% even in quotes).
bool vrn_shell_word(const std::string& text, std::string* word);

// Runs a program's body between those two checks, failed the status of an
// output that could not be written; an exception that reaches here (out
// of memory, say) is a "### ERROR: " line and -1 rather than an abort.
int vrn_run_main(int (*body)(int, char**), int argc, char** argv, int failed = -1) noexcept;
