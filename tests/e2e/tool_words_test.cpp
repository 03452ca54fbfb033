// What the tool says around its report: words it ignores, its help and
// version, and where to look when something fails. The report on stdout
// stays as it is; all of this goes to stderr (help and version excepted).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/faults_support.h"

namespace faults {
namespace {

using parvane_e2e::Example;
using testsupport::RunResult;

RunResult RunTool(const TempNode& node, std::vector<std::string> options,
                  testsupport::Env env = {}) {
    options.insert(options.begin(), (BinDir() / "parvane").string());
    testsupport::Env all = NodeEnv(node);
    all.insert(all.end(), env.begin(), env.end());
    return testsupport::Run(options, all, 90s);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<fs::path> DriverLogs(const TempNode& node) {
    std::vector<fs::path> logs;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(node.dir() / "log", ec))
        if (entry.path().filename().string().starts_with("lomadyn.rta."))
            logs.push_back(entry.path());
    return logs;
}

// Mistyped options are told on stderr, and the run goes on as before with the
// driver it finds: the report is the same as without them.
struct IgnoredCase {
    std::vector<std::string> words;
    std::vector<std::string> told;  // stderr lines
};

TEST(ToolWords, IgnoredWordsAreToldOnStderrAndTheReportStays) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    const IgnoredCase cases[] = {
        {{"-eni", "B.xml"}, {"ignored: -eni (did you mean -eni=...?)", "ignored: B.xml"}},
        {{"--eni=B.xml"}, {"ignored: --eni=B.xml (did you mean -eni=...?)"}},
        {{"-ENI=B.xml"}, {"ignored: -ENI=B.xml (did you mean -eni=...?)"}},
        {{"-eni="}, {"ignored: -eni= (did you mean -eni=...?)"}},
        {{"--PRI=3", "extra"}, {"ignored: --PRI=3 (did you mean -pri=...?)", "ignored: extra"}},
        {{"-json="}, {"ignored: -json= (did you mean -json=...?)"}},
    };
    for (const IgnoredCase& c : cases) {
        SCOPED_TRACE(c.words[0]);
        const RunResult run = RunTool(node, c.words);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, PassedReport(5));
        for (const std::string& line : c.told)
            EXPECT_TRUE(Contains(run.err, line + "\n")) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n') -
                      (Contains(run.err, "using the running driver's ENI") ? 1 : 0),
                  static_cast<long>(c.told.size()))
            << run.err;
    }
    EXPECT_TRUE(driver->Running());
}

// Help and version are answered before anything is touched: no driver is
// started, none is stopped.
TEST(ToolWords, HelpAndVersionTouchNothing) {
    const struct {
        std::vector<std::string> words;
        std::string firstLine;
    } cases[] = {
        {{"-h"}, "Usage: parvane "},
        {{"--help"}, "Usage: parvane "},
        {{"-?"}, "Usage: parvane "},
        {{"-eni=/no/such.xml", "--version"}, "parvane 1.0.0.2\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.back());
        TempNode node;
        const RunResult run = RunTool(node, c.words);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out.rfind(c.firstLine, 0), 0u) << run.out;
        EXPECT_FALSE(Contains(run.out, "STEP")) << run.out;
        EXPECT_TRUE(DriverLogs(node).empty());
        EXPECT_FALSE(fs::exists(node.dir() / "root" / "dir" / "PRCS_LOMADYN"));
    }
    // A running driver stays as it is.
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    EXPECT_EQ(RunTool(node, {"-eni=" + Example("five-slaves.eni.xml"), "--help"}).exitCode, 0);
    EXPECT_TRUE(driver->Running());
}

TEST(ToolWords, WithoutEniTheRunningDriversEniIsTold) {
    TempNode node;
    const std::string eni = Example("five-slaves.eni.xml");
    auto driver = StartDriver(
        node, {"-sim=" + Example("five-slaves.matching.sim.json"), "-eni=\"" + eni + "\""});
    const RunResult run = RunTool(node, {});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, PassedReport(5));
    EXPECT_EQ(run.err, "parvane: using the running driver's ENI: " + eni + "\n");
}

// A failed run names the node folder and the log of the driver it used; a
// driver that cannot be started is named by its path.
TEST(ToolWords, AFailureSaysWhereToLook) {
    {
        TempNode node;
        // Started without options, the driver defines no slaves: the open fails.
        const RunResult run = RunTool(node, {});
        EXPECT_EQ(run.exitCode, 17) << run.err;
        EXPECT_TRUE(Contains(run.err, "parvane: node folder: " + node.dir().string() + "\n"))
            << run.err;
        const auto logs = DriverLogs(node);
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_TRUE(Contains(run.err, "parvane: driver log: " + logs[0].string() + "\n"))
            << run.err;
        EXPECT_TRUE(Contains(testsupport::ReadFile(logs[0]), "no -eni= option"));
    }
    {
        TempNode node;
        const fs::path ini = node.dir() / "nowhere" / "config" / "master.ini";
        const RunResult run = RunTool(node, {}, {{"ECAT_MASTER_INI_FILE", ini.string()}});
        EXPECT_NE(run.exitCode, 0);
        EXPECT_TRUE(Contains(run.out, "* ERROR. Driver startup failed."));
        EXPECT_TRUE(Contains(run.err, "parvane: driver tried: " +
                                          (node.dir() / "nowhere" / "lomadyn.rta").string() + "\n"))
            << run.err;
        EXPECT_FALSE(Contains(run.out, "parvane:"));
    }
}

// Each start of the driver by the layer leaves a log file; the driver keeps
// the newest 10 of its program's and no others are touched.
TEST(ToolWords, TheDriverKeepsItsLastTenLogs) {
    TempNode node;
    fs::create_directories(node.dir() / "log");
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (int i = 0; i < 12; ++i) {
        const fs::path log =
            node.dir() / "log" / ("lomadyn.rta." + std::to_string(900000 + i) + ".log");
        testsupport::WriteFile(log, "old\n");
        fs::last_write_time(log, old + std::chrono::minutes(i));
    }
    const fs::path other = node.dir() / "log" / "parvane.12.log";
    testsupport::WriteFile(other, "other\n");
    fs::last_write_time(other, old);

    const RunResult run = RunTool(node, {"-eni=" + Example("five-slaves.eni.xml")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto logs = DriverLogs(node);
    EXPECT_EQ(logs.size(), 10u);
    // The three oldest went; the new driver's is among those kept.
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(fs::exists(node.dir() / "log" /
                                ("lomadyn.rta." + std::to_string(900000 + i) + ".log")));
    EXPECT_TRUE(fs::exists(node.dir() / "log" / "lomadyn.rta.900003.log"));
    EXPECT_TRUE(fs::exists(other));
}

}  // namespace
}  // namespace faults
