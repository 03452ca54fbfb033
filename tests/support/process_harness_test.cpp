// The harness itself: a wrong exit code or a leftover process here would make
// every end-to-end test lie.
#include "tests/support/process_harness.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace ts = testsupport;
using namespace std::chrono_literals;

TEST(ProcessHarness, RunCapturesBothStreamsAndExitCode) {
    auto r = ts::Run({"/bin/sh", "-c", "echo out; echo err >&2; exit 7"}, {});
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_FALSE(r.timedOut);
}

TEST(ProcessHarness, RunKillsAProcessThatOutlivesItsBound) {
    auto r = ts::Run({"/bin/sleep", "30"}, {}, 200ms);
    EXPECT_TRUE(r.timedOut);
    EXPECT_LT(r.elapsed, 5s);
}

TEST(ProcessHarness, TempNodeFindsAndKillsItsOwnProcesses) {
    ts::TempNode node;
    ts::BackgroundProcess p({"/bin/sleep", "30"}, node.env());
    ASSERT_TRUE(ts::WaitUntil([&] { return node.Processes().size() == 1; }, 5s));
    node.KillAll();
    EXPECT_EQ(p.Wait(5s), -SIGKILL);
    EXPECT_TRUE(node.Processes().empty());
}
