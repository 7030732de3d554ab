// Command line checks shared by vrnprog and vrnstat. Each check prints a
// "### ERROR: " line and returns -1 when it refuses an argument, so that
// the programs stop before they connect.
#pragma once

#include <cstddef>
#include <cstdint>
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
// VRN_ADDRESS_BUFFER). 0, or -1 after the error line.
int vrn_join_address_args(const char* ip, const char* port, char* address);
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

// Copies the file name into name (size VRN_FILE_NAME_BUFFER). 0, or -1
// after the error line.
int vrn_file_name_arg(const char* text, char* name);

// Runs a program's body; an exception that reaches here (out of memory,
// say) is a "### ERROR: " line and -1 rather than an abort.
int vrn_run_main(int (*body)(int, char**), int argc, char** argv) noexcept;
