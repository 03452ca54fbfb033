// Distributed clocks end to end: the master's state machine walks real
// drive lines (one a tree with a junction) to OP through frames against the
// emulated slaves, whose clocks drift by up to 100 ppm and whose ESCs and
// cables delay the frame differently. The delays the master writes must be
// the times the emulated frame really takes from the reference; every clock
// must follow the reference within 100 ns after a second in SAFEOP; SYNC0
// must start in the future on the cycle's grid plus the shift. A master that
// writes the file's zero start time must see the drives refuse OP.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ecat/al_state.h"
#include "ecat/byte_order.h"
#include "ecat/frame.h"
#include "ecat/registers.h"
#include "emulator/dc_unit.h"
#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "emulator/topology.h"
#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/dc_setup.h"
#include "master/exchange.h"
#include "master/state_machine.h"
#include "tests/support/kept_log.h"

namespace parvane::master {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The time a frame takes from the reference's port A to each slave's port A
// on the emulated wire: the emulator's own account of its ESCs and cables,
// laid out as the ENI's tree (or a line when the description lists slaves).
std::vector<std::int64_t> ModelDelays(const eni::NetworkConfig& config,
                                      const emulator::Segment& segment, bool tree,
                                      std::size_t reference) {
    std::vector<std::uint8_t> linked;
    std::vector<emulator::DcSettings> settings;
    const auto layout = tree ? emulator::TreeOf(config.slaves) : std::nullopt;
    for (std::size_t p = 0; p < segment.size(); ++p) {
        settings.push_back(segment.slave(p).dcSettings());
        if (layout)
            linked.push_back(layout->linkedPorts[layout->wireOrder[p]]);
        else
            linked.push_back(p + 1 == segment.size() ? 0x01 : 0x03);
    }
    const auto times = emulator::FramePortTimes(linked, settings);
    std::vector<std::int64_t> delays;
    for (const auto& t : times)
        delays.push_back(static_cast<std::int64_t>(t.at[0]) -
                         static_cast<std::int64_t>(times[reference].at[0]));
    return delays;
}

std::optional<std::uint64_t> Read(Exchange& exchange, std::uint16_t station, std::uint16_t ado,
                                  std::size_t size) {
    std::uint8_t bytes[8] = {};
    auto wkc = exchange.Transact(ecat::Command::kFprd, ecat::MakeAddress(station, ado),
                                 std::span(bytes, size));
    if (!wkc || *wkc != 1)
        return std::nullopt;
    return size == 8 ? ecat::Get64(bytes) : size == 4 ? ecat::Get32(bytes) : ecat::Get16(bytes);
}

// The ENI slave a found slave is configured as: the one with its station
// address, else the one at its position.
const eni::Slave& EniSlaveOf(const eni::NetworkConfig& config, const FoundSlave& found) {
    for (const eni::Slave& s : config.slaves) {
        if (s.physAddr != 0 && s.physAddr == found.stationAddress)
            return s;
    }
    return config.slaves[found.position];
}

struct Row {
    const char* name;
    const char* file;
    const char* description;
    bool tree = false;         // the ENI's tree is laid out (no per-slave entries)
    bool startAsFile = false;  // the master writes the file's zero start time
};

const Row kRows[] = {
    {"six drives, drifts of +-100 ppm, ESCs and cables of differing delays",
     "bigcjv_6axis_servo.xml",
     R"({"slaves": [
        {"dc_drift_ppm": 100, "dc_forward_ns": 280, "dc_cable_ns": 0},
        {"dc_drift_ppm": -100, "dc_forward_ns": 450, "dc_cable_ns": 35},
        {"dc_drift_ppm": 62.5, "dc_forward_ns": 900, "dc_cable_ns": 510},
        {"dc_drift_ppm": -37, "dc_forward_ns": 310, "dc_cable_ns": 5},
        {"dc_drift_ppm": 0, "dc_forward_ns": 640, "dc_cable_ns": 1000},
        {"dc_drift_ppm": 99, "dc_forward_ns": 300, "dc_cable_ns": 120}]})"},
    {"a tree with a junction, drifts spread over +-100 ppm", "rcprg_velma_body.xml",
     R"({"dc_drift_spread_ppm": 100, "dc_seed": 11})", true},
    {"the file's zero start time", "bigcjv_6axis_servo.xml",
     R"({"dc_drift_spread_ppm": 100, "dc_seed": 3})", false, true},
};

TEST(DcLine, DrivesFollowTheReferenceAndReachOpOnlyWithAFutureStart) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        auto eni = eni::ReadEniFile(fs::path(SHARED_CORPUS_DIR) / row.file);
        ASSERT_TRUE(eni) << eni.error().message;
        // An end cap without an ESC is never on the wire.
        eni::NetworkConfig config = eni->config;
        eni::WithoutPassiveTerminals(config);
        auto description = emulator::ReadDescriptionText(row.description);
        ASSERT_TRUE(description) << description.error().message;
        auto segment = emulator::BuildSegment(config, *description);
        emulator::InProcessLink link(*segment);
        Exchange exchange(link, ExchangeOptions{});
        auto found = BringUp(exchange, config);
        ASSERT_TRUE(found);
        const std::vector<FoundSlave> slaves = found->found();
        ASSERT_EQ(slaves.size(), segment->size());

        testsupport::KeptLog log;
        StateMachineOptions options;
        options.realtimeCycle = false;
        options.dc.startTimeAsFile = row.startAsFile;
        StateMachine machine(exchange, config, slaves, options);
        machine.Request(ecat::AlState::kSafeOp);
        ASSERT_TRUE(machine.WaitIdle(std::chrono::steady_clock::now() + 60s));
        if (machine.reached() != ecat::AlState::kSafeOp) {
            std::printf("%s", log.Text().c_str());
        }
        ASSERT_EQ(machine.reached(), ecat::AlState::kSafeOp);

        // Which slaves keep a clock; the reference is the one the ENI names,
        // else the first.
        std::vector<bool> dc;
        std::optional<std::size_t> reference;
        for (std::size_t p = 0; p < slaves.size(); ++p) {
            auto features = Read(exchange, slaves[p].stationAddress, ecat::reg::kFeatures, 2);
            ASSERT_TRUE(features) << p;
            dc.push_back((*features & ecat::dc::kFeatureDc) != 0);
            if (dc.back() && !reference)
                reference = p;
        }
        for (std::size_t p = 0; p < slaves.size(); ++p) {
            const eni::Slave& s = EniSlaveOf(config, slaves[p]);
            if (dc[p] && s.dc && s.dc->referenceClock)
                reference = p;
        }
        ASSERT_TRUE(reference);
        // A slave before the reference takes the time the master's frame
        // carries there, never the reference's own (the master logs it):
        // only the slaves from the reference on are held to it.
        for (std::size_t p = 0; p < *reference; ++p)
            dc[p] = false;

        // The delays written to 0x0928 are the frame's times on the wire.
        const auto model = ModelDelays(config, *segment, row.tree, *reference);
        for (std::size_t p = 0; p < slaves.size(); ++p) {
            if (!dc[p])
                continue;
            auto delay = Read(exchange, slaves[p].stationAddress, ecat::reg::kDcSystemTimeDelay, 4);
            ASSERT_TRUE(delay) << p;
            // Port receive times show the way through an ESC only as the sum
            // of both directions, so no master sees how an ESC splits it: a
            // slave whose ESC forwards slower or faster than the reference's
            // is off by half that difference, and by no more.
            const double forwardSkew =
                std::abs(static_cast<double>(segment->slave(p).dcSettings().forwardNs) -
                         static_cast<double>(segment->slave(*reference).dcSettings().forwardNs));
            EXPECT_NEAR(static_cast<double>(*delay), static_cast<double>(model[p]),
                        10.0 + forwardSkew / 2)
                << "slave " << p;
        }

        // After a second of SAFEOP every clock follows the reference.
        std::this_thread::sleep_for(1s);
        std::int64_t largest = 0;
        for (std::size_t p = 0; p < slaves.size(); ++p) {
            if (!dc[p])
                continue;
            auto raw =
                Read(exchange, slaves[p].stationAddress, ecat::reg::kDcSystemTimeDifference, 4);
            ASSERT_TRUE(raw) << p;
            const std::int64_t diff =
                std::abs(ecat::dc::DecodeDifference(static_cast<std::uint32_t>(*raw)));
            EXPECT_LE(diff, 100) << "slave " << p;
            largest = std::max(largest, diff);
        }
        std::printf("[ %s ] largest |0x092C| after 1 s in SAFEOP: %lld ns\n", row.name,
                    static_cast<long long>(largest));

        machine.Request(ecat::AlState::kOp);
        ASSERT_TRUE(machine.WaitIdle(std::chrono::steady_clock::now() + 60s));
        if (row.startAsFile) {
            // Refused: a drive names the missing SYNC0 in its AL status
            // code, and the master logs it.
            EXPECT_NE(machine.reached(), ecat::AlState::kOp);
            bool coded = false;
            for (const std::uint16_t code :
                 {ecat::al_code::kSyncError, ecat::al_code::kFatalSyncError, ecat::al_code::kNoSync,
                  ecat::al_code::kInvalidDcSyncConfig, ecat::al_code::kPllError}) {
                char text[48];
                std::snprintf(text, sizeof text, "refused OP: AL status code 0x%04X",
                              static_cast<unsigned>(code));
                coded = coded || !log.Lines(text).empty();
            }
            EXPECT_TRUE(coded);
            EXPECT_FALSE(log.Lines("start times written as the file gives them").empty());
        } else {
            ASSERT_EQ(machine.reached(), ecat::AlState::kOp);
            // Each first SYNC0 lay ahead of the time it was written, by less
            // than a second, on the cycle's grid plus the shift; 0x0990 now
            // reads the next pulse, still on that grid.
            EXPECT_FALSE(log.Lines("every clock follows the reference within").empty());
            const auto starts = log.Lines("first SYNC0 at ");
            EXPECT_FALSE(starts.empty());
            for (const testsupport::LogLine& line : starts) {
                const auto at = line.text.find("first SYNC0 at ") + 15;
                const std::uint64_t start = std::stoull(line.text.substr(at));
                EXPECT_GT(start, line.masterTimeNs) << line.text;
                EXPECT_LT(start - line.masterTimeNs, 1'000'000'000u) << line.text;
            }
            for (std::size_t p = 0; p < slaves.size(); ++p) {
                const eni::Slave& s = EniSlaveOf(config, slaves[p]);
                if (!dc[p] || !s.dc || s.dc->cycleTime0 == 0)
                    continue;
                auto next = Read(exchange, slaves[p].stationAddress, ecat::reg::kDcStartTime, 8);
                ASSERT_TRUE(next) << p;
                const auto cycle = static_cast<std::int64_t>(s.dc->cycleTime0);
                const std::int64_t shift = ((s.dc->shiftTime % cycle) + cycle) % cycle;
                EXPECT_EQ(static_cast<std::int64_t>(*next % static_cast<std::uint64_t>(cycle)),
                          shift)
                    << "slave " << p;
            }
        }
        machine.Request(ecat::AlState::kInit);
        EXPECT_TRUE(machine.WaitIdle(std::chrono::steady_clock::now() + 30s));
        if (HasFailure()) {
            std::printf("%s", log.Text().c_str());
        }
    }
}

}  // namespace
}  // namespace parvane::master
