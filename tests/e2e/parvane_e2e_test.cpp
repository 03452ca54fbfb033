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

// A network that is not the ENI's is not started: steps 2 and 3 warn as
// ever (counts and EEPROMs still read), the first state request is refused at
// once with 0x010D, and the driver log names every difference.
TEST(ParvaneEndToEnd, ANetworkThatDiffersFromItsEniIsNotStarted) {
    struct Case {
        const char* name;
        std::string description;  // a file of the examples, or the text of one
        std::string step2, step3;
        std::vector<std::string> logged;
    };
    const std::string attempt = "*         Attempt to state change to Pre-Operational.\n";
    const std::string refused =
        "*         ZU API ERROR. An error occurred in the ZU API call, please check the status "
        "code details from the ZU API help. Kestro-ECAT-StatusCode[010DH]\n"
        "*         STATE CHANGE ERROR. An error occurred in the ZU API call, please check the "
        "status code details from the ZU API help. Kestro-ECAT-StatusCode[010DH]\n";
    const Case cases[] = {
        {"one slave more than the ENI",
         "five-slaves.extra-slave.sim.json",
         "*         WARNING. The number of slaves did not match. \n"
         "*                  ENI-Slaves count[5] Online-Slaves count[6] \n",
         "",
         {"boot-up check: the network differs from its ENI in 1 point;",
          "boot-up check: slave 5 at station 1006: extra, vendor 0x00000002 product 0x0C4A3052 "
          "revision 0x00110000, not in the ENI"}},
        {"another product at position 3",
         R"({"slaves": [{}, {}, {}, {"product_code": "0x0BC83052"}, {}]})",
         kFiveAndFive,
         "*         Slave 3: \n"
         "*               WARNING.  ProductCode      mismatch. ENI[0BC43052H], "
         "Online[0BC83052H]\n",
         {"boot-up check: slave 3 at station 1004 (Term 4 (AI-3104, 4 analog inputs +/-10 V)): "
          "product expected 0x0BC43052, found 0x0BC83052"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempNode node;
        std::string description = c.description;
        if (description.starts_with("{")) {
            description = (node.dir() / "net.sim.json").string();
            testsupport::WriteFile(description, c.description);
        }
        auto driver = StartDriver(node, description);
        const RunResult run = RunTool(node);
        EXPECT_EQ(run.exitCode, 255) << run.err;
        EXPECT_EQ(run.out, kBanner + kStep1 + kOpened + kStep2 + c.step2 + kStep3 + c.step3 +
                               kStep4 + attempt + refused + kFailedVerdict);
        for (const std::string& line : c.logged)
            EXPECT_NE(driver->Err().find(line), std::string::npos) << line << "\n" << driver->Err();
    }
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
