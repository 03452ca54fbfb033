// The launcher with real processes: the driver started, left alone, or
// replaced with its options carried over.
#include <signal.h>

#include "tests/e2e/launcher_e2e_support.h"

namespace launchertest {
namespace {

const char* const kSuccess = "launcher status 0\n";

// A driver started from a shell, as a user starts it by hand.
struct HandStartedDriver {
    HandStartedDriver(const ts::TempNode& node, const std::vector<std::string>& args)
        : process(Argv(args), node.env()) {
        EXPECT_EQ(Rtnode(node, {"wait", "PRCS_LOMADYN/ZU?END_INIT", "30000"}).exitCode, 0)
            << process.Err();
    }
    static std::vector<std::string> Argv(std::vector<std::string> args) {
        args.insert(args.begin(), Bin("lomadyn.rta"));
        return args;
    }
    ts::BackgroundProcess process;
};

TEST(LauncherStart, WithoutDriverOrEniStartsADriverWithoutOptions) {
    ts::TempNode node;
    ts::RunResult r = Launch(node, "");
    EXPECT_EQ(r.out, kSuccess) << r.err;
    EXPECT_TRUE(DriverRuns(node));
    EXPECT_EQ(DriverCommandLine(node), "");
}

TEST(LauncherStart, WithoutEniLeavesTheRunningDriverAlone) {
    ts::TempNode node;
    const std::string options = "-eni=" + Example("five-slaves.eni.xml");
    HandStartedDriver driver(node, {options, "-v"});

    ts::RunResult r = Launch(node, "");
    EXPECT_EQ(r.out, kSuccess) << r.err;
    EXPECT_TRUE(driver.process.Running());
    EXPECT_EQ(DriverCommandLine(node), options + " -v");
}

TEST(LauncherStart, WithEniReplacesTheRunningDriverAndKeepsItsOtherOptions) {
    ts::TempNode node;
    const std::string description = "-sim=" + Example("five-slaves.matching.sim.json");
    HandStartedDriver driver(node, {"-eni=" + Example("five-slaves.eni.xml"), description, "-v"});

    ScratchFolder scratch;
    const fs::path eni = scratch.dir() / "other.eni.xml";
    fs::copy_file(Example("five-slaves.eni.xml"), eni);
    ts::RunResult r = Launch(node, eni.string());

    EXPECT_EQ(r.out, kSuccess) << r.err;
    // The old driver has ended (BackgroundProcess::Wait gives -1000 while it runs).
    EXPECT_NE(driver.process.Wait(5s), -1000);
    EXPECT_TRUE(DriverRuns(node));
    EXPECT_EQ(DriverCommandLine(node), "-eni=" + eni.string() + " " + description + " -v");
}

TEST(LauncherStart, AnEniPathWithBlanksReachesTheDriverQuoted) {
    ts::TempNode node;
    const std::string description = "-sim=" + Example("five-slaves.matching.sim.json");
    HandStartedDriver driver(node, {"-eni=" + Example("five-slaves.eni.xml"), description});

    ScratchFolder scratch;
    fs::create_directory(scratch.dir() / "my nets");
    const fs::path eni = scratch.dir() / "my nets" / "five slaves.eni.xml";
    fs::copy_file(Example("five-slaves.eni.xml"), eni);
    ts::RunResult first = Launch(node, eni.string());
    EXPECT_EQ(first.out, kSuccess) << first.err;
    EXPECT_EQ(DriverCommandLine(node), "-eni=\"" + eni.string() + "\" " + description);

    // Replaced again: the quoted path is dropped whole, the option kept.
    ts::RunResult second = Launch(node, Example("five-slaves.eni.xml"));
    EXPECT_EQ(second.out, kSuccess) << second.err;
    EXPECT_EQ(DriverCommandLine(node),
              "-eni=" + Example("five-slaves.eni.xml") + " " + description);
}

TEST(LauncherStart, AStaleEntryOfAKilledDriverIsReplaced) {
    ts::TempNode node;
    HandStartedDriver driver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    driver.process.Kill(SIGKILL);
    ASSERT_EQ(driver.process.Wait(5s), -SIGKILL);
    const std::string listing = Rtnode(node, {"ls"}).out;
    ASSERT_NE(listing.find("PRCS_LOMADYN"), std::string::npos) << listing;
    ASSERT_NE(listing.find("stale"), std::string::npos) << listing;

    ts::RunResult r = Launch(node, "");
    EXPECT_EQ(r.out, kSuccess) << r.err;
    EXPECT_TRUE(DriverRuns(node));
    EXPECT_EQ(DriverCommandLine(node), "");
}

TEST(LauncherStart, WithoutTheIniVariableTakesTheDriverBesideTheProgram) {
    ts::TempNode node;
    // The probe sits in build/bin beside lomadyn.rta.
    unsetenv("ECAT_MASTER_INI_FILE");
    ts::RunResult r = Launch(node, "", {});
    EXPECT_EQ(r.out, kSuccess) << r.err;
    EXPECT_TRUE(DriverRuns(node));
}

}  // namespace
}  // namespace launchertest
