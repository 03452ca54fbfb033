// The tool against a network that never reaches Operational: it waits the
// whole allowance of 30 s, so this test is labelled slow.
#include <gtest/gtest.h>

#include "tests/e2e/parvane_e2e_support.h"

namespace {

using namespace parvane_e2e;

// Waits the full 30 s allowance for Operational. The report is read while the
// tool still runs, which also proves that it is written line by line.
TEST(ParvaneEndToEnd, ANetworkThatStopsAtSafeOperationalFailsWith15) {
    TempNode node;
    auto driver = StartDriver(node, "five-slaves.stops-at-safeop.sim.json");
    BackgroundProcess tool({(BinDir() / "parvane").string()}, NodeEnv(node));
    const std::string waiting = "*         Attempt to state change to Operational.\n";
    EXPECT_TRUE(
        testsupport::WaitUntil([&] { return tool.Out().find(waiting) != std::string::npos; }, 20s));
    EXPECT_TRUE(tool.Running());  // seen before the end: flushed line by line

    const int exitCode = tool.Wait(60s);
    EXPECT_EQ(exitCode, 15);
    EXPECT_EQ(tool.Out(), kBanner + kStep1 + kOpened + kStep2 + kFiveAndFive + kStep3 + kStep4 +
                              "*         Attempt to state change to Pre-Operational.\n"
                              "*         SUCCESS. \n"
                              "*         Attempt to state change to Safe-Operational.\n"
                              "*         SUCCESS. \n" +
                              waiting +
                              "*         FAILED. \n"
                              "*         STATE CHANGE ERROR. The state change request has timed "
                              "out and processing has been aborted. \n" +
                              kFailedVerdict);
}

}  // namespace
