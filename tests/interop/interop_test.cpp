// Against independent peers on a veth pair: SOEM (a master that configures
// from SII and CoE, never from an ENI) against the emulator program serving
// every real ENI file and example, and the unchanged tool through the driver
// against KickCAT's emulated slaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/interop/peers.h"
#include "tests/wire/tool_wire.h"
#include "tests/wire/wire_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::RunResult;
using testsupport::TempNode;
using namespace wiretest;
using namespace interop;

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

// A network description in `files` for a master that runs no distributed
// clocks: DC-synchronous slaves then skip their SYNC0 checks.
std::string WithoutSyncChecks(const TempNode& files) {
    const fs::path path = files.dir() / "no-sync-checks.json";
    testsupport::WriteFile(path, R"({"dc_sync_checks": false})");
    return path.string();
}

TEST_P(SoemOnEmulator, FindsTheSlavesInSafeop) {
    REQUIRE_PEER(Slaveinfo());
    const fs::path& eni = GetParam();
    std::string error;
    const std::vector<WireSlave> expected = WireSlaves(eni, error);
    ASSERT_TRUE(error.empty()) << error;

    TempNode files;
    Emulator emulator(eni.string(), WithoutSyncChecks(files));
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

    Emulator emulator(eni.string(), WithoutSyncChecks(files));
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

// SOEM's own DC set-up on a line of six DC drives: the delays it measures
// grow along the line, SYNC0 runs, the drives go to OP and stay there with
// their clocks within the 1 us they tolerate.
TEST(SoemDc, MeasuresDelaysStartsSync0AndHoldsOp) {
    REQUIRE_PEER(interop::SoemDcProbe());
    const fs::path eni = SharedDir() / "eni-corpus/bigcjv_6axis_servo.xml";
    Emulator emulator(eni.string(), "");
    ASSERT_TRUE(emulator.Start()) << emulator.Err();
    const RunResult run =
        testsupport::Run({interop::SoemDcProbe().string(), MasterInterface(), "1000000"}, {}, 120s);
    emulator.Kill();
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err << emulator.Err();
    std::vector<long> delays, differences;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        int slave = 0;
        long value = 0;
        if (std::sscanf(line.c_str(), "slave %d delay %ld", &slave, &value) == 2)
            delays.push_back(value);
        else if (std::sscanf(line.c_str(), "slave %d difference %ld", &slave, &value) == 2)
            differences.push_back(value);
    }
    ASSERT_EQ(delays.size(), 6u) << run.out;
    EXPECT_EQ(delays[0], 0) << "the reference";
    for (std::size_t i = 1; i < delays.size(); ++i)
        EXPECT_GT(delays[i], delays[i - 1]) << "slave " << i + 1 << "\n" << run.out;
    EXPECT_NE(run.out.find("ok sync0\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ok op held\n"), std::string::npos) << run.out;
    ASSERT_EQ(differences.size(), 6u) << run.out;
    for (long d : differences)
        EXPECT_LT(std::labs(d), 1000) << run.out;
    std::printf("%s", run.out.c_str());
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

    KickcatLine simulator;
    ASSERT_TRUE(simulator.Serves()) << simulator.Output();
    const ToolOutcome outcome = ToolRunRetried(eni.string());
    simulator.Stop();
    const RunResult& run = outcome.run;
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err << outcome.driverLog;
    for (const std::string& line : c.reportHas)
        EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out << outcome.driverLog;
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
