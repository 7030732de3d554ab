// vrnrec: composes and shows the module's flash records, ICR and NetCfg, as
// data files, without a module: a dump edited field by field, written back
// with vrnprog, instead of record bytes computed by hand.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli_args.h"
#include "data_file.h"
#include "dump_file.h"
#include "file_output.h"
#include "info_records.h"
#include "program_args.h"

namespace {

enum : int {
    EXIT_BAD_COMMAND = -1,  // a bad option or value
    EXIT_BAD_INPUT = -2,    // a data file that cannot be read or has the wrong size
    EXIT_NOT_WRITTEN = -3,  // the output file cannot be written
};

// A refusal: the text of its "### ERROR: " line and the exit status.
struct Refusal {
    int status;
    std::string message;
};

[[noreturn]] void refuse(int status, const std::string& message) { throw Refusal{status, message}; }

// A record as it lies in the flash: its words big-endian.
using Record = std::vector<std::uint8_t>;

const VrnRecordField& field_named(const VrnRecordLayout& layout, const char* name) {
    for (int i = 0; i < layout.field_count; ++i)
        if (std::strcmp(layout.fields[i].name, name) == 0) return layout.fields[i];
    refuse(EXIT_BAD_COMMAND, std::string("no field ") + name + " in the " + layout.name + " record");
}

// --- values from the command line ----------------------------------------

std::uint32_t hex_word(const std::string& option, const std::string& text) {
    std::size_t at = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    std::uint32_t v = 0;
    bool ok = text.size() > at && text.size() - at <= 8;
    for (std::size_t i = at; ok && i < text.size(); ++i) {
        char c = text[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        ok = d >= 0;
        v = v << 4 | static_cast<std::uint32_t>(d & 0xF);
    }
    if (!ok) refuse(EXIT_BAD_COMMAND, "Bad " + option + " " + text + " (hexadecimal word expected, e.g. 0x4E434647)");
    return v;
}

std::uint32_t decimal_word(const std::string& option, const std::string& text, long min, long max,
                           const char* why) {
    long v = vrn_sector_value(text.c_str());  // decimal digits only, up to INT_MAX
    if (v < min || v > max)
        refuse(EXIT_BAD_COMMAND, "Bad " + option + " " + text + " (" + std::to_string(min) + ".." +
                                     std::to_string(max) + " expected" + (why ? std::string(": ") + why : "") + ")");
    return static_cast<std::uint32_t>(v);
}

std::string dotted(std::uint32_t w) {
    return std::to_string(w >> 24) + "." + std::to_string(w >> 16 & 0xFF) + "." + std::to_string(w >> 8 & 0xFF) + "." +
           std::to_string(w & 0xFF);
}

// The four bytes of a dotted address, in stored order, as one word: an
// address one host can have (not 0.0.0.0, the broadcast address or a
// multicast one), or a network mask.
std::uint32_t address_word(const std::string& option, const std::string& text, bool mask) {
    if (!vrn_is_dotted_ipv4(text.c_str()))
        refuse(EXIT_BAD_COMMAND, "Bad " + option + " " + text + " (dotted IPv4 address expected)");
    std::uint32_t w = 0;
    const char* p = text.c_str();
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        w = w << 8 | static_cast<std::uint32_t>(std::strtoul(p, &end, 10));
        p = end + 1;
    }
    // A mask is ones, then zeros: anything else cuts the module off its net,
    // and so do no ones (every address on the net) and no zeros (not even
    // the gateway on it).
    std::uint32_t host_bits = ~w;
    if (mask && ((host_bits & (host_bits + 1)) != 0 || w == 0 || host_bits == 0))
        refuse(EXIT_BAD_COMMAND, "Bad " + option + " " + text + " (a network mask such as 255.255.255.0 expected)");
    const bool multicast = (w >> 28) == 0xE;  // 224.0.0.0 to 239.255.255.255
    if (!mask && (w == 0 || w == 0xFFFFFFFFu || multicast))
        refuse(EXIT_BAD_COMMAND, "Bad " + option + " " + text +
                                     " (the address of one host expected, not 0.0.0.0, a broadcast or a multicast "
                                     "address)");
    return w;
}

struct Date {
    std::uint32_t day, month, year;
};

Date date_value(const std::string& option, const std::string& text) {
    auto digits = [&](std::size_t at, std::size_t n) {
        std::uint32_t v = 0;
        for (std::size_t i = at; i < at + n; ++i) v = v * 10 + static_cast<std::uint32_t>(text[i] - '0');
        return v;
    };
    bool shape = text.size() == 10 && text[4] == '-' && text[7] == '-';
    for (std::size_t i = 0; shape && i < text.size(); ++i)
        shape = i == 4 || i == 7 || (text[i] >= '0' && text[i] <= '9');
    Date d{};
    if (shape) d = {digits(8, 2), digits(5, 2), digits(0, 4)};
    static const std::uint32_t kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = d.year % 4 == 0 && (d.year % 100 != 0 || d.year % 400 == 0);
    bool valid = shape && d.year >= 1 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
                 d.day <= kDays[d.month - 1] && (d.month != 2 || d.day <= 28 || leap);
    if (!valid) refuse(EXIT_BAD_COMMAND, "Bad " + option + " " + text + " (a date YYYY-MM-DD expected)");
    return d;
}

// --- the options of a record ------------------------------------------------

enum class Kind { Hex, Decimal, Address, Mask, Date, Comment };

struct FieldOption {
    const char* option;
    const char* field;  // the field it sets (Date: DAY, then MON and YEAR)
    Kind kind;
    const char* help;
    long min, max;      // Decimal only
    const char* why = nullptr;  // said with a value out of range
};

constexpr long WORD_MAX = 2147483647L;

const FieldOption kNetcfgOptions[] = {
    {"--sig", "SIG", Kind::Hex, "SIG word, hexadecimal (0x optional)", 0, 0},
    {"--ip", "IP", Kind::Address, "the module's IP address, dotted decimal", 0, 0},
    {"--mask", "MASK", Kind::Mask, "network mask, dotted decimal", 0, 0},
    {"--gate", "GATE", Kind::Address, "gateway address, dotted decimal", 0, 0},
    {"--port", "PORT", Kind::Decimal, "control port, 1..65532: the module also takes the three above it", 1, 65532,
     "the module takes the port and the three above it"},
    {"--timeout", "TIMEOUT", Kind::Decimal, "TIMEOUT word, 0..2147483647", 0, WORD_MAX},
    {"--comment", "COMMENT", Kind::Comment, "comment text, at most 127 characters", 0, 0},
};

const FieldOption kIcrOptions[] = {
    {"--sig", "SIG", Kind::Hex, "SIG word, hexadecimal (0x optional)", 0, 0},
    {"--size", "SIZE", Kind::Decimal, "SIZE word, 0..2147483647", 0, WORD_MAX},
    {"--serial", "SERIAL", Kind::Decimal, "serial number, 0..2147483647", 0, WORD_MAX},
    {"--type", "TYPE", Kind::Hex, "TYPE word, hexadecimal", 0, 0},
    {"--ver", "VER", Kind::Hex, "VER word, hexadecimal", 0, 0},
    {"--devid", "DEVID", Kind::Hex, "DEVID word, hexadecimal", 0, 0},
    {"--date", "DAY", Kind::Date, "date YYYY-MM-DD: the DAY, MON and YEAR words", 0, 0},
    {"--comment", "COMMENT", Kind::Comment, "comment text, at most 127 characters", 0, 0},
};

void set_word(Record& r, const VrnRecordLayout& layout, const char* field, std::uint32_t value) {
    store_word_be(r.data() + field_named(layout, field).offset, value);
}

void apply(Record& r, const VrnRecordLayout& layout, const FieldOption& o, const std::string& text) {
    switch (o.kind) {
    case Kind::Hex: set_word(r, layout, o.field, hex_word(o.option, text)); break;
    case Kind::Decimal: set_word(r, layout, o.field, decimal_word(o.option, text, o.min, o.max, o.why)); break;
    case Kind::Address:
    case Kind::Mask: set_word(r, layout, o.field, address_word(o.option, text, o.kind == Kind::Mask)); break;
    case Kind::Date: {
        Date d = date_value(o.option, text);
        set_word(r, layout, "DAY", d.day);
        set_word(r, layout, "MON", d.month);
        set_word(r, layout, "YEAR", d.year);
        break;
    }
    case Kind::Comment: {
        // The field ends in a NUL, and every byte after the text is one.
        if (text.size() >= static_cast<std::size_t>(VRN_COMMENT_BYTES))
            refuse(EXIT_BAD_COMMAND, std::string(o.option) + " is " + std::to_string(text.size()) +
                                         " characters long; the field holds " +
                                         std::to_string(VRN_COMMENT_BYTES - 1) + " and a NUL");
        // vrnstat prints the comment as it is: a control character would act
        // on the terminal (a line feed, an escape sequence).
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c == 0x7F) {
                char code[8];
                std::snprintf(code, sizeof code, "0x%02X", c);
                refuse(EXIT_BAD_COMMAND, std::string(o.option) + " holds a control character (" + code +
                                             " at character " + std::to_string(i + 1) + ")");
            }
        }
        std::uint8_t* at = r.data() + field_named(layout, o.field).offset;
        std::fill_n(at, VRN_COMMENT_BYTES, std::uint8_t{0});
        std::copy(text.begin(), text.end(), at);
        break;
    }
    }
}

// --- data files ---------------------------------------------------------------

// The bytes of a data file, parsed as vrnprog parses it.
Record read_data_file(const std::string& path) {
    std::vector<std::uint8_t> image(VRN_IMAGE_BYTES);
    std::FILE* f = std::fopen(path.c_str(), "rt");
    if (!f) refuse(EXIT_BAD_INPUT, "Can't open data file " + path);
    int count = vrn_parse_data_file(f, image.data());
    std::fclose(f);
    // The too-big error has printed its own line.
    if (count == VRN_PARSE_TOO_BIG) throw Refusal{EXIT_BAD_INPUT, ""};
    image.resize(static_cast<std::size_t>(count));
    return image;
}

std::string wrong_size(const std::string& path, std::size_t bytes, const VrnRecordLayout& layout) {
    return path + " holds " + std::to_string(bytes) + " bytes; " + layout.name + " records have " +
           std::to_string(layout.bytes);
}

// A record with its leading words in host order, for the printers.
Record converted(const Record& r, const VrnRecordLayout& layout) {
    Record c(r.begin(), r.begin() + layout.bytes);
    swap_words_to_host(c.data(), c.data(), layout.words);
    return c;
}

std::string comment_note(const std::uint8_t* comment) {
    std::size_t len = 0;
    while (len < static_cast<std::size_t>(VRN_COMMENT_BYTES) && comment[len] != 0) ++len;
    std::string note = "COMMENT \"" + std::string(reinterpret_cast<const char*>(comment), len) + "\"";
    std::size_t rest = VRN_COMMENT_BYTES - len;
    bool nul_filled = true;
    for (std::size_t i = len; i < static_cast<std::size_t>(VRN_COMMENT_BYTES); ++i) nul_filled &= comment[i] == 0;
    if (rest == 0) return note + ", " + std::to_string(len) + " bytes without NUL";
    if (nul_filled) return note + ", then " + std::to_string(rest) + " NUL bytes";
    return note + ", then a NUL and " + std::to_string(rest - 1) + " bytes kept as they were";
}

// The record as a data file: a header, and each field's value as vrnstat
// would print it above the field's bytes.
std::string record_text(const Record& r, const VrnRecordLayout& layout, const std::string& from,
                        const std::string& out) {
    std::vector<VrnDataNote> notes;
    notes.push_back({0, std::string(layout.name) + " record: " + std::to_string(layout.bytes) +
                            " bytes for cell 0 of flash sector " + std::to_string(layout.sector) +
                            ".\nMade by vrnrec" + (from.empty() ? "" : " from " + from) +
                            ". Write it with\n    vrnprog <ip> <port> " + std::to_string(layout.sector) + " " +
                            (out.empty() ? "<file>" : out) +
                            "\nOne byte per line; the 32-bit words are stored most significant byte first."});
    Record host = converted(r, layout);
    for (int i = 0; i < layout.field_count; ++i) {
        const VrnRecordField& f = layout.fields[i];
        if (f.kind == VrnFieldKind::Comment) {
            notes.push_back({f.offset, comment_note(r.data() + f.offset)});
            continue;
        }
        char value[VRN_COMMENT_BYTES + 1] = "";
        format_field_value(value, sizeof value, f, host.data());
        std::string note = std::string(f.name) + " " + value;
        // A word of four letters is usually meant as text ("NCFG").
        const std::uint8_t* b = r.data() + f.offset;
        if (f.kind == VrnFieldKind::HexWord && std::isalnum(b[0]) && std::isalnum(b[1]) && std::isalnum(b[2]) &&
            std::isalnum(b[3]))
            note += " (\"" + std::string(reinterpret_cast<const char*>(b), 4) + "\")";
        notes.push_back({f.offset, note});
    }
    return vrn_data_file_text(r.data(), layout.bytes, notes);
}

// A --from file must be the record it is taken for: a dump of another
// sector, or another record of the same size, would be written back as
// this one.
void check_from(const std::string& from, const Record& r, const VrnRecordLayout& layout) {
    const long sector = vrn_dump_file_sector(from);
    if (sector >= 0 && sector != layout.sector)
        refuse(EXIT_BAD_INPUT, from + " is a dump of flash sector " + std::to_string(sector) + "; the " + layout.name +
                                   " record lies in sector " + std::to_string(layout.sector) +
                                   " (--force takes it all the same)");
    if (!vrn_record_signed(layout, r.data())) {
        char sig[16];
        std::snprintf(sig, sizeof sig, "0x%08X", static_cast<unsigned>(load_word_be(r.data())));
        refuse(EXIT_BAD_INPUT, from + " does not carry the " + layout.name + " signature \"" + layout.signature +
                                   "\" (its SIG is " + sig + "; --force takes it all the same)");
    }
}

// The module's address and gateway against its subnet, once every option is
// in: neither may be the subnet's broadcast address; a gateway outside the
// subnet is allowed (the module may know better) but named.
void check_subnet(const Record& r, const VrnRecordLayout& layout) {
    auto word = [&](const char* field) { return load_word_be(r.data() + field_named(layout, field).offset); };
    const std::uint32_t ip = word("IP"), mask = word("MASK"), gate = word("GATE"), host_bits = ~mask;
    // A subnet of two addresses (a /31 mask) has no broadcast address.
    for (const char* field : {"IP", "GATE"}) {
        if (host_bits > 1 && (word(field) & host_bits) == host_bits)
            refuse(EXIT_BAD_COMMAND, std::string(field) + " " + dotted(word(field)) +
                                         " is the broadcast address of its subnet (MASK " + dotted(mask) + ")");
    }
    if ((ip & mask) != (gate & mask))
        std::fprintf(stderr, "warning: GATE %s is outside the subnet of IP %s (MASK %s)\n", dotted(gate).c_str(),
                     dotted(ip).c_str(), dotted(mask).c_str());
}

// --- the subcommands ------------------------------------------------------------

struct RecordCommand {
    template <std::size_t N>
    RecordCommand(const VrnRecordLayout& l, const FieldOption (&o)[N]) : layout(&l), options(o), option_count(int(N)) {}
    const VrnRecordLayout* layout;
    const FieldOption* options;
    int option_count;
    CLI::App* app = nullptr;
    std::vector<std::string> values;
    std::string from, out;
    bool force = false;
};

const char* type_name(Kind kind) {
    switch (kind) {
    case Kind::Hex: return "X";
    case Kind::Decimal: return "N";
    case Kind::Address:
    case Kind::Mask: return "A";
    case Kind::Date: return "YYYY-MM-DD";
    case Kind::Comment: return "TEXT";
    }
    return "";
}

void add_record_command(CLI::App& app, RecordCommand& cmd, const char* name, const char* description) {
    cmd.app = app.add_subcommand(name, description);
    cmd.values.resize(static_cast<std::size_t>(cmd.option_count));
    cmd.app->add_option("--from", cmd.from, "start from this data file (a dump, say): every field not given is kept")
        ->type_name("FILE");
    cmd.app->add_flag("--force", cmd.force,
                      std::string("take a --from file that is not a ") + cmd.layout->name +
                          " record: another signature, or a dump of another sector");
    for (int i = 0; i < cmd.option_count; ++i) {
        const FieldOption& o = cmd.options[i];
        cmd.app->add_option(o.option, cmd.values[static_cast<std::size_t>(i)], o.help)->type_name(type_name(o.kind));
    }
    cmd.app->add_option("-o,--output", cmd.out, "write the data file here; without -o it goes to standard output")
        ->type_name("FILE");
    cmd.app->footer("Without --from every field but --comment must be given; a new comment fills the rest\n"
                    "of its field with NUL bytes. A --from file must carry the record's signature and, when\n"
                    "it is a dump, come from the record's sector, unless --force is given. Nothing is\n"
                    "written when anything is refused: the file is written under a temporary name and\n"
                    "renamed into place when complete.");
}

int run_record_command(const RecordCommand& cmd) {
    const VrnRecordLayout& layout = *cmd.layout;
    Record r(static_cast<std::size_t>(layout.bytes), 0);
    std::string missing;
    for (int i = 0; i < cmd.option_count; ++i) {
        const FieldOption& o = cmd.options[i];
        if (o.kind != Kind::Comment && cmd.app->count(o.option) == 0) missing += std::string(" ") + o.option;
    }
    if (cmd.from.empty() && !missing.empty())
        refuse(EXIT_BAD_COMMAND, "Without --from, every field but --comment must be given; missing:" + missing);
    if (!cmd.from.empty()) {
        r = read_data_file(cmd.from);
        if (r.size() != static_cast<std::size_t>(layout.bytes))
            refuse(EXIT_BAD_INPUT, wrong_size(cmd.from, r.size(), layout));
        if (!cmd.force) check_from(cmd.from, r, layout);
    }
    bool addressed = false;
    for (int i = 0; i < cmd.option_count; ++i) {
        const FieldOption& o = cmd.options[i];
        if (cmd.app->count(o.option) == 0) continue;
        apply(r, layout, o, cmd.values[std::size_t(i)]);
        addressed = addressed || o.kind == Kind::Address || o.kind == Kind::Mask;
    }
    if (addressed) check_subnet(r, layout);
    std::string text = record_text(r, layout, cmd.from, cmd.out);
    if (cmd.out.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    std::string error;
    if (vrn_write_file_whole(cmd.out, text, &error) != 0)
        refuse(EXIT_NOT_WRITTEN, "Can't write " + cmd.out + ": " + error);
    return 0;
}

int run_show(const std::string& as, const std::string& file) {
    Record r = read_data_file(file);
    const VrnRecordLayout* layout = nullptr;
    if (as == "netcfg") layout = &VRN_NETCFG_LAYOUT;
    else if (as == "icr") layout = &VRN_ICR_LAYOUT;
    else if (r.size() == static_cast<std::size_t>(VRN_NETCFG_BYTES)) layout = &VRN_NETCFG_LAYOUT;
    else if (r.size() == static_cast<std::size_t>(VRN_ICR_BYTES)) layout = &VRN_ICR_LAYOUT;
    else
        refuse(EXIT_BAD_INPUT, file + " holds " + std::to_string(r.size()) +
                                   " bytes: neither a NetCfg record (152) nor an ICR record (164); choose with --as");
    // A longer file (a dump of more cells) shows the record at its start.
    if (r.size() < static_cast<std::size_t>(layout->bytes)) refuse(EXIT_BAD_INPUT, wrong_size(file, r.size(), *layout));
    Record host = converted(r, *layout);
    print_record(stdout, *layout, host.data());
    return 0;
}

int run(int argc, char** argv) {
    CLI::App app{"Composes and shows the VRN module's flash records as data files, without a module:\n"
                 "the NetCfg record (152 bytes, sector 2) and the ICR record (164 bytes, sector 1).",
                 "vrnrec"};
    vrn_cli_setup(app);
    app.require_subcommand(1);

    RecordCommand netcfg(VRN_NETCFG_LAYOUT, kNetcfgOptions);
    add_record_command(app, netcfg, "netcfg", "write a NetCfg data file");
    RecordCommand icr(VRN_ICR_LAYOUT, kIcrOptions);
    add_record_command(app, icr, "icr", "write an ICR data file");

    std::string as, show_file;
    CLI::App* show = app.add_subcommand("show", "print a data file's record exactly as vrnstat prints it");
    show->add_option("--as", as, "the record's layout; without it, chosen by size (152 NetCfg, 164 ICR)")
        ->check(CLI::IsMember({"netcfg", "icr"}));
    show->add_option("file", show_file, "data file, as vrnprog reads it")->required()->type_name("FILE");

    app.footer("Examples:\n"
               "  vrndump 192.168.0.150 3011 2 152 saved.dat\n"
               "  vrnrec netcfg --from saved.dat --ip 192.168.0.151 -o new.dat\n"
               "  vrnrec show new.dat\n"
               "  vrnprog --backup before.dat 192.168.0.150 3011 2 new.dat\n\n"
               "Exit status: 0 done; 255 (-1) bad option or value; 254 (-2) a data file that cannot\n"
               "be read or has the wrong size; 253 (-3) the output file cannot be written.");
    int status = 0;
    if (!vrn_cli_parse(app, argc, argv, &status)) return status;
    try {
        if (netcfg.app->parsed()) return run_record_command(netcfg);
        if (icr.app->parsed()) return run_record_command(icr);
        return run_show(as, show_file);
    } catch (const Refusal& r) {
        if (!r.message.empty()) std::printf("### ERROR: %s\n", r.message.c_str());
        return r.status;
    }
}

}  // namespace

int main(int argc, char** argv) { return vrn_run_main(run, argc, argv); }
