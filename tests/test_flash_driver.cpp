// The flash driver against a small chip played by a scripted module on the
// fake clock: identification and geometry, the printed description, cell
// addressing, the bus sequences of erase and byte program in both command
// sets, runs, and the bounded polls and failed-read handling. The driver
// against the module model's chips over real sockets is in test_loopback.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "connection.h"
#include "fake_module.h"
#include "vrn.h"

using namespace vrntest;

namespace {

// A NOR chip reduced to what the driver's sequences need: identifier mode,
// status mode, program and sector erase that stay busy for a number of
// reads, and faults a test can switch on. Cells are keyed by bus address.
struct ToyChip {
    int maker = 0x01;
    int device = 0xA3;
    std::uint32_t sector_span = 0x20000;  // bus bytes per sector
    int busy_reads = 2;
    bool never_ready = false;
    int status_errors = 0;        // error bits of the Intel status once ready
    int erased_value = 0xFF;      // what an erase leaves in the cells
    std::set<std::uint32_t> stuck;       // refuse to program
    std::set<std::uint32_t> unreadable;  // every read gets a bad acknowledge
    int fail_next_reads = 0;             // the next N reads get a bad acknowledge
    int silent_next_reads = 0;           // the next N reads get no answer at all
    std::set<std::uint32_t> lost_acks;   // a write of one of these values is taken; its answer is lost, once
    std::set<int> failing_reads;         // reads by number (the first is 1) that get a bad acknowledge
    int reads = 0;

    enum class Mode { Array, Id, Status } mode = Mode::Array;
    bool program_pending = false;
    int busy = 0;
    int busy_value = 0;
    std::map<std::uint32_t, int> cells;

    bool intel() const { return maker == 0x89; }

    int cell(std::uint32_t a) const {
        auto it = cells.find(a);
        return it == cells.end() ? 0xFF : it->second;
    }

    void start_operation(int target) {
        busy = busy_reads;
        busy_value = ~target & 0xFF;
        if (intel()) {
            mode = Mode::Status;
        }
    }

    void write(std::uint32_t a, std::uint32_t v) {
        if (program_pending) {
            program_pending = false;
            if (!stuck.count(a)) {
                cells[a] = cell(a) & static_cast<int>(v & 0xFF);
            }
            start_operation(static_cast<int>(v & 0xFF));
            return;
        }
        switch (v) {
            case 0xFF:
            case 0xF0:
            case 0x50:
                mode = Mode::Array;
                break;
            case 0x90:
                mode = Mode::Id;
                break;
            case 0x70:
                mode = Mode::Status;
                break;
            case 0xA0:
            case 0x40:
                program_pending = (v == 0x40) == intel();
                break;
            case 0x30:
            case 0xD0:
                if ((v == 0xD0) == intel()) {
                    const std::uint32_t base = a - a % sector_span;
                    for (std::uint32_t x = base; x < base + sector_span; x += 2) {
                        cells[x] = erased_value;
                    }
                    start_operation(0xFF);
                }
                break;
            default:
                break;
        }
    }

    std::optional<int> read(std::uint32_t a) {
        if (failing_reads.count(++reads)) {
            return std::nullopt;
        }
        if (fail_next_reads > 0) {
            --fail_next_reads;
            return std::nullopt;
        }
        if (unreadable.count(a)) {
            return std::nullopt;
        }
        if (mode == Mode::Id) {
            return a == 0 ? maker : device;
        }
        if (never_ready || busy > 0) {
            if (!never_ready) {
                --busy;
            }
            return mode == Mode::Status ? 0x00 : busy_value;
        }
        if (mode == Mode::Status) {
            return 0x80 | status_errors;
        }
        return cell(a);
    }
};

// Right length, but the packet_type of a request: check_ack refuses it.
Bytes bad_ack(std::size_t n) {
    Bytes b = make_ack(n);
    b[12] = 0x31;
    return b;
}

std::string op_text(bool write, std::uint32_t address, std::uint32_t value) {
    char t[48];
    if (write) {
        std::snprintf(t, sizeof t, "W %x %x", address, value);
    } else {
        std::snprintf(t, sizeof t, "R %x", address);
    }
    return t;
}

class FlashDriver : public ScriptedModuleTest {
protected:
    void SetUp() override {
        g_flash_info = vrnFlashInfo{};
        ScriptedModuleTest::SetUp();
    }
    void TearDown() override {
        g_flash_bounds = VRN_FLASH_BOUNDS;
        ScriptedModuleTest::TearDown();
    }

    std::vector<Action> answer(const Datagram& d, int) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (d.port_index != 1 || d.bytes.size() < 32) {
            return {};
        }
        const std::uint32_t command = word_at(d.bytes, 20);
        if (command == 0x30194000u && d.bytes.size() == 288) {
            dfa_requests_.push_back(d.bytes);
            if (dfa_fails_) {
                return {Action{bad_ack(160)}};
            }
            Bytes ack = make_ack(160);
            for (std::size_t i = 0; i < 32; ++i) {
                put_u32(&ack[32 + 4 * i], dfa_[i]);
            }
            return {Action{ack}};
        }
        if (command == 0x14190100u && d.bytes.size() == 40) {
            const std::uint32_t a = word_at(d.bytes, 32);
            log_.push_back(op_text(false, a, 0));
            if (chip_.silent_next_reads > 0) {
                --chip_.silent_next_reads;
                return {};
            }
            const std::optional<int> v = chip_.read(a);
            if (!v) {
                return {Action{bad_ack(36)}};
            }
            Bytes ack = make_ack(36);
            put_u32(&ack[32], 0x5A5A5A00u | static_cast<std::uint32_t>(*v));
            return {Action{ack}};
        }
        if (command == 0x141A0300u && d.bytes.size() == 44) {
            const std::uint32_t a = word_at(d.bytes, 32);
            const std::uint32_t v = word_at(d.bytes, 40);
            log_.push_back(op_text(true, a, v));
            chip_.write(a, v);
            if (chip_.lost_acks.erase(v)) {
                return {};
            }
            return {Action{make_ack(32)}};
        }
        return {};
    }

    // The chip as identification should find it.
    void chip(int maker, int device, int width) {
        std::lock_guard<std::mutex> lock(mu_);
        chip_.maker = maker;
        chip_.device = device;
        dfa_.fill(0);
        dfa_[2] = width == 16 ? 0x8042u : 0x5467u;
        dfa_[3] = width == 16 ? 0x10u : 0u;
        const std::uint32_t cells = maker == 0x89 ? (width == 16 ? 0x10000u : 0x20000u) : 0x10000u;
        chip_.sector_span = cells * (width == 16 ? 4u : 2u);
    }

    // Geometry set directly, as identification would leave it.
    void geometry(int vendor, int sector_size, int width, int sectors = 8) {
        chip(vendor, 0, width);
        with_chip([&](ToyChip& c) { c.sector_span = static_cast<std::uint32_t>(sector_size * (width == 16 ? 4 : 2)); });
        g_flash_info.vendor_id = vendor;
        g_flash_info.sector_size = sector_size;
        g_flash_info.data_width = width;
        g_flash_info.sector_count = sectors;
        g_flash_info.volume = sector_size * sectors;
    }

    template <typename F>
    void with_chip(F f) {
        std::lock_guard<std::mutex> lock(mu_);
        f(chip_);
    }

    std::vector<std::string> bus_log() {
        std::lock_guard<std::mutex> lock(mu_);
        return log_;
    }
    void clear_log() {
        std::lock_guard<std::mutex> lock(mu_);
        log_.clear();
    }
    std::size_t count(const std::string& op) {
        std::size_t n = 0;
        for (const auto& s : bus_log()) {
            n += s == op;
        }
        return n;
    }

    std::mutex mu_;
    ToyChip chip_;
    std::array<std::uint32_t, 32> dfa_{};
    bool dfa_fails_ = false;
    std::vector<Bytes> dfa_requests_;
    std::vector<std::string> log_;
};

std::vector<std::string> identify_traffic(std::uint32_t device_address, int reset) {
    return {"W 0 ff", "W 0 f0", "W 0 aa", "W 0 55", "W 0 90", "R 0", op_text(false, device_address, 0),
            op_text(true, 0, static_cast<std::uint32_t>(reset))};
}

// --- identification -------------------------------------------------------

TEST_F(FlashDriver, IdentifiesEveryTableRowAtBothWidths) {
    struct Row {
        int maker, device, width, sectors, sector_size;
    };
    // Each device of the table at both widths, a device to a line; any
    // maker but Intel's takes the AMD set's rows.
    const Row rows[] = {
        {0x89, 0x16, 8, 32, 0x20000}, {0x89, 0x16, 16, 32, 0x10000},
        {0x89, 0x17, 8, 64, 0x20000}, {0x89, 0x17, 16, 64, 0x10000},
        {0x89, 0x18, 8, 128, 0x20000}, {0x89, 0x18, 16, 128, 0x10000},
        {0x01, 0xC8, 8, 32, 0x10000}, {0x01, 0xC8, 16, 32, 0x10000},
        {0x01, 0xA3, 8, 64, 0x10000}, {0xC2, 0xA3, 16, 64, 0x10000},
        {0x20, 0xD9, 8, 32, 0x10000}, {0x04, 0xD9, 16, 32, 0x10000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "maker " << row.maker << " device " << row.device << " width "
                                        << row.width);
        g_flash_info = vrnFlashInfo{};
        chip(row.maker, row.device, row.width);
        clear_log();
        EXPECT_EQ(vrn_flash_identify(handle_), 0);
        EXPECT_EQ(g_flash_info.vendor_id, row.maker);
        EXPECT_EQ(g_flash_info.device_id, row.device);
        EXPECT_EQ(g_flash_info.data_width, row.width);
        EXPECT_EQ(g_flash_info.sector_count, row.sectors);
        EXPECT_EQ(g_flash_info.sector_size, row.sector_size);
        EXPECT_EQ(g_flash_info.volume, row.sectors * row.sector_size);
        EXPECT_EQ(g_flash_info.base_address, 0);
        EXPECT_EQ(bus_log(), identify_traffic(row.width == 16 ? 4 : 2, row.maker == 0x89 ? 0xFF : 0xF0));
    }
    // The largest volumes the table gives.
    chip(0x89, 0x18, 16);
    vrn_flash_identify(handle_);
    EXPECT_EQ(g_flash_info.volume, 0x800000);
    chip(0x89, 0x18, 8);
    vrn_flash_identify(handle_);
    EXPECT_EQ(g_flash_info.volume, 0x1000000);
}

TEST_F(FlashDriver, IdentificationReadsTheDfaHeadFirst) {
    chip(0x01, 0xA3, 8);
    vrn_flash_identify(handle_);
    std::lock_guard<std::mutex> lock(mu_);
    ASSERT_EQ(dfa_requests_.size(), 1u);
    const Bytes& b = dfa_requests_[0];
    EXPECT_EQ(hex(Bytes(b.begin(), b.begin() + 40)),
              "6b 24 5a 13 46 00 00 00 df 2b a1 ec 31 00 00 00 "
              "aa 94 45 cd 00 40 19 30 03 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00");
    EXPECT_EQ(word_at(b, 32 + 8 * 31), 31u);
}

TEST_F(FlashDriver, DataWidthComesFromTheSignatureWords) {
    struct Case {
        std::uint32_t sig, next;
        int width;
    };
    const Case cases[] = {
        {0x8042, 0x10, 16}, {0x8042, 0x1210, 16}, {0x8042, 0x08, 8}, {0x8042, 0x1000, 8},
        {0x5467, 0x10, 8},  {0x8040, 0x10, 8},    {0, 0x10, 8},      {0x18042, 0x10, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.sig << " " << c.next);
        chip(0x01, 0xA3, 8);
        {
            std::lock_guard<std::mutex> lock(mu_);
            dfa_[2] = c.sig;
            dfa_[3] = c.next;
        }
        clear_log();
        vrn_flash_identify(handle_);
        EXPECT_EQ(g_flash_info.data_width, c.width);
        const auto log = bus_log();
        ASSERT_GE(log.size(), 7u);
        EXPECT_EQ(log[6], c.width == 16 ? "R 4" : "R 2");
    }
}

TEST_F(FlashDriver, UnknownDeviceKeepsTheSectorCountItHad) {
    chip(0x89, 0xC8, 8);
    vrn_flash_identify(handle_);
    EXPECT_EQ(g_flash_info.sector_count, 0);
    EXPECT_EQ(g_flash_info.volume, 0);
    EXPECT_EQ(g_flash_info.sector_size, 0x20000);
    EXPECT_EQ(g_flash_info.vendor_id, 0x89);
    EXPECT_EQ(g_flash_info.device_id, 0xC8);

    g_flash_info = vrnFlashInfo{};
    chip(0x89, 0xC8, 16);
    vrn_flash_identify(handle_);
    EXPECT_EQ(g_flash_info.sector_size, 0x10000);
    EXPECT_EQ(g_flash_info.volume, 0);

    // A second identification starts from what the first left.
    chip(0x01, 0xA3, 8);
    vrn_flash_identify(handle_);
    chip(0x89, 0xC8, 8);
    vrn_flash_identify(handle_);
    EXPECT_EQ(g_flash_info.sector_count, 64);
    EXPECT_EQ(g_flash_info.sector_size, 0x20000);
    EXPECT_EQ(g_flash_info.volume, 0x20000 * 64);
}

TEST_F(FlashDriver, FailedReadsDuringIdentificationLeaveFieldsAsTheyWere) {
    chip(0x89, 0x18, 16);
    {
        std::lock_guard<std::mutex> lock(mu_);
        dfa_fails_ = true;
        chip_.fail_next_reads = 2;
    }
    EXPECT_EQ(vrn_flash_identify(handle_), 0);
    EXPECT_EQ(g_flash_info.data_width, 8);  // no signature seen
    EXPECT_EQ(g_flash_info.vendor_id, 0);
    EXPECT_EQ(g_flash_info.device_id, 0);
    EXPECT_EQ(g_flash_info.sector_count, 0);
    EXPECT_EQ(g_flash_info.sector_size, 0x10000);
    EXPECT_EQ(bus_log().back(), "W 0 f0");  // maker 0 selects the AMD set

    {
        std::lock_guard<std::mutex> lock(mu_);
        dfa_fails_ = false;
    }
    vrn_flash_identify(handle_);
    with_chip([](ToyChip& c) { c.fail_next_reads = 2; });
    vrn_flash_identify(handle_);
    EXPECT_EQ(g_flash_info.vendor_id, 0x89);
    EXPECT_EQ(g_flash_info.device_id, 0x18);
    EXPECT_EQ(g_flash_info.sector_count, 128);
}

TEST_F(FlashDriver, GetInfoCopiesTheFieldsInTheirFixedOrder) {
    chip(0x89, 0x17, 8);
    vrn_flash_identify(handle_);
    vrnFlashInfo copy{};
    vrn_flash_get_info(handle_, &copy);
    std::int32_t fields[7];
    static_assert(sizeof copy == sizeof fields);
    std::memcpy(fields, &copy, sizeof fields);
    const std::int32_t expected[7] = {0x17, 0x89, 8388608, 0, 0x20000, 64, 8};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(fields[i], expected[i]) << "field " << i;
    }
}

TEST_F(FlashDriver, PrintsTheEightLines) {
    const struct {
        vrnFlashInfo record;
        const char* text;
    } cases[] = {
        {{0x17, 0x89, 8388608, 0, 0x20000, 64, 8},
         "VRN FLASH INFO:\n"
         "Vendor ID = 0x89\n"
         "Device ID = 0x17\n"
         "Volume = 8388608 bytes\n"
         "Size of Sector = 0x00020000 bytes\n"
         "Number of Sectors = 64\n"
         "Data Width = 8 bites\n"
         "Base Address = 0x00000000\n"},
        // Every field distinct, so a line showing the wrong field stands out.
        {{0xD9, 0x02, 2097152, 0xABC, 0x10000, 32, 16},
         "VRN FLASH INFO:\nVendor ID = 0x02\nDevice ID = 0xD9\nVolume = 2097152 bytes\n"
         "Size of Sector = 0x00010000 bytes\nNumber of Sectors = 32\nData Width = 16 bites\n"
         "Base Address = 0x00000ABC\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        vrn_print_flash_info(&c.record);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.text);
    }
}

// --- cell access ----------------------------------------------------------

TEST_F(FlashDriver, CellAddressesDoubleOnceMoreOnSixteenBitChips) {
    geometry(0x01, 0x10000, 8);
    EXPECT_EQ(vrn_flash_write_cell(handle_, 2, 5, 0x41), 0);
    const auto got = module_.received();
    ASSERT_FALSE(got.empty());
    const Bytes& b = got.back().bytes;
    ASSERT_EQ(b.size(), 44u);
    EXPECT_EQ(hex(Bytes(b.begin() + 32, b.end())), "0a 00 04 00 01 00 00 00 41 00 00 00");

    geometry(0x01, 0x10000, 16);
    clear_log();
    vrn_flash_read_cell(handle_, 1, 3);
    EXPECT_EQ(vrn_flash_cell_address(1, 3), 0x4000Cu);
    EXPECT_EQ(bus_log(), std::vector<std::string>{"R 4000c"});

    // Before identification: 8 bits and sector size 0.
    g_flash_info = vrnFlashInfo{};
    EXPECT_EQ(vrn_flash_cell_address(7, 3), 6u);
}

TEST_F(FlashDriver, ReadCellTakesTheLowByte) {
    geometry(0x01, 0x10000, 8);
    with_chip([](ToyChip& c) { c.cells[0x20] = 0x3C; });
    EXPECT_EQ(vrn_flash_read_cell(handle_, 0, 0x10), 0x3C);
}

// --- erase ----------------------------------------------------------------

TEST_F(FlashDriver, AmdEraseUnlocksAtTheSectorAndPollsForErased) {
    geometry(0x01, 0x10000, 8);
    with_chip([](ToyChip& c) { c.cells[0x40000] = 0x12; });
    EXPECT_EQ(vrn_flash_erase_sector(handle_, 2), 2);
    const std::vector<std::string> expected = {"W 40000 aa", "W 40000 55", "W 40000 80", "W 40000 aa",
                                               "W 40000 55", "W 40000 30", "R 40000",    "R 40000",
                                               "R 40000",    "W 0 f0"};
    EXPECT_EQ(bus_log(), expected);
}

TEST_F(FlashDriver, IntelEraseReadsStatusThenVerifies) {
    geometry(0x89, 0x20000, 8);
    EXPECT_EQ(vrn_flash_erase_sector(handle_, 3), 3);
    const std::vector<std::string> expected = {
        "W c0000 20", "W c0000 d0", "W c0000 70", "R c0000", "R c0000", "R c0000",  // polls: 2 busy, 1 ready
        "R c0000",    "W c0000 50",                                               // status, clear
        "R c0000",    "W 0 ff"};
    EXPECT_EQ(bus_log(), expected);
}

// A lost answer to the read-back after a ready status says nothing of the
// cell: it is read again, and the erase or program that finished succeeds.
TEST_F(FlashDriver, IntelReadBackWhoseAnswerIsLostIsReadAgain) {
    geometry(0x89, 0x20000, 8);
    with_chip([](ToyChip& c) {
        c.busy_reads = 0;
        c.failing_reads = {3};
    });
    EXPECT_EQ(vrn_flash_erase_sector(handle_, 3), 3);
    const std::vector<std::string> erase = {"W c0000 20", "W c0000 d0", "W c0000 70", "R c0000", "R c0000",
                                            "W c0000 50", "R c0000",    "R c0000",    "W 0 ff"};
    EXPECT_EQ(bus_log(), erase);

    clear_log();
    with_chip([](ToyChip& c) { c.failing_reads = {c.reads + 3, c.reads + 4}; });
    EXPECT_EQ(vrn_flash_program_byte(handle_, 3, 4, 0x11), 0x11);
    EXPECT_EQ(count("R c0008"), 5u) << "poll, status, two lost read-backs, the one answered";
}

TEST_F(FlashDriver, IntelEraseThatLeavesDataFailsWithoutReset) {
    geometry(0x89, 0x20000, 8);
    with_chip([](ToyChip& c) { c.erased_value = 0x00; });
    EXPECT_EQ(vrn_flash_erase_sector(handle_, 1), -1);
    EXPECT_EQ(bus_log().back(), "R 40000");
    EXPECT_EQ(count("W 0 ff"), 0u);
}

TEST_F(FlashDriver, EraseAllVisitsEverySectorInOrder) {
    geometry(0x01, 0x10000, 8, 3);
    EXPECT_EQ(vrn_flash_erase_all(handle_), 3);
    std::vector<std::string> erases;
    for (const auto& s : bus_log()) {
        if (s.size() > 3 && s.compare(s.size() - 3, 3, " 30") == 0) {
            erases.push_back(s);
        }
    }
    EXPECT_EQ(erases, (std::vector<std::string>{"W 0 30", "W 20000 30", "W 40000 30"}));
    EXPECT_EQ(count("W 0 f0"), 3u);

    geometry(0x01, 0x10000, 8, 0);
    clear_log();
    EXPECT_EQ(vrn_flash_erase_all(handle_), 0);
    g_flash_info.sector_count = -4;
    EXPECT_EQ(vrn_flash_erase_all(handle_), 0);
    EXPECT_TRUE(bus_log().empty());
}

// --- byte program -----------------------------------------------------------

// A byte program in each command set: the bus traffic of one that verifies
// at once, and the reads of a cell that never takes the byte until the
// program gives up (the AMD set's 4096 verify reads; the Intel set's
// status polls, its status read and one verify read), with no reset from
// the failed program.
struct ByteProgramCase {
    const char* set;
    int vendor, width, sector, offset;
    std::uint8_t value;
    std::vector<std::string> traffic;
    std::string verify;  // a read of the cell
    std::size_t failed_verifies;  // reads of the cell by a program that fails
    std::string once;  // written once by a failed program too
    std::string reset;
};

const ByteProgramCase kByteProgramCases[] = {
    {"AMD, 8-bit", 0x01, 8, 2, 7, 0x5A,
     {"W 4000e aa", "W 4000e 55", "W 4000e a0", "W 4000e 5a", "R 4000e", "R 4000e", "R 4000e", "W 0 f0"},
     "R 4000e", 4096, "W 4000e a0", "W 0 f0"},
    {"Intel, 16-bit", 0x89, 16, 1, 3, 0x42,
     {"W 4000c 40", "W 4000c 42", "W 4000c 70", "R 4000c", "R 4000c", "R 4000c", "R 4000c", "W 4000c 50", "R 4000c",
      "W 0 ff"},
     "R 4000c", 5, "W 4000c 50", "W 0 ff"},
};

TEST_F(FlashDriver, ByteProgramWritesItsSetsCyclesToTheCellAndVerifies) {
    for (const ByteProgramCase& c : kByteProgramCases) {
        SCOPED_TRACE(c.set);
        geometry(c.vendor, 0x10000, c.width);
        clear_log();
        EXPECT_EQ(vrn_flash_program_byte(handle_, c.sector, c.offset, c.value), c.value);
        EXPECT_EQ(bus_log(), c.traffic);
    }
}

TEST_F(FlashDriver, FailedVerifyEndsTheProgramWithoutAReset) {
    for (const ByteProgramCase& c : kByteProgramCases) {
        SCOPED_TRACE(c.set);
        geometry(c.vendor, 0x10000, c.width);
        with_chip([&](ToyChip& chip) { chip.stuck.insert(vrn_flash_cell_address(c.sector, c.offset)); });
        clear_log();
        EXPECT_EQ(vrn_flash_program_byte(handle_, c.sector, c.offset, c.value), -1);
        EXPECT_EQ(count(c.verify), c.failed_verifies);
        EXPECT_EQ(count(c.once), 1u);
        EXPECT_EQ(bus_log().back(), c.verify);
        EXPECT_EQ(count(c.reset), 0u);
    }
}

// --- runs -------------------------------------------------------------------

TEST_F(FlashDriver, ProgramRunStopsAtTheFirstFailureAndResetsOnce) {
    geometry(0x01, 0x10000, 8);
    // Cell (1, 3) refuses to program.
    with_chip([](ToyChip& c) { c.stuck.insert((0x10000 + 3) * 2); });
    const std::uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(vrn_flash_program(handle_, 1, 0, data, 10), 3);
    const auto log = bus_log();
    for (const auto& op : log) {
        unsigned address = 0;
        ASSERT_EQ(std::sscanf(op.c_str() + 2, "%x", &address), 1);
        EXPECT_FALSE(address >= (0x10000 + 4) * 2 && address < (0x10000 + 10) * 2) << op << ": attempted";
    }
    // Three resets after the good bytes, one on the way out after the failure.
    EXPECT_EQ(count("W 0 f0"), 4u);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], op_text(false, (0x10000 + 3) * 2, 0));
    EXPECT_EQ(log.back(), "W 0 f0");
    with_chip([](ToyChip& c) {
        EXPECT_EQ(c.cell(0x20000), 1);
        EXPECT_EQ(c.cell(0x20004), 3);
        EXPECT_EQ(c.cell(0x20006), 0xFF);
    });
}

TEST_F(FlashDriver, EmptyRunsWriteOnlyTheReset) {
    geometry(0x01, 0x10000, 8);
    const std::uint8_t data[1] = {0};
    std::uint8_t buf[1] = {0xEE};
    EXPECT_EQ(vrn_flash_program(handle_, 1, 0, data, 0), 0);
    EXPECT_EQ(vrn_flash_read(handle_, 1, 0, buf, 0), 0);
    EXPECT_EQ(vrn_flash_read(handle_, 1, 0, buf, -5), 0);
    EXPECT_EQ(bus_log(), (std::vector<std::string>{"W 0 f0", "W 0 f0", "W 0 f0"}));
    EXPECT_EQ(buf[0], 0xEE);
}

TEST_F(FlashDriver, ReadRunReadsConsecutiveCellsThenResets) {
    for (int width : {8, 16}) {
        SCOPED_TRACE(width);
        geometry(0x01, 0x10000, width);
        const std::uint32_t step = width == 16 ? 4 : 2;
        const std::uint32_t first = vrn_flash_cell_address(2, 10);
        with_chip([&](ToyChip& c) {
            for (std::uint32_t i = 0; i < 152; ++i) {
                c.cells[first + step * i] = static_cast<int>(i ^ 0x5A);
            }
        });
        clear_log();
        std::vector<std::uint8_t> buf(152, 0);
        EXPECT_EQ(vrn_flash_read(handle_, 2, 10, buf.data(), 152), 152);
        const auto log = bus_log();
        ASSERT_EQ(log.size(), 153u);
        for (std::uint32_t i = 0; i < 152; ++i) {
            EXPECT_EQ(log[i], op_text(false, first + step * i, 0));
            EXPECT_EQ(buf[i], static_cast<std::uint8_t>(i ^ 0x5A));
        }
        EXPECT_EQ(log.back(), "W 0 f0");
    }
}

// --- bounded polls, failed reads, Intel error bits ---------------------------

TEST_F(FlashDriver, PollBoundsStartAtTheirNamedValues) {
    EXPECT_EQ(g_flash_bounds.erase_ms, 20000u);
    EXPECT_EQ(g_flash_bounds.program_ms, 1000u);
    EXPECT_EQ(g_flash_bounds.link_lost_ms, 12000u);
}

TEST_F(FlashDriver, EraseThatNeverEndsGivesUpAtTheBound) {
    g_flash_bounds.erase_ms = 300;
    for (int vendor : {0x01, 0x89}) {
        SCOPED_TRACE(vendor);
        geometry(vendor, 0x10000, 8);
        with_chip([](ToyChip& c) { c.never_ready = true; });
        clear_log();
        const std::uint32_t t0 = plat_tick_ms();
        EXPECT_EQ(vrn_flash_erase_sector(handle_, 1), -1);
        // Each poll is one exchange: the bound ends the next one or two.
        EXPECT_GE(ms_since(t0), 300);
        EXPECT_LT(ms_since(t0), 310);
        EXPECT_EQ(count(vendor == 0x89 ? "W 0 ff" : "W 0 f0"), 0u);
        with_chip([](ToyChip& c) { c.never_ready = false; });
    }
}

TEST_F(FlashDriver, IntelProgramStatusWaitGivesUpAtTheBound) {
    g_flash_bounds.program_ms = 200;
    geometry(0x89, 0x10000, 8);
    with_chip([](ToyChip& c) { c.never_ready = true; });
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_flash_program_byte(handle_, 0, 4, 0x11), -1);
    EXPECT_GE(ms_since(t0), 200);
    EXPECT_LT(ms_since(t0), 210);
    EXPECT_EQ(count("W 0 ff"), 0u);
}

TEST_F(FlashDriver, FailedReadsNeverEndAPoll) {
    g_flash_bounds.erase_ms = 300;
    g_flash_bounds.program_ms = 300;
    g_flash_bounds.link_lost_ms = 300;
    // Intel: failed status polls are not "ready", the wait goes on.
    geometry(0x89, 0x10000, 8);
    with_chip([](ToyChip& c) {
        c.busy_reads = 0;
        c.fail_next_reads = 3;
    });
    EXPECT_EQ(vrn_flash_program_byte(handle_, 0, 4, 0x11), 0x11);
    const std::vector<std::string> expected = {"W 8 40", "W 8 11", "W 8 70", "R 8", "R 8", "R 8", "R 8",
                                               "R 8",    "W 8 50", "R 8",    "W 0 ff"};
    EXPECT_EQ(bus_log(), expected);

    // A cell that cannot be read never counts as erased or as programmed;
    // the polls end once failed reads have cost the link-lost bound.
    geometry(0x01, 0x10000, 8);
    with_chip([](ToyChip& c) { c.unreadable.insert(0x20000); });
    EXPECT_EQ(vrn_flash_erase_sector(handle_, 1), -1);
    clear_log();
    EXPECT_EQ(vrn_flash_program_byte(handle_, 1, 0, 0xFF), -1);
    EXPECT_GT(count("R 20000"), 1u);
    EXPECT_LT(count("R 20000"), 4096u);

    geometry(0x89, 0x10000, 8);
    with_chip([](ToyChip& c) { c.unreadable.insert(0x20000); });
    EXPECT_EQ(vrn_flash_erase_sector(handle_, 1), -1);
}

// One status poll whose answer is lost costs a 4-second wait, longer than
// the whole program bound; the chip answered in time all the same.
TEST_F(FlashDriver, TimeLostToAnUnansweredPollIsNotTheChipsTime) {
    geometry(0x89, 0x10000, 8);
    with_chip([](ToyChip& c) { c.silent_next_reads = 1; });
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_flash_program_byte(handle_, 0, 4, 0x11), 0x11);
    EXPECT_GT(ms_since(t0), static_cast<long>(g_flash_bounds.program_ms));
    EXPECT_EQ(link_health(handle_)->failed_reads, 1u);
}

// An answer to a write of the program sequence is lost: the chip may still
// wait for its data. The program is cancelled with all ones at its own cell
// and fails at once, without a verify and without the reset to cell 0 of
// sector 0. The AMD sequence is sent whole first (the chip most often has
// the write whose answer was lost); the Intel one stops, since its data
// byte, taken for a command, could start one.
TEST_F(FlashDriver, AnUnansweredProgramWriteIsCancelledAtItsCell) {
    struct Case {
        int vendor;
        std::uint32_t lost;  // the value whose write's answer is lost
        std::vector<std::string> traffic;
        int cell;  // what the cell holds after
    };
    const Case cases[] = {
        {0x01, 0x11, {"W 8 aa", "W 8 55", "W 8 a0", "W 8 11", "W 8 ff"}, 0x11},
        {0x01, 0xA0, {"W 8 aa", "W 8 55", "W 8 a0", "W 8 11", "W 8 ff"}, 0x11},
        {0x89, 0x11, {"W 8 40", "W 8 11", "W 8 ff"}, 0x11},
        {0x89, 0x40, {"W 8 40", "W 8 ff"}, 0xFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "vendor " << c.vendor << ", answer to " << c.lost << " lost");
        geometry(c.vendor, 0x10000, 8);
        with_chip([&](ToyChip& chip) {
            chip.cells.clear();
            chip.lost_acks = {c.lost};
        });
        clear_log();
        const unsigned failed = link_health(handle_)->failed_writes;
        EXPECT_EQ(vrn_flash_program_byte(handle_, 0, 4, 0x11), -1);
        EXPECT_EQ(bus_log(), c.traffic);
        EXPECT_EQ(link_health(handle_)->failed_writes, failed + 1);
        with_chip([&](ToyChip& chip) { EXPECT_EQ(chip.cell(8), c.cell); });
    }
}

TEST_F(FlashDriver, FailedCellReadIsReportedAndCounted) {
    geometry(0x01, 0x10000, 8);
    with_chip([](ToyChip& c) {
        c.cells[0x0] = 0x10;
        c.cells[0x2] = 0x00;
        c.cells[0x4] = 0x30;
        c.cells[0x6] = 0x40;
        c.unreadable.insert(0x2);
    });
    const unsigned before = link_health(handle_)->failed_reads;
    EXPECT_EQ(vrn_flash_read_cell(handle_, 0, 1), VRN_FLASH_READ_FAILED);
    EXPECT_EQ(link_health(handle_)->failed_reads, before + 1);
    EXPECT_EQ(vrn_flash_read_cell(handle_, 0, 2), 0x30);
    EXPECT_EQ(link_health(handle_)->failed_reads, before + 1);

    std::uint8_t buf[4] = {};
    EXPECT_EQ(vrn_flash_read(handle_, 0, 0, buf, 4), 4);
    EXPECT_EQ(buf[0], 0x10);
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_EQ(buf[2], 0x30);
    EXPECT_EQ(buf[3], 0x40);
    EXPECT_EQ(link_health(handle_)->failed_reads, before + 2);
}

TEST_F(FlashDriver, IntelStatusErrorBitsFailTheOperation) {
    geometry(0x89, 0x10000, 8);
    with_chip([](ToyChip& c) { c.status_errors = 0x10; });  // program error
    EXPECT_EQ(vrn_flash_program_byte(handle_, 0, 4, 0x11), -1);
    // The status is still cleared and the cell still read back, even though
    // it holds the byte.
    const std::vector<std::string> expected = {"W 8 40", "W 8 11", "W 8 70", "R 8", "R 8", "R 8",
                                               "R 8",    "W 8 50", "R 8"};
    EXPECT_EQ(bus_log(), expected);
    with_chip([](ToyChip& c) { EXPECT_EQ(c.cell(8), 0x11); });

    clear_log();
    with_chip([](ToyChip& c) { c.status_errors = 0x20; });  // erase error
    EXPECT_EQ(vrn_flash_erase_sector(handle_, 2), -1);
    EXPECT_EQ(count("W 40000 50"), 1u);
    EXPECT_EQ(bus_log().back(), "R 40000");
    EXPECT_EQ(count("W 0 ff"), 0u);

    // Bits other than 4 and 5 do not count as errors.
    with_chip([](ToyChip& c) { c.status_errors = 0x4F; });
    EXPECT_EQ(vrn_flash_erase_sector(handle_, 2), 2);
}

}  // namespace
