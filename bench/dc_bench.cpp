// Distributed clocks, measured: rows of the benchmark's table.
//   dc_bench line COUNT [INTERFACE]
//     a generated line of COUNT DC slaves, emulated in this process (their
//     clocks drift by up to +-100 ppm) or behind INTERFACE: the master's DC
//     set-up with its static drift compensation, then the reference's time
//     sent round every millisecond for a second, as the cycle does; the
//     largest |system time difference| (0x092C) of the clocks from the
//     reference on after that second.
//   dc_bench phase ENI INTERFACE
//     the ENI's network walked to OP behind INTERFACE by the state machine;
//     the cyclic frame's phase to SYNC0 as the master measures it once locked
//     (its mean off the target, and the distance from that mean which 99 in
//     100 cycles stay within).
// In the environment, DC_BENCH_LOG=1 copies the master's log to stderr and
// DC_BENCH_PER_FRAME=N has the set-up send its distributions N to a frame.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/eni_text.h"
#include "ecat/frame.h"
#include "ecat/registers.h"
#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/dc_setup.h"
#include "master/exchange.h"
#include "master/log.h"
#include "master/raw_socket_link.h"
#include "master/state_machine.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace master = parvane::master;
namespace ecat = parvane::ecat;

void Row(const std::string& what, const std::string& measured, const char* target, bool met) {
    std::printf("| %-44s | %-26s | %-15s | %-4s |\n", what.c_str(), measured.c_str(), target,
                met ? "met" : "MISS");
}

// The largest |0x092C| of the clocks from the reference on, after a second
// of the reference's time sent round every millisecond.
std::int64_t DifferenceAfterASecond(master::Exchange& exchange, master::DcLine& line) {
    std::uint8_t time[8] = {};
    const std::uint32_t address =
        ecat::MakeAddress(line.referenceStation, ecat::reg::kDcSystemTime);
    auto next = Clock::now();
    for (int cycle = 0; cycle < 1000; ++cycle) {
        next += 1ms;
        std::this_thread::sleep_until(next);
        (void)exchange.Transact(ecat::Command::kFrmw, address, time);
    }
    master::ReadDifferences(exchange, line);
    std::int64_t largest = 0;
    for (std::size_t i = line.reference; i < line.slaves.size(); ++i) {
        const master::DcSlave& s = line.slaves[i];
        if (s.dc && s.differenceRead)
            largest = std::max<std::int64_t>(largest, std::llabs(s.differenceNs));
    }
    return largest;
}

int Line(std::size_t count, const char* interface) {
    auto eni = parvane::eni::ReadEniText(benchdata::DcEniText(count, 1'000'000));
    if (!eni) {
        std::fprintf(stderr, "generated ENI refused: %s\n", eni.error().message.c_str());
        return 1;
    }
    std::unique_ptr<parvane::emulator::Segment> segment;
    std::unique_ptr<ecat::Link> link;
    if (interface) {
        auto raw = master::RawSocketLink::Open(interface);
        if (!raw) {
            std::fprintf(stderr, "%s: %s\n", interface, master::ErrorText(raw.error()));
            return 1;
        }
        link = std::move(*raw);
    } else {
        segment = parvane::emulator::BuildSegment(eni->config, {});
        link = std::make_unique<parvane::emulator::InProcessLink>(*segment);
    }
    master::Exchange exchange(*link, {});
    auto found = master::BringUp(exchange, eni->config);
    if (!found || found->slaves.size() != count) {
        std::fprintf(stderr, "bring-up failed\n");
        return 1;
    }
    std::vector<std::uint16_t> stations;
    for (const auto& s : found->slaves)
        stations.push_back(s.found.stationAddress);
    master::DcOptions options;
    if (const char* perFrame = std::getenv("DC_BENCH_PER_FRAME")) {
        options.driftPerFrame =
            std::max(1u, static_cast<unsigned>(std::strtoul(perFrame, nullptr, 10)));
        options.driftFrames /= options.driftPerFrame;  // as many distributions in all
    }
    // The set-up five times over (the machine is shared): the median.
    std::vector<double> setUpMs;
    std::expected<master::DcLine, master::Error> line;
    for (int i = 0; i < 5; ++i) {
        line = master::SetUpDc(exchange, eni->config, stations, options);
        if (!line || !line->any()) {
            std::fprintf(stderr, "DC set-up failed\n");
            return 1;
        }
        setUpMs.push_back(static_cast<double>(line->setUpTime.count()) / 1000.0);
    }
    std::sort(setUpMs.begin(), setUpMs.end());
    std::string where = interface ? "veth" : "in process";
    if (options.driftPerFrame > 1)
        where += ", " + std::to_string(options.driftPerFrame) + "/frame";
    char text[64];
    std::snprintf(text, sizeof text, "median %.1f ms (%.1f-%.1f)", setUpMs[2], setUpMs[0],
                  setUpMs[4]);
    Row(std::string("DC set-up, ") + std::to_string(count) + " slaves, " + where, text, "<= 100 ms",
        setUpMs[2] <= 100);
    const std::int64_t largest = DifferenceAfterASecond(exchange, *line);
    std::snprintf(text, sizeof text, "%lld ns", static_cast<long long>(largest));
    Row(std::string("  max |0x092C| after 1 s, ") + where, text, "<= 100 ns", largest <= 100);
    return 0;
}

std::mutex phaseMutex;
std::string phaseLine;

void KeepPhase(const char* line) {
    if (std::getenv("DC_BENCH_LOG"))
        std::fprintf(stderr, "%s\n", line);
    if (std::string(line).find("keeps its phase") == std::string::npos)
        return;
    std::lock_guard lock(phaseMutex);
    phaseLine = line;
}

int Phase(const char* file, const char* interface) {
    auto eni = parvane::eni::ReadEniFile(file);
    auto raw = master::RawSocketLink::Open(interface);
    if (!eni || !raw) {
        std::fprintf(stderr, "cannot read %s or open %s\n", file, interface);
        return 1;
    }
    parvane::eni::WithoutPassiveTerminals(eni->config);
    master::Exchange exchange(**raw, {});
    auto found = master::BringUp(exchange, eni->config);
    if (!found) {
        std::fprintf(stderr, "bring-up failed\n");
        return 1;
    }
    master::SetLogSink(&KeepPhase);
    master::StateMachine machine(exchange, eni->config, found->found(), {});
    machine.Request(ecat::AlState::kOp);
    const bool idle = machine.WaitIdle(Clock::now() + 60s);
    const bool op = idle && machine.reached() == ecat::AlState::kOp;
    const auto deadline = Clock::now() + 10s;
    std::string figures;
    while (Clock::now() < deadline) {
        {
            std::lock_guard lock(phaseMutex);
            figures = phaseLine;
        }
        if (!figures.empty())
            break;
        std::this_thread::sleep_for(50ms);
    }
    machine.Request(ecat::AlState::kInit);
    machine.WaitIdle(Clock::now() + 30s);
    master::SetLogSink(nullptr);
    long long mean = 0, target = 0, spread = 0, worst = 0, p99 = 0;
    unsigned cycles = 0;
    const auto at = figures.find("SYNC0: ");
    const bool parsed =
        at != std::string::npos &&
        std::sscanf(figures.c_str() + at,
                    "SYNC0: %lld ns off the target %lld ns on average, spread %lld ns, worst %lld "
                    "ns over %u cycles, 99%% within %lld ns",
                    &mean, &target, &spread, &worst, &cycles, &p99) == 6;
    char text[96];
    std::snprintf(text, sizeof text, "mean %lld / p99 %lld / max %lld us", mean / 1000, p99 / 1000,
                  worst / 1000);
    Row("veth cycle phase to SYNC0 (p99 from mean)", parsed ? text : "no figures", "p99 <= 50 us",
        op && parsed && p99 <= 50'000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "line" && argc >= 3)
        return Line(std::strtoul(argv[2], nullptr, 10), argc > 3 ? argv[3] : nullptr);
    if (mode == "phase" && argc == 4)
        return Phase(argv[2], argv[3]);
    std::fprintf(stderr, "usage: dc_bench line COUNT [INTERFACE] | phase ENI INTERFACE\n");
    return 2;
}
