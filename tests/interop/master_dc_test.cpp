// The master in this process over the veth pair against KickCAT's emulated
// slaves, whose ESCs keep clocks: the line with DC elements goes to OP, the
// cycle locks onto the reference clock and the slaves' time differences
// stay small. The figures (set-up time, phase) are printed for the record.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/exchange.h"
#include "master/log.h"
#include "master/raw_socket_link.h"
#include "master/state_machine.h"
#include "tests/interop/peers.h"
#include "tests/support/process_harness.h"
#include "tests/wire/wire_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace parvane;

std::mutex logMutex;
std::vector<std::string> logLines;

void Keep(const char* line) {
    std::lock_guard lock(logMutex);
    logLines.emplace_back(line);
}

std::vector<std::string> Lines(const std::string& part) {
    std::lock_guard lock(logMutex);
    std::vector<std::string> found;
    for (const std::string& line : logLines) {
        if (line.find(part) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

TEST(MasterOnKickcatWithClocks, LocksTheCycleOntoTheReference) {
    if (const std::string why = interop::Missing(interop::NetworkSimulator()); !why.empty()) {
        if (interop::Required())
            FAIL() << why;
        GTEST_SKIP() << why;
    }
    testsupport::TempNode files;
    std::string text = testsupport::ReadFile(KICKCAT_LINE_ENI);
    const std::string dc =
        "<DC><PotentialReferenceClock>1</PotentialReferenceClock><CycleTime0>1000000</CycleTime0>"
        "<ShiftTime>0</ShiftTime></DC></Slave>";
    for (auto at = text.find("</Slave>"); at != std::string::npos;
         at = text.find("</Slave>", at + dc.size()))
        text.replace(at, 8, dc);
    auto eni = eni::ReadEniText(text);
    ASSERT_TRUE(eni.has_value());

    std::vector<std::string> argv{"/usr/bin/env",
                                  "-C",
                                  interop::KickcatSlaveConfigs().string(),
                                  interop::NetworkSimulator().string(),
                                  "-i",
                                  wiretest::SlaveInterface(),
                                  "-s",
                                  "xmc4800.json",
                                  "freedom-k64f.json",
                                  "ecat402-drive.json"};
    testsupport::BackgroundProcess simulator(argv, {});
    ASSERT_TRUE(interop::WaitForSlaves(wiretest::MasterInterface(), 3, 30s)) << simulator.Err();

    master::SetLogSink(&Keep);
    {
        auto link = master::RawSocketLink::Open(wiretest::MasterInterface());
        ASSERT_TRUE(link.has_value());
        master::Exchange exchange(**link, {});
        auto segment = master::BringUp(exchange, eni->config);
        ASSERT_TRUE(segment.has_value());
        master::StateMachineOptions options;
        options.realtimeCycle = false;
        master::StateMachine machine(exchange, eni->config, segment->found(), options);
        machine.Request(ecat::AlState::kOp);
        ASSERT_TRUE(machine.WaitIdle(std::chrono::steady_clock::now() + 60s));
        EXPECT_EQ(machine.reached(), ecat::AlState::kOp);
        // The phase is measured after 500 cycles, over 1000 more.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (Lines("keeps its phase").empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        machine.Request(ecat::AlState::kInit);
        machine.WaitIdle(std::chrono::steady_clock::now() + 30s);
    }
    master::SetLogSink(nullptr);
    simulator.Kill(SIGTERM);
    if (simulator.Wait(10s) == -1000) {
        simulator.Kill(SIGKILL);
        simulator.Wait(10s);
    }
    for (const char* part :
         {"DC: set up in", "keeps its phase", "largest system time difference"}) {
        const auto found = Lines(part);
        ASSERT_FALSE(found.empty()) << part;
        std::printf("%s\n", found.back().c_str());
    }
    EXPECT_TRUE(Lines("differs from the reference clock").empty());
}

}  // namespace
