// The clock set-up over a scripted line: a junction-free line of four whose
// second slave has no clock, answering like ESCs do. What goes on the wire:
// the features of all slaves in one frame, the latch, the reads batched,
// each clock's delay and offset, the loop reset after them, and the
// reference's time sent round as often as asked.
#include "master/dc_setup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "common/unique_fd.h"
#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "eni/eni_reader.h"
#include "master/process_data.h"
#include "tests/support/process_harness.h"
#include "tests/support/scripted_link.h"

namespace parvane::master {
namespace {

namespace reg = ecat::reg;
using ecat::Command;

using Key = std::pair<std::uint16_t, std::uint16_t>;  // station (0: broadcast), register

struct FakeEsc {
    std::uint16_t station;
    bool dc;
    PortTimes times;
    std::uint64_t local;
    std::uint16_t dl;
};

TEST(DcSetUp, WritesDelaysAndOffsetsThenResetsAndDistributes) {
    // A line: ports 0 and 1 open except at the end. Links 100 ns to the
    // clockless slave 1 and on, 150 ns, 200 ns; slave 1 adds nothing.
    const std::vector<FakeEsc> escs{
        {1001, true, {1000, 1900, 0, 0}, 5'000'000'000, 0x5A00},
        {1002, false, {0, 0, 0, 0}, 0, 0x5A00},
        {1003, true, {7, 407, 0, 0}, 9'000'000'000, 0x5A00},
        {1004, true, {123, 0, 0, 0}, 1'000, 0x5600},
    };
    std::map<Key, std::vector<std::uint8_t>> written;
    std::vector<std::uint16_t> broadcastOrder;
    int frmw = 0;
    auto find = [&](std::uint16_t station) -> const FakeEsc* {
        for (const FakeEsc& e : escs) {
            if (e.station == station)
                return &e;
        }
        return nullptr;
    };
    testsupport::ScriptedLink link(testsupport::EachDatagram([&](ecat::DatagramView& d) {
        const auto data = d.data();
        const FakeEsc* esc = find(d.adp());
        switch (d.command()) {
            case Command::kFprd:
                if (!esc)
                    return true;
                if (d.ado() == reg::kFeatures)
                    ecat::Put16(data.data(), esc->dc ? 0x01CC : 0x0000);
                else if (d.ado() == reg::kDlStatus)
                    ecat::Put16(data.data(), esc->dl);
                else if (d.ado() == reg::kDcReceiveTime && esc->dc) {
                    for (unsigned p = 0; p < 4; ++p)
                        ecat::Put32(data.data() + 4 * p, esc->times[p]);
                    ecat::Put64(data.data() + 0x18, esc->local);
                } else
                    return true;
                d.setWkc(1);
                return true;
            case Command::kFpwr:
                if (esc) {
                    written[{d.adp(), d.ado()}].assign(data.begin(), data.end());
                    d.setWkc(1);
                }
                return true;
            case Command::kBwr:
                broadcastOrder.push_back(d.ado());
                written[{0, d.ado()}].assign(data.begin(), data.end());
                d.setWkc(3);
                return true;
            case Command::kFrmw:
                ++frmw;
                d.setWkc(1);
                return true;
            default:
                return true;
        }
    }));
    Exchange exchange(link, {});
    eni::NetworkConfig config;
    config.slaves.resize(4);
    DcOptions options;
    options.driftFrames = 40;
    const std::uint16_t stations[] = {1001, 1002, 1003, 1004};
    const std::uint64_t before = MasterTimeNs();
    auto line = SetUpDc(exchange, config, stations, options);
    const std::uint64_t after = MasterTimeNs();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->reference, 0u);
    EXPECT_EQ(frmw, 40);
    // features, latch, reads, delays + offsets, filter, loop reset: six
    // frames before the 40 distributions.
    EXPECT_EQ(link.sent.size(), 6u + 40u);

    struct Expect {
        std::uint16_t station;
        std::uint32_t delay;
    };
    // Delays from the first clock: slave 0 sees 900 ns round trip through
    // the clockless slave 1 and on, slave 2 400 of it below itself; half
    // the rest, 250, is the way there (100 + 150). Slave 3 another 200.
    for (const Expect& e : {Expect{1001, 0}, Expect{1003, 250}, Expect{1004, 450}}) {
        SCOPED_TRACE(e.station);
        const auto& delay = written[{e.station, reg::kDcSystemTimeDelay}];
        ASSERT_EQ(delay.size(), 4u);
        EXPECT_EQ(ecat::Get32(delay.data()), e.delay);
        const auto& offset = written[{e.station, reg::kDcSystemTimeOffset}];
        ASSERT_EQ(offset.size(), 8u);
        // local + offset is the master's time of the latch.
        const std::uint64_t system = find(e.station)->local + ecat::Get64(offset.data());
        EXPECT_GE(system, before);
        EXPECT_LE(system, after);
    }
    EXPECT_FALSE(written.contains({1002, reg::kDcSystemTimeDelay}));  // no clock, no write
    const std::vector<std::uint16_t> order{reg::kDcReceiveTime, reg::kDcTimeFilterDepth,
                                           reg::kDcSpeedCounterStart};
    EXPECT_EQ(broadcastOrder, order);
    const std::vector<std::uint8_t> reset{0x00, 0x10};
    const Key resetKey{0, reg::kDcSpeedCounterStart};
    EXPECT_EQ(written[resetKey], reset);
}

// Following the reference clock: the file's own distribution of its time
// carries it where there is one and the file's write of the master's time
// to it (bus shift) stays off the wire; without one the master adds an
// FRMW of the reference's 8 bytes.
TEST(DcCycle, CarriesTheReferenceTimeAndNoBusShift) {
    struct Case {
        const char* file;
        bool ownFrmw;
    };
    const Case cases[] = {
        {SHARED_CORPUS_DIR "/bigcjv_6axis_servo.xml", false},
        {EXAMPLES_DIR "/five-slaves.eni.xml", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto eni = eni::ReadEniFile(c.file);
        ASSERT_TRUE(eni.has_value());
        testsupport::ScriptedLink link(testsupport::AnsweringSlaves(1));
        Exchange exchange(link, {});
        CyclicProcessData cyclic(exchange, eni->config, CyclicOptions{false, 0});
        cyclic.FollowClock(CycleClock{1001, 1'000'000, 500'000, 0});
        cyclic.Start(ecat::AlState::kOp);
        testsupport::WaitUntil([&] { return cyclic.counters().cycles >= 5; },
                               std::chrono::seconds(5));
        cyclic.Stop();
        ASSERT_GE(cyclic.counters().cycles, 5u);
        int frmw = 0;
        int armw = 0;
        int busShift = 0;
        for (const testsupport::Frame& frame : link.sent) {
            testsupport::Frame copy = frame;
            ecat::ParsedFrame parsed;
            ASSERT_TRUE(ecat::ReadFrame(copy, parsed));
            for (std::size_t i = 0; i < parsed.count; ++i) {
                const ecat::DatagramView& d = parsed.views[i];
                if (d.ado() != reg::kDcSystemTime)
                    continue;
                frmw += d.command() == Command::kFrmw && d.adp() == 1001 && d.length() == 8;
                armw += d.command() == Command::kArmw;
                busShift += d.command() == Command::kApwr;
            }
        }
        EXPECT_EQ(busShift, 0);
        EXPECT_EQ(frmw > 0, c.ownFrmw);
        EXPECT_EQ(armw > 0, !c.ownFrmw);
    }
}

// The kernel's CPU latency limit (the lowest request held); -1 unread.
std::int32_t CpuLatencyLimit() {
    common::UniqueFd fd(::open("/dev/cpu_dma_latency", O_RDONLY | O_CLOEXEC));
    std::int32_t us = -1;
    return fd.valid() && ::read(fd.get(), &us, sizeof us) == sizeof us ? us : -1;
}

// The real-time cycle holds the CPUs out of deep idle while it runs.
TEST(CyclicProcessData, KeepsTheCpusOutOfDeepIdleWhileItRuns) {
    if (CpuLatencyLimit() <= 0)
        GTEST_SKIP() << "not root, or another process holds the limit at 0";
    auto eni = eni::ReadEniFile(EXAMPLES_DIR "/five-slaves.eni.xml");
    ASSERT_TRUE(eni.has_value());
    testsupport::ScriptedLink link(testsupport::AnsweringSlaves(1));
    Exchange exchange(link, {});
    CyclicProcessData cyclic(exchange, eni->config, CyclicOptions{true, 1});
    cyclic.Start(ecat::AlState::kSafeOp);
    testsupport::WaitUntil([&] { return cyclic.counters().cycles >= 2; }, std::chrono::seconds(5));
    EXPECT_EQ(CpuLatencyLimit(), 0);
}

}  // namespace
}  // namespace parvane::master
