// The tool itself restarting a running driver: the check then runs against
// the new driver, which kept the old one's network description option.
#include "tests/e2e/launcher_e2e_support.h"

namespace launchertest {
namespace {

TEST(LauncherTool, RestartsTheRunningDriverWithTheNewEniAndChecksTheNetwork) {
    ts::TempNode node;
    const std::string description = "-sim=" + Example("five-slaves.matching.sim.json");
    ts::BackgroundProcess driver(
        {Bin("lomadyn.rta"), "-eni=" + Example("five-slaves.eni.xml"), description}, node.env());
    ASSERT_EQ(Rtnode(node, {"wait", "PRCS_LOMADYN/ZU?END_INIT", "30000"}).exitCode, 0)
        << driver.Err();

    ScratchFolder scratch;
    const fs::path eni = scratch.dir() / "renamed.eni.xml";
    fs::copy_file(Example("five-slaves.eni.xml"), eni);
    ts::RunResult r = ts::Run({Bin("parvane"), "-eni=" + eni.string()},
                              node.env({{"ECAT_MASTER_INI_FILE", BuiltIniFile()}}), 90s);

    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("* ERROR."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("* SUCCESS. All steps have been completed.\n"), std::string::npos);
    EXPECT_NE(driver.Wait(5s), -1000);  // the hand-started driver has ended
    EXPECT_EQ(DriverCommandLine(node), "-eni=" + eni.string() + " " + description);
}

}  // namespace
}  // namespace launchertest
