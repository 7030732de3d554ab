// The simulator's flash chips, driven straight through bus_read/bus_write
// with the sequences the driver sends, and the cell stores behind them.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "flash_chip.h"

using namespace vrnsim;

namespace {

struct Rig {
    explicit Rig(ChipConfig c) : config(c), store(make_chip_store(c, "", nullptr)), chip(make_flash_chip(c, *store)) {}
    std::uint32_t addr(long sector, long offset) const {
        const long cell = sector * static_cast<long>(chip_geometry(config).sector_cells) + offset;
        return static_cast<std::uint32_t>(cell * (config.width == 16 ? 4 : 2));
    }
    std::size_t cell(long sector, long offset) const { return addr(sector, offset) / (config.width == 16 ? 4 : 2); }
    void write(std::uint32_t a, std::initializer_list<std::uint32_t> values) {
        for (std::uint32_t v : values) chip->bus_write(a, v);
    }
    std::uint8_t read8(std::uint32_t a) { return static_cast<std::uint8_t>(chip->bus_read(a)); }

    ChipConfig config;
    std::unique_ptr<FlashStore> store;
    std::unique_ptr<FlashChip> chip;
};

ChipConfig amd(std::uint8_t device = 0xA3, int width = 8) {
    ChipConfig c;
    c.kind = ChipKind::Amd;
    c.maker = 0x01;
    c.device = device;
    c.width = width;
    return c;
}

ChipConfig intel(std::uint8_t device = 0x17, int width = 8) {
    ChipConfig c;
    c.kind = ChipKind::Intel;
    c.maker = 0x89;
    c.device = device;
    c.width = width;
    return c;
}

// The driver's identification: five writes to bus address 0, the maker at
// 0, the device at 2 or 4, then the reset of the chip's command set.
std::pair<std::uint8_t, std::uint8_t> identify(Rig& r) {
    r.write(0, {0xFF, 0xF0, 0xAA, 0x55, 0x90});
    const std::uint8_t maker = r.read8(0);
    const std::uint8_t device = r.read8(r.config.width == 16 ? 4 : 2);
    r.chip->bus_write(0, r.config.maker == 0x89 ? 0xFF : 0xF0);
    return {maker, device};
}

// AMD verify loop: reads until the byte shows, at most `limit` reads;
// returns the number of reads it took, or -1.
int amd_poll(Rig& r, std::uint32_t a, std::uint8_t byte, int limit = 4095) {
    for (int n = 1; n <= limit; ++n)
        if (r.read8(a) == byte) return n;
    return -1;
}

// The driver's Intel status read: 0x70, poll for SR.7, one more read, 0x50.
// Returns the status and counts the polls until ready.
std::uint8_t intel_status(Rig& r, std::uint32_t a, int* polls = nullptr, int limit = 100000) {
    r.chip->bus_write(a, 0x70);
    int n = 0;
    while (!(r.read8(a) & 0x80) && ++n < limit) {
    }
    if (polls) *polls = n;
    const std::uint8_t status = r.read8(a);
    r.chip->bus_write(a, 0x50);
    return status;
}

std::vector<unsigned char> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FileStore : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vrn_sim_chips_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char* name) const { return (dir_ / name).string(); }
    std::filesystem::path dir_;
};

}  // namespace

TEST(ChipGeometryTable, EveryRowAndWidth) {
    struct Row {
        std::uint8_t maker, device;
        int width;
        std::uint32_t sector_cells, sectors;
    };
    const Row rows[] = {
        {0x89, 0x16, 8, 0x20000, 32},  {0x89, 0x17, 8, 0x20000, 64},  {0x89, 0x18, 8, 0x20000, 128},
        {0x89, 0x16, 16, 0x10000, 32}, {0x89, 0x17, 16, 0x10000, 64}, {0x89, 0x18, 16, 0x10000, 128},
        {0x01, 0xC8, 8, 0x10000, 32},  {0x01, 0xA3, 8, 0x10000, 64},  {0x20, 0xD9, 16, 0x10000, 32},
        {0x89, 0xC8, 8, 0x20000, 0},   {0x89, 0xA3, 16, 0x10000, 0},  {0x01, 0x17, 8, 0x10000, 0},
    };
    for (const Row& row : rows) {
        ChipConfig c;
        c.maker = row.maker;
        c.device = row.device;
        c.width = row.width;
        const ChipGeometry g = chip_geometry(c);
        EXPECT_EQ(g.sector_cells, row.sector_cells) << std::hex << int(row.maker) << " " << int(row.device);
        EXPECT_EQ(g.sector_count, row.sectors) << std::hex << int(row.maker) << " " << int(row.device);
        const std::size_t sectors = row.sectors ? row.sectors : kUnknownDeviceSectors;
        EXPECT_EQ(chip_store_cells(c), row.sector_cells * sectors);
        EXPECT_EQ(chip_cell_bytes(c), row.width == 16 ? 2 : 1);
    }
}

TEST(AmdChip, IdentifiesAtEitherWidth) {
    for (int width : {8, 16}) {
        Rig r(amd(0xD9, width));
        EXPECT_EQ(identify(r), std::make_pair(std::uint8_t{0x01}, std::uint8_t{0xD9})) << width;
        EXPECT_EQ(r.chip->state_name(), "read");
        EXPECT_EQ(r.chip->bus_read(0), width == 16 ? 0xFFFFu : 0xFFu);
    }
    Rig r(amd());
    r.write(0, {0xAA});
    EXPECT_EQ(r.chip->state_name(), "amd-unlock1");
    r.write(0, {0x55, 0x90});
    EXPECT_EQ(r.chip->state_name(), "autoselect");
    EXPECT_EQ(r.chip->bus_read(2), 0xA3u);
    r.write(0, {0x90});  // taken without the unlock cycles too
    r.write(0, {0xF0});
    EXPECT_EQ(r.chip->bus_read(2), 0xFFu);
    r.write(0, {0x90});
    EXPECT_EQ(r.chip->bus_read(0), 0x01u);
    r.write(0, {0xFF});  // the other set's reset works as reset as well
    EXPECT_EQ(r.chip->state_name(), "read");
    EXPECT_EQ(r.chip->bus_read(0), 0xFFu);
}

TEST(AmdChip, ProgramsWithDataPollingThenReadsBack) {
    Rig r(amd());
    const std::uint32_t a = r.addr(2, 7);
    ASSERT_EQ(a, 0x4000Eu);
    r.write(a, {0xAA, 0x55, 0xA0});
    EXPECT_EQ(r.chip->state_name(), "amd-program-setup");
    r.write(a, {0x5A});
    EXPECT_EQ(r.chip->state_name(), "amd-program-busy(2)");
    // Two status reads: DQ7 the inverse of bit 7 of 0x5A, DQ6 toggling.
    const std::uint8_t s1 = r.read8(a), s2 = r.read8(a);
    EXPECT_EQ(s1 & 0x80, 0x80);
    EXPECT_EQ(s2 & 0x80, 0x80);
    EXPECT_NE(s1 & 0x40, s2 & 0x40);
    EXPECT_EQ(s1 & 0x20, 0);
    EXPECT_EQ(r.read8(a), 0x5A);
    EXPECT_EQ(r.chip->state_name(), "read");
    r.write(0, {0xF0});
    EXPECT_EQ(r.read8(a), 0x5A);
    EXPECT_EQ(r.store->get(0x20007), 0x5A);
    EXPECT_EQ(r.store->get(0x20006), 0xFF);

    // The unlock cycles count at any address, the program lands where the
    // data goes, and a byte with bit 7 set polls with DQ7 clear.
    r.write(0, {0xAA});
    r.write(0x1234, {0x55});
    r.write(0, {0xA0});
    r.write(r.addr(0, 9), {0xC3});
    EXPECT_EQ(r.read8(r.addr(0, 9)) & 0x80, 0);
    EXPECT_EQ(amd_poll(r, r.addr(0, 9), 0xC3), 2);
}

TEST(AmdChip, BitsOnlyGoFromOneToZero) {
    Rig r(amd());
    const std::uint32_t a = r.addr(1, 0);
    r.write(a, {0xAA, 0x55, 0xA0, 0x5A});
    ASSERT_EQ(amd_poll(r, a, 0x5A), 3);
    r.write(a, {0xAA, 0x55, 0xA0, 0x18});  // clears bits only: fine
    ASSERT_EQ(amd_poll(r, a, 0x18), 3);
    r.write(a, {0xAA, 0x55, 0xA0, 0xA5});  // would need 0 -> 1
    EXPECT_EQ(amd_poll(r, a, 0xA5), -1);
    EXPECT_EQ(r.chip->state_name(), "amd-program-failed");
    EXPECT_EQ(r.read8(a) & 0x20, 0x20);  // DQ5: exceeded its time
    r.write(a, {0xAA});                   // ignored until reset
    r.write(0, {0xF0});
    EXPECT_EQ(r.chip->state_name(), "read");
    EXPECT_EQ(r.read8(a), 0x18 & 0xA5);
}

TEST(AmdChip, ErasesOneSector) {
    Rig r(amd());
    for (long sector : {1L, 2L, 3L}) {
        for (long offset : {0L, 0xFFFFL}) {
            r.write(r.addr(sector, offset), {0xAA, 0x55, 0xA0, 0x00});
            ASSERT_EQ(amd_poll(r, r.addr(sector, offset), 0x00), 3);
        }
    }
    const std::uint32_t a = r.addr(2, 0);
    r.write(a, {0xAA, 0x55, 0x80});
    EXPECT_EQ(r.chip->state_name(), "amd-erase-setup");
    r.write(a, {0xAA, 0x55, 0x30});
    EXPECT_EQ(r.chip->state_name(), "erase-busy(2)");
    const std::uint8_t s1 = r.read8(a), s2 = r.read8(a);
    EXPECT_EQ(s1 & 0x80, 0);  // never reads as 0xFF while busy
    EXPECT_NE(s1 & 0x40, s2 & 0x40);
    EXPECT_EQ(r.read8(a), 0xFF);
    r.write(0, {0xF0});
    EXPECT_EQ(r.read8(r.addr(2, 0xFFFF)), 0xFF);
    EXPECT_EQ(r.read8(r.addr(1, 0xFFFF)), 0x00);
    EXPECT_EQ(r.read8(r.addr(3, 0)), 0x00);

    // A broken sequence leaves everything as it was.
    r.write(r.addr(3, 0), {0xAA, 0x55, 0x80, 0xAA, 0x44, 0x30});
    EXPECT_EQ(r.chip->state_name(), "read");
    EXPECT_EQ(r.read8(r.addr(3, 0)), 0x00);
}

TEST(AmdChip, StuckCellNeverShowsItsData) {
    Rig r(amd());
    r.chip->faults().stuck_cell = static_cast<long>(r.cell(2, 7));
    const std::uint32_t a = r.addr(2, 7);
    r.write(a, {0xAA, 0x55, 0xA0, 0x5A});
    EXPECT_EQ(amd_poll(r, a, 0x5A, 4096), -1);
    r.write(0, {0xF0});
    EXPECT_EQ(r.read8(a), 0xFF);
    // Its neighbour programs.
    r.write(r.addr(2, 8), {0xAA, 0x55, 0xA0, 0x5A});
    EXPECT_EQ(amd_poll(r, r.addr(2, 8), 0x5A), 3);
    // Switched off at run time, the cell takes data again.
    r.chip->faults().stuck_cell = -1;
    r.write(a, {0xAA, 0x55, 0xA0, 0x5A});
    EXPECT_EQ(amd_poll(r, a, 0x5A), 3);
}

TEST(AmdChip, EraseThatNeverEndsUntilTheFaultIsOff) {
    Rig r(amd());
    const std::uint32_t a = r.addr(2, 0);
    r.write(a, {0xAA, 0x55, 0xA0, 0x00});
    ASSERT_EQ(amd_poll(r, a, 0x00), 3);
    r.chip->faults().erase_never_ends = true;
    r.write(a, {0xAA, 0x55, 0x80, 0xAA, 0x55, 0x30});
    EXPECT_EQ(amd_poll(r, a, 0xFF, 10000), -1);
    EXPECT_EQ(r.chip->state_name(), "erase-busy(forever)");
    r.write(0, {0xF0});  // an embedded erase ignores reset
    EXPECT_EQ(r.read8(a) & 0x80, 0);
    EXPECT_EQ(r.store->get(r.cell(2, 0)), 0x00);
    r.chip->faults().erase_never_ends = false;
    EXPECT_EQ(amd_poll(r, a, 0xFF), 3);
    EXPECT_EQ(r.store->get(r.cell(2, 0)), 0xFF);
}

TEST(AmdChip, SlowChipStaysBusyForItsPolls) {
    Rig r(amd());
    r.chip->faults().busy_polls = 40;
    r.write(r.addr(0, 1), {0xAA, 0x55, 0xA0, 0x12});
    EXPECT_EQ(r.chip->state_name(), "amd-program-busy(40)");
    EXPECT_EQ(amd_poll(r, r.addr(0, 1), 0x12), 41);
    r.chip->faults().busy_polls = 0;
    r.write(r.addr(0, 2), {0xAA, 0x55, 0xA0, 0x34});
    EXPECT_EQ(amd_poll(r, r.addr(0, 2), 0x34), 1);
}

TEST(AmdChip, SixteenBitCellsAndAddressScaling) {
    Rig r(amd(0xA3, 16));
    const std::uint32_t a = r.addr(1, 3);
    ASSERT_EQ(a, 0x4000Cu);
    EXPECT_EQ(r.chip->bus_read(a), 0xFFFFu);
    r.write(a, {0xAA, 0x55, 0xA0, 0x41});  // the byte zero-extended
    EXPECT_EQ(amd_poll(r, a, 0x41), 3);
    EXPECT_EQ(r.chip->bus_read(a), 0x0041u);
    EXPECT_EQ(r.store->get(0x10003), 0x0041);
    EXPECT_EQ(r.store->get(0x10002), 0xFFFF);
    // The same bus address on an 8-bit chip is cell 0x20006.
    Rig narrow(amd());
    narrow.write(a, {0xAA, 0x55, 0xA0, 0x41});
    EXPECT_EQ(amd_poll(narrow, a, 0x41), 3);
    EXPECT_EQ(narrow.store->get(0x20006), 0x41);
    ASSERT_EQ(narrow.addr(2, 5), 0x4000Au);
}

TEST(IntelChip, IdentifiesAtEitherWidth) {
    for (std::uint8_t device : {0x16, 0x17, 0x18}) {
        for (int width : {8, 16}) {
            Rig r(intel(device, width));
            EXPECT_EQ(identify(r), std::make_pair(std::uint8_t{0x89}, device)) << int(device) << " " << width;
            EXPECT_EQ(r.chip->state_name(), "read");
            EXPECT_EQ(r.chip->bus_read(4), width == 16 ? 0xFFFFu : 0xFFu);
        }
    }
    Rig r(intel());
    r.write(0, {0x90});
    EXPECT_EQ(r.chip->state_name(), "intel-id");
    r.write(0, {0xF0, 0xAA, 0x55});  // AMD codes mean nothing here
    EXPECT_EQ(r.chip->bus_read(0), 0x89u);
}

TEST(IntelChip, ProgramsWithStatusPolls) {
    Rig r(intel(0x18));
    const std::uint32_t a = r.addr(2, 7);
    r.write(a, {0x40});
    EXPECT_EQ(r.chip->state_name(), "intel-program-setup");
    r.write(a, {0x5A});
    EXPECT_EQ(r.chip->state_name(), "intel-program-busy(2)");
    EXPECT_EQ(r.read8(a), 0x00);  // status, busy
    r.write(a, {0x70});
    EXPECT_EQ(r.read8(a), 0x00);
    EXPECT_EQ(r.read8(a), 0x80);  // ready after two polls
    EXPECT_EQ(r.chip->state_name(), "intel-status");
    EXPECT_EQ(r.read8(a), 0x80);  // and it stays in status mode
    r.write(a, {0x50});
    EXPECT_EQ(r.read8(a), 0x5A);
    EXPECT_EQ(r.store->get(r.cell(2, 7)), 0x5A);

    // The driver's full byte program with a slow chip.
    r.chip->faults().busy_polls = 25;
    const std::uint32_t b = r.addr(2, 8);
    r.write(b, {0x40, 0x3C});
    int polls = 0;
    EXPECT_EQ(intel_status(r, b, &polls), 0x80);
    EXPECT_EQ(polls, 25);
    EXPECT_EQ(r.read8(b), 0x3C);
    r.write(0, {0xFF});
    EXPECT_EQ(r.chip->state_name(), "read");
}

TEST(IntelChip, ErasesOneBlock) {
    Rig r(intel(0x17));
    for (long block : {2L, 3L, 4L}) {
        r.write(r.addr(block, 0x1FFFF), {0x40, 0x00});
        ASSERT_EQ(intel_status(r, r.addr(block, 0x1FFFF)), 0x80);
    }
    const std::uint32_t a = r.addr(3, 0);
    ASSERT_EQ(a, 0xC0000u);
    r.write(a, {0x20});
    EXPECT_EQ(r.chip->state_name(), "intel-erase-setup");
    r.write(a, {0xD0});
    EXPECT_EQ(r.chip->state_name(), "erase-busy(2)");
    int polls = 0;
    EXPECT_EQ(intel_status(r, a, &polls), 0x80);
    EXPECT_EQ(polls, 2);
    EXPECT_EQ(r.read8(a), 0xFF);
    EXPECT_EQ(r.read8(r.addr(3, 0x1FFFF)), 0xFF);
    EXPECT_EQ(r.read8(r.addr(2, 0x1FFFF)), 0x00);
    EXPECT_EQ(r.read8(r.addr(4, 0x1FFFF)), 0x00);
}

TEST(IntelChip, ErrorBitsForFailedPrograms) {
    Rig r(intel());
    const std::uint32_t a = r.addr(1, 4);
    r.chip->faults().stuck_cell = static_cast<long>(r.cell(1, 4));
    r.write(a, {0x40, 0x5A});
    EXPECT_EQ(intel_status(r, a), 0x90);  // ready, program error
    EXPECT_EQ(r.read8(a), 0xFF);          // the cell kept its value
    EXPECT_EQ(intel_status(r, a), 0x80);  // the clear reset SR.4

    // Error bits stick until cleared, across status reads.
    r.write(a, {0x40, 0x5A, 0x70});
    EXPECT_EQ(r.read8(a), 0x10);  // busy, error already known
    EXPECT_EQ(r.read8(a), 0x10);
    EXPECT_EQ(r.read8(a), 0x90);
    EXPECT_EQ(r.chip->state_name(), "intel-status(0x90)");
    r.write(a, {0xFF});
    EXPECT_EQ(r.read8(a), 0xFF);
    r.write(a, {0x70});
    EXPECT_EQ(r.read8(a), 0x90);
    r.write(a, {0x50});
    r.chip->faults().stuck_cell = -1;

    // 1 -> 0 only: 0x0F over 0xF0 leaves 0x00 and reports the failure.
    const std::uint32_t b = r.addr(1, 5);
    r.write(b, {0x40, 0xF0});
    EXPECT_EQ(intel_status(r, b), 0x80);
    r.write(b, {0x40, 0x0F});
    EXPECT_EQ(intel_status(r, b), 0x90);
    EXPECT_EQ(r.read8(b), 0x00);
}

TEST(IntelChip, BadEraseSequenceIsACommandSequenceError) {
    Rig r(intel());
    const std::uint32_t a = r.addr(1, 0);
    r.write(a, {0x40, 0x11});
    ASSERT_EQ(intel_status(r, a), 0x80);
    r.write(a, {0x20, 0xFF});
    EXPECT_EQ(r.chip->state_name(), "intel-status(0xB0)");
    EXPECT_EQ(r.read8(a), 0xB0);
    r.write(a, {0x50});
    EXPECT_EQ(r.read8(a), 0x11);  // nothing erased
    r.write(a, {0x70});
    EXPECT_EQ(r.read8(a), 0x80);
}

TEST(IntelChip, EraseThatNeverEndsUntilTheFaultIsOff) {
    Rig r(intel());
    const std::uint32_t a = r.addr(2, 0);
    r.write(a, {0x40, 0x00});
    ASSERT_EQ(intel_status(r, a), 0x80);
    r.chip->faults().erase_never_ends = true;
    r.write(a, {0x20, 0xD0, 0x70});
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(r.read8(a) & 0x80, 0) << i;
    EXPECT_EQ(r.chip->state_name(), "erase-busy(forever)");
    r.write(a, {0xFF, 0x50});  // only the status can be asked for
    EXPECT_EQ(r.read8(a), 0x00);
    EXPECT_EQ(r.store->get(r.cell(2, 0)), 0x00);
    r.chip->faults().erase_never_ends = false;
    int polls = 0;
    EXPECT_EQ(intel_status(r, a, &polls), 0x80);
    EXPECT_EQ(polls, 2);
    EXPECT_EQ(r.read8(a), 0xFF);
}

TEST(IntelChip, SixteenBitCells) {
    Rig r(intel(0x18, 16));
    const std::uint32_t a = r.addr(1, 3);
    ASSERT_EQ(a, 0x4000Cu);
    r.write(a, {0x40, 0x41});
    EXPECT_EQ(r.chip->bus_read(a), 0x0000u);  // status, upper byte 0
    EXPECT_EQ(intel_status(r, a), 0x80);
    EXPECT_EQ(r.chip->bus_read(a), 0x0041u);
    EXPECT_EQ(r.store->get(0x10003), 0x0041);
}

TEST(DeadChip, AnswersNothingEitherSet) {
    for (const ChipConfig& c : {amd(), amd(0xA3, 16), intel(), intel(0x18, 16)}) {
        Rig r(c);
        const std::uint32_t ones = c.width == 16 ? 0xFFFF : 0xFF;
        r.chip->faults().dead = true;
        EXPECT_EQ(r.chip->state_name(), "dead");
        r.write(0, {0xFF, 0xF0, 0xAA, 0x55, 0x90});
        EXPECT_EQ(r.chip->bus_read(0), ones);
        EXPECT_EQ(r.chip->bus_read(c.width == 16 ? 4 : 2), ones);
        const std::uint32_t a = r.addr(1, 1);
        if (c.kind == ChipKind::Amd)
            r.write(a, {0xAA, 0x55, 0xA0, 0x00});
        else
            r.write(a, {0x40, 0x00});
        EXPECT_EQ(r.chip->bus_read(a), ones);
        EXPECT_EQ(r.store->get(r.cell(1, 1)), ones);
        // Brought back, it is where it was before: nothing went in.
        r.chip->faults().dead = false;
        EXPECT_EQ(r.chip->state_name(), "read");
        EXPECT_EQ(r.chip->bus_read(a), ones);
    }
}

TEST(MemoryStore, StartsErasedAndKeepsWords) {
    auto narrow = make_memory_store(16);
    auto wide = make_memory_store(16, 2);
    EXPECT_EQ(narrow->cell_bytes(), 1);
    EXPECT_EQ(wide->cell_bytes(), 2);
    EXPECT_EQ(narrow->get(15), 0xFF);
    EXPECT_EQ(wide->get(15), 0xFFFF);
    narrow->set(3, 0x1234);
    wide->set(3, 0x1234);
    EXPECT_EQ(narrow->get(3), 0x34);
    EXPECT_EQ(wide->get(3), 0x1234);
    wide->fill(10, 100, 0xABCD);  // clipped at the end
    EXPECT_EQ(wide->get(9), 0xFFFF);
    EXPECT_EQ(wide->get(15), 0xABCD);
    narrow->set(99, 0);  // outside: ignored
    EXPECT_EQ(narrow->get(99), 0xFF);
}

TEST_F(FileStore, NewFileIsCreatedErased) {
    std::string error;
    bool created = false;
    auto store = make_file_store(path("a.flash"), 1000, 2, &error, &created);
    ASSERT_TRUE(store) << error;
    EXPECT_TRUE(created);
    const auto bytes = file_bytes(path("a.flash"));
    ASSERT_EQ(bytes.size(), 2000u);
    for (unsigned char b : bytes) ASSERT_EQ(b, 0xFF);

    // The biggest chip of the table: 16 Mi cells, one byte each.
    auto big = make_chip_store(intel(0x18), path("big.flash"), &error, &created);
    ASSERT_TRUE(big) << error;
    EXPECT_TRUE(created);
    EXPECT_EQ(std::filesystem::file_size(path("big.flash")), 0x1000000u);
    EXPECT_EQ(big->get(0xFFFFFF), 0xFF);
}

TEST_F(FileStore, EveryChangeIsInTheFileWhenItReturns) {
    std::string error;
    auto store = make_file_store(path("w.flash"), 0x40000, 2, &error);
    ASSERT_TRUE(store) << error;
    store->set(1, 0x1234);
    store->fill(0x10000, 0x10000, 0x0000);
    // Read the file while the store is still open, as after a kill.
    auto bytes = file_bytes(path("w.flash"));
    ASSERT_EQ(bytes.size(), 0x80000u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[2], 0x34);  // low byte first
    EXPECT_EQ(bytes[3], 0x12);
    EXPECT_EQ(bytes[0x1FFFF], 0xFF);
    EXPECT_EQ(bytes[0x20000], 0x00);
    EXPECT_EQ(bytes[0x3FFFF], 0x00);
    EXPECT_EQ(bytes[0x40000], 0xFF);
    EXPECT_TRUE(store->write_error().empty());
}

TEST_F(FileStore, ContentsSurviveReopen) {
    const ChipConfig c = amd();
    std::string error;
    bool created = false;
    {
        auto store = make_chip_store(c, path("m.flash"), &error, &created);
        ASSERT_TRUE(store) << error;
        ASSERT_TRUE(created);
        auto chip = make_flash_chip(c, *store);
        chip->bus_write(0x4000E, 0xAA);
        chip->bus_write(0x4000E, 0x55);
        chip->bus_write(0x4000E, 0xA0);
        chip->bus_write(0x4000E, 0x5A);
    }
    auto store = make_chip_store(c, path("m.flash"), &error, &created);
    ASSERT_TRUE(store) << error;
    EXPECT_FALSE(created);
    EXPECT_EQ(store->get(0x20007), 0x5A);
    EXPECT_EQ(store->get(0x20008), 0xFF);
    auto chip = make_flash_chip(c, *store);
    EXPECT_EQ(chip->bus_read(0x4000E), 0x5Au);
}

TEST_F(FileStore, UnusableFilesAreRefusedWithAReason) {
    {
        std::ofstream(path("short.flash"), std::ios::binary) << "abc";
    }
    std::string error;
    EXPECT_EQ(make_file_store(path("short.flash"), 100, &error), nullptr);
    EXPECT_NE(error.find("short.flash' holds 3 bytes, expected 100"), std::string::npos) << error;
    EXPECT_EQ(file_bytes(path("short.flash")).size(), 3u);  // left alone

    error.clear();
    EXPECT_EQ(make_file_store(path("no/such/dir/x.flash"), 100, &error), nullptr);
    EXPECT_NE(error.find("cannot create flash file"), std::string::npos) << error;

    error.clear();
    EXPECT_EQ(make_file_store(dir_.string(), 100, &error), nullptr);
    EXPECT_NE(error.find("is not a regular file"), std::string::npos) << error;

    // A 16-bit store wants twice the bytes of the same cells at 8 bits.
    std::string e2;
    ASSERT_TRUE(make_file_store(path("n.flash"), 100, &e2)) << e2;
    EXPECT_EQ(make_file_store(path("n.flash"), 100, 2, &error), nullptr);
    EXPECT_NE(error.find("expected 200 (100 cells of 2 bytes)"), std::string::npos) << error;
}
