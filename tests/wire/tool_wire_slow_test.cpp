// Runs over the veth pair that never reach Operational, so the tool waits a
// state change's whole allowance (30 s) and these tests are labelled slow:
// slaves that refuse a state (the report and exit status are those of the
// run in process, and the driver's log names the refusal's AL status code
// with its meaning), and a wire that goes dead during step 3 or step 4.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>

#include "tests/wire/tool_wire.h"
#include "tests/wire/wire_support.h"

namespace {

using namespace std::chrono_literals;
using testsupport::BackgroundProcess;
using testsupport::RunResult;
using testsupport::TempNode;
using namespace wiretest;

struct RefusalCase {
    const char* name;
    std::string description;  // a file in examples/, or JSON text
    std::string attempt;
    std::string logHas;
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.name;
}

class RefusingSlave : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusingSlave, StepFourTimesOutAfterItsAllowance) {
    const RefusalCase& c = GetParam();
    TempNode files;
    const std::string description = CaseFile(c.description, files.dir());
    const std::string eni = Example(kFive);
    const Compared runs = CompareRuns(eni, description, 120s);
    ASSERT_TRUE(runs.emulatorErr.empty()) << runs.emulatorErr;
    const auto& wire = runs.onWire.run;
    EXPECT_EQ(wire.exitCode, 15) << wire.out;
    EXPECT_EQ(wire.out, runs.inProcess.run.out) << "in process:\n" << runs.inProcess.run.out;
    EXPECT_NE(wire.out.find(c.attempt +
                            "*         FAILED. \n"
                            "*         STATE CHANGE ERROR. The state change request has timed "
                            "out and processing has been aborted. \n"),
              std::string::npos)
        << wire.out;
    EXPECT_GE(wire.elapsed, 30s);
    EXPECT_NE(runs.onWire.driverLog.find(c.logHas), std::string::npos) << runs.onWire.driverLog;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusingSlave,
    ::testing::Values(
        RefusalCase{"StopsAtSafeOperational", "five-slaves.stops-at-safeop.sim.json",
                    "*         Attempt to state change to Operational.\n",
                    "refused OP: AL status code 0x0011"},
        RefusalCase{"RefusesSafeOperationalWithACode",
                    "{\"slaves\": [{}, {}, {\"max_state\": 2, \"refusal_code\": \"0x001D\"}, {}, "
                    "{}]}",
                    "*         Attempt to state change to Safe-Operational.\n",
                    "refused SAFEOP: AL status code 0x001D (invalid output configuration)"}),
    [](const auto& info) { return std::string(info.param.name); });

// The slave end taken down (a pulled cable) while the tool is in a step:
// the failing call's line and the failure verdict, within the call bounds.
struct DeadWireCase {
    const char* name;
    std::string description;  // slows the step down so that the cut falls into it
    std::string cutAt;        // the report line after which the wire goes dead
    std::string failure;      // the line that reports the failing call
    int exitCode;
};

void PrintTo(const DeadWireCase& c, std::ostream* out) {
    *out << c.name;
}

class DeadWire : public ::testing::TestWithParam<DeadWireCase> {};

// Takes an interface down now and up again at the end (the namespace may
// serve more tests).
class LinkDown {
  public:
    explicit LinkDown(std::string interface) : interface_(std::move(interface)) {
        result_ = testsupport::Run({"/usr/sbin/ip", "link", "set", interface_, "down"}, {}, 10s);
    }
    ~LinkDown() { testsupport::Run({"/usr/sbin/ip", "link", "set", interface_, "up"}, {}, 10s); }
    const RunResult& result() const { return result_; }

  private:
    std::string interface_;
    RunResult result_;
};

TEST_P(DeadWire, TheFailingCallIsReportedAndTheRunFails) {
    const DeadWireCase& c = GetParam();
    TempNode node;
    const std::string description = CaseFile(c.description, node.dir());
    const std::string eni = Example(kFive);
    Emulator emulator(eni, description);
    ASSERT_TRUE(emulator.Start()) << emulator.Err();
    Driver driver(node, OnWire(eni));
    ASSERT_TRUE(driver.ready());

    BackgroundProcess tool(ToolArgs(eni), NodeEnv(node));
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return tool.Out().find(c.cutAt) != std::string::npos || !tool.Running(); }, 60s));
    ASSERT_TRUE(tool.Running()) << "the step ended before the cut:\n" << tool.Out();
    const auto cut = std::chrono::steady_clock::now();
    LinkDown down(SlaveInterface());
    ASSERT_EQ(down.result().exitCode, 0) << down.result().err;

    // Every call is bounded: the tool ends once the state change's allowance
    // (30 s) has run out, or earlier.
    const int exitCode = tool.Wait(45s);
    const auto took = std::chrono::steady_clock::now() - cut;
    EXPECT_EQ(exitCode, c.exitCode) << tool.Out();
    EXPECT_LT(took, 35s);
    const std::string report = tool.Out();
    EXPECT_NE(report.find(c.failure), std::string::npos) << report;
    EXPECT_TRUE(report.ends_with(kFailedVerdict)) << report;
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, DeadWire,
    ::testing::Values(DeadWireCase{"DuringStep3", "{\"eeprom_busy_us\": 15000}",
                                   "* STEP 3: Comparison of slave information...\n",
                                   "WARNING.  EEPROM read failed. Kestro-ECAT-StatusCode[010CH]\n",
                                   15},
                      DeadWireCase{"DuringStep4", "{\"transition_ms\": 1500}",
                                   "*         Attempt to state change to Safe-Operational.\n",
                                   "*         STATE CHANGE ERROR.", 15}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
