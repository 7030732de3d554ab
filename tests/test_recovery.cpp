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
                                         SilenceCase{"FixedWait", 500, 48},
                                         // 1, 2 and 4 s, then 4 s each
                                         SilenceCase{"AutoWait", VRN_WAIT_AUTO, 8}),
                         [](const testing::TestParamInfo<SilenceCase>& info) { return std::string(info.param.name); });

// A module that answered nothing of an identification counts as not
// answering, also when a short wait spends the run's budget before the
// silence is long enough.
TEST(Silence, ANoAnswerIdentificationSaysSoEvenWhenTheBudgetEndsItFirst) {
    FakeModule fm;
    Conn conn(fm.address());
    ASSERT_EQ(vrn_set_wait(conn.h, 50), 0);
    vrnFlashInfo info{};
    EXPECT_EQ(vrn_recover_identify(conn.h, &info), VRN_IDENTIFY_NO_ANSWER);
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
TEST(Patience, AnAnswerSlowerEveryTimeIsWaitedForOnARepeat) {
    set_geometry();
    int erase_commands = 0;
    FakeModule fm([&](const Datagram& d, int) -> std::vector<Action> {
        if (d.bytes.size() == 40 && word_at(d.bytes, 20) == kBusRead) return {{make_ack(36, {0xFF})}};
        if (d.bytes.size() == 44 && word_at(d.bytes, 40) == 0x30) {
            ++erase_commands;
            return {{make_ack(32), 40}};
        }
        return {{make_ack(32)}};
    });
    Conn conn(fm.address());
    ASSERT_EQ(vrn_set_wait(conn.h, VRN_WAIT_AUTO), 0);
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
