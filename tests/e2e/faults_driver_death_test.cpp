// The master driver dies or stops while the tool works with it: the tool
// reports the failed master call, ends with the failure verdict and a
// non-zero exit within the client's bounds (5 s for the open and for every
// other call), and never hangs.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

#include "tests/e2e/faults_support.h"

namespace faults {
namespace {

using namespace parvane_e2e;
using Clock = std::chrono::steady_clock;

// The client's bound for one master call, and slack for a loaded machine.
constexpr auto kCallBound = 5s;
constexpr auto kSlack = 3s;

std::string ZuApiError(const char* code) {
    return std::string(
               "*         ZU API ERROR. An error occurred in the ZU API call, please check "
               "the status code details from the ZU API help. Kestro-ECAT-StatusCode[") +
           code + "H]\n";
}

std::string StateChangeApiError(const char* code) {
    return std::string(
               "*         STATE CHANGE ERROR. An error occurred in the ZU API call, please "
               "check the status code details from the ZU API help. "
               "Kestro-ECAT-StatusCode[") +
           code + "H]\n";
}

const std::string kAttemptPreOp = "*         Attempt to state change to Pre-Operational.\n";

// A network whose state changes take a minute: step 4 waits in its polls.
fs::path SlowNetwork(const TempNode& node) {
    fs::path description = node.dir() / "slow.sim.json";
    testsupport::WriteFile(description, R"({ "transition_ms": 60000 })");
    return description;
}

// Continues and kills a stopped driver whatever the test's outcome.
struct ResumeAtEnd {
    BackgroundProcess& driver;
    ~ResumeAtEnd() {
        driver.Kill(SIGCONT);
        driver.Kill(SIGKILL);
    }
};

// Step 3 over 20,000 slaves makes 80,000 master calls; the driver is killed
// the moment the step's header arrives, long before the walk could end.
TEST(DriverFaults, KilledDuringStep3EndsTheRunWithTheLostConnection) {
    TempNode node;
    const std::size_t count = 20000;
    fs::path eni = WriteEni(node.dir() / "many.eni.xml", count, false);
    auto driver = StartDriver(node, {"-eni=" + eni.string()});
    auto tool = StartTool(node);
    ASSERT_TRUE(tool->WaitForOutput(kStep3, 60s)) << tool->out() << tool->err();
    driver->Kill(SIGKILL);
    const auto killedAt = Clock::now();

    EXPECT_EQ(tool->Wait(kCallBound + kSlack), 255) << tool->out();
    EXPECT_LT(tool->endedAt() - killedAt, kCallBound + kSlack);
    const std::string passed = PassedReport(count);
    const std::string head = passed.substr(0, passed.find(kStep3) + kStep3.size());
    const std::string tail = ZuApiError("0103") + kFailedVerdict;
    const std::string& out = tool->out();
    ASSERT_EQ(out.rfind(head, 0), 0u) << out;
    ASSERT_GE(out.size(), head.size() + tail.size()) << out;
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    // Between them only the EEPROM warnings of the slave that was being read
    // when the connection broke.
    std::istringstream middle(out.substr(head.size(), out.size() - head.size() - tail.size()));
    std::string line;
    while (std::getline(middle, line)) {
        const bool slaveLine = line.rfind("*         Slave ", 0) == 0;
        const bool readFailed =
            line == "*               WARNING.  EEPROM read failed. Kestro-ECAT-StatusCode[0103H]";
        const bool zeroRead =
            line.rfind("*               WARNING.  ", 0) == 0 &&
            line.ends_with(" mismatch. ENI[" + line.substr(line.find("ENI[") + 4, 9) +
                           "], Online[00000000H]");
        EXPECT_TRUE(slaveLine || readFailed || zeroRead) << line;
    }
}

TEST(DriverFaults, KilledDuringStep4EndsTheRunWithTheLostConnection) {
    TempNode node;
    auto driver = StartDriver(
        node, {"-eni=" + Example("five-slaves.eni.xml"), "-sim=" + SlowNetwork(node).string()});
    auto tool = StartTool(node);
    ASSERT_TRUE(tool->WaitForOutput(kAttemptPreOp, 30s)) << tool->out() << tool->err();
    driver->Kill(SIGKILL);
    const auto killedAt = Clock::now();

    EXPECT_EQ(tool->Wait(kCallBound + kSlack), 255) << tool->out();
    EXPECT_LT(tool->endedAt() - killedAt, kCallBound + kSlack);
    EXPECT_EQ(tool->out(), kBanner + kStep1 + kOpened + kStep2 + kFiveAndFive + kStep3 + kStep4 +
                               kAttemptPreOp + ZuApiError("0103") + StateChangeApiError("0103") +
                               kFailedVerdict);
}

// A stopped driver still accepts connections (the kernel queues them), but
// never answers the open.
TEST(DriverFaults, StoppedDriverMakesTheOpenTimeOutWith15) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    ResumeAtEnd resume{*driver};
    driver->Kill(SIGSTOP);

    const RunResult run = RunTool(node, kCallBound + 30s);
    EXPECT_EQ(run.exitCode, 15) << run.err;
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.out, kBanner + kStep1 +
                           "*         OPEN ERROR. Timed out because no response was returned from "
                           "the open request. Kestro-ECAT-StatusCode[000FH]\n" +
                           kFailedVerdict);
    EXPECT_GE(run.elapsed, kCallBound - 100ms);
    EXPECT_LT(run.elapsed, kCallBound + kSlack);
}

TEST(DriverFaults, DriverStoppedMidRunMakesTheNextCallTimeOut) {
    TempNode node;
    auto driver = StartDriver(
        node, {"-eni=" + Example("five-slaves.eni.xml"), "-sim=" + SlowNetwork(node).string()});
    ResumeAtEnd resume{*driver};
    auto tool = StartTool(node);
    ASSERT_TRUE(tool->WaitForOutput(kAttemptPreOp, 30s)) << tool->out() << tool->err();
    driver->Kill(SIGSTOP);
    const auto stoppedAt = Clock::now();

    EXPECT_EQ(tool->Wait(kCallBound + 200ms + kSlack), 255) << tool->out();
    EXPECT_LT(tool->endedAt() - stoppedAt, kCallBound + 200ms + kSlack);
    EXPECT_EQ(tool->out(), kBanner + kStep1 + kOpened + kStep2 + kFiveAndFive + kStep3 + kStep4 +
                               kAttemptPreOp + ZuApiError("0102") + StateChangeApiError("0102") +
                               kFailedVerdict);
}

// A stopped driver does not act on SIGTERM; the tool replacing it kills it
// after the 250 ms grace and starts its own.
TEST(DriverFaults, AStoppedDriverIsReplaced) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    ResumeAtEnd resume{*driver};
    driver->Kill(SIGSTOP);

    const RunResult run = testsupport::Run(
        {(BinDir() / "parvane").string(), "-eni=" + Example("five-slaves.eni.xml")}, NodeEnv(node),
        60s);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, PassedReport(5));
    EXPECT_EQ(driver->Wait(5s), -SIGKILL);
    EXPECT_EQ(node.Processes().size(), 1u);  // the new driver
}

}  // namespace
}  // namespace faults
