// The bounds of a recovery run, on the fake clock: when the module counts
// as gone, and the budget of lost requests that ends a run on a link that
// still answers now and then.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection.h"
#include "fake_module.h"
#include "vrn.h"

using namespace vrntest;

namespace {

constexpr std::uint32_t kBusRead = 0x14190100;

// An 8-bit AMD geometry, so that cell addresses are what the module below
// answers: the cell is the bus address over two.
void set_geometry() { g_flash_info = vrnFlashInfo{0xA3, 0x01, 0, 0, 0x10000, 64, 8}; }

std::uint8_t cell_value(std::uint32_t bus_address) { return static_cast<std::uint8_t>(bus_address / 2 * 7); }

// A chip's cells behind a module that loses the first `lost` requests of
// every `every` (none when every is 0).
Script losing_module(int every, int lost) {
    return [=](const Datagram& d, int seq) -> std::vector<Action> {
        if (every > 0 && seq % every < lost) return {};
        if (d.bytes.size() == 40 && word_at(d.bytes, 20) == kBusRead)
            return {{make_ack(36, {cell_value(word_at(d.bytes, 32))})}};
        return {{make_ack(32)}};
    };
}

struct SilenceCase {
    const char* name;
    int wait;
    long requests;  // sent before the module counts as gone
};

class Silence : public testing::TestWithParam<SilenceCase> {};

}  // namespace

// A module that never answers counts as gone after 24 s of silence,
// whatever each attempt waits; from then on the run sends nothing and every
// step fails at once.
TEST_P(Silence, OfTwentyFourSecondsMakesTheModuleGone) {
    const SilenceCase& c = GetParam();
    FakeModule fm;
    Conn conn(fm.address());
    ASSERT_EQ(vrn_set_wait(conn.h, c.wait), 0);
    vrnFlashInfo info{};
    const std::uint32_t t0 = plat_tick_ms();
    EXPECT_EQ(vrn_recover_identify(conn.h, &info), VRN_IDENTIFY_NO_ANSWER);
    const long took = ms_since(t0);
    EXPECT_GE(took, 24000);
    EXPECT_LT(took, 24000 + 4000) << "at most one wait past the silence";
    EXPECT_EQ(static_cast<long>(fm.count(1)), c.requests);
    EXPECT_TRUE(vrn_link_gone(conn.h));

    set_geometry();
    std::uint8_t cells[4];
    const std::uint32_t t1 = plat_tick_ms();
    EXPECT_EQ(vrn_recover_read(conn.h, 2, 0, cells, 4, nullptr), -1);
    EXPECT_EQ(ms_since(t1), 0);
    EXPECT_EQ(static_cast<long>(fm.count(1)), c.requests) << "nothing sent once gone";
}

INSTANTIATE_TEST_SUITE_P(Recovery, Silence,
                         testing::Values(SilenceCase{"DefaultWait", VRN_WAIT_DEFAULT, 6},
                                         // 0.5, 1 and 2 s, then 4 s each
                                         SilenceCase{"FixedWait", 500, 9},
                                         // 4 s each, as before any answer
                                         SilenceCase{"AutoWait", VRN_WAIT_AUTO, 6}),
                         [](const testing::TestParamInfo<SilenceCase>& info) { return std::string(info.param.name); });

// A module away for a while, shorter than the silence that makes it gone:
// whatever each attempt waits, the read takes longer and is right, and the
// waits grow, so that the outage costs a few requests, not one every few
// milliseconds. (A fixed wait kept its length and each cell read gave up
// after six attempts: a one-second outage ended a run with a 10 ms wait.)
namespace {

struct OutageCase {
    const char* name;
    int wait;
    std::uint32_t outage_ms;
    std::size_t at_most;  // requests sent while the module was away
};

class Outage : public testing::TestWithParam<OutageCase> {};

}  // namespace

TEST_P(Outage, ShorterThanTheSilenceCostsTimeNotTheRun) {
    const OutageCase& c = GetParam();
    set_geometry();
    const std::uint32_t from = plat_tick_ms() + 30;
    const std::uint32_t to = from + c.outage_ms;
    std::size_t while_away = 0;
    FakeModule fm([&](const Datagram& d, int seq) -> std::vector<Action> {
        const std::uint32_t now = plat_tick_ms();
        if (now - from < to - from) {
            ++while_away;
            return {};
        }
        return losing_module(0, 0)(d, seq);
    });
    Conn conn(fm.address());
    ASSERT_EQ(vrn_set_wait(conn.h, c.wait), 0);
    std::vector<std::uint8_t> cells(400);
    const int read = vrn_recover_read(conn.h, 3, 0, cells.data(), static_cast<int>(cells.size()), nullptr);
    ASSERT_EQ(read, 0);
    EXPECT_GE(plat_tick_ms() - from, c.outage_ms) << "the read ran into the outage";
    EXPECT_FALSE(vrn_link_gone(conn.h));
    EXPECT_LE(while_away, c.at_most);
    for (std::size_t i = 0; i < cells.size(); ++i)
        ASSERT_EQ(cells[i], cell_value(vrn_flash_cell_address(3, static_cast<int>(i)))) << i;
}

INSTANTIATE_TEST_SUITE_P(Recovery, Outage,
                         testing::Values(OutageCase{"DefaultWaitOneSecond", VRN_WAIT_DEFAULT, 1000, 1},
                                         OutageCase{"DefaultWaitTwentySeconds", VRN_WAIT_DEFAULT, 20000, 6},
                                         // 10, 20, 40, ... 640 ms
                                         OutageCase{"FixedWaitOneSecond", 10, 1000, 8},
                                         // 10 ms doubled up to 4 s (3.0 s), then 4 s each
                                         OutageCase{"FixedWaitTwentySeconds", 10, 20000, 15},
                                         OutageCase{"FixedWaitOfHalfASecond", 500, 20000, 9},
                                         OutageCase{"AutoWaitOneSecond", VRN_WAIT_AUTO, 1000, 6},
                                         OutageCase{"AutoWaitTwentySeconds", VRN_WAIT_AUTO, 20000, 10}),
                         [](const testing::TestParamInfo<OutageCase>& info) { return std::string(info.param.name); });

// A module that answered nothing of an identification counts as not
// answering, also when a short wait spends the run's budget before the
// silence is long enough.
TEST(Silence, ANoAnswerIdentificationSaysSoEvenWhenTheBudgetEndsItFirst) {
    FakeModule fm;
    Conn conn(fm.address());
    ASSERT_EQ(vrn_set_wait(conn.h, 50), 0);
    // A budget spent by the first lost request, long before the silence
    // makes the module gone (one identification alone lasts until then).
    const VrnRecoveryBounds saved = g_recovery;
    g_recovery.lost_floor = 0;
    set_geometry();
    EXPECT_EQ(vrn_recover_read_cell(conn.h, 3, 0), -1);
    vrnFlashInfo info{};
    EXPECT_EQ(vrn_recover_identify(conn.h, &info), VRN_IDENTIFY_NO_ANSWER);
    g_recovery = saved;
    EXPECT_LT(link_silence_ms(link_health(conn.h)), 24000u) << "ended by the budget";
}

// Five requests lost in six, each cell read answered at its sixth and last
// attempt: the link never falls silent for long, and without a bound the
// run would go on at six requests a cell. The run's budget of lost
// requests ends it within a hundred requests, while a link that loses one
// request in six still reads every cell right.
TEST(Budget, EndsARunThatLosesMostRequestsButNotOneThatLosesSome) {
    set_geometry();
    for (int lost_of_six : {5, 1}) {
        FakeModule fm(losing_module(6, lost_of_six));
        Conn conn(fm.address());
        ASSERT_EQ(vrn_set_wait(conn.h, 50), 0);
        std::vector<std::uint8_t> cells(1000);
        const int read = vrn_recover_read(conn.h, 3, 0, cells.data(), static_cast<int>(cells.size()), nullptr);
        if (lost_of_six == 5) {
            EXPECT_EQ(read, -1);
            EXPECT_TRUE(vrn_link_gone(conn.h));
            EXPECT_LT(fm.count(1), 100u);
            continue;
        }
        ASSERT_EQ(read, 0);
        EXPECT_FALSE(vrn_link_gone(conn.h));
        for (std::size_t i = 0; i < cells.size(); ++i)
            ASSERT_EQ(cells[i], cell_value(vrn_flash_cell_address(3, static_cast<int>(i)))) << i;
    }
}

// A module that acknowledges the erase command later than anything else
// (it does so once the erase has begun): with the adaptive wait, each
// repeat of the erase waits longer than the one before, so the erase
// succeeds after a few repeats instead of losing that answer every time.
// The link has lost an answer before, so that the adaptive wait is short.
TEST(Patience, AnAnswerSlowerEveryTimeIsWaitedForOnARepeat) {
    set_geometry();
    int erase_commands = 0;
    FakeModule fm([&](const Datagram& d, int seq) -> std::vector<Action> {
        if (seq == 0) return {};
        if (d.bytes.size() == 40 && word_at(d.bytes, 20) == kBusRead) return {{make_ack(36, {0xFF})}};
        if (d.bytes.size() == 44 && word_at(d.bytes, 40) == 0x30) {
            ++erase_commands;
            return {{make_ack(32), 40}};
        }
        return {{make_ack(32)}};
    });
    Conn conn(fm.address());
    ASSERT_EQ(vrn_set_wait(conn.h, VRN_WAIT_AUTO), 0);
    ASSERT_EQ(vrn_flash_read_cell(conn.h, 3, 0), VRN_FLASH_READ_FAILED);
    EXPECT_EQ(vrn_recover_erase(conn.h, 3), 0);
    EXPECT_GE(erase_commands, 2) << "the first erase command's answer comes after the wait";
    EXPECT_LE(erase_commands, 6) << "5, 10, 20, 40 and 80 ms";
    EXPECT_EQ(link_health(conn.h)->timer.patience, 0u) << "given back when the erase ends";
}

// The step before a write's first change to the sector: the caller's hook
// runs there (and only when there is a change to make), a hook that refuses
// ends the run with nothing sent after it, and a module that has gone by
// then, silent through the hook's own reads, is not erased.
namespace {

struct HookRun {
    FakeModule* fm;
    int conn;
    int calls = 0;
    int result = 0;
    bool silence = false;      // the module falls silent during the hook's read: six 4-second waits
    std::size_t sent_by_hook = 0;
};

int hook(int handle, int sector, void* context) {
    auto& h = *static_cast<HookRun*>(context);
    ++h.calls;
    EXPECT_EQ(handle, h.conn);
    EXPECT_EQ(sector, 3);
    if (h.silence) {
        h.fm->set_script([](const Datagram&, int) { return std::vector<Action>{}; });
        vrn_recover_read_cell(handle, sector, 0);
        EXPECT_TRUE(link_health(handle)->gone);
    }
    h.sent_by_hook = h.fm->count(1);
    return h.result;
}

struct BeforeChangeCase {
    const char* name;
    int flags;
    bool image_in_place;  // the cells already hold the image
    int result;           // the hook's
    bool silence;
    int status, calls;
};

class BeforeChange : public testing::TestWithParam<BeforeChangeCase> {};

}  // namespace

TEST_P(BeforeChange, RunsBeforeTheFirstChangeOnly) {
    const BeforeChangeCase& c = GetParam();
    set_geometry();
    FakeModule fm(losing_module(0, 0));
    Conn conn(fm.address());
    std::uint8_t image[8];
    for (int i = 0; i < 8; ++i)
        image[i] = static_cast<std::uint8_t>(cell_value(vrn_flash_cell_address(3, i)) ^ (c.image_in_place ? 0 : 1));
    HookRun run{&fm, conn.h};
    run.result = c.result;
    run.silence = c.silence;
    const VrnBeforeChange before{hook, &run};
    VrnWriteReport report;
    EXPECT_EQ(vrn_recover_write(conn.h, 3, image, 8, c.flags, &report, &before), c.status);
    EXPECT_EQ(run.calls, c.calls);
    EXPECT_EQ(report.refused, c.status == VRN_WRITE_REFUSED ? c.result : 0);
    EXPECT_EQ(report.gone != 0, c.status == VRN_WRITE_GAVE_UP) << "gave up: the module counted as gone";
    if (c.calls == 1 && c.status != VRN_WRITE_OK) {
        EXPECT_EQ(fm.count(1), run.sent_by_hook) << "nothing sent after the hook";
        EXPECT_EQ(report.erased, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Recovery, BeforeChange,
    testing::Values(BeforeChangeCase{"RefusedBeforeTheErase", 0, false, 7, false, VRN_WRITE_REFUSED, 1},
                    BeforeChangeCase{"RefusedAfterTheFirstRead", VRN_WRITE_CHANGED_ONLY, false, 9, false,
                                     VRN_WRITE_REFUSED, 1},
                    BeforeChangeCase{"NotCalledWhenNothingChanges", VRN_WRITE_CHANGED_ONLY, true, 7, false,
                                     VRN_WRITE_OK, 0},
                    BeforeChangeCase{"GoneDuringTheHook", 0, false, 0, true, VRN_WRITE_GAVE_UP, 1}),
    [](const testing::TestParamInfo<BeforeChangeCase>& info) { return std::string(info.param.name); });

// The read-back believes a difference only once a read of the cell alone,
// from a port that never sent, confirms it: an answer to another request
// taken for the cell's own (a trailing copy reaching a later wait) is
// refuted, a cell really spoilt after programming is still reported with
// both values, and when no such read comes through the run says that it
// could not confirm, not that the sector differs.
namespace {

enum class Spoil { OneStrayAnswer, CellSpoiltAfterProgramming, ConfirmationLost };

struct ReadBackCase {
    const char* name;
    Spoil spoil;
    int status;
};

class ReadBack : public testing::TestWithParam<ReadBackCase> {};

constexpr int kCells = 16;
constexpr int kSpoiltCell = 9;
constexpr std::uint8_t kWrong = 0x01;

}  // namespace

TEST_P(ReadBack, BelievesADifferenceOnlyFromAReadThatNothingCouldSpoil) {
    const ReadBackCase& c = GetParam();
    set_geometry();
    // Reads answer the image (the erase poll finds cell 0 at 0xFF, each
    // program verify its byte); once the last cell's program was verified,
    // the read-back's read of the spoilt cell is answered as the case says.
    std::uint8_t image[kCells];
    for (int i = 0; i < kCells; ++i) image[i] = static_cast<std::uint8_t>(0x30 + 5 * i);
    image[0] = 0xFF;
    bool programmed = false, spoilt = false;
    int first_wrong = -1;  // the request answered wrong first
    auto cell_of = [](std::uint32_t address) {
        for (int i = 0; i < kCells; ++i)
            if (vrn_flash_cell_address(3, i) == address) return i;
        return -1;
    };
    FakeModule fm([&](const Datagram& d, int seq) -> std::vector<Action> {
        if (d.bytes.size() == 44 && word_at(d.bytes, 40) == 0x30) programmed = spoilt = false;  // an erase
        if (d.bytes.size() != 40 || word_at(d.bytes, 20) != kBusRead) return {{make_ack(32)}};
        const int cell = cell_of(word_at(d.bytes, 32));
        const Bytes right = make_ack(36, {cell < 0 ? 0xFFu : image[cell]});
        if (cell == kCells - 1) programmed = true;
        if (cell != kSpoiltCell || !programmed) return {{right}};
        const Bytes wrong = make_ack(36, {kWrong});
        if (first_wrong < 0) first_wrong = seq;
        switch (c.spoil) {
            case Spoil::OneStrayAnswer:
                // Another request's answer first; the cell's own trails it.
                if (spoilt) return {{right}};
                spoilt = true;
                return {{wrong}, {right, 30}};
            case Spoil::CellSpoiltAfterProgramming: return {{wrong}};
            case Spoil::ConfirmationLost:
                if (spoilt) return {};
                spoilt = true;
                return {{wrong}};
        }
        return {};
    });
    Conn conn(fm.address());
    ASSERT_EQ(vrn_set_wait(conn.h, 100), 0);
    VrnWriteReport report;
    EXPECT_EQ(vrn_recover_write(conn.h, 3, image, kCells, 0, &report), c.status);
    if (c.status != VRN_WRITE_OK) {
        EXPECT_EQ(report.cell, kSpoiltCell);
        EXPECT_EQ(report.wrote, image[kSpoiltCell]);
        EXPECT_EQ(report.read, kWrong);
        EXPECT_EQ(report.erased, 1);
    }
    // The read that settled the spoilt cell came from a port that had sent nothing before.
    const std::vector<Datagram> sent = fm.received();
    const std::uint32_t spoilt_address = vrn_flash_cell_address(3, kSpoiltCell);
    bool from_fresh_port = false;
    ASSERT_GE(first_wrong, 0);
    for (std::size_t i = std::size_t(first_wrong) + 1; i < sent.size(); ++i) {
        if (sent[i].bytes.size() != 40 || word_at(sent[i].bytes, 32) != spoilt_address) continue;
        bool fresh = true;
        for (std::size_t j = 0; j < i; ++j) fresh = fresh && sent[j].src_port != sent[i].src_port;
        from_fresh_port = fresh;
        break;
    }
    EXPECT_TRUE(from_fresh_port);
}

INSTANTIATE_TEST_SUITE_P(
    Recovery, ReadBack,
    testing::Values(ReadBackCase{"AStrayAnswerIsNoDifference", Spoil::OneStrayAnswer, VRN_WRITE_OK},
                    ReadBackCase{"ACellSpoiltAfterProgrammingDiffers", Spoil::CellSpoiltAfterProgramming,
                                 VRN_WRITE_DIFFERS},
                    ReadBackCase{"AConfirmationThatNeverComesIsNoDifference", Spoil::ConfirmationLost,
                                 VRN_WRITE_UNCONFIRMED}),
    [](const testing::TestParamInfo<ReadBackCase>& info) { return std::string(info.param.name); });

// A connection's later operation is not bound by an earlier one that gave
// up: the budget and the given-up mark belong to one operation.
TEST(Budget, AnOperationAfterOneThatGaveUpRunsAgain) {
    set_geometry();
    FakeModule fm(losing_module(6, 5));
    Conn conn(fm.address());
    ASSERT_EQ(vrn_set_wait(conn.h, 20), 0);
    std::vector<std::uint8_t> cells(400);
    ASSERT_EQ(vrn_recover_read(conn.h, 3, 0, cells.data(), static_cast<int>(cells.size()), nullptr), -1);
    ASSERT_TRUE(vrn_link_gone(conn.h));
    fm.set_script(losing_module(0, 0));
    EXPECT_EQ(vrn_recover_read(conn.h, 3, 0, cells.data(), 8, nullptr), -1) << "without a new start, still given up";
    vrn_recover_begin(conn.h);
    ASSERT_EQ(vrn_recover_read(conn.h, 3, 0, cells.data(), 8, nullptr), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(cells[i], cell_value(vrn_flash_cell_address(3, i))) << i;
}

// A cell that never takes its byte, behind a module that loses the answer
// to the first `lost` data writes of the byte's program: a run that met
// trouble is repeated within the bound of runs, but two runs whose verify
// failed with every answer there end the byte: the chip refuses it, and
// each further run would cost the whole verify poll.
TEST(StuckCell, FailsAfterTwoRunsWithoutTroubleWhateverCameBefore) {
    set_geometry();
    constexpr int kOffset = 6;
    constexpr std::uint8_t kByte = 0x5A;
    const std::uint32_t stuck = vrn_flash_cell_address(3, kOffset);
    struct Case {
        int lost, runs;
    };
    for (const Case& c : {Case{0, 2}, Case{1, 3}, Case{5, 7}, Case{8, 8}}) {
        int runs = 0, data_writes = 0;
        long cell_reads = 0;
        FakeModule fm([&](const Datagram& d, int) -> std::vector<Action> {
            const bool at_cell = word_at(d.bytes, 32) == stuck;
            if (d.bytes.size() == 40 && word_at(d.bytes, 20) == kBusRead) {
                cell_reads += at_cell;
                return {{make_ack(36, {0xFF})}};
            }
            if (d.bytes.size() == 44 && at_cell) {
                const std::uint32_t value = word_at(d.bytes, 40);
                runs += value == 0xA0;
                if (value == kByte && data_writes++ < c.lost) return {};
            }
            return {{make_ack(32)}};
        });
        Conn conn(fm.address());
        EXPECT_EQ(vrn_recover_program_byte(conn.h, 3, kOffset, kByte), VRN_BYTE_FAILED) << c.lost << " lost";
        EXPECT_EQ(runs, c.runs) << c.lost << " lost";
        // The two runs without trouble poll the verify to its end (4096
        // reads); a run that lost an answer stops its poll; each run then
        // reads the cell until two reads agree.
        const long clean_runs = c.runs - c.lost;
        EXPECT_GE(cell_reads, clean_runs * 4096) << c.lost << " lost";
        EXPECT_LE(cell_reads, clean_runs * 4096 + c.runs * g_recovery.stable_reads) << c.lost << " lost";
        EXPECT_FALSE(vrn_link_gone(conn.h));
    }
}
