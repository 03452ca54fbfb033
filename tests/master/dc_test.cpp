// Distributed clocks, the parts that need no wire: delays from the receive
// times of a latch frame (worked out by hand from the round trips), the
// start time of SYNC0, its place in the PREOP -> SAFEOP plans of real ENI
// files, and the loop that keeps the cyclic frame's phase.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "eni/eni_reader.h"
#include "master/dc_phase.h"
#include "master/dc_setup.h"
#include "master/dc_start_time.h"

namespace parvane::master {
namespace {

namespace fs = std::filesystem;
namespace reg = ecat::reg;

std::uint16_t Dl(std::initializer_list<unsigned> open) {
    std::uint16_t status = 0;
    for (unsigned p = 0; p < kPortCount; ++p) {
        const bool isOpen = std::find(open.begin(), open.end(), p) != open.end();
        status = static_cast<std::uint16_t>(status | (isOpen ? 0x0200u : 0x0100u) << (2 * p));
    }
    return status;
}

// One-way delays, by hand: a line 0-1-2-3 with links of 100, 150 and 200 ns
// (round trips 900 at slave 0, 700 at 1, 400 at 2) gives 0, 100, 250, 450.
// A junction (ports A, D, B) with slaves 1-2 on D (links 100, 150) and 3 on
// B (link 300): the frame reaches 3 after the D branch's 500 ns round trip
// plus 300, so 800.
TEST(DcDelays, FromReceiveTimesAndTree) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> dl;
        std::vector<PortTimes> times;
        std::vector<std::uint8_t> dc;
        std::vector<std::int64_t> delays;
    };
    const Case cases[] = {
        {"a line of four",
         {Dl({0, 1}), Dl({0, 1}), Dl({0, 1}), Dl({0})},
         {{1000, 1900, 0, 0}, {50000, 50700, 0, 0}, {7, 407, 0, 0}, {123, 0, 0, 0}},
         {1, 1, 1, 1},
         {0, 100, 250, 450}},
        {"a line whose port times wrap at 32 bits",
         {Dl({0, 1}), Dl({0, 1}), Dl({0, 1}), Dl({0})},
         {{0xFFFFFD00u, 0xFFFFFD00u + 900, 0, 0},
          {0xFFFFFE00u, 0xFFFFFE00u + 700, 0, 0},
          {0xFFFFFFF0u, 0xFFFFFFF0u + 400, 0, 0},
          {5, 0, 0, 0}},
         {1, 1, 1, 1},
         {0, 100, 250, 450}},
        {"a junction with two branches",
         {Dl({0, 1, 3}), Dl({0, 1}), Dl({0}), Dl({0})},
         {{2000, 3100, 0, 2500}, {9000, 9300, 0, 0}, {1, 0, 0, 0}, {4, 0, 0, 0}},
         {1, 1, 1, 1},
         {0, 100, 250, 800}},
        {"a first slave without a clock: delays count from the first with one",
         {Dl({0, 1}), Dl({0, 1}), Dl({0, 1}), Dl({0})},
         {{0, 0, 0, 0}, {50000, 50700, 0, 0}, {7, 407, 0, 0}, {123, 0, 0, 0}},
         {0, 1, 1, 1},
         {0, 0, 150, 350}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto tree = FindTopology(c.dl, c.times);
        EXPECT_EQ(PropagationDelays(tree, c.times, c.dc), c.delays);
    }
}

TEST(DcReference, NamedByTheEniElseTheFirstClock) {
    eni::NetworkConfig config;
    config.slaves.resize(4);
    config.slaves[2].dc = eni::DcConfig{.referenceClock = true};
    struct Case {
        std::vector<std::uint8_t> dc;
        std::optional<std::size_t> reference;
    };
    const Case cases[] = {
        {{0, 1, 1, 1}, 2},             // the ENI's choice has a clock
        {{0, 1, 0, 1}, 1},             // it has none: the first that has
        {{0, 0, 0, 0}, std::nullopt},  // no clock at all
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChooseReference(config, c.dc), c.reference);
}

TEST(DcStartTime, FutureOnTheCycleGridPlusShift) {
    struct Case {
        std::uint64_t base;
        std::uint32_t cycle;
        std::int32_t shift;
        std::uint64_t start;
    };
    const Case cases[] = {
        {1'234'567'890, 1'000'000, 0, 1'235'000'000},
        {1'234'567'890, 1'000'000, 250'000, 1'235'250'000},
        {1'234'567'890, 1'000'000, -100'000, 1'234'900'000},
        {2'000'000, 1'000'000, 0, 3'000'000},   // on the grid: the next point, never now
        {1'234'567'890, 0, 10, 1'234'567'900},  // no cycle: the base itself
        // A 64-bit time of year 26 after 2000: no overflow, still aligned.
        {820'000'000'123'456'789ull, 500'000, 0, 820'000'000'123'500'000ull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        const std::uint64_t start = AlignedStartTime(c.base, c.cycle, c.shift);
        EXPECT_EQ(start, c.start);
        EXPECT_GT(start, c.base);
    }
}

const eni::Slave* SlaveAt(const eni::NetworkConfig& config, std::size_t i) {
    return i < config.slaves.size() ? &config.slaves[i] : nullptr;
}

std::vector<const eni::InitCmd*> StartWrites(const SlavePlan& plan) {
    std::vector<const eni::InitCmd*> found;
    for (const eni::InitCmd* cmd : plan.cmds) {
        if (!cmd->datagram.logical && cmd->datagram.ado == reg::kDcStartTime)
            found.push_back(cmd);
    }
    return found;
}

// An export's "set DC start time" (eight zero bytes, Requires cycle) gets
// the aligned start time; the 32-bit form of the same write the low half.
TEST(DcStartTime, ReplacesTheExportsZeroWrite) {
    auto eni = eni::ReadEniFile(fs::path(SHARED_CORPUS_DIR) / "bigcjv_6axis_servo.xml");
    ASSERT_TRUE(eni.has_value());
    const eni::NetworkConfig& config = eni->config;
    const eni::Slave* drive = SlaveAt(config, 1);
    ASSERT_NE(drive, nullptr);
    const std::uint64_t base = 0x0123'4567'89AB'CDEFull;
    const std::uint64_t expected = AlignedStartTime(base, 1'000'000, 0);
    struct Case {
        const char* name;
        std::size_t bytes;  // the file's write made this long
        bool asFile;
        std::uint64_t written;
    };
    const Case cases[] = {
        {"64-bit write", 8, false, expected},
        {"32-bit write", 4, false, expected & 0xFFFFFFFFu},
        {"the test seam leaves the zeros", 8, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        eni::Slave slave = *drive;
        for (eni::InitCmd& cmd : slave.initCmds) {
            if (cmd.datagram.ado == reg::kDcStartTime)
                cmd.datagram.data.assign(c.bytes, 0);
        }
        SlavePlan plan = PlanSlave(config, slave, eni::Transition::kPS, ecat::AlState::kSafeOp);
        ASSERT_TRUE(PlanTakesStartTime(plan, slave, eni::Transition::kPS));
        EXPECT_FALSE(NeedsMasterDcWrites(slave));  // the file writes the sync unit itself
        const std::size_t before = plan.cmds.size();
        ApplyStartTime(plan, slave, base, c.asFile);
        EXPECT_EQ(plan.cmds.size(), before);
        const auto writes = StartWrites(plan);
        ASSERT_EQ(writes.size(), 1u);
        const auto& data = writes[0]->datagram.data;
        ASSERT_EQ(data.size(), c.bytes);
        const std::uint64_t value =
            c.bytes == 8 ? ecat::Get64(data.data()) : ecat::Get32(data.data());
        EXPECT_EQ(value, c.written);
        EXPECT_EQ(writes[0]->comment, "set DC start time");
    }
}

// A hand-written ENI with a DC element and no DC command: the master writes
// activation off, the cycle, the start time and activation on, in that
// order, before its AL control request.
TEST(DcStartTime, HandWrittenEniGetsTheSyncUnitWrites) {
    auto eni = eni::ReadEniFile(fs::path(SHARED_SAMPLES_DIR) / "kickcat-io-handwritten.xml");
    ASSERT_TRUE(eni.has_value());
    const eni::NetworkConfig& config = eni->config;
    const auto it =
        std::ranges::find_if(config.slaves, [](const eni::Slave& s) { return s.dc.has_value(); });
    ASSERT_NE(it, config.slaves.end());
    const eni::Slave& slave = *it;
    ASSERT_TRUE(NeedsMasterDcWrites(slave));
    ASSERT_TRUE(EniUsesDc(config));
    for (const std::uint32_t cycle1 : {0u, 500'000u}) {
        SCOPED_TRACE(cycle1);
        eni::Slave s = slave;
        s.dc->cycleTime1 = cycle1;
        SlavePlan plan = PlanSlave(config, s, eni::Transition::kPS, ecat::AlState::kSafeOp);
        ASSERT_TRUE(plan.masterRequests);
        const std::size_t extrasBefore = plan.extrasAt;
        const std::uint64_t start = ApplyStartTime(plan, s, 10'000'000'000ull, false);
        EXPECT_EQ(start, AlignedStartTime(10'000'000'000ull, s.dc->cycleTime0, s.dc->shiftTime));
        std::vector<std::uint16_t> ados;
        for (std::size_t i = extrasBefore; i < plan.extrasAt; ++i) {
            ados.push_back(plan.cmds[i]->datagram.ado);
            EXPECT_EQ(plan.cmds[i]->datagram.adp, s.physAddr);
        }
        std::vector<std::uint16_t> order{reg::kDcActivation, reg::kDcSync0Cycle};
        if (cycle1 != 0)
            order.push_back(reg::kDcSync1Cycle);
        order.insert(order.end(), {reg::kDcStartTime, reg::kDcActivation});
        EXPECT_EQ(ados, order);
        EXPECT_EQ(plan.cmds[extrasBefore]->datagram.data, std::vector<std::uint8_t>{0});
        EXPECT_EQ(ecat::Get32(plan.cmds[extrasBefore + 1]->datagram.data.data()), s.dc->cycleTime0);
        EXPECT_EQ(ecat::Get64(StartWrites(plan)[0]->datagram.data.data()), start);
        EXPECT_EQ(plan.cmds[plan.extrasAt - 1]->datagram.data,
                  std::vector<std::uint8_t>{static_cast<std::uint8_t>(cycle1 ? 0x07 : 0x03)});
    }
}

TEST(DcPhase, ErrorWrapsIntoHalfACycle) {
    const PhaseLock lock(1'000'000, 250'000);
    struct Case {
        std::uint64_t ref;
        std::int64_t error;
    };
    const Case cases[] = {
        {7'000'250'000, 0},        {7'000'250'100, 100},     {7'000'249'900, -100},
        {7'000'750'000, -500'000}, {7'000'749'999, 499'999},
    };
    for (const Case& c : cases)
        EXPECT_EQ(lock.Error(c.ref), c.error) << c.ref;
    EXPECT_EQ(ExtendTime(0x1'FFFF'FF00ull, 0x10), 0x2'0000'0010ull);
    EXPECT_EQ(ExtendTime(0x1'0000'0010ull, 0xFFFFFFF0u), 0x0'FFFF'FFF0ull);
}

// The master's clock runs off the reference's by a drift; the loop must
// pull the frame onto the target and hold it there. A wake-up the host
// delayed once must not pull the frames after it off the target, and a
// phase that moved (cycles skipped) is caught up within a few cycles.
TEST(DcPhase, FollowsADriftingReference) {
    struct Case {
        double ppm;
        double lateOnce;  // one wake-up this much late, in the window
        double moved;     // the wake-ups moved for good, in the window
    };
    const Case cases[] = {
        {-100, 0, 0}, {0, 0, 0}, {100, 0, 0}, {100, 300'000, 0}, {-100, 0, 300'000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.ppm << " ppm, late " << c.lateOnce << ", moved " << c.moved);
        PhaseLock lock(1'000'000, 500'000);
        double master = 0;  // the host's wake-up, ns
        const double latency = 30'000;
        std::optional<PhaseFigures> figures;
        for (int k = 0; k < 3000; ++k) {
            if (k == 1000)
                master += c.moved;
            const double late = k == 1000 ? c.lateOnce : 0;
            const double ref = 123'456'789 + (master + latency + late) * (1 + c.ppm * 1e-6);
            const std::int64_t correction = lock.Update(static_cast<std::uint64_t>(ref));
            if (auto f = lock.TakeFigures())
                figures = f;
            master += 1'000'000 + static_cast<double>(correction);
        }
        const double ref = 123'456'789 + (master + latency) * (1 + c.ppm * 1e-6);
        EXPECT_LE(std::llabs(lock.Error(static_cast<std::uint64_t>(ref))), 20);
        ASSERT_TRUE(figures.has_value());
        EXPECT_LE(std::llabs(figures->meanNs), c.lateOnce + c.moved > 0 ? 2'000 : 20);
        EXPECT_LE(figures->p99Ns, 5'000);
        EXPECT_EQ(figures->samples, PhaseLock::kWindow);
        EXPECT_FALSE(lock.TakeFigures().has_value());  // said once
    }
}

// The figures of the window after settling, from errors fed straight in:
// the 99th percentile is the distance from the mean that 990 of the 1000
// errors stay within (ten outliers hide in it, eleven do not).
TEST(DcPhase, FiguresOfTheWindowWithItsNinetyNinthPercentile) {
    struct Case {
        const char* name;
        std::int64_t (*error)(unsigned sample);  // by index in the window
        std::int64_t mean, worst, p99;
    };
    const Case cases[] = {
        {"steady", [](unsigned) -> std::int64_t { return 100; }, 100, 100, 0},
        {"alternating", [](unsigned i) -> std::int64_t { return i % 2 ? 1000 : -1000; }, 0, 1000,
         1000},
        {"ten outliers", [](unsigned i) -> std::int64_t { return i % 100 == 7 ? 50'000 : 0; }, 500,
         50'000, 500},
        {"eleven outliers",
         [](unsigned i) -> std::int64_t { return i % 100 == 7 || i == 998 ? 50'000 : 0; }, 550,
         50'000, 49'450},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PhaseLock lock(1'000'000, 250'000);
        std::optional<PhaseFigures> figures;
        for (unsigned k = 0; k < PhaseLock::kSettleCycles + PhaseLock::kWindow + 1; ++k) {
            const unsigned sample =
                k >= PhaseLock::kSettleCycles ? k - PhaseLock::kSettleCycles : 0;
            const std::int64_t e = k > 0 && k >= PhaseLock::kSettleCycles ? c.error(sample) : 0;
            lock.Update(static_cast<std::uint64_t>(5'000'250'000 + e));
            if (auto f = lock.TakeFigures())
                figures = f;
        }
        ASSERT_TRUE(figures.has_value());
        EXPECT_EQ(figures->samples, PhaseLock::kWindow);
        EXPECT_EQ(figures->meanNs, c.mean);
        EXPECT_EQ(figures->worstNs, c.worst);
        EXPECT_EQ(figures->p99Ns, c.p99);
    }
}

}  // namespace
}  // namespace parvane::master
