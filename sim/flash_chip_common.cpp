// Geometry, cell storage and the parts of the chip both command sets share.
#include "flash_chip.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX  // std::min stays a function
#endif
#include <windows.h>
#else
#include <sys/file.h>
#endif

namespace vrnsim {

namespace {

constexpr std::uint8_t kIntelMaker = 0x89;

bool wide(const ChipConfig& config) { return config.width == 16; }

int sane_cell_bytes(int cell_bytes) { return cell_bytes == 2 ? 2 : 1; }

// Cells as bytes, low byte first; shared by the memory and the file store.
class CellBytes {
public:
    CellBytes(std::size_t cells, int cell_bytes)
        : cells_(cells), cell_bytes_(sane_cell_bytes(cell_bytes)),
          bytes_(cells * static_cast<std::size_t>(cell_bytes_), 0xFF) {}

    std::size_t cells() const { return cells_; }
    int cell_bytes() const { return cell_bytes_; }
    std::vector<std::uint8_t>& bytes() { return bytes_; }

    std::uint16_t get(std::size_t cell) const {
        if (cell >= cells_) return cell_bytes_ == 2 ? 0xFFFF : 0xFF;
        const std::size_t at = cell * static_cast<std::size_t>(cell_bytes_);
        if (cell_bytes_ == 1) return bytes_[at];
        return static_cast<std::uint16_t>(bytes_[at] | (bytes_[at + 1] << 8));
    }
    // Both return false when nothing in range changed.
    bool set(std::size_t cell, std::uint16_t value) {
        if (cell >= cells_) return false;
        const std::size_t at = cell * static_cast<std::size_t>(cell_bytes_);
        bytes_[at] = static_cast<std::uint8_t>(value);
        if (cell_bytes_ == 2) bytes_[at + 1] = static_cast<std::uint8_t>(value >> 8);
        return true;
    }
    bool fill(std::size_t& first, std::size_t& count, std::uint16_t value) {
        if (first >= cells_) return false;
        count = std::min(count, cells_ - first);
        if (count == 0) return false;
        const std::size_t at = first * static_cast<std::size_t>(cell_bytes_);
        if (cell_bytes_ == 1) {
            std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at), count, static_cast<std::uint8_t>(value));
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                bytes_[at + 2 * i] = static_cast<std::uint8_t>(value);
                bytes_[at + 2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
            }
        }
        return true;
    }

private:
    std::size_t cells_;
    int cell_bytes_;
    std::vector<std::uint8_t> bytes_;
};

class MemoryStore final : public FlashStore {
public:
    MemoryStore(std::size_t cells, int cell_bytes) : cells_(cells, cell_bytes) {}
    std::size_t cells() const override { return cells_.cells(); }
    std::uint16_t get(std::size_t cell) const override { return cells_.get(cell); }
    void set(std::size_t cell, std::uint16_t value) override { cells_.set(cell, value); }
    void fill(std::size_t first, std::size_t count, std::uint16_t value) override {
        cells_.fill(first, count, value);
    }
    int cell_bytes() const override { return cells_.cell_bytes(); }

private:
    CellBytes cells_;
};

std::string os_error(int err) { return std::strerror(err); }

// The file holds exactly the bytes of CellBytes; the memory copy serves
// reads, and every change is written and flushed before it returns, so a
// killed process loses nothing it acknowledged.
class FileStore final : public FlashStore {
public:
    FileStore(std::FILE* file, std::string path, CellBytes cells)
        : file_(file), path_(std::move(path)), cells_(std::move(cells)) {}
    ~FileStore() override { std::fclose(file_); }
    FileStore(const FileStore&) = delete;
    FileStore& operator=(const FileStore&) = delete;

    std::size_t cells() const override { return cells_.cells(); }
    std::uint16_t get(std::size_t cell) const override { return cells_.get(cell); }
    void set(std::size_t cell, std::uint16_t value) override {
        if (cells_.set(cell, value)) write_through(cell, 1);
    }
    void fill(std::size_t first, std::size_t count, std::uint16_t value) override {
        if (cells_.fill(first, count, value)) write_through(first, count);
    }
    int cell_bytes() const override { return cells_.cell_bytes(); }
    std::string write_error() const override { return error_; }

private:
    void write_through(std::size_t first, std::size_t count) {
        const std::size_t unit = static_cast<std::size_t>(cells_.cell_bytes());
        const std::size_t at = first * unit, len = count * unit;
        errno = 0;
        if (std::fseek(file_, static_cast<long>(at), SEEK_SET) != 0 ||
            std::fwrite(cells_.bytes().data() + at, 1, len, file_) != len || std::fflush(file_) != 0) {
            const int err = errno;
            error_ = "cannot write flash file '" + path_ + "': " + (err ? os_error(err) : "write failed");
        }
    }

    std::FILE* file_;
    std::string path_;
    CellBytes cells_;
    std::string error_;
};

std::unique_ptr<FlashStore> refuse(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return nullptr;
}

// One simulator to a flash file: two would each keep their own copy and
// the file end as the last writer left it. The lock goes with the file's
// close (and with the process). Windows: a byte far beyond any flash file,
// since a locked range there cannot be read by others.
bool lock_flash_file(std::FILE* file) {
#ifdef _WIN32
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    OVERLAPPED at{};
    at.OffsetHigh = 0x7FFFFFFF;
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
#else
    return flock(fileno(file), LOCK_EX | LOCK_NB) == 0;
#endif
}

std::unique_ptr<FlashStore> refuse_locked(std::FILE* file, const std::string& path, std::string* error) {
    std::fclose(file);
    return refuse(error, "flash file '" + path + "' is in use by another simulator");
}

// Writes the erased image in large blocks, so even a 16 Mi cell chip is
// created in a moment.
bool write_all(std::FILE* file, const std::vector<std::uint8_t>& bytes) {
    constexpr std::size_t kBlock = 1u << 20;
    for (std::size_t at = 0; at < bytes.size(); at += kBlock) {
        const std::size_t len = std::min(kBlock, bytes.size() - at);
        if (std::fwrite(bytes.data() + at, 1, len, file) != len) return false;
    }
    return std::fflush(file) == 0;
}

bool read_all(std::FILE* file, std::vector<std::uint8_t>& bytes) {
    return std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

}  // namespace

ChipGeometry chip_geometry(const ChipConfig& config) {
    if (config.maker == kIntelMaker) {
        const std::uint32_t cells = wide(config) ? 0x10000 : 0x20000;
        switch (config.device) {
        case 0x16: return {cells, 32};
        case 0x17: return {cells, 64};
        case 0x18: return {cells, 128};
        default: return {cells, 0};
        }
    }
    switch (config.device) {
    case 0xC8: return {0x10000, 32};
    case 0xA3: return {0x10000, 64};
    case 0xD9: return {0x10000, 32};
    default: return {0x10000, 0};
    }
}

std::size_t chip_store_cells(const ChipConfig& config) {
    const ChipGeometry g = chip_geometry(config);
    const std::size_t sectors = g.sector_count ? g.sector_count : kUnknownDeviceSectors;
    return static_cast<std::size_t>(g.sector_cells) * sectors;
}

int chip_cell_bytes(const ChipConfig& config) { return wide(config) ? 2 : 1; }

std::unique_ptr<FlashStore> make_memory_store(std::size_t cells) { return make_memory_store(cells, 1); }

std::unique_ptr<FlashStore> make_memory_store(std::size_t cells, int cell_bytes) {
    return std::make_unique<MemoryStore>(cells, cell_bytes);
}

std::unique_ptr<FlashStore> make_file_store(const std::string& path, std::size_t cells, std::string* error) {
    return make_file_store(path, cells, 1, error);
}

std::unique_ptr<FlashStore> make_file_store(const std::string& path, std::size_t cells, int cell_bytes,
                                            std::string* error, bool* created) {
    if (created) *created = false;
    const int unit = sane_cell_bytes(cell_bytes);
    if (path.empty()) return refuse(error, "no flash file name given");
    // fseek offsets are long, 32 bits on Windows.
    if (cells > 0x7FFFFFFFu / static_cast<unsigned>(unit))
        return refuse(error, "flash file '" + path + "' would be too large");
    const std::size_t want = cells * static_cast<std::size_t>(unit);

    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status)) {
        if (!std::filesystem::is_regular_file(status))
            return refuse(error, "flash file '" + path + "' is not a regular file");
        const auto have = std::filesystem::file_size(path, ec);
        if (ec) return refuse(error, "cannot read flash file '" + path + "': " + ec.message());
        if (have != want)
            return refuse(error, "flash file '" + path + "' holds " + std::to_string(have) + " bytes, expected " +
                                   std::to_string(want) + " (" + std::to_string(cells) + " cells of " +
                                   std::to_string(unit) + " byte" + (unit == 1 ? "" : "s") + ")");
        CellBytes image(cells, unit);
        std::FILE* file = std::fopen(path.c_str(), "r+b");
        if (!file) return refuse(error, "cannot open flash file '" + path + "': " + os_error(errno));
        if (!lock_flash_file(file)) return refuse_locked(file, path, error);
        if (!read_all(file, image.bytes())) {
            std::fclose(file);
            return refuse(error, "cannot read flash file '" + path + "'");
        }
        return std::make_unique<FileStore>(file, path, std::move(image));
    }

    CellBytes image(cells, unit);
    std::FILE* file = std::fopen(path.c_str(), "w+b");
    if (!file) return refuse(error, "cannot create flash file '" + path + "': " + os_error(errno));
    if (!lock_flash_file(file)) return refuse_locked(file, path, error);
    if (!write_all(file, image.bytes())) {
        const int err = errno;
        std::fclose(file);
        std::filesystem::remove(path, ec);  // a short file would be refused next time
        return refuse(error, "cannot write flash file '" + path + "': " + (err ? os_error(err) : "write failed"));
    }
    if (created) *created = true;
    return std::make_unique<FileStore>(file, path, std::move(image));
}

std::unique_ptr<FlashStore> make_chip_store(const ChipConfig& config, const std::string& path, std::string* error,
                                            bool* created) {
    if (path.empty()) {
        if (created) *created = false;
        return make_memory_store(chip_store_cells(config), chip_cell_bytes(config));
    }
    return make_file_store(path, chip_store_cells(config), chip_cell_bytes(config), error, created);
}

std::unique_ptr<FlashChip> make_flash_chip(const ChipConfig& config, FlashStore& store) {
    return config.kind == ChipKind::Intel ? detail::make_intel_chip(config, store)
                                          : detail::make_amd_chip(config, store);
}

namespace detail {

ChipCells::ChipCells(const ChipConfig& config, FlashStore& store)
    : maker_(config.maker), device_(config.device), store_(store),
      sector_cells_(chip_geometry(config).sector_cells), data_mask_(wide(config) ? 0xFFFF : 0xFF),
      store_mask_(data_mask_ & (store.cell_bytes() == 2 ? 0xFFFF : 0xFF)) {}

std::size_t ChipCells::cell_of(std::uint32_t bus_address) const {
    const std::size_t cell = bus_address / (data_mask_ == 0xFFFF ? 4u : 2u);
    const std::size_t cells = store_.cells();
    return cells ? cell % cells : 0;
}

std::uint32_t ChipCells::read_array(std::size_t cell) const {
    if (store_.cells() == 0) return data_mask_;
    return store_.get(cell) & store_mask_;
}

std::uint32_t ChipCells::identifier(std::size_t cell) const {
    // Only the low address lines select the code, so it repeats in every
    // sector; the third word (sector protection) reads 0, unprotected.
    switch (cell & 0xFF) {
    case 0: return maker_;
    case 1: return device_;
    default: return 0;
    }
}

bool ChipCells::stuck(std::size_t cell, const ChipFaults& faults) const {
    return faults.stuck_cell >= 0 && static_cast<std::size_t>(faults.stuck_cell) == cell;
}

bool ChipCells::program(std::size_t cell, std::uint32_t value, const ChipFaults& faults) {
    const std::uint32_t want = value & store_mask_;
    if (store_.cells() == 0 || stuck(cell, faults)) return false;
    const std::uint32_t now = read_array(cell) & want;
    store_.set(cell, static_cast<std::uint16_t>(now));
    return now == want && store_.write_error().empty();
}

ChipCells::Range ChipCells::sector_of(std::size_t cell) const {
    const std::size_t first = cell - cell % sector_cells_;
    return {first, std::min(sector_cells_, store_.cells() - first)};
}

ChipCells::Range ChipCells::whole_chip() const { return {0, store_.cells()}; }

bool ChipCells::erase(Range range) {
    if (range.count) store_.fill(range.first, range.count, static_cast<std::uint16_t>(store_mask_));
    return store_.write_error().empty();
}

}  // namespace detail

}  // namespace vrnsim
