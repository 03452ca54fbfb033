// Processes: CreateRtProcess (words, record, detachment), the record of a
// program started from a shell, TerminateRtProcess, the exit status, and the
// node folder checks at start-up.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "platform/record.h"
#include "platform/rt_errors.h"
#include "platform/rt_node.h"
#include "tests/platform/probe_support.h"

namespace platformtest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Processes : public NodeTest {
  protected:
    // The command line from a process's record, read the way the launcher
    // does.
    std::string RecordOf(RTHANDLE process) {
        RTHANDLE record = LookupRtHandle(process, parvane::platform::detail::kRecordName, 10000);
        if (record == BAD_RTHANDLE)
            return "(no record)";
        void* mapped = MapRtSharedMemory(record);
        if (mapped == nullptr)
            return "(cannot map)";
        auto text = parvane::platform::detail::RecordCommandLine(
            std::string_view(static_cast<const char*>(mapped), GetRtSharedMemorySize(record)));
        FreeRtMemory(mapped);
        return text.value_or("(malformed)");
    }
};

TEST_F(Processes, ACreatedProcessGetsItsWordsAndItsExactCommandLine) {
    const std::string line = "cat REC -eni=\"C:\\My Dir\\x.xml\"  -v\t3 \"quoted arg\" args sleep";
    RTHANDLE created = CreateRtProcess(ProbePath().c_str(), line.c_str(), nullptr, 0);
    ASSERT_NE(created, BAD_RTHANDLE);
    EXPECT_EQ(LookupRtHandle(Root(), "REC", 10000), created);
    EXPECT_EQ(GetRtHandleType(created), kRtTypeProcess);
    EXPECT_EQ(RecordOf(created), line);

    pid_t pid = parvane::platform::ProcessId(created);
    ASSERT_TRUE(WaitForText([&] { return LogOf("node_probe", pid); }, "sleeping"));
    std::string expectedArgs = "arg:" + ProbePath().string() +
                               "\narg:cat\narg:REC\narg:-eni=\"C:\\My Dir\\x.xml\"\narg:-v\n"
                               "arg:3\narg:\"quoted arg\"\narg:args\narg:sleep\n";
    EXPECT_NE(LogOf("node_probe", pid).find(expectedArgs), std::string::npos)
        << LogOf("node_probe", pid);
    EXPECT_TRUE(TerminateRtProcess(created, 0, 250));
}

TEST_F(Processes, AProgramStartedFromAShellRecordsItsJoinedArguments) {
    auto probe = StartProbe({"cat", "SH", "a b", "c\td", "-v", "record", "sleep"});
    RTHANDLE process = LookupRtHandle(Root(), "SH", 10000);
    ASSERT_NE(process, BAD_RTHANDLE);
    const std::string expected = "cat SH \"a b\" \"c\td\" -v record sleep";
    EXPECT_EQ(RecordOf(process), expected);
    ASSERT_TRUE(WaitForText([&] { return probe->Out(); }, "sleeping"));
    EXPECT_NE(probe->Out().find("record:" + expected + "\n"), std::string::npos);
}

TEST_F(Processes, ACreatedProcessIsDetachedFromItsCreator) {
    // The creator's stdout is a pipe; the harness sees its end-of-file as
    // soon as the creator exits, although the process it started runs on.
    auto started = Clock::now();
    auto creator = testsupport::Run(
        {ProbePath().string(), "spawn", ProbePath().string(), "cat CHILD sleep"}, env(), 20s);
    EXPECT_FALSE(creator.timedOut);
    EXPECT_EQ(creator.exitCode, 0);
    EXPECT_LT(Clock::now() - started, 1500ms) << "the pipe stayed open";
    ASSERT_NE(creator.out.find("spawned "), std::string::npos) << creator.out;
    pid_t pid = std::stoi(creator.out.substr(creator.out.find("spawned ") + 8));

    RTHANDLE child = LookupRtHandle(Root(), "CHILD", 10000);
    ASSERT_NE(child, BAD_RTHANDLE);
    EXPECT_EQ(parvane::platform::ProcessId(child), pid);
    EXPECT_EQ(GetRtHandleType(child), kRtTypeProcess);
    EXPECT_NE(getsid(pid), getsid(0)) << "not in a session of its own";
    fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& fd : fs::directory_iterator(fds))
        EXPECT_LE(std::stoi(fd.path().filename().string()), 2) << "inherited descriptor";
    EXPECT_EQ(fs::read_symlink(fds / "0"), "/dev/null");
    EXPECT_EQ(fs::read_symlink(fds / "1"),
              dir() / "log" / ("node_probe." + std::to_string(pid) + ".log"));
    EXPECT_TRUE(TerminateRtProcess(child, 0, 250));
}

TEST_F(Processes, ACreatedProcessDoesNotInheritTheCreatorsPriority) {
    auto tid = static_cast<id_t>(syscall(SYS_gettid));
    int before = getpriority(PRIO_PROCESS, tid);
    ASSERT_TRUE(SetRtThreadPriority(0, 255));
    ASSERT_EQ(getpriority(PRIO_PROCESS, tid), 19);
    RTHANDLE process = CreateRtProcess(ProbePath().c_str(), "cat NICE sleep", nullptr, 0);
    ASSERT_EQ(LookupRtHandle(Root(), "NICE", 10000), process);
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(parvane::platform::ProcessId(process))),
              before);
    EXPECT_TRUE(TerminateRtProcess(process, 0, 250));
}

TEST_F(Processes, TerminateReturnsOnlyAfterTheEnd) {
    const struct {
        const char* line;
        const char* name;
        long long minMs;
    } cases[] = {
        {"cat POLITE sleep", "POLITE", 0},
        {"ignore-term cat STUBBORN sleep", "STUBBORN", 250},
    };
    for (const auto& c : cases) {
        RTHANDLE process = CreateRtProcess(ProbePath().c_str(), c.line, nullptr, 0);
        ASSERT_NE(process, BAD_RTHANDLE);
        ASSERT_EQ(LookupRtHandle(Root(), c.name, 10000), process);
        auto start = Clock::now();
        EXPECT_TRUE(TerminateRtProcess(process, 0, 250)) << c.name;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        EXPECT_EQ(GetRtHandleType(process), kRtTypeNone) << c.name;
        EXPECT_GE(ms.count(), c.minMs) << c.name;
        EXPECT_LT(ms.count(), 6000) << c.name;
        EXPECT_TRUE(TerminateRtProcess(process, 0, 250)) << "ended already";
    }
}

TEST_F(Processes, TheEntryStatusBecomesAnExitStatusThatNeverHidesAFailure) {
    const struct {
        const char* status;
        int exitCode;
    } cases[] = {{"0", 0},     {"1", 1},     {"15", 15},      {"254", 254},
                 {"255", 255}, {"256", 255}, {"131073", 255}, {"-1", 255}};
    for (const auto& c : cases) {
        auto run = testsupport::Run({ProbePath().string(), "exit", c.status}, env(), 20s);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.status << ": " << run.err;
    }
}

TEST_F(Processes, AnUnsafeNodeFolderIsRefused) {
    const struct {
        const char* what;
        std::function<bool(const fs::path&)> make;  // false: cannot be set up here
    } cases[] = {
        {"owned by another user",
         [](const fs::path& p) {
             return mkdir(p.c_str(), 0700) == 0 && geteuid() == 0 &&
                    chown(p.c_str(), 65534, 65534) == 0;
         }},
        {"writable by others",
         [](const fs::path& p) {
             return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 0707) == 0;
         }},
        {"writable by the group",
         [](const fs::path& p) {
             return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 0770) == 0;
         }},
        {"a symbolic link",
         [this](const fs::path& p) { return symlink(dir().c_str(), p.c_str()) == 0; }},
    };
    int n = 0;
    for (const auto& c : cases) {
        fs::path folder = dir() / ("bad" + std::to_string(n++));
        if (!c.make(folder)) {
            std::printf("not tried here (needs root): %s\n", c.what);
            continue;
        }
        auto run = testsupport::Run({ProbePath().string(), "stamp"},
                                    {{"RT_NODE_DIR", folder.string()}}, 20s);
        EXPECT_EQ(run.exitCode, 1) << c.what;
        EXPECT_NE(run.err.find("refused"), std::string::npos) << c.what << ": " << run.err;
        EXPECT_EQ(run.out.find("stamp:"), std::string::npos) << "the entry ran: " << c.what;
        if (!fs::is_symlink(folder)) {
            EXPECT_FALSE(fs::exists(folder / "root")) << c.what;
        }
    }
}

TEST_F(Processes, WithoutRtNodeDirTheNodeLivesInTheRuntimeFolder) {
    fs::path runtime = dir() / "runtime";
    ASSERT_TRUE(fs::create_directory(runtime));
    auto run = testsupport::Run({RtnodePath().string(), "ls"},
                                {{"RT_NODE_DIR", ""}, {"XDG_RUNTIME_DIR", runtime.string()}}, 20s);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    struct stat st {};
    ASSERT_EQ(stat((runtime / "rt-node").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace platformtest
