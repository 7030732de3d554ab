// A flash chip on the module's bus, as the module model sees it: bus reads
// and writes of single items. The chip models are datasheet-style state
// machines behind this interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vrnsim {

enum class ChipKind { Amd, Intel };

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

// Byte storage of the cells (one byte kept per cell, as the driver uses
// them); optionally backed by a file so contents survive restarts.
class FlashStore {
public:
    virtual ~FlashStore() = default;
    virtual std::size_t cells() const = 0;
    virtual std::uint16_t get(std::size_t cell) const = 0;
    virtual void set(std::size_t cell, std::uint16_t value) = 0;  // durable when it returns
    virtual void fill(std::size_t first, std::size_t count, std::uint16_t value) = 0;
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
// (0 sectors for an unknown device).
struct ChipGeometry {
    std::uint32_t sector_cells;
    std::uint32_t sector_count;
};
ChipGeometry chip_geometry(const ChipConfig& config);

std::unique_ptr<FlashChip> make_flash_chip(const ChipConfig& config, FlashStore& store);
std::unique_ptr<FlashStore> make_memory_store(std::size_t cells);
// Opens or creates the file; a new file is created erased (0xFF).
// Returns nullptr with a message in *error when the file cannot be used.
std::unique_ptr<FlashStore> make_file_store(const std::string& path, std::size_t cells, std::string* error);

}  // namespace vrnsim
