#include "app/parvane_main.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "launcher/last_status.h"
#include "tests/app/command_line.h"
#include "tests/app/fake_app_deps.h"
#include "tests/app/option_reset.h"
#include "tests/support/report_lines.h"

namespace {

using testsupport::kBanner;

struct MainRun {
    int result;
    std::string report;
};

MainRun RunMain(std::vector<std::string> words) {
    ResetOptionTable();
    CommandLine line(std::move(words));
    MainRun run{};
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    run.result = ParvaneMain(line.argc(), line.argv());
    std::fflush(stdout);
    run.report = testing::internal::GetCapturedStdout();
    ResetOptionTable();
    return run;
}

std::vector<std::string> Calls(const std::string& priority) {
    return {"Allocate(4096)", "ProcessMaxPriority(0,0)", "ThreadPriority(0," + priority + ")",
            "StartMasterDriver", "RunChecks"};
}

struct MainCase {
    std::vector<std::string> words;
    std::string eniArgument;
    std::string priority;
};

const MainCase kMainCases[] = {
    {{}, "", "253"},
    {{"-eni=/opt/net.xml"}, "-eni=/opt/net.xml", "253"},
    {{"-eni=\"/my files/net.xml\"", "-pri=254"}, "-eni=/my files/net.xml", "254"},
    {{"-eni="}, "", "253"},
    {{"-pri="}, "", "0"},
    {{"-pri=300"}, "", "44"},  // the low 8 bits
    {{"-pri=256"}, "", "0"},
    {{"-pri=-1"}, "", "255"},
    {{"-pri=abc", "abc", "-x=1"}, "", "0"},
};

TEST(ParvaneMain, BuildsTheEniArgumentAndPriority) {
    for (const MainCase& c : kMainCases) {
        SCOPED_TRACE(c.words.empty() ? "no words" : c.words[0]);
        ResetFakeApp();
        const MainRun run = RunMain(c.words);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.report, kBanner);
        EXPECT_EQ(fakeApp.eniArgument, c.eniArgument);
        EXPECT_EQ(fakeApp.calls, Calls(c.priority));
    }
}

TEST(ParvaneMain, ALongPathIsBoundedByTheArgumentBuffer) {
    ResetFakeApp();
    RunMain({"-eni=" + std::string(5000, 'p')});
    EXPECT_EQ(fakeApp.eniArgumentLength, 5u + 4090u);
    EXPECT_EQ(fakeArgumentBuffer[4095], 0);
}

TEST(ParvaneMain, ReturnsTheStatusOfTheFirstFailure) {
    struct {
        std::uint32_t launcher, checks;
        int result;
        bool checksRun;
    } const cases[] = {
        {0, 0x0100, 0x0100, true},  // the full 32-bit status, not mapped here
        {0, 15, 15, true},
        {33, 0, 33, false},
        {0x20001, 0, 0x20001, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        ResetFakeApp();
        fakeApp.launcherStatus = c.launcher;
        fakeApp.checksStatus = c.checks;
        const MainRun run = RunMain({"-eni=a.xml"});
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.report, kBanner);
        EXPECT_EQ(fakeApp.calls.back(), c.checksRun ? "RunChecks" : "StartMasterDriver");
    }
}

TEST(ParvaneMain, AFailedAllocationEndsWithThePlatformError) {
    ResetFakeApp();
    LastStatus = 0;
    fakeApp.allocationFails = true;
    fakeApp.lastError = 0x0105;
    const MainRun run = RunMain({"-eni=a.xml"});
    EXPECT_EQ(run.result, 0x0105);
    EXPECT_EQ(LastStatus, 0x0105u);
    EXPECT_EQ(run.report, kBanner + "* ERROR. Memory allocation failed. StatusCode[0105H]\n");
    EXPECT_EQ(fakeApp.calls, std::vector<std::string>{"Allocate(4096)"});

    // A platform that records no code still ends as a failure.
    ResetFakeApp();
    fakeApp.allocationFails = true;
    const MainRun silent = RunMain({});
    EXPECT_NE(silent.result, 0);
    EXPECT_EQ(static_cast<std::uint32_t>(silent.result), LastStatus);
}

}  // namespace

namespace {

// The node's run lock is held from before the launcher looks at the driver
// until the checks have closed the master; hints and result files follow.
TEST(ParvaneMain, HoldsTheNodeFromLaunchToClose) {
    const struct {
        std::uint32_t launcher, checks, results;
        int result;
        std::vector<std::string> around;
    } cases[] = {
        {0, 0, 0, 0, {"Lock@3", "Unlock@5", "Results(r.json,null,a.xml,0)@5"}},
        {0, 15, 0, 15, {"Lock@3", "Unlock@5", "WhereToLook@5", "Results(r.json,null,a.xml,15)@5"}},
        {33, 0, 0, 33, {"Lock@3", "Unlock@4", "WhereToLook@4", "Results(r.json,null,a.xml,33)@4"}},
        // A result file that cannot be written fails a passed run; a failed
        // run keeps its own status.
        {0, 0, 0x22, 0x22, {"Lock@3", "Unlock@5", "Results(r.json,null,a.xml,0)@5"}},
        {0,
         15,
         0x22,
         15,
         {"Lock@3", "Unlock@5", "WhereToLook@5", "Results(r.json,null,a.xml,15)@5"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        ResetFakeApp();
        fakeApp.launcherStatus = c.launcher;
        fakeApp.checksStatus = c.checks;
        fakeApp.resultStatus = c.results;
        const MainRun run = RunMain({"-eni=a.xml", "-json=r.json"});
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.report, kBanner);
        EXPECT_EQ(fakeApp.around, c.around);
    }
}

TEST(ParvaneMain, ANodeThatStaysBusyEndsTheRunUntouched) {
    ResetFakeApp();
    fakeApp.lockFails = true;
    fakeApp.lastError = 0x0001;
    const MainRun run = RunMain({"-eni=a.xml"});
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.report, kBanner);
    EXPECT_EQ(fakeApp.calls, (std::vector<std::string>{"Allocate(4096)", "ProcessMaxPriority(0,0)",
                                                       "ThreadPriority(0,253)"}));
}

TEST(ParvaneMain, HelpAndVersionTouchNothing) {
    for (const char* word : {"-h", "--help", "-?", "--version"}) {
        SCOPED_TRACE(word);
        ResetFakeApp();
        const MainRun run = RunMain({"-eni=a.xml", word});
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.report.find("Parvane 1.0.0.2"), std::string::npos);
        EXPECT_TRUE(fakeApp.calls.empty());
        EXPECT_TRUE(fakeApp.around.empty());
    }
}

}  // namespace
