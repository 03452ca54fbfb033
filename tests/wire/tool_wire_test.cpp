// The unchanged tool through the driver on the master end of a veth pair,
// against the emulator program on the slave end: its report and exit status
// are those of the same run with the slaves emulated in the driver's process,
// for the example networks, the sample ENIs, generated networks and faults on
// the wire.
#include "tests/wire/tool_wire.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/wire/wire_support.h"

namespace {

using namespace std::chrono_literals;
using testsupport::BackgroundProcess;
using testsupport::BinDir;
using testsupport::RunResult;
using testsupport::TempNode;
using namespace wiretest;

struct ReportCase {
    const char* name;
    std::string eni;
    std::string description;
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
    const std::string description = CaseFile(c.description, files.dir());

    const Compared runs = CompareRuns(eni, description, 240s);
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
        ReportCase{"ExtraSlave", kFive, "five-slaves.extra-slave.sim.json", 255,
                   "*         STATE CHANGE ERROR. An error occurred in the ZU API call, please "
                   "check the status code details from the ZU API help. "
                   "Kestro-ECAT-StatusCode[010DH]\n"},
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

// The emulator killed and started again between two runs: the next open
// finds the network again and the report is the first one's.
TEST(ToolOnVethRestart, TheNextOpenFindsARestartedNetworkAgain) {
    TempNode node;
    const std::string eni = Example(kFive);
    const std::string description = Example(kMatching);
    Emulator emulator(eni, description);
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
