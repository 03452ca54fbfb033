// One check at a time in a node, and a driver that can always be reached by
// its name: real tools and drivers as real processes, a node of their own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/faults_support.h"

namespace faults {
namespace {

using parvane_e2e::Example;
using testsupport::RunResult;
using testsupport::WaitUntil;

constexpr char kWaitingLine[] = "waiting for another check in this node to end\n";

RunResult Rtnode(const TempNode& node, std::vector<std::string> args) {
    args.insert(args.begin(), (BinDir() / "rtnode").string());
    return testsupport::Run(args, NodeEnv(node), 40s);
}

// The pids of the processes in the node that run the driver program.
std::vector<pid_t> DriverProcesses(const TempNode& node) {
    std::vector<pid_t> drivers;
    for (pid_t pid : node.Processes()) {
        std::error_code ec;
        const auto exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
        if (!ec && exe.filename() == "lomadyn.rta")
            drivers.push_back(pid);
    }
    return drivers;
}

// The pid of the live driver entry in "rtnode ls", or -1.
pid_t CataloguedDriver(const TempNode& node) {
    const RunResult listed = Rtnode(node, {"ls"});
    std::smatch match;
    static const std::regex kLive("PRCS_LOMADYN +process +live +pid +([0-9]+)");
    if (!std::regex_search(listed.out, match, kLive))
        return -1;
    return static_cast<pid_t>(std::stol(match[1].str()));
}

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Tools started at the same moment with different ENI files: each is checked
// against its own ENI (its own slave count), and afterwards exactly one
// driver runs, the catalogued one.
TEST(OneCheckAtATime, ToolsStartedTogetherEachCheckTheirOwnEni) {
    TempNode node;
    const std::vector<std::size_t> counts = {2, 3, 4, 6};
    std::vector<std::unique_ptr<StreamingProcess>> tools;
    for (std::size_t count : counts) {
        const fs::path eni =
            WriteEni(node.dir() / ("net-" + std::to_string(count) + ".xml"), count, false);
        tools.push_back(StartTool(node, {"-eni=" + eni.string()}));
    }
    for (std::size_t i = 0; i < tools.size(); ++i) {
        SCOPED_TRACE("tool with " + std::to_string(counts[i]) + " slaves");
        EXPECT_EQ(tools[i]->Wait(120s), 0) << tools[i]->err();
        EXPECT_EQ(tools[i]->out(), PassedReport(counts[i]));
        // Told once at most, however long it waited.
        EXPECT_LE(Occurrences(tools[i]->err(), kWaitingLine), 1) << tools[i]->err();
    }
    // A driver that lost a race leaves within its entry check's period.
    std::vector<pid_t> drivers;
    EXPECT_TRUE(WaitUntil(
        [&] {
            drivers = DriverProcesses(node);
            return drivers.size() == 1;
        },
        10s))
        << drivers.size() << " drivers run";
    ASSERT_EQ(drivers.size(), 1u);
    EXPECT_EQ(CataloguedDriver(node), drivers[0]) << Rtnode(node, {"ls"}).out;
    EXPECT_EQ(Rtnode(node, {"stop", "PRCS_LOMADYN"}).exitCode, 0);
    EXPECT_TRUE(WaitUntil([&] { return DriverProcesses(node).empty(); }, 10s));
}

// While another check holds the node, a tool says so once on stderr and
// touches nothing; it runs once the other check has ended.
TEST(OneCheckAtATime, ASecondCheckWaitsAndSaysSo) {
    TempNode node;
    const int held = ::open((node.dir() / "run.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    BackgroundProcess tool(
        {(BinDir() / "parvane").string(), "-eni=" + Example("five-slaves.eni.xml")}, NodeEnv(node));
    ASSERT_TRUE(WaitUntil([&] { return tool.Err().find(kWaitingLine) != std::string::npos; }, 20s))
        << tool.Err();
    EXPECT_TRUE(tool.Running());
    EXPECT_TRUE(DriverProcesses(node).empty());
    EXPECT_EQ(CataloguedDriver(node), -1);

    ::close(held);
    EXPECT_EQ(tool.Wait(60s), 0) << tool.Err();
    EXPECT_EQ(tool.Out(), PassedReport(5));
    EXPECT_EQ(Occurrences(tool.Err(), kWaitingLine), 1) << tool.Err();
}

// A driver whose entry is removed (or taken over) cannot be reached by name
// any more; it leaves instead of running on.
TEST(OneCheckAtATime, ADriverThatLosesItsEntryLeaves) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    ASSERT_EQ(CataloguedDriver(node), driver->pid());
    fs::remove(node.dir() / "root" / "dir" / "PRCS_LOMADYN");
    EXPECT_EQ(driver->Wait(10s), 0) << driver->Err();
    EXPECT_NE(driver->Err().find("no longer names this driver"), std::string::npos)
        << driver->Err();
}

}  // namespace
}  // namespace faults
