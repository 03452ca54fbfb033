// The unchanged tool through the driver on the master end of a veth pair,
// against the emulator program on the slave end: its report and exit status
// are those of the same run with the slaves emulated in the driver's process,
// for the example networks, the sample ENIs, generated networks and faults on
// the wire.
#include "tests/wire/tool_wire.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <csignal>
#include <ostream>
#include <string>
#include <vector>

#include "bench/eni_text.h"
#include "tests/wire/wire_support.h"

namespace {

using namespace std::chrono_literals;
using testsupport::BackgroundProcess;
using testsupport::BinDir;
using testsupport::RunResult;
using testsupport::TempNode;
using namespace wiretest;

constexpr char kSuccessVerdict[] = "* SUCCESS. All steps have been completed.\n";
constexpr char kFailedVerdict[] = "* FAILED.. Step aborted due to error.\n";

// The files a case names: an example, a sample ENI, a generated network
// ("generated:N") or a description given as JSON text ("{...}"), the last
// two written into `dir`.
std::string CaseFile(const std::string& name, const std::filesystem::path& dir) {
    if (name.empty())
        return name;
    if (name.starts_with("generated:")) {
        const auto count = std::stoul(name.substr(10));
        const auto path = dir / ("generated-" + std::to_string(count) + ".eni.xml");
        // Identities only: the configurator-shaped variant's init commands
        // (a device state written at SO) are there to be read, not run.
        testsupport::WriteFile(path, benchdata::EniText(count, false));
        return path.string();
    }
    if (name.starts_with("{")) {
        const auto path = dir / "network.sim.json";
        testsupport::WriteFile(path, name);
        return path.string();
    }
    if (name.starts_with("samples/"))
        return "/work/shared/eni-samples/" + name.substr(8);
    return Example(name);
}

struct ReportCase {
    const char* name;
    std::string eni;
    std::string sim;
    int exitCode;
    std::string reportHas;  // a line the report holds, besides being the same as in process
    bool losesFrames = false;
};

void PrintTo(const ReportCase& c, std::ostream* out) {
    *out << c.name;
}

class ToolOnVeth : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ToolOnVeth, GivesTheReportAndExitStatusOfTheRunInProcess) {
    const ReportCase& c = GetParam();
    TempNode files;
    const std::string eni = CaseFile(c.eni, files.dir());
    const std::string sim = CaseFile(c.sim, files.dir());

    const Compared runs = CompareRuns(eni, sim, 240s);
    ASSERT_TRUE(runs.emulatorErr.empty()) << runs.emulatorErr;
    const RunResult& wire = runs.onWire.run;
    EXPECT_EQ(wire.exitCode, c.exitCode) << wire.out << wire.err;
    EXPECT_EQ(wire.exitCode, runs.inProcess.run.exitCode);
    EXPECT_EQ(wire.out, runs.inProcess.run.out) << "in process:\n" << runs.inProcess.run.out;
    EXPECT_NE(wire.out.find(c.reportHas), std::string::npos) << wire.out;
    EXPECT_NE(runs.onWire.driverLog.find("EtherCAT master on interface " + MasterInterface()),
              std::string::npos)
        << runs.onWire.driverLog;
    // Lost frames were tried again: the log counts them, the report does not
    // show them. (A busy machine may delay a reply past its time-out now and
    // then, so a clean wire is not held to none.)
    if (c.losesFrames) {
        EXPECT_GT(LastNumberAfter(runs.onWire.driverLog, "received, "), 0) << runs.onWire.driverLog;
    }
}

const std::string kMatching = "five-slaves.matching.sim.json";
const std::string kFive = "five-slaves.eni.xml";
// Slave 1 of the five with a key of its own.
std::string SecondSlave(const std::string& keys) {
    return "{\"slaves\": [{}, {" + keys + "}, {}, {}, {}]}";
}

INSTANTIATE_TEST_SUITE_P(
    Networks, ToolOnVeth,
    ::testing::Values(
        ReportCase{"Matching", kFive, kMatching, 0, kSuccessVerdict},
        ReportCase{"RevisionMismatch", kFive, "five-slaves.revision-mismatch.sim.json", 0,
                   "*         Slave 2: \n"
                   "*               WARNING.  RevisionNo       mismatch. ENI[00110000H], "
                   "Online[00100000H]\n"},
        ReportCase{"SampleJnec", "samples/jnec-compliant-handwritten.xml", "", 0, kSuccessVerdict},
        ReportCase{"SampleKickcat", "samples/kickcat-io-handwritten.xml", "", 0, kSuccessVerdict},
        ReportCase{"SampleCifxImu", "samples/kpierczy-cifx-imu.xml", "", 0, kSuccessVerdict},
        ReportCase{"SampleSoem", "samples/soem-sample.xml", "", 0, kSuccessVerdict},
        ReportCase{"Generated100", "generated:100", "", 0, kSuccessVerdict},
        ReportCase{"Generated1000", "generated:1000", "", 0, kSuccessVerdict},
        // Faults the wire and the slaves bring.
        ReportCase{"FramesLostNowAndThen", kFive, "{\"lose_every\": 9}", 0, kSuccessVerdict, true},
        ReportCase{"EepromBusyBeyondTheBound", kFive, SecondSlave("\"eeprom_busy_us\": 40000"), 0,
                   "*               WARNING.  EEPROM read failed. "
                   "Kestro-ECAT-StatusCode[010AH]\n"},
        ReportCase{"EepromErrors", kFive, SecondSlave("\"eeprom_errors\": 1000"), 0,
                   "*               WARNING.  EEPROM read failed. "
                   "Kestro-ECAT-StatusCode[010BH]\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The slave end taken down (a pulled cable) while the tool is in a step:
// the failing call's line and the failure verdict, within the call bounds.
struct DeadWireCase {
    const char* name;
    std::string sim;      // slows the step down so that the cut falls into it
    std::string cutAt;    // the report line after which the wire goes dead
    std::string failure;  // the line that reports the failing call
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
    const std::string sim = CaseFile(c.sim, node.dir());
    const std::string eni = Example(kFive);
    Emulator emulator(eni, sim);
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

    // Every call is bounded: the tool ends well within a state change's allowance.
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

// The emulator killed and started again between two runs: the next open
// finds the network again and the report is the first one's.
TEST(ToolOnVethRestart, TheNextOpenFindsARestartedNetworkAgain) {
    TempNode node;
    const std::string eni = Example(kFive);
    const std::string sim = Example(kMatching);
    Emulator emulator(eni, sim);
    ASSERT_TRUE(emulator.Start()) << emulator.Err();
    Driver driver(node, OnWire(eni));
    ASSERT_TRUE(driver.ready());
    const RunResult first = testsupport::Run(ToolArgs(eni), NodeEnv(node), 90s);
    EXPECT_EQ(first.exitCode, 0) << first.out;

    emulator.Kill();
    ASSERT_TRUE(emulator.Start()) << emulator.Err();
    const RunResult second = testsupport::Run(ToolArgs(eni), NodeEnv(node), 90s);
    EXPECT_EQ(second.exitCode, 0) << second.out;
    EXPECT_EQ(second.out, first.out);
    EXPECT_TRUE(second.out.ends_with(kSuccessVerdict)) << second.out;
}

// tcpdump on the master end records a whole tool run, what the master
// sends and what comes back in two files, and tshark, knowing nothing of
// this project, decodes them: nothing malformed, every frame answered, and as
// many datagrams as the drivers (the one started and the one the tool
// starts in its place) say they sent.
TEST(ToolOnVethDecoded, TsharkDecodesAWholeRunAndCountsTheDriversDatagrams) {
    TempNode files;
    const std::string eni = Example(kFive);
    Emulator emulator(eni, Example(kMatching));
    ASSERT_TRUE(emulator.Start()) << emulator.Err();
    Capture sentCapture(MasterInterface(), files.dir() / "sent.pcap", "out");
    Capture returnedCapture(MasterInterface(), files.dir() / "returned.pcap", "in");
    ASSERT_TRUE(sentCapture.started()) << sentCapture.Log();
    ASSERT_TRUE(returnedCapture.started()) << returnedCapture.Log();

    TempNode node;
    const ToolOutcome outcome = ToolRun(node, OnWire(eni), eni, 90s);
    EXPECT_EQ(outcome.run.exitCode, 0) << outcome.run.out;
    const long long frames = SumOfNumbersAfter(outcome.driverLog, "frames: ");
    const long long datagrams = SumOfNumbersAfter(outcome.driverLog, "dropped; ");
    ASSERT_GT(frames, 0) << outcome.driverLog;
    const auto count = static_cast<std::size_t>(frames);
    EXPECT_TRUE(sentCapture.WaitForFrames(count, 20s)) << sentCapture.Log();
    EXPECT_TRUE(returnedCapture.WaitForFrames(count, 20s)) << returnedCapture.Log();
    sentCapture.Stop();
    returnedCapture.Stop();

    const Decoded sent = DecodeWithTshark(files.dir() / "sent.pcap");
    const Decoded returned = DecodeWithTshark(files.dir() / "returned.pcap");
    ASSERT_EQ(sent.exitCode, 0) << sent.text;
    ASSERT_EQ(returned.exitCode, 0) << returned.text;
    EXPECT_EQ(sent.malformed + returned.malformed, 0u) << sent.text << returned.text;
    EXPECT_EQ(sent.frames, count);
    EXPECT_EQ(sent.datagrams, static_cast<std::size_t>(datagrams));
    EXPECT_EQ(returned.datagrams, sent.datagrams);
    EXPECT_EQ(Unanswered(sent, returned), 0u);
}

// Process data that stops reaching the slaves in Operational (the master
// stalled): their sync manager watchdogs drop them to Safe-Operational with
// AL status code 0x001B, and the driver's log says so.
TEST(ToolOnVethWatchdog, ProcessDataStoppingInOperationalDropsTheSlaves) {
    TempNode node;
    // The example with the watchdog of its output sync managers switched on
    // (control byte 0x24 -> 0x64), as a configurator sets it.
    std::string text = testsupport::ReadFile(Example(kFive));
    for (auto at = text.find("#x24</ControlByte>"); at != std::string::npos;
         at = text.find("#x24</ControlByte>", at))
        text.replace(at, 4, "#x64");
    const std::string eni = (node.dir() / "watchdog.eni.xml").string();
    testsupport::WriteFile(eni, text);
    Emulator emulator(eni, Example(kMatching));
    ASSERT_TRUE(emulator.Start()) << emulator.Err();
    Driver driver(node, OnWire(eni));
    ASSERT_TRUE(driver.ready());

    const auto release = node.dir() / "release";
    BackgroundProcess probe({(BinDir() / "master_probe").string(), "open", "request", "8",
                             "wait-state", "8", "20000", "wait-file", release.string()},
                            NodeEnv(node));
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return probe.Out().find("wait-state 0 8") != std::string::npos || !probe.Running(); },
        30s))
        << probe.Out() << driver.Log();

    // The master stalls longer than the slaves' SM watchdog (about 100 ms),
    // then goes on: its state machine finds them dropped.
    ASSERT_GT(driver.pid(), 0);
    kill(driver.pid(), SIGSTOP);
    const auto stalled = std::chrono::steady_clock::now();
    testsupport::WaitUntil([&] { return std::chrono::steady_clock::now() - stalled > 400ms; }, 1s);
    kill(driver.pid(), SIGCONT);
    const bool dropped = testsupport::WaitUntil(
        [&] { return driver.Log().find("code 0x001B") != std::string::npos; }, 20s);
    testsupport::WriteFile(release, "");
    probe.Wait(30s);
    EXPECT_TRUE(dropped) << driver.Log();
    EXPECT_NE(driver.Log().find("in SAFEOP with AL status code 0x001B"), std::string::npos)
        << driver.Log();
}

}  // namespace
