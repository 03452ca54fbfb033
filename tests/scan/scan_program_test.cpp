// parvane-scan as a process: -compare over emulated slaves built from one
// ENI and compared with an edited copy, and its refusals with their exit
// statuses and lines. The rows that need a wire run in a network namespace
// of their own (tests/wire/in_netns.sh) and report themselves skipped
// without root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
    std::function<std::string(const std::string&)> compared;  // the ENI compared with
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

TEST_F(ScanProgram, ComparesTheEmulatedNetworkWithAnEditedEni) {
    // The fourth slave's product code, and the junction's branches.
    const std::string product4 = "<ProductCode>#x0bc43052</ProductCode>";
    const CompareCase cases[] = {
        {"identical", kFive, Same, Same, 0, "TODO"},
        {"another product code at position 3", kFive, Same,
         [&](const std::string& t) {
             return InSlave(t, 3, product4, "<ProductCode>#x0bc43053</ProductCode>");
         },
         1, "TODO"},
        {"the last slave missing", kFive, [](const std::string& t) { return WithoutSlave(t, 4); },
         Same, 1, "TODO"},
        {"an extra slave", kFive, Same, [](const std::string& t) { return WithoutSlave(t, 4); }, 1,
         "TODO"},
        {"two slaves swapped", kFive, [](const std::string& t) { return SwapSlaves(t, 1, 2); },
         Same, 1, "TODO"},
        {"a branch moved to another junction port", kJunctions,
         [](const std::string& t) { return t; }, Same, 1, "TODO"},
    };
    for (const CompareCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (!fs::exists(c.eni)) {
            ADD_FAILURE() << "no " << c.eni;
            continue;
        }
        const std::string original = ReadFile(c.eni);
        WriteFile(dir_ / "network.xml", c.emulated(original));
        WriteFile(dir_ / "compared.xml", c.compared(original));
        const auto run = testsupport::Run(
            {(BinDir() / "parvane-scan").string(), "-emulate=" + (dir_ / "network.xml").string(),
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
        if (c.exitStatus > 1)
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

}  // namespace
