// parvane-scan as a process: -compare over emulated slaves built from one
// ENI and compared with an edited copy, and its refusals with their exit
// statuses and lines. The rows that need a wire run in a network namespace
// of their own (tests/wire/in_netns.sh) and report themselves skipped
// without root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/process_harness.h"

namespace {

namespace fs = std::filesystem;
using testsupport::BinDir;
using testsupport::ReadFile;
using testsupport::SourceDir;
using testsupport::WriteFile;

// The top-level <Slave> elements of an ENI text, as [begin, end) offsets.
std::vector<std::pair<std::size_t, std::size_t>> SlaveBlocks(const std::string& text) {
    std::vector<std::pair<std::size_t, std::size_t>> blocks;
    for (std::size_t at = text.find("<Slave>"); at != std::string::npos;
         at = text.find("<Slave>", at + 1)) {
        const std::size_t end = text.find("</Slave>", at) + std::string("</Slave>").size();
        blocks.emplace_back(at, end);
        at = end - 1;
    }
    return blocks;
}

std::string Block(const std::string& text, std::size_t slave) {
    const auto [begin, end] = SlaveBlocks(text).at(slave);
    return text.substr(begin, end - begin);
}

std::string WithoutSlave(std::string text, std::size_t slave) {
    const auto [begin, end] = SlaveBlocks(text).at(slave);
    return text.erase(begin, end - begin);
}

std::string SwapSlaves(const std::string& text, std::size_t a, std::size_t b) {
    const auto blocks = SlaveBlocks(text);
    const std::string first = Block(text, a), second = Block(text, b);
    std::string out = text.substr(0, blocks.at(a).first) + second;
    out += text.substr(blocks.at(a).second, blocks.at(b).first - blocks.at(a).second) + first;
    return out + text.substr(blocks.at(b).second);
}

// `from` replaced by `to` inside the given slave's element; the text as it
// was when `from` is not there (the test then fails on its output).
std::string InSlave(std::string text, std::size_t slave, const std::string& from,
                    const std::string& to) {
    const auto [begin, end] = SlaveBlocks(text).at(slave);
    const std::size_t at = text.find(from, begin);
    EXPECT_TRUE(at != std::string::npos && at < end) << from << " not in slave " << slave;
    if (at != std::string::npos && at < end)
        text.replace(at, from.size(), to);
    return text;
}

class ScanProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("parvane-scan-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        // Nothing but what the test wrote itself: no temporary file is left.
        for (const auto& entry : fs::directory_iterator(dir_))
            EXPECT_TRUE(entry.path().extension() == ".xml" || entry.path().extension() == ".json")
                << "left behind: " << entry.path();
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

struct CompareCase {
    const char* what;
    fs::path eni;
    std::function<std::string(const std::string&)> emulated;  // the network's ENI
    // The ENI compared with; none: the one the program writes of the network.
    std::function<std::string(const std::string&)> compared;
    int exitStatus;
    std::string lines;
};

std::string Same(const std::string& text) {
    return text;
}

// A coupler and four terminals in a line.
const fs::path kFive = SourceDir() / "examples/five-slaves.eni.xml";
// A coupler, a junction whose ports B, C and D carry a branch each, and a
// line on the coupler's port C; CoE slaves and a passive end cap among them.
const fs::path kJunctions = fs::path(CORPUS_DIR) / "rcprg_velma_body.xml";
constexpr int kInterrupted = 130;

TEST_F(ScanProgram, ComparesTheEmulatedNetworkWithAnEditedEni) {
    // The five slaves' lines when they are the ENI's.
    const std::string same[] = {
        "   0 same      station 0x03E9 eni \"Coupler CPL-100 (EtherCAT coupler)\" found "
        "\"EtherCAT coupler\"\n",
        "   1 same      station 0x03EA eni \"Term 2 (DI-1808, 8 digital inputs 24 V)\" found "
        "\"DI-1808, 8 digital inputs 24 V\"\n",
        "   2 same      station 0x03EB eni \"Term 3 (DO-2808, 8 digital outputs 24 V 0.5 A)\" "
        "found "
        "\"DO-2808, 8 digital outputs 24 V 0.5 A\"\n",
        "   3 same      station 0x03EC eni \"Term 4 (AI-3104, 4 analog inputs +/-10 V)\" found "
        "\"AI-3104, 4 analog inputs +/-10 V\"\n",
        "   4 same      station 0x03ED eni \"Term 5 (AO-4102, 2 analog outputs 0..10 V)\" found "
        "\"AO-4102, 2 analog outputs 0..10 V\"\n",
    };
    const std::string allSame = same[0] + same[1] + same[2] + same[3] + same[4];
    // The junction line without the branch on the junction's port B, so
    // that port is free; the coupler named as this project names it.
    const auto junctions = [](const std::string& t) {
        std::string out = WithoutSlave(t, 3);
        for (std::size_t at; (at = out.find("EK1100")) != std::string::npos;)
            out.replace(at, 6, "CPL-100");
        return out;
    };
    const CompareCase cases[] = {
        {"identical", kFive, Same, Same, 0,
         allSame + "same: 5 positions, 5 same, 0 different, 0 missing, 0 extra\n"},
        {"another product code at position 3", kFive, Same,
         [](const std::string& t) {
             return InSlave(t, 3, "<ProductCode>#x0bc43052</ProductCode>",
                            "<ProductCode>#x0bc43053</ProductCode>");
         },
         1,
         same[0] + same[1] + same[2] +
             "   3 different station 0x03EC eni \"Term 4 (AI-3104, 4 analog inputs +/-10 V)\" "
             "found \"AI-3104, 4 analog inputs +/-10 V\"; product eni 0x0BC43053 found "
             "0x0BC43052\n" +
             same[4] + "different: 5 positions, 4 same, 1 different, 0 missing, 0 extra\n"},
        {"the last slave missing", kFive, [](const std::string& t) { return WithoutSlave(t, 4); },
         Same, 1,
         same[0] + same[1] + same[2] + same[3] +
             "   4 missing   station 0x03ED eni \"Term 5 (AO-4102, 2 analog outputs 0..10 V)\" "
             "found -; the line ends after position 3\n"
             "different: 5 positions, 4 same, 0 different, 1 missing, 0 extra\n"},
        {"an extra slave", kFive, Same, [](const std::string& t) { return WithoutSlave(t, 4); }, 1,
         same[0] + same[1] + same[2] + same[3] +
             "   4 extra     station 0x03ED eni - found \"AO-4102, 2 analog outputs 0..10 V\"; "
             "vendor 0x00000002 product 0x0FA03052 revision 0x00140000 on port B of position 3\n"
             "different: 5 positions, 4 same, 0 different, 0 missing, 1 extra\n"},
        {"two slaves swapped", kFive, [](const std::string& t) { return SwapSlaves(t, 1, 2); },
         Same, 1,
         same[0] +
             "   1 different station 0x03EA eni \"Term 2 (DI-1808, 8 digital inputs 24 V)\" found "
             "\"DO-2808, 8 digital outputs 24 V 0.5 A\"; product eni 0x0B5A3052 found 0x0C4A3052; "
             "outputs eni 0 found 8; inputs eni 8 found 0\n"
             "   2 different station 0x03EB eni \"Term 3 (DO-2808, 8 digital outputs 24 V 0.5 A)\" "
             "found \"DI-1808, 8 digital inputs 24 V\"; product eni 0x0C4A3052 found 0x0B5A3052; "
             "outputs eni 8 found 0; inputs eni 0 found 8\n" +
             same[3] + same[4] +
             "different: 5 positions, 3 same, 2 different, 0 missing, 0 extra\n"},
        {"a branch moved to another junction port", kJunctions,
         [&](const std::string& t) {
             return InSlave(junctions(t), 3, "<Port>C</Port>", "<Port>B</Port>");
         },
         junctions, 1,
         "   0 same      station 0x03E9 eni \"Term 1 (CPL-100)\" found \"CPL-100\"\n"
         "   1 same      station 0x03EA eni \"junction\" found \"junction\"\n"
         "   2 same      station 0x03EB eni \"FT_sensor_left\" found \"FT_sensor_left\"\n"
         "   3 different station 0x03EC eni \"CAN_left\" found \"CAN_left\"; parent eni 1/C found "
         "1/B\n"
         "   4 same      station 0x03ED eni \"CAN_right\" found \"CAN_right\"\n"
         "   5 same      station 0x03EE eni \"HeadPan\" found \"HeadPan\"\n"
         "   6 same      station 0x03EF eni \"HeadTilt\" found \"HeadTilt\"\n"
         "   7 same      station 0x03F0 eni \"TorsoPan\" found \"TorsoPan\"\n"
         "different: 8 positions, 7 same, 1 different, 0 missing, 0 extra\n"},
        {"the ENI written of the network, junction ports and all", kJunctions,
         [&](const std::string& t) {
             return InSlave(junctions(t), 3, "<Port>C</Port>", "<Port>B</Port>");
         },
         nullptr, 0,
         "   0 same      station 0x03E9 eni \"Slave 1 (CPL-100)\" found \"CPL-100\"\n"
         "   1 same      station 0x03EA eni \"Slave 2 (junction)\" found \"junction\"\n"
         "   2 same      station 0x03EB eni \"Slave 3 (FT_sensor_left)\" found \"FT_sensor_left\"\n"
         "   3 same      station 0x03EC eni \"Slave 4 (CAN_left)\" found \"CAN_left\"\n"
         "   4 same      station 0x03ED eni \"Slave 5 (CAN_right)\" found \"CAN_right\"\n"
         "   5 same      station 0x03EE eni \"Slave 6 (HeadPan)\" found \"HeadPan\"\n"
         "   6 same      station 0x03EF eni \"Slave 7 (HeadTilt)\" found \"HeadTilt\"\n"
         "   7 same      station 0x03F0 eni \"Slave 8 (TorsoPan)\" found \"TorsoPan\"\n"
         "same: 8 positions, 8 same, 0 different, 0 missing, 0 extra\n"},
    };
    for (const CompareCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (!fs::exists(c.eni)) {
            ADD_FAILURE() << "no " << c.eni;
            continue;
        }
        const std::string original = ReadFile(c.eni);
        WriteFile(dir_ / "network.xml", c.emulated(original));
        const std::string program = (BinDir() / "parvane-scan").string();
        if (c.compared) {
            WriteFile(dir_ / "compared.xml", c.compared(original));
        } else {
            const auto written =
                testsupport::Run({program, "-emulate=" + (dir_ / "network.xml").string(),
                                  "-o=" + (dir_ / "compared.xml").string()},
                                 {}, std::chrono::seconds(60));
            ASSERT_EQ(written.exitCode, 0) << written.err;
            EXPECT_EQ(written.out + written.err, "");
        }
        const auto run = testsupport::Run({program, "-emulate=" + (dir_ / "network.xml").string(),
                                           "-compare=" + (dir_ / "compared.xml").string(),
                                           "-json=" + (dir_ / "result.json").string()},
                                          {}, std::chrono::seconds(60));
        EXPECT_EQ(run.exitCode, c.exitStatus) << run.err;
        EXPECT_EQ(run.out, c.lines);
        EXPECT_EQ(run.err, "");
        const std::string json = ReadFile(dir_ / "result.json");
        EXPECT_NE(
            json.find(c.exitStatus == 0 ? "\"verdict\": \"same\"" : "\"verdict\": \"different\""),
            std::string::npos)
            << json;
    }
}

// How a refusal row runs the program: as it is, or inside a namespace of
// its own with a veth pair (ecm0 has nothing behind it), there also with the
// interface's lock held, or as the user nobody.
enum class Setting { kPlain, kWire, kWireLockHeld, kWireAsNobody };

struct RefusalCase {
    const char* what;
    Setting setting;
    std::vector<std::string> args;
    int exitStatus;
    std::string out;  // the start of stdout
    std::string err;  // the start of stderr, which is one line
};

// The shell line that runs the program in the namespace; it fails with 99
// when the program left its lock file behind.
std::string WireScript(Setting setting, const std::vector<std::string>& args) {
    std::string program = BinDir() / "parvane-scan";
    for (const std::string& a : args)
        program += " '" + a + "'";
    const std::string lock = "/run/parvane/nic-$(stat -Lc %i /proc/self/ns/net)-ecm0.lock";
    std::string script = "lock=" + lock + "; ";
    switch (setting) {
        case Setting::kWireLockHeld:
            script +=
                "mkdir -p /run/parvane; flock \"$lock\" " + program + "; s=$?; rm -f \"$lock\"";
            break;
        case Setting::kWireAsNobody:
            script += "setpriv --reuid=nobody --regid=nogroup --clear-groups " + program + "; s=$?";
            break;
        default:
            script += program + "; s=$?";
            break;
    }
    return script + "; [ -e \"$lock\" ] && s=99; exit $s";
}

TEST_F(ScanProgram, RefusesWithItsExitStatusAndOneLine) {
    const std::string five = (SourceDir() / "examples/five-slaves.eni.xml").string();
    WriteFile(dir_ / "unreadable.json", R"({"slaves": [{}, {}, {"eeprom_errors": 1000}]})");
    const RefusalCase cases[] = {
        {"unknown option, with what it may mean",
         Setting::kPlain,
         {"--nic=x"},
         2,
         "",
         "parvane-scan: unknown option \"--nic=x\" (did you mean -nic=...?)\n"},
        {"help", Setting::kPlain, {"-nic=x", "--help"}, 0, "usage: parvane-scan -nic=IF", ""},
        {"version", Setting::kPlain, {"--version"}, 0, "parvane-scan 1.0.0.2\n", ""},
        {"neither interface nor emulation",
         Setting::kPlain,
         {"-o=x.xml"},
         2,
         "",
         "parvane-scan: give exactly one of -nic=IF and -emulate=ENI\n"},
        {"no such interface",
         Setting::kPlain,
         {"-nic=pvnosuch0"},
         3,
         "",
         "parvane-scan: no network interface named pvnosuch0 (see ip link for the names)\n"},
        {"ENI unreadable",
         Setting::kPlain,
         {"-emulate=" + (dir_ / "none.xml").string()},
         7,
         "",
         ""},
        {"output not writable",
         Setting::kPlain,
         {"-emulate=" + five, "-o=" + (dir_ / "no-folder" / "out.xml").string()},
         8,
         "",
         "parvane-scan: cannot write " + (dir_ / "no-folder" / "out.xml").string() +
             ": No such file or directory\n"},
        {"a slave whose EEPROM cannot be read: no ENI rather than a wrong one",
         Setting::kPlain,
         {"-emulate=" + five, "-sim=" + (dir_ / "unreadable.json").string()},
         9,
         "",
         "parvane-scan: the EEPROM of the slave at position 2 cannot be read ("},
        {"no slave answering",
         Setting::kWire,
         {"-nic=ecm0"},
         6,
         "",
         "parvane-scan: no slave answers on interface ecm0 (no slave, or the cable is not "
         "connected)\n"},
        {"interface held by a driver",
         Setting::kWireLockHeld,
         {"-nic=ecm0"},
         5,
         "",
         "parvane-scan: interface ecm0 is held by another master (a running lomadyn.rta or "
         "parvane-scan; lock /run/parvane/nic-"},
        {"not root",
         Setting::kWireAsNobody,
         {"-nic=ecm0"},
         4,
         "",
         "parvane-scan: cannot open interface ecm0: needs CAP_NET_RAW: run as root\n"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv;
        if (c.setting == Setting::kPlain) {
            argv = {(BinDir() / "parvane-scan").string()};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
        } else {
            argv = {(SourceDir() / "tests/wire/in_netns.sh").string(), "60", "sh", "-c",
                    WireScript(c.setting, c.args)};
        }
        const auto run = testsupport::Run(argv, {}, std::chrono::seconds(90));
        if (c.setting != Setting::kPlain && run.exitCode == 77) {
            std::printf("skipped (%s): %s", c.what, run.out.c_str());
            continue;
        }
        EXPECT_EQ(run.exitCode, c.exitStatus) << run.err;
        EXPECT_EQ(run.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
        // A refusal is one line; an answer says nothing on stderr.
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), c.exitStatus > 1 ? 1 : 0)
            << run.err;
    }
}

// A scan that takes seconds (state changes of 1.5 s on CoE slaves) tells
// its progress on stderr; SIGINT then ends it with status 130 and one line,
// and the ENI it was to write is not there, not even in part.
TEST_F(ScanProgram, TellsItsProgressAndStopsOnSigintWritingNothing) {
    WriteFile(dir_ / "slow.json", R"({"transition_ms": 1500})");
    const fs::path output = dir_ / "out.xml";
    testsupport::BackgroundProcess scan(
        {(BinDir() / "parvane-scan").string(), "-emulate=" + kJunctions.string(),
         "-sim=" + (dir_ / "slow.json").string(), "-o=" + output.string()},
        {});
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return scan.Err().find("parvane-scan: CoE read of ") != std::string::npos; },
        std::chrono::seconds(20)))
        << scan.Err();
    scan.Kill(SIGINT);
    EXPECT_EQ(scan.Wait(std::chrono::seconds(30)), kInterrupted) << scan.Err();
    const std::string err = scan.Err();
    EXPECT_EQ(err.substr(err.rfind("parvane-scan: ")),
              "parvane-scan: interrupted: the slaves were put back to INIT\n");
    EXPECT_FALSE(fs::exists(output));
}

}  // namespace
