// The tool as a real process against a real master driver in a node of its
// own. The driver is started by hand and the tool runs without "-eni=", so the
// launcher leaves the running driver alone.
#include <gtest/gtest.h>

#include "tests/e2e/parvane_e2e_support.h"

namespace {

using namespace parvane_e2e;

TEST(ParvaneEndToEnd, MatchingNetworkPassesEveryStep) {
    TempNode node;
    auto driver = StartDriver(node, "five-slaves.matching.sim.json");
    const RunResult run = RunTool(node);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, kBanner + kStep1 + kOpened + kStep2 + kFiveAndFive + kStep3 + kStep4 +
                           kAllStates + kPassed);
    EXPECT_TRUE(driver->Running());  // the launcher left it alone
}

TEST(ParvaneEndToEnd, ARevisionMismatchIsAWarningOnly) {
    TempNode node;
    auto driver = StartDriver(node, "five-slaves.revision-mismatch.sim.json");
    const RunResult run = RunTool(node);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string step3 = kStep3 +
                              "*         Slave 2: \n"
                              "*               WARNING.  RevisionNo       mismatch. "
                              "ENI[00110000H], Online[00100000H]\n";
    EXPECT_EQ(run.out, kBanner + kStep1 + kOpened + kStep2 + kFiveAndFive + step3 + kStep4 +
                           kAllStates + kPassed);
}

// With no driver and no ENI the launcher starts a driver without options; that
// driver defines no slaves, so the open fails with status 17 and the run ends
// with it.
TEST(ParvaneEndToEnd, WithoutAnyDriverTheStartedDriverHasNoSlaves) {
    TempNode node;
    const RunResult run = RunTool(node);
    EXPECT_EQ(run.exitCode, 17) << run.err;
    EXPECT_EQ(run.out, kBanner + kStep1 +
                           "*         ENI-File ERROR.  The number of slaves defined in the ENI "
                           "file is 0. One or more EtherCAT slave definitions are required. "
                           "Kestro-ECAT-StatusCode[0011H]\n" +
                           kFailedVerdict);
    EXPECT_EQ(node.Processes().size(), 1u);  // the driver that the launcher started
}

// A status above 254 reaches the shell as 255; the report shows it whole.
TEST(ParvaneEndToEnd, AnEniThatCannotBeLoadedEndsWith255) {
    TempNode node;
    auto driver = StartDriver(node, "five-slaves.matching.sim.json", "no-such.eni.xml");
    const RunResult run = RunTool(node);
    EXPECT_EQ(run.exitCode, 255) << run.err;
    EXPECT_EQ(run.out, kBanner + kStep1 +
                           "*         OPEN ERROR. An error occurred during the open process, "
                           "please check the status code details from the ZU API help. "
                           "Kestro-ECAT-StatusCode[0105H]\n" +
                           kFailedVerdict);
}

}  // namespace
