// A flash chip on the module's bus, as the module model sees it: bus reads
// and writes of single items. The chip models are datasheet-style state
// machines behind this interface.
//
// Bus addressing: the module puts the cell index on the bus doubled once
// more for a 16-bit chip, then doubled again, so the chip sees cell
// = bus address / 2 (8-bit) or / 4 (16-bit). Cells beyond the store alias
// onto it, as on a part whose top address lines are not wired. The bus
// decodes only the data of a command, so unlock cycles count at any address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vrnsim {

enum class ChipKind { Amd, Intel };

// Faults a test may switch at run time through FlashChip::faults(); they
// are looked at on every bus access (busy_polls when an operation starts).
struct ChipFaults {
    int busy_polls = 2;            // status reads an operation stays busy for
    long stuck_cell = -1;          // cell index that refuses to program, or -1
    bool erase_never_ends = false; // erase stays busy forever
    bool dead = false;             // chip answers nothing: reads float high (0xFF..)
};

struct ChipConfig {
    ChipKind kind = ChipKind::Amd;
    std::uint8_t maker = 0x01;     // 0x89 for Intel
    std::uint8_t device = 0xA3;
    int width = 8;                 // bits per cell: 8 or 16
    ChipFaults faults;
};

// Storage of the cells, erased (all ones) when new; optionally backed by a
// file so contents survive restarts. A store keeps 1 or 2 bytes per cell;
// a 16-bit chip wants 2 to keep whole words (make_chip_store sees to it).
class FlashStore {
public:
    virtual ~FlashStore() = default;
    virtual std::size_t cells() const = 0;
    virtual std::uint16_t get(std::size_t cell) const = 0;
    virtual void set(std::size_t cell, std::uint16_t value) = 0;  // durable when it returns
    virtual void fill(std::size_t first, std::size_t count, std::uint16_t value) = 0;
    // Bytes kept per cell (1: values are cut to their low 8 bits, or 2).
    virtual int cell_bytes() const { return 1; }
    // Empty while every change reached the backing file; else what failed.
    virtual std::string write_error() const { return {}; }
};

class FlashChip {
public:
    virtual ~FlashChip() = default;
    virtual std::uint32_t bus_read(std::uint32_t bus_address) = 0;
    virtual void bus_write(std::uint32_t bus_address, std::uint32_t value) = 0;
    // Short readable name of the state machine's state, for the trace.
    virtual std::string state_name() const = 0;
    virtual const ChipConfig& config() const = 0;
    virtual ChipFaults& faults() = 0;
};

// Sector geometry the identification table gives for this maker/device
// (0 sectors for an unknown device; sector_cells is still the size the
// driver assumes for that maker and width).
struct ChipGeometry {
    std::uint32_t sector_cells;
    std::uint32_t sector_count;
};
ChipGeometry chip_geometry(const ChipConfig& config);

// Sectors a chip of unknown device code gets in its store, enough for the
// records the module keeps in sectors 1 and 2.
constexpr std::uint32_t kUnknownDeviceSectors = 8;
// Cells a store for this chip needs (sector_cells x sectors, with
// kUnknownDeviceSectors for a device not in the table).
std::size_t chip_store_cells(const ChipConfig& config);
// Bytes per cell a store for this chip keeps: 2 for a 16-bit chip, else 1.
int chip_cell_bytes(const ChipConfig& config);

// The store argument must outlive the chip.
std::unique_ptr<FlashChip> make_flash_chip(const ChipConfig& config, FlashStore& store);

// An erased store in memory (1 byte per cell, or cell_bytes 1 or 2).
std::unique_ptr<FlashStore> make_memory_store(std::size_t cells);
std::unique_ptr<FlashStore> make_memory_store(std::size_t cells, int cell_bytes);

// A store written through to a file, which holds nothing but the cells in
// order: cell i at byte offset i x cell_bytes, 16-bit cells low byte first,
// so the file is exactly cells x cell_bytes bytes. A missing file is created
// erased (0xFF); an existing one is used as it is if its size is right.
// Every set()/fill() is flushed to the file before it returns. Returns
// nullptr with a message in *error when the file cannot be used; *created
// (when given) tells whether the file was new.
std::unique_ptr<FlashStore> make_file_store(const std::string& path, std::size_t cells, std::string* error);
std::unique_ptr<FlashStore> make_file_store(const std::string& path, std::size_t cells, int cell_bytes,
                                            std::string* error, bool* created = nullptr);

// A store sized and shaped for the chip: in memory when path is empty, else
// make_file_store (so *created is false for a memory store).
std::unique_ptr<FlashStore> make_chip_store(const ChipConfig& config, const std::string& path,
                                            std::string* error, bool* created = nullptr);

namespace detail {

// What both command sets share: the chip's view of the bus and its cells.
class ChipCells {
public:
    ChipCells(const ChipConfig& config, FlashStore& store);

    std::size_t cell_of(std::uint32_t bus_address) const;  // aliased into the store
    std::uint32_t data_mask() const { return data_mask_; }  // 0xFF or 0xFFFF
    std::uint32_t read_array(std::size_t cell) const;
    std::uint32_t identifier(std::size_t cell) const;       // maker, device, then 0
    bool stuck(std::size_t cell, const ChipFaults& faults) const;

    // Programs value over the cell (bits only go from 1 to 0); false when
    // the cell does not then hold the value.
    bool program(std::size_t cell, std::uint32_t value, const ChipFaults& faults);
    struct Range {
        std::size_t first = 0, count = 0;
    };
    Range sector_of(std::size_t cell) const;
    Range whole_chip() const;
    bool erase(Range range);  // false when the store could not keep it

private:
    std::uint8_t maker_, device_;
    FlashStore& store_;
    std::size_t sector_cells_;
    std::uint32_t data_mask_;
    std::uint32_t store_mask_;
};

std::unique_ptr<FlashChip> make_amd_chip(const ChipConfig& config, FlashStore& store);
std::unique_ptr<FlashChip> make_intel_chip(const ChipConfig& config, FlashStore& store);

}  // namespace detail

}  // namespace vrnsim
