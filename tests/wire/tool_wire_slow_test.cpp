// Networks that never reach Operational over the veth pair: the tool waits a
// state change's whole allowance (30 s), so these tests are labelled slow.
// The report and exit status are those of the run in process, and the
// driver's log names the refusal's AL status code with its meaning.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/wire/tool_wire.h"

namespace {

using namespace std::chrono_literals;
using testsupport::TempNode;
using namespace wiretest;

struct RefusalCase {
    const char* name;
    std::string sim;  // a file in examples/, or JSON text
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
    std::string sim = Example(c.sim);
    if (c.sim.starts_with("{")) {
        sim = (files.dir() / "network.sim.json").string();
        testsupport::WriteFile(sim, c.sim);
    }
    const std::string eni = Example("five-slaves.eni.xml");
    const Compared runs = CompareRuns(eni, sim, 120s);
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

}  // namespace
