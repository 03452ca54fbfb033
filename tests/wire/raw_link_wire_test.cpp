// The master's raw-socket link on the master end of a veth pair, the
// emulator program on the other: the exchange and a whole bring-up through
// it, and a receive that waits for nothing ends by its deadline.
#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/log.h"
#include "master/raw_socket_link.h"
#include "tests/support/process_harness.h"
#include "tests/wire/wire_support.h"

namespace {

using namespace std::chrono_literals;
namespace master = parvane::master;
using testsupport::BackgroundProcess;
using testsupport::BinDir;
using testsupport::SourceDir;

void Quiet(const char*) {}

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

}  // namespace
