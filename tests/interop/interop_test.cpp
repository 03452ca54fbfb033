// Against independent peers on a veth pair: SOEM (a master that configures
// from SII and CoE, never from an ENI) against the emulator program serving
// every real ENI file and example, and the unchanged tool through the driver
// against KickCAT's emulated slaves.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/interop/peers.h"
#include "tests/wire/tool_wire.h"
#include "tests/wire/wire_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::BackgroundProcess;
using testsupport::RunResult;
using testsupport::TempNode;
using namespace wiretest;
using namespace interop;

// A missing peer skips the test, or fails it where the peers are required.
#define REQUIRE_PEER(file)                                         \
    do {                                                           \
        if (const std::string why = Missing(file); !why.empty()) { \
            if (Required())                                        \
                FAIL() << why;                                     \
            GTEST_SKIP() << why;                                   \
        }                                                          \
    } while (false)

std::string Hex(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// Every ENI of the corpus and the samples (NAME.xml), and of the examples
// (NAME.eni.xml).
std::vector<fs::path> EniFiles() {
    std::vector<fs::path> files;
    for (const auto& [dir, suffix] :
         {std::pair{SharedDir() / "eni-corpus", ".xml"},
          std::pair{SharedDir() / "eni-samples", ".xml"},
          std::pair{testsupport::SourceDir() / "examples", ".eni.xml"}}) {
        std::error_code ec;
        std::vector<fs::path> here;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            if (entry.path().filename().string().ends_with(suffix))
                here.push_back(entry.path());
        }
        std::sort(here.begin(), here.end());
        files.insert(files.end(), here.begin(), here.end());
    }
    return files;
}

class SoemOnEmulator : public ::testing::TestWithParam<fs::path> {};

TEST_P(SoemOnEmulator, FindsTheSlavesInSafeop) {
    REQUIRE_PEER(Slaveinfo());
    const fs::path& eni = GetParam();
    std::string error;
    const std::vector<WireSlave> expected = WireSlaves(eni, error);
    ASSERT_TRUE(error.empty()) << error;

    Emulator emulator(eni.string(), "");
    ASSERT_TRUE(emulator.Start()) << "the emulator does not serve " << eni << ":\n"
                                  << emulator.Err();
    // Without -map: the map's entry names come through SDO Information,
    // which the emulated slaves do not declare (SII CoE details); they answer
    // with the mailbox error "service not supported", and this SOEM then
    // reads the next mailbox into the buffer it has just released (a crash).
    // The sizes it prints come from its own configuration either way.
    const RunResult run = testsupport::Run({Slaveinfo().string(), MasterInterface()}, {}, 120s);
    emulator.Kill();
    ASSERT_FALSE(run.timedOut) << run.out;

    const std::vector<SlaveReport> found = ParseSlaveinfo(run.out);
    ASSERT_EQ(found.size(), expected.size()) << run.out;
    EXPECT_EQ(run.out.find("Not all slaves reached safe operational state."), std::string::npos)
        << run.out;
    for (std::size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE("slave " + std::to_string(i + 1) + " of the line");
        EXPECT_EQ(Hex(found[i].vendor), Hex(expected[i].vendor));
        EXPECT_EQ(Hex(found[i].product), Hex(expected[i].product));
        if (expected[i].revision) {
            EXPECT_EQ(Hex(found[i].revision), Hex(*expected[i].revision));
        }
        EXPECT_EQ(found[i].name, expected[i].name);
        EXPECT_EQ(found[i].outputBits, expected[i].outputBits);
        EXPECT_EQ(found[i].inputBits, expected[i].inputBits);
        EXPECT_EQ(found[i].state, 4) << "SAFE-OP";
    }
}

std::string FileTestName(const ::testing::TestParamInfo<fs::path>& info) {
    std::string name = info.param.stem().string();
    if (name.ends_with(".eni"))
        name.resize(name.size() - 4);
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(EniFiles, SoemOnEmulator, ::testing::ValuesIn(EniFiles()), FileTestName);

// Our own master on the peer library: the states, a refusal and the watchdog.
struct ProbeCase {
    const char* name;
    fs::path eni;
    // Replaced, every occurrence, in a copy of the ENI.
    std::vector<std::pair<std::string, std::string>> edits = {};
};

// `text` with every occurrence of each edit's first string replaced; false
// when one does not occur.
bool Edit(std::string& text, const std::vector<std::pair<std::string, std::string>>& edits) {
    for (const auto& [from, to] : edits) {
        if (text.find(from) == std::string::npos)
            return false;
        for (auto at = text.find(from); at != std::string::npos;
             at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }
    return true;
}

void PrintTo(const ProbeCase& c, std::ostream* out) {
    *out << c.name;
}

class SoemProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(SoemProbe, WalksStatesRefusalWatchdog) {
    REQUIRE_PEER(interop::SoemProbe());
    const ProbeCase& c = GetParam();
    TempNode files;
    std::string text = testsupport::ReadFile(c.eni);
    ASSERT_TRUE(Edit(text, c.edits)) << c.eni;
    const fs::path eni = files.dir() / c.eni.filename();
    testsupport::WriteFile(eni, text);
    std::string error;
    const std::vector<WireSlave> expected = WireSlaves(c.eni, error);
    ASSERT_TRUE(error.empty()) << error;

    Emulator emulator(eni.string(), "");
    ASSERT_TRUE(emulator.Start()) << emulator.Err();
    const RunResult run =
        testsupport::Run({interop::SoemProbe().string(), MasterInterface()}, {}, 120s);
    emulator.Kill();
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string line = "slave " + std::to_string(i + 1) + " " + Hex(expected[i].vendor) +
                                 " " + Hex(expected[i].product);
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
    }
    for (const char* step : {"ok preop\n", "AL status code 0x0011\n", "ok safeop\n", "ok op\n",
                             "AL status code 0x001b\n", "ok init\n"})
        EXPECT_NE(run.out.find(step), std::string::npos) << step << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Networks, SoemProbe,
    ::testing::Values(
        ProbeCase{"KickcatIo", SharedDir() / "eni-samples/kickcat-io-handwritten.xml"},
        // The example leaves the SM watchdog of its output sync managers
        // off (control byte 0x24), which an independent master takes over
        // from the SII as it stands: switched on (0x64), as a configurator
        // sets it, so that stopping the process data has an effect.
        ProbeCase{"FiveSlaves",
                  testsupport::SourceDir() / "examples/five-slaves.eni.xml",
                  {{"#x24</ControlByte>", "#x64</ControlByte>"}}},
        ProbeCase{"SixServoDrives", SharedDir() / "eni-corpus/bigcjv_6axis_servo.xml"}),
    [](const auto& info) { return std::string(info.param.name); });

// The unchanged tool against a line of KickCAT's example slaves, with the ENI
// a configurator would write for it; and with one identity changed.
const fs::path kLineEni = KICKCAT_LINE_ENI;  // written from the peer's files at build time
const std::vector<std::string> kLineConfigs{"xmc4800.json", "freedom-k64f.json",
                                            "ecat402-drive.json"};

struct LineCase {
    const char* name;
    // Replaced, every occurrence, in a copy of the ENI.
    std::vector<std::pair<std::string, std::string>> edits;
    int exitCode;
    std::vector<std::string> reportHas;
};

void PrintTo(const LineCase& c, std::ostream* out) {
    *out << c.name;
}

class ToolOnKickcat : public ::testing::TestWithParam<LineCase> {};

TEST_P(ToolOnKickcat, GivesTheReportOfTheLine) {
    REQUIRE_PEER(NetworkSimulator());
    const LineCase& c = GetParam();
    TempNode files;
    std::string text = testsupport::ReadFile(kLineEni);
    ASSERT_TRUE(Edit(text, c.edits));
    const fs::path eni = files.dir() / "line.eni.xml";
    testsupport::WriteFile(eni, text);

    // The example configurations name their files relative to their folder.
    std::vector<std::string> argv{
        "/usr/bin/env",   "-C", KickcatSlaveConfigs().string(), NetworkSimulator().string(), "-i",
        SlaveInterface(), "-s"};
    argv.insert(argv.end(), kLineConfigs.begin(), kLineConfigs.end());
    BackgroundProcess simulator(argv, {});
    ASSERT_TRUE(WaitForSlaves(MasterInterface(), static_cast<int>(kLineConfigs.size()), 30s))
        << simulator.Out() << simulator.Err();

    // The simulator loses the first replies after a pause now and then (it
    // is idle while a network that differs from its ENI is not started): an
    // open that got no reply at all is tried again, at most twice.
    std::optional<ToolOutcome> outcome;
    for (int attempt = 0; attempt < 3; ++attempt) {
        TempNode node;
        outcome = ToolRun(node, OnWire(eni.string()), eni.string(), 240s);
        if (outcome->run.out.find("StatusCode[0036H]") == std::string::npos)
            break;
    }
    simulator.Kill(SIGTERM);
    if (simulator.Wait(10s) == -1000) {
        simulator.Kill(SIGKILL);
        simulator.Wait(10s);
    }
    const RunResult& run = outcome->run;
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err << outcome->driverLog;
    for (const std::string& line : c.reportHas)
        EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out << outcome->driverLog;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ToolOnKickcat,
    ::testing::Values(LineCase{"AsConfigured", {}, 0, {kSuccessVerdict}},
                      // The second slave's product code where the file names
                      // it: its identity and the init command that checks it.
                      LineCase{
                          "OtherProductCode",
                          {{"<ProductCode>#x00defede</ProductCode>",
                            "<ProductCode>#x00defedf</ProductCode>"},
                           {"<Data>defede00</Data>", "<Data>dffede00</Data>"}},
                          255,
                          {"*         Slave 1: \n"
                           "*               WARNING.  ProductCode      mismatch. "
                           "ENI[00DEFEDFH], Online[00DEFEDEH]\n",
                           // The master does not start a network that
                           // differs from its ENI.
                           "STATE CHANGE ERROR. An error occurred in the ZU API call", "[010DH]"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
