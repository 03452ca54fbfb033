// The launcher's failures with real processes: a driver program that cannot be
// started, and one that never catalogues itself.
#include "tests/e2e/launcher_e2e_support.h"

namespace launchertest {
namespace {

// "* ERROR. <what>. StatusCode[XXXXH]\n" then the probe's own status line.
void ExpectFailureLine(const ts::RunResult& r, const std::string& what) {
    const std::string prefix = "* ERROR. " + what + ". StatusCode[";
    ASSERT_EQ(r.out.compare(0, prefix.size(), prefix), 0) << r.out << r.err;
    std::string status = r.out.substr(prefix.size(), 4);
    EXPECT_EQ(r.out.substr(prefix.size() + 4, 3), "H]\n");
    EXPECT_NE(status, "0000");
    EXPECT_EQ(r.out.substr(prefix.size() + 7),
              "launcher status " + std::to_string(std::stoul(status, nullptr, 16)) + "\n");
}

TEST(LauncherFailure, AFolderWithoutTheDriverFailsTheStart) {
    ts::TempNode node;
    ScratchFolder scratch;
    const std::string ini = (scratch.dir() / "config" / "master.ini").string();
    ts::RunResult r = Launch(node, "", {{"ECAT_MASTER_INI_FILE", ini}});
    ExpectFailureLine(r, "Driver startup failed");
    EXPECT_FALSE(DriverRuns(node));
}

TEST(LauncherFailure, AnUnderivableDriverPathFailsWith33) {
    ts::TempNode node;
    ts::RunResult r = Launch(node, "", {{"ECAT_MASTER_INI_FILE", "master.ini"}});
    EXPECT_EQ(r.out,
              "* ERROR. Driver RTA path acquisition failed. StatusCode[0021H]\n"
              "launcher status 33\n");
}

}  // namespace
}  // namespace launchertest
