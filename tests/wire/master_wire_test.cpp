// The driver's master on a real interface: the emulator program serves the
// slave end of a veth pair, the driver drives the master end with -nic=, and
// the tool's report is the same as with the same slaves emulated in the
// driver's own process. The frames the master sent and received are in its
// pcap recording, which tshark decodes without complaint.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process_harness.h"
#include "tests/wire/wire_support.h"

namespace {

using namespace std::chrono_literals;
using testsupport::BackgroundProcess;
using testsupport::BinDir;
using testsupport::RunResult;
using testsupport::SourceDir;
using testsupport::TempNode;

std::string Example(const std::string& name) {
    return (SourceDir() / "examples" / name).string();
}

testsupport::Env NodeEnv(const TempNode& node) {
    return node.env({{"ECAT_MASTER_INI_FILE", (BinDir() / "config" / "master.ini").string()}});
}

// Everything the driver processes of the node have logged.
std::string DriverLogs(const TempNode& node) {
    std::string all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(node.dir() / "log", ec)) {
        if (entry.path().filename().string().starts_with("lomadyn.rta."))
            all += testsupport::ReadFile(entry.path());
    }
    return all;
}

// Starts the driver with these options, waits for the end of its
// initialisation, runs the tool with the ENI (which restarts the driver with
// the old options kept) and stops the driver.
RunResult ToolRun(const TempNode& node, std::vector<std::string> options) {
    options.insert(options.begin(), (BinDir() / "lomadyn.rta").string());
    BackgroundProcess driver(options, NodeEnv(node));
    const RunResult waited = testsupport::Run(
        {(BinDir() / "rtnode").string(), "wait", "PRCS_LOMADYN/ZU?END_INIT", "10000"},
        NodeEnv(node), 15s);
    EXPECT_EQ(waited.exitCode, 0) << waited.out << waited.err << driver.Err();
    RunResult run = testsupport::Run(
        {(BinDir() / "parvane").string(), "-eni=" + Example("five-slaves.eni.xml")}, NodeEnv(node),
        90s);
    testsupport::Run({(BinDir() / "rtnode").string(), "stop", "PRCS_LOMADYN"}, NodeEnv(node), 15s);
    return run;
}

struct WireCase {
    const char* description;
};

class MasterOnVeth : public ::testing::TestWithParam<WireCase> {};

TEST_P(MasterOnVeth, TheReportIsTheSameAsInProcess) {
    const std::string description = Example(GetParam().description);

    TempNode inProcess;
    const RunResult expected =
        ToolRun(inProcess, {"-eni=" + Example("five-slaves.eni.xml"), "-sim=" + description});

    TempNode node;
    const auto recording = node.dir() / "master.pcap";
    BackgroundProcess emulator(
        {(BinDir() / "ecat-emulator").string(), "-nic=" + wiretest::SlaveInterface(),
         "-eni=" + Example("five-slaves.eni.xml"), "-sim=" + description},
        {});
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !emulator.Out().empty(); }, 10s))
        << emulator.Err();
    const RunResult onWire =
        ToolRun(node, {"-eni=" + Example("five-slaves.eni.xml"),
                       "-nic=" + wiretest::MasterInterface(), "-pcap=" + recording.string()});

    EXPECT_EQ(onWire.exitCode, 0) << onWire.out;  // a revision difference only warns
    EXPECT_EQ(onWire.exitCode, expected.exitCode);
    EXPECT_EQ(onWire.out, expected.out) << "in process:\n" << expected.out;
    EXPECT_FALSE(onWire.out.empty());

    const wiretest::Decoded decoded = wiretest::DecodeWithTshark(recording);
    ASSERT_EQ(decoded.exitCode, 0) << decoded.text;
    EXPECT_EQ(decoded.malformed, 0u) << decoded.text;
    EXPECT_GT(decoded.frames, 20u) << decoded.text;
}

INSTANTIATE_TEST_SUITE_P(Networks, MasterOnVeth,
                         ::testing::Values(WireCase{"five-slaves.matching.sim.json"},
                                           WireCase{"five-slaves.revision-mismatch.sim.json"}),
                         [](const auto& info) {
                             return info.index == 0 ? std::string("Matching")
                                                    : std::string("RevisionMismatch");
                         });

TEST(MasterOnVeth, AnInterfaceThatDoesNotExistRefusesTheOpenAndSaysWhy) {
    TempNode node;
    const RunResult run = ToolRun(node, {"-eni=" + Example("five-slaves.eni.xml"), "-nic=pvnone0"});
    EXPECT_EQ(run.exitCode, 54) << run.out;
    EXPECT_NE(run.out.find("StatusCode[0036H]"), std::string::npos) << run.out;
    EXPECT_NE(DriverLogs(node).find("no network interface named pvnone0"), std::string::npos)
        << DriverLogs(node);
}

}  // namespace
