// The rtnode utility on each of its verbs.
#include <signal.h>

#include <chrono>
#include <string>

#include "tests/platform/probe_support.h"

namespace platformtest {
namespace {

using namespace std::chrono_literals;

class RtnodeTool : public NodeTest {};

TEST_F(RtnodeTool, ListsWaitsPrintsTheCommandLineAndStops) {
    auto probe = StartProbe({"cat", "PRB", "entry", "ZU?END_INIT", "sleep"});
    auto waited = Rtnode({"wait", "PRB/ZU?END_INIT", "10000"});
    ASSERT_EQ(waited.exitCode, 0) << waited.err;

    auto root = Rtnode({"ls"});
    EXPECT_EQ(root.exitCode, 0);
    EXPECT_NE(root.out.find("PRB"), std::string::npos);
    EXPECT_NE(root.out.find("process  live  pid " + std::to_string(probe->pid())),
              std::string::npos)
        << root.out;

    auto own = Rtnode({"ls", "PRB"});
    EXPECT_EQ(own.exitCode, 0);
    EXPECT_NE(own.out.find("R?H$C$NAME"), std::string::npos) << own.out;
    EXPECT_NE(own.out.find("ZU?END_INIT"), std::string::npos) << own.out;
    EXPECT_NE(own.out.find("memory   live"), std::string::npos) << own.out;

    auto line = Rtnode({"cmdline", "PRB"});
    EXPECT_EQ(line.exitCode, 0);
    EXPECT_EQ(line.out, "cat PRB entry ZU?END_INIT sleep\n");

    auto stop = Rtnode({"stop", "PRB"});
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    // Ended when rtnode returned: only the reaping is left to this test.
    EXPECT_EQ(probe->Wait(1s), -SIGTERM);
    EXPECT_NE(Rtnode({"ls"}).out.find("stale"), std::string::npos);
}

TEST_F(RtnodeTool, WaitEndsWithOneWhenTheBoundRunsOut) {
    auto probe = StartProbe({"cat", "THERE", "sleep"});
    ASSERT_NE(LookupRtHandle(Root(), "THERE", 10000), BAD_RTHANDLE);
    const struct {
        const char* target;
        int exitCode;
    } cases[] = {{"THERE", 0}, {"MISSING", 1}, {"THERE/MISSING", 1}, {"MISSING/ENTRY", 1}};
    for (const auto& c : cases) {
        auto run = Rtnode({"wait", c.target, "200"});
        EXPECT_EQ(run.exitCode, c.exitCode) << c.target;
        EXPECT_LT(run.elapsed, 2000ms) << c.target;
        if (c.exitCode != 0) {
            EXPECT_GE(run.elapsed, 200ms) << c.target;
        }
    }
}

TEST_F(RtnodeTool, WaitEndsAsSoonAsTheNameAppears) {
    testsupport::BackgroundProcess waiter({RtnodePath().string(), "wait", "LATE/READY"}, env());
    auto probe =
        StartProbe({"pause", "200", "cat", "LATE", "pause", "200", "entry", "READY", "sleep"});
    EXPECT_EQ(waiter.Wait(10s), 0) << waiter.Err();
}

TEST_F(RtnodeTool, UnknownNamesFailAndMisuseShowsTheUsage) {
    for (const char* verb : {"cmdline", "stop", "ls"}) {
        auto run = Rtnode({verb, "NOBODY"});
        EXPECT_EQ(run.exitCode, 1) << verb;
        EXPECT_NE(run.err.find("NOBODY"), std::string::npos) << verb;
    }
    const std::vector<std::vector<std::string>> misuses = {
        {},      {"frob"}, {"wait"}, {"wait", "X", "abc"}, {"wait", "X", "-5"}, {"ls", "a", "b"},
        {"stop"}};
    for (const auto& words : misuses) {
        auto run = Rtnode(words);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.err.find("usage:"), std::string::npos);
    }
}

}  // namespace
}  // namespace platformtest
