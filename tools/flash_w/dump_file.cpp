// Dump files: the header, the whole-or-nothing write, and the header read back.
#include "dump_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "data_file.h"
#include "file_output.h"
#include "program_args.h"
#include "recovery/recovery.h"

namespace {

// The words of the header's first line that name the sector; vrnrec reads
// them back.
const char* const kOrigin = " of the module at ";
const char* const kFromSector = " cells from cell 0 of flash sector ";

std::string now_text() {
    std::time_t t = std::time(nullptr);
    char buf[32] = "";
    // Into a record of our own: vrnprog writes the backups of many modules
    // at once, and localtime's one static record would mix their times.
    std::tm tm{};
#ifdef _WIN32
    const bool ok = localtime_s(&tm, &t) == 0;
#else
    const bool ok = localtime_r(&t, &tm) != nullptr;
#endif
    if (ok) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string header(const VrnDumpOrigin& o, int count, const std::string& file) {
    char chip[160];
    std::snprintf(chip, sizeof chip, "chip: vendor 0x%02X, device 0x%02X, %ld sectors of 0x%08lX cells, %ld bits wide",
                  static_cast<unsigned>(o.chip.vendor_id), static_cast<unsigned>(o.chip.device_id),
                  static_cast<long>(o.chip.sector_count), static_cast<unsigned long>(o.chip.sector_size),
                  static_cast<long>(o.chip.data_width));
    return std::string(o.made_by) + kOrigin + o.ip + ":" + o.port + ": " + std::to_string(count) + kFromSector +
           std::to_string(o.sector) + "\nread " + now_text() + "\n" + chip + "\nWrite it back with\n    " +
           vrn_write_back_line(o.ip, o.port, o.sector, file);
}

// The data file as written must read back as the cells.
bool reads_back(const std::string& temp, const std::uint8_t* cells, int count, std::string* error) {
    if (vrn_data_file_holds(temp, cells, count)) return true;
    *error = "the file written does not read back as the cells read";
    return false;
}

}  // namespace

int vrn_read_dump_cells(int handle, int sector, std::uint8_t* cells, long count, const char* phase, bool shown) {
    for (long first = 0; first < count; first += VRN_RECOVER_MAX_CELLS) {
        const int n = static_cast<int>(count - first < VRN_RECOVER_MAX_CELLS ? count - first : VRN_RECOVER_MAX_CELLS);
        VrnProgress progress;
        vrn_progress_begin(&progress, shown, phase, n);
        if (vrn_recover_read(handle, sector, static_cast<int>(first), cells + first, n, &progress) != 0) return -1;
        vrn_progress_end(&progress, n);
    }
    return 0;
}

std::string vrn_write_back_line(const std::string& ip, const std::string& port, int sector, const std::string& file) {
    std::string word;
    if (!vrn_shell_word(file, &word)) word = "<file>";  // vrn_write_back_name has refused such a name
    return "vrnprog " + ip + " " + port + " " + std::to_string(sector) + " " + word;
}

int vrn_write_back_name(const std::string& file, std::string* error) {
    std::string word;
    if (file.size() >= VRN_FILE_NAME_BUFFER) {
        *error = "the name is longer than the " + std::to_string(VRN_FILE_NAME_BUFFER - 1) +
                 " characters vrnprog takes, so the line that writes it back would be refused";
    } else if (!vrn_shell_word(file, &word)) {
        *error = "the name cannot be written as one word of a command line";
    } else {
        return 0;
    }
    return -1;
}

int vrn_write_dump_file(const std::string& file, const VrnDumpOrigin& origin, const std::uint8_t* cells, int count,
                        std::string* error) {
    if (count < 0 || count > VRN_IMAGE_BYTES) {
        *error = std::to_string(count) + " cells do not fit a data file";
        return -1;
    }
    const std::string text = vrn_data_file_text(cells, count, {{0, header(origin, count, file)}});
    auto check = [&](const std::string& temp, std::string* why) { return reads_back(temp, cells, count, why); };
    return vrn_write_file_whole(file, text, error, check);
}

long vrn_dump_file_sector(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line) || line.rfind("; ", 0) != 0 || line.find(kOrigin) == std::string::npos) return -1;
    const std::size_t at = line.find(kFromSector);
    if (at == std::string::npos) return -1;
    const char* digits = line.c_str() + at + std::strlen(kFromSector);
    char* end = nullptr;
    const long sector = std::strtol(digits, &end, 10);
    if (end == digits || *digits < '0' || *digits > '9') return -1;
    while (*end == '\r' || *end == ' ') ++end;
    return *end == '\0' ? sector : -1;
}
