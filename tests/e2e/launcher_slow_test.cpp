// A driver program that starts but never catalogues itself: the launch fails
// once the 30000 ms wait for its entry has run out.
#include "tests/e2e/launcher_e2e_support.h"

namespace launchertest {
namespace {

TEST(LauncherSlow, ADriverThatNeverCataloguesItselfFailsItsInitialisation) {
    ts::TempNode node;
    ScratchFolder scratch;
    fs::copy_file(Bin("launcher_silent_driver"), scratch.dir() / "lomadyn.rta");
    const std::string ini = (scratch.dir() / "config" / "master.ini").string();

    ts::RunResult r = Launch(node, "", {{"ECAT_MASTER_INI_FILE", ini}});

    const std::string prefix = "* ERROR. Driver initialize failed. StatusCode[";
    EXPECT_EQ(r.out.compare(0, prefix.size(), prefix), 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("StatusCode[0000H]"), std::string::npos);
    EXPECT_GE(r.elapsed, 29s);
    EXPECT_LT(r.elapsed, 45s);
    // The silent program still runs in this node; the node's end kills it.
    EXPECT_FALSE(node.Processes().empty());
}

}  // namespace
}  // namespace launchertest
