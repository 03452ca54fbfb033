// The master's raw-socket link on the master end of a veth pair, the
// emulator program on the other: the exchange and a whole bring-up through
// it, a receive that waits for nothing ends by its deadline, and the
// emulator serves on after its cable is pulled and plugged back.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <filesystem>

#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/log.h"
#include "master/raw_socket_link.h"
#include "master/state_machine.h"
#include "tests/support/process_harness.h"
#include "tests/wire/wire_support.h"

namespace {

using namespace std::chrono_literals;
namespace master = parvane::master;
using testsupport::BackgroundProcess;
using testsupport::BinDir;
using testsupport::SourceDir;
using testsupport::TempNode;

void Quiet(const char*) {}

// One master per wire: while one link holds the interface a second one is
// refused, one on the other interface is not, and the lock file goes with
// the holder, so the next link takes the interface again.
TEST(RawLinkOnVeth, OneMasterHoldsAnInterfaceAtATime) {
    const std::string nic = wiretest::MasterInterface();
    const std::filesystem::path lock = master::RawSocketLink::LockPath(nic);
    {
        auto first = master::RawSocketLink::Open(nic);
        ASSERT_TRUE(first) << master::RawSocketLink::Refusal(first.error(), nic);
        EXPECT_TRUE(std::filesystem::exists(lock)) << lock;
        auto second = master::RawSocketLink::Open(nic);
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error(), master::Errc::kBusy);
        EXPECT_NE(
            master::RawSocketLink::Refusal(second.error(), nic).find("held by another master"),
            std::string::npos);
        auto other = master::RawSocketLink::Open(wiretest::SlaveInterface());
        EXPECT_TRUE(other);
    }
    EXPECT_FALSE(std::filesystem::exists(lock)) << lock;
    auto again = master::RawSocketLink::Open(nic);
    EXPECT_TRUE(again);
}

TEST(RawLinkOnVeth, BringsUpTheEmulatorProgramsSlaves) {
    master::SetLogSink(&Quiet);
    const auto eniPath = SourceDir() / "examples" / "five-slaves.eni.xml";
    auto eni = parvane::eni::ReadEniFile(eniPath);
    ASSERT_TRUE(eni);

    auto link = master::RawSocketLink::Open(wiretest::MasterInterface());
    ASSERT_TRUE(link) << master::RawSocketLink::Refusal(link.error(), wiretest::MasterInterface());
    // Nothing answers yet: a receive ends by its deadline with a timeout.
    std::array<std::uint8_t, 1514> buffer{};
    auto nothing = (*link)->Receive(buffer, std::chrono::steady_clock::now() + 20ms);
    ASSERT_FALSE(nothing);
    EXPECT_EQ(nothing.error(), parvane::ecat::LinkError::kTimeout);

    BackgroundProcess emulator({(BinDir() / "ecat-emulator").string(),
                                "-nic=" + wiretest::SlaveInterface(), "-eni=" + eniPath.string()},
                               {});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !emulator.Out().empty(); }, 10s))
        << emulator.Err();

    master::ExchangeOptions options;
    options.replyTimeout = 20ms;
    master::Exchange exchange(**link, options);
    auto found = master::BringUp(exchange, eni->config);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->slaves.size(), eni->slaves.size());
    for (std::size_t p = 0; p < eni->slaves.size(); ++p) {
        ASSERT_TRUE(found->slaves[p].identity) << p;
        EXPECT_EQ(*found->slaves[p].identity, eni->slaves[p]) << p;
    }
    const master::ExchangeCounters counters = exchange.counters();
    EXPECT_EQ(counters.framesLost, 0u);
    EXPECT_EQ(counters.framesDropped, 0u) << "our own frames never come back";
    EXPECT_EQ(counters.framesReceived, counters.framesSent);
    master::SetLogSink(nullptr);
}

// Takes the emulator's end of the pair down or up, as a cable pulled and
// plugged back does.
bool SetSlaveLink(const std::string& state) {
    const auto run = testsupport::Run(
        {"/bin/sh", "-c", "ip link set dev " + wiretest::SlaveInterface() + " " + state}, {}, 10s);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.exitCode == 0;
}

TEST(RawLinkOnVeth, TheEmulatorServesOnAfterItsCableIsPulledAndPluggedBack) {
    master::SetLogSink(&Quiet);
    const auto eniPath = SourceDir() / "examples" / "five-slaves.eni.xml";
    auto eni = parvane::eni::ReadEniFile(eniPath);
    ASSERT_TRUE(eni);
    TempNode scratch;
    const auto log = scratch.dir() / "emulator.log";
    BackgroundProcess emulator(
        {(BinDir() / "ecat-emulator").string(), "-nic=" + wiretest::SlaveInterface(),
         "-eni=" + eniPath.string(), "-log=" + log.string()},
        {});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !emulator.Out().empty(); }, 10s))
        << emulator.Err();
    auto logSays = [&](const char* text) {
        return testsupport::WaitUntil(
            [&] { return testsupport::ReadFile(log).find(text) != std::string::npos; }, 10s);
    };

    ASSERT_TRUE(SetSlaveLink("down"));
    EXPECT_TRUE(logSays("went down")) << testsupport::ReadFile(log);
    ASSERT_TRUE(SetSlaveLink("up"));
    ASSERT_TRUE(emulator.Running()) << emulator.Err();

    auto link = master::RawSocketLink::Open(wiretest::MasterInterface());
    ASSERT_TRUE(link) << master::RawSocketLink::Refusal(link.error(), wiretest::MasterInterface());
    master::ExchangeOptions options;
    options.replyTimeout = 20ms;
    master::Exchange exchange(**link, options);
    auto found = master::BringUp(exchange, eni->config);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->slaves.size(), eni->slaves.size());
    master::StateMachineOptions walk;
    walk.realtimeCycle = false;
    {
        master::StateMachine machine(exchange, eni->config, found->found(), walk);
        machine.Request(parvane::ecat::AlState::kOp);
        EXPECT_TRUE(machine.WaitIdle(std::chrono::steady_clock::now() + 60s));
        EXPECT_EQ(machine.reached(), parvane::ecat::AlState::kOp);
        EXPECT_EQ(machine.lastOutcome(), master::WalkOutcome::kReached);
    }
    EXPECT_TRUE(logSays("is up again")) << testsupport::ReadFile(log);
    emulator.Kill(SIGTERM);
    EXPECT_EQ(emulator.Wait(10s), 0) << emulator.Err();
    master::SetLogSink(nullptr);
}

}  // namespace
