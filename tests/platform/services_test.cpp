// The services within one process: memory, errors, priorities, sleeping,
// cataloguing and leaving the node.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "platform/last_error.h"
#include "platform/proc_stat.h"
#include "platform/rt_errors.h"
#include "platform/rt_node.h"
#include "tests/platform/probe_support.h"

namespace platformtest {
namespace {

using Clock = std::chrono::steady_clock;
using testsupport::WriteFile;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Services : public NodeTest {};

TEST_F(Services, AllocatedMemoryIsZeroedWritableAndFreedOnce) {
    auto* block = static_cast<unsigned char*>(AllocateRtMemory(4096));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(block[i], 0) << i;
    std::memset(block, 0xA5, 4096);
    EXPECT_TRUE(FreeRtMemory(block));
    EXPECT_FALSE(FreeRtMemory(block));
    EXPECT_EQ(GetLastRtError(), kRtErrParam);
}

TEST_F(Services, SharedMemoryMapsWhatWasWritten) {
    const char text[] = "hello\0world";
    RTHANDLE memory = CreateRtSharedMemory(text, sizeof text);
    ASSERT_NE(memory, BAD_RTHANDLE);
    EXPECT_EQ(GetRtHandleType(memory), kRtTypeMemory);
    EXPECT_EQ(GetRtSharedMemorySize(memory), sizeof text);
    const void* mapped = MapRtSharedMemory(memory);
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(std::memcmp(mapped, text, sizeof text), 0);
    EXPECT_TRUE(FreeRtMemory(const_cast<void*>(mapped)));

    RTHANDLE self = GetRtThreadHandles(kRtThisProcess);
    ASSERT_TRUE(CatalogRtHandle(self, memory, "MEM"));
    EXPECT_EQ(LookupRtHandle(self, "MEM", 0), memory);
}

TEST_F(Services, EveryFailureLeavesANonZeroCode) {
    RTHANDLE root = Root();
    RTHANDLE self = GetRtThreadHandles(kRtThisProcess);
    char small[4];
    testsupport::WriteFile(dir() / "root" / "dir" / "JUNK", "nonsense");
    const struct {
        const char* what;
        std::function<bool()> failed;
        std::uint32_t code;
    } cases[] = {
        {"empty name", [&] { return LookupRtHandle(root, "", 0) == BAD_RTHANDLE; }, kRtErrBadName},
        {"long name",
         [&] { return LookupRtHandle(root, std::string(64, 'n').c_str(), 0) == BAD_RTHANDLE; },
         kRtErrBadName},
        {"null name", [&] { return !CatalogRtHandle(root, self, nullptr); }, kRtErrBadName},
        {"unknown directory", [&] { return LookupRtHandle(0x1234, "x", 0) == BAD_RTHANDLE; },
         kRtErrBadHandle},
        {"missing name", [&] { return LookupRtHandle(root, "nope", 0) == BAD_RTHANDLE; },
         kRtErrNotFound},
        {"unreadable entry", [&] { return LookupRtHandle(root, "JUNK", 5000) == BAD_RTHANDLE; },
         kRtErrIo},
        {"uncatalog missing", [&] { return !UncatalogRtHandle(root, "nope"); }, kRtErrNotFound},
        {"type of unknown", [&] { return GetRtHandleType(0x4321) == kRtTypeNone; },
         kRtErrBadHandle},
        {"missing program",
         [&] { return CreateRtProcess("/nonexistent/prog", "", nullptr, 0) == BAD_RTHANDLE; },
         kRtErrStartFailed},
        {"not executable",
         [&] { return CreateRtProcess("/etc/passwd", "x", nullptr, 0) == BAD_RTHANDLE; },
         kRtErrStartFailed},
        {"empty program", [&] { return CreateRtProcess("", "", nullptr, 0) == BAD_RTHANDLE; },
         kRtErrParam},
        {"map a process", [&] { return MapRtSharedMemory(root) == nullptr; }, kRtErrBadHandle},
        {"size of a process", [&] { return GetRtSharedMemorySize(root) == 0; }, kRtErrBadHandle},
        {"empty shared memory", [&] { return CreateRtSharedMemory("", 0) == BAD_RTHANDLE; },
         kRtErrParam},
        {"bad selector", [&] { return GetRtThreadHandles(7) == BAD_RTHANDLE; }, kRtErrParam},
        {"terminate root", [&] { return !TerminateRtProcess(root, 0, 250); }, kRtErrBadHandle},
        {"terminate self", [&] { return !TerminateRtProcess(self, 0, 250); }, kRtErrBadHandle},
        {"module name too long",
         [&] { return GetRtModuleFilename(0, small, sizeof small) == 0 && small[0] == '\0'; },
         kRtErrParam},
        {"priority of another", [&] { return !SetRtThreadPriority(0x999, 1); }, kRtErrBadHandle},
        {"allocate nothing", [&] { return AllocateRtMemory(0) == nullptr; }, kRtErrParam},
        {"free unknown", [&] { return !FreeRtMemory(small); }, kRtErrParam},
    };
    for (const auto& c : cases) {
        parvane::platform::detail::SetLastError(kRtOk);
        EXPECT_TRUE(c.failed()) << c.what;
        EXPECT_EQ(GetLastRtError(), c.code) << c.what;
    }
}

TEST_F(Services, ModuleFileNameIsThisExecutable) {
    char buffer[4095];
    std::uint32_t length = GetRtModuleFilename(0, buffer, sizeof buffer);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::strlen(buffer), length);
    EXPECT_EQ(std::filesystem::path(buffer), std::filesystem::read_symlink("/proc/self/exe"));
}

TEST_F(Services, SleepLastsTheWholeTime) {
    auto start = Clock::now();
    EXPECT_TRUE(RtSleep(200));
    long long ms = MsSince(start);
    EXPECT_GE(ms, 200);
    EXPECT_LT(ms, 2000);
}

TEST_F(Services, ThreadPriorityBecomesTheMatchingNiceValue) {
    auto tid = static_cast<id_t>(syscall(SYS_gettid));
    EXPECT_TRUE(SetRtProcessMaxPriority(0, 0));
    EXPECT_TRUE(SetRtThreadPriority(0, 255));
    EXPECT_EQ(getpriority(PRIO_PROCESS, tid), 19);
    EXPECT_TRUE(SetRtThreadPriority(GetRtThreadHandles(kRtThisThread), 253));
    EXPECT_EQ(getpriority(PRIO_PROCESS, tid), 18);
}

TEST_F(Services, RefusedPriorityChangesNothing) {
    // In a child that may not raise its priority (an ordinary user, or root
    // that has given up its privileges), a higher priority is refused.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setpriority(PRIO_PROCESS, 0, 10) != 0 || setuid(65534) != 0))
            _exit(3);
        int before = getpriority(PRIO_PROCESS, 0);
        bool refused = !SetRtThreadPriority(0, 0) && GetLastRtError() == kRtErrPermission;
        _exit(refused && getpriority(PRIO_PROCESS, 0) == before ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Services, LookupTimesOutAfterItsWaitAndNeverBlocksWithoutOne) {
    auto start = Clock::now();
    EXPECT_EQ(LookupRtHandle(Root(), "never", 300), BAD_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), kRtErrTimeout);
    long long ms = MsSince(start);
    EXPECT_GE(ms, 300);
    EXPECT_LT(ms, 1500);

    start = Clock::now();
    EXPECT_EQ(LookupRtHandle(Root(), "never", 0), BAD_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), kRtErrNotFound);
    EXPECT_LT(MsSince(start), 100);
}

TEST_F(Services, ALiveNameStaysAndAStaleOneIsReplaced) {
    RTHANDLE root = Root();
    RTHANDLE self = GetRtThreadHandles(kRtThisProcess);
    ASSERT_TRUE(CatalogRtHandle(root, self, "TAKEN"));
    EXPECT_TRUE(CatalogRtHandle(root, self, "TAKEN"));  // the same object again
    EXPECT_FALSE(CatalogRtHandle(root, root, "TAKEN"));
    EXPECT_EQ(GetLastRtError(), kRtErrExists);

    // An entry naming this pid with another start time: a reused pid.
    WriteFile(dir() / "root" / "dir" / "OLD", "process " + std::to_string(getpid()) + " 1\n");
    RTHANDLE old = LookupRtHandle(root, "OLD", 0);
    ASSERT_NE(old, BAD_RTHANDLE);
    EXPECT_EQ(GetRtHandleType(old), kRtTypeNone);
    EXPECT_TRUE(CatalogRtHandle(root, self, "OLD"));
    EXPECT_EQ(LookupRtHandle(root, "OLD", 0), self);
    EXPECT_EQ(GetRtHandleType(self), kRtTypeProcess);
}

TEST_F(Services, NamesWithAnyBytesAreListedAsGiven) {
    RTHANDLE root = Root();
    RTHANDLE self = GetRtThreadHandles(kRtThisProcess);
    for (const char* name : {"a/b%c", ".dot", "ZU?END_INIT", "R?H$C$NAME"})
        ASSERT_TRUE(CatalogRtHandle(root, self, name)) << name;
    EXPECT_EQ(parvane::platform::ListDirectory(root),
              (std::vector<std::string>{".dot", "R?H$C$NAME", "ZU?END_INIT", "a/b%c"}));
    EXPECT_EQ(LookupRtHandle(root, "a/b%c", 0), self);
    EXPECT_TRUE(UncatalogRtHandle(root, "a/b%c"));
    EXPECT_EQ(LookupRtHandle(root, "a/b%c", 0), BAD_RTHANDLE);
}

TEST_F(Services, LeavingRemovesOnlyWhatNamesThisProcess) {
    RTHANDLE root = Root();
    RTHANDLE self = GetRtThreadHandles(kRtThisProcess);
    ASSERT_TRUE(CatalogRtHandle(root, self, "MINE"));
    auto init = parvane::platform::detail::ReadProcStat(1);
    ASSERT_TRUE(init.has_value());
    WriteFile(dir() / "root" / "dir" / "OTHER", "process 1 " + std::to_string(init->start) + "\n");
    std::filesystem::path folder = parvane::platform::ProcessFolder(self);
    ASSERT_TRUE(std::filesystem::is_directory(folder / "dir"));
    EXPECT_EQ(parvane::platform::ProcessId(self), getpid());

    parvane::platform::LeaveNode();
    EXPECT_FALSE(std::filesystem::exists(dir() / "root" / "dir" / "MINE"));
    EXPECT_TRUE(std::filesystem::exists(dir() / "root" / "dir" / "OTHER"));
    EXPECT_FALSE(std::filesystem::exists(folder));
}

}  // namespace
}  // namespace platformtest
