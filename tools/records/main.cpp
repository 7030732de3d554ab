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
#include "record_fields.h"

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

// Sets a field from its option's value; refused as vrnrec refuses.
void apply(Record& r, const VrnRecordLayout& layout, const VrnFieldRule& o, const std::string& text) {
    std::string error;
    if (!vrn_set_field(r.data(), layout, o, text, o.option, &error)) refuse(EXIT_BAD_COMMAND, error);
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
    if (count == VRN_PARSE_READ_FAILED) refuse(EXIT_BAD_INPUT, "Can't open data file " + path);
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

// The name of the file the record goes to, as the header's vrnprog line
// shows it: quoted for the shell, "<file>" for standard output.
std::string file_word(const std::string& out) {
    std::string word;
    return out.empty() || !vrn_shell_word(out, &word) ? "<file>" : word;
}

// The record as a data file: a header, and each field's value as vrnstat
// would print it above the field's bytes. out: empty for standard output.
std::string record_text(const Record& r, const VrnRecordLayout& layout, const std::string& from,
                        const std::string& out) {
    std::vector<VrnDataNote> notes;
    notes.push_back({0, std::string(layout.name) + " record: " + std::to_string(layout.bytes) +
                            " bytes for cell 0 of flash sector " + std::to_string(layout.sector) +
                            ".\nMade by vrnrec" + (from.empty() ? "" : " from " + from) +
                            ". Write it with\n    vrnprog <ip> <port> " + std::to_string(layout.sector) + " " +
                            file_word(out) +
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

// --- the subcommands ------------------------------------------------------------

struct RecordCommand {
    explicit RecordCommand(const VrnFieldRules& r) : layout(r.layout), options(r.rules), option_count(r.count) {}
    const VrnRecordLayout* layout;
    const VrnFieldRule* options;
    int option_count;
    CLI::App* app = nullptr;
    std::vector<std::string> values;
    std::string from, out;
    bool force = false;
};

const char* type_name(VrnValueKind kind) {
    switch (kind) {
    case VrnValueKind::Hex: return "X";
    case VrnValueKind::Decimal: return "N";
    case VrnValueKind::Dotted:
    case VrnValueKind::Address:
    case VrnValueKind::Mask: return "A";
    case VrnValueKind::Date: return "YYYY-MM-DD";
    case VrnValueKind::Comment: return "TEXT";
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
                          " record: another signature, or a dump of another sector" +
                          (cmd.layout == &VRN_NETCFG_LAYOUT
                               ? "; and addresses a module\ncannot use (loopback, reserved, the subnet's network "
                                 "address, GATE equal to IP)"
                               : ""));
    for (int i = 0; i < cmd.option_count; ++i) {
        const VrnFieldRule& o = cmd.options[i];
        cmd.app->add_option(o.option, cmd.values[static_cast<std::size_t>(i)], o.help)->type_name(type_name(o.kind));
    }
    cmd.app->add_option("-o,--output", cmd.out, "write the data file here; without -o, or with -o -, it goes to standard output")
        ->type_name("FILE");
    cmd.app->footer("Without --from every field but --comment must be given; a new comment fills the rest\n"
                    "of its field with NUL bytes. A --from file must carry the record's signature and, when\n"
                    "it is a dump, come from the record's sector, unless --force is given. Nothing is\n"
                    "written when anything is refused: the file is written under a temporary name and\n"
                    "renamed into place when complete.");
}

int run_record_command(const RecordCommand& cmd) {
    const VrnRecordLayout& layout = *cmd.layout;
    if (cmd.app->count("--output") > 0 && cmd.out.empty())
        refuse(EXIT_BAD_COMMAND, "-o needs a file name (- for standard output)");
    Record r(static_cast<std::size_t>(layout.bytes), 0);
    std::string missing;
    for (int i = 0; i < cmd.option_count; ++i) {
        const VrnFieldRule& o = cmd.options[i];
        if (o.kind != VrnValueKind::Comment && cmd.app->count(o.option) == 0) missing += std::string(" ") + o.option;
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
        const VrnFieldRule& o = cmd.options[i];
        if (cmd.app->count(o.option) == 0) continue;
        apply(r, layout, o, cmd.values[std::size_t(i)]);
        addressed = addressed || o.kind == VrnValueKind::Address || o.kind == VrnValueKind::Mask;
    }
    // The addresses against the subnet, once every one is in.
    std::string error, warning;
    if (addressed && !vrn_check_subnet(r.data(), layout, cmd.force, &error, &warning)) refuse(EXIT_BAD_COMMAND, error);
    if (!warning.empty()) std::fprintf(stderr, "warning: %s\n", warning.c_str());
    // "-" is standard output, as for most tools; so is no -o at all.
    const std::string out = cmd.out == "-" ? "" : cmd.out;
    std::string text = record_text(r, layout, cmd.from, out);
    if (out.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
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

    RecordCommand netcfg(VRN_NETCFG_RULES);
    add_record_command(app, netcfg, "netcfg", "write a NetCfg data file");
    RecordCommand icr(VRN_ICR_RULES);
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

int main(int argc, char** argv) { return vrn_run_main(run, argc, argv, EXIT_NOT_WRITTEN); }
