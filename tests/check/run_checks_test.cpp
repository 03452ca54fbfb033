#include <gtest/gtest.h>

#include "check/bus_check.h"
#include "tests/check/capture.h"
#include "tests/check/fake_master.h"
#include "tests/support/report_lines.h"

namespace {

using testsupport::kAllStates;
using testsupport::kFailedVerdict;
using testsupport::kPassed;
using testsupport::kStep1;
using testsupport::kStep2;
using testsupport::kStep3;
using testsupport::kStep4;

void FiveMatchingSlaves() {
    fakeMaster.eniCount = fakeMaster.onlineCount = 5;
    for (std::uint32_t i = 0; i < 5; ++i) {
        fakeMaster.slaves.push_back(MatchingSlave(2, 0x03EC3052 + i, 0x00100000));
    }
}

std::uint32_t RunAll(std::string* report) {
    std::uint32_t result = 0xEEEE;
    *report = CaptureReport([&] { result = RunChecks(); });
    return result;
}

TEST(RunChecks, AllStepsPass) {
    ResetFakes();
    FiveMatchingSlaves();
    std::string report;
    EXPECT_EQ(RunAll(&report), 0u);
    EXPECT_EQ(report, kStep1 + "*         SUCCESS.\n" + kStep2 +
                          "*         SUCCESS. ENI-Slaves count[5] Online-Slaves count[5] \n" +
                          kStep3 + kStep4 + kAllStates + kPassed);
    EXPECT_EQ(fakeMaster.openedTarget, "local");
    EXPECT_EQ(fakeMaster.openConnections + fakeMaster.strayCalls, 0);
}

TEST(RunChecks, WarningsDoNotFailTheRun) {
    ResetFakes();
    FiveMatchingSlaves();
    fakeMaster.onlineCount = 4;
    fakeMaster.slaves[3].eeprom[2] = 0x00110000;
    std::string report;
    EXPECT_EQ(RunAll(&report), 0u);
    EXPECT_EQ(report, kStep1 + "*         SUCCESS.\n" + kStep2 +
                          "*         WARNING. The number of slaves did not match. \n"
                          "*                  ENI-Slaves count[5] Online-Slaves count[4] \n" +
                          kStep3 +
                          "*         Slave 3: \n"
                          "*               WARNING.  RevisionNo       mismatch. ENI[00100000H], "
                          "Online[00110000H]\n" +
                          kStep4 + kAllStates + kPassed);
}

TEST(RunChecks, AFailedOpenAsksTheMasterNothingMore) {
    ResetFakes();
    fakeMaster.openStatus = 8;
    std::string report;
    EXPECT_EQ(RunAll(&report), 8u);
    EXPECT_EQ(report, kStep1 +
                          "*         OPEN ERROR. Kestro-ECAT-Master driver not found. "
                          "Kestro-ECAT-StatusCode[0008H]\n" +
                          kFailedVerdict);
    EXPECT_EQ(fakeMaster.openConnections + fakeMaster.strayCalls, 0);
}

TEST(RunChecks, LaterStepsAreNeitherRunNorAnnouncedAfterAFailure) {
    ResetFakes();
    FiveMatchingSlaves();
    fakeMaster.onlineCountStatus = 0x0102;
    std::string report;
    EXPECT_EQ(RunAll(&report), 0x0102u);
    EXPECT_EQ(report, kStep1 + "*         SUCCESS.\n" + kStep2 +
                          "*         ZU API ERROR. An error occurred in the ZU API call, please "
                          "check the status code details from the ZU API help. "
                          "Kestro-ECAT-StatusCode[0102H]\n" +
                          kFailedVerdict);
    EXPECT_EQ(fakeMaster.openConnections + fakeMaster.strayCalls, 0);
}

TEST(RunChecks, AStateChangeThatTimesOutEndsWith15) {
    ResetFakes();
    FiveMatchingSlaves();
    fakeMaster.maxState = kEcStatePreOp;
    std::string report;
    EXPECT_EQ(RunAll(&report), 15u);
    const std::string tail =
        "*         Attempt to state change to Safe-Operational.\n"
        "*         FAILED. \n"
        "*         STATE CHANGE ERROR. The state change request has timed out and processing "
        "has been aborted. \n" +
        kFailedVerdict;
    ASSERT_GE(report.size(), tail.size());
    EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
    EXPECT_EQ(fakeMaster.openConnections + fakeMaster.strayCalls, 0);
}

}  // namespace
