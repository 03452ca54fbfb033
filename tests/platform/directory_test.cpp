// Object directories across processes: prompt wake-up, stale detection, and
// a dying process that must not remove a newer process's entry.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/proc_stat.h"
#include "platform/rt_node.h"
#include "tests/platform/probe_support.h"

namespace platformtest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Directory : public NodeTest {};

long long SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST_F(Directory, LookupWakesPromptlyWhenAnotherProcessCataloguesTheName) {
    auto probe = StartProbe({"pause", "300", "stamp", "cat", "WAKE", "sleep"});
    RTHANDLE found = LookupRtHandle(Root(), "WAKE", 10000);
    long long wokeNs = SteadyNs();
    ASSERT_NE(found, BAD_RTHANDLE);
    EXPECT_EQ(parvane::platform::ProcessId(found), probe->pid());

    ASSERT_TRUE(WaitForText([&] { return probe->Out(); }, "stamp:"));
    std::string out = probe->Out();
    long long stampNs = std::atoll(out.c_str() + out.find("stamp:") + 6);
    double latencyMs = static_cast<double>(wokeNs - stampNs) / 1e6;
    std::printf("wake-up latency: %.3f ms\n", latencyMs);
    RecordProperty("wake_latency_us", static_cast<int>(latencyMs * 1000));
    EXPECT_GE(latencyMs, 0.0);
    EXPECT_LT(latencyMs, 50.0);
}

TEST_F(Directory, AKilledProcessIsStaleAlreadyAsAZombie) {
    auto probe = StartProbe({"cat", "VICTIM", "entry", "MARK", "sleep"});
    RTHANDLE victim = LookupRtHandle(Root(), "VICTIM", 10000);
    ASSERT_NE(victim, BAD_RTHANDLE);
    RTHANDLE mark = LookupRtHandle(victim, "MARK", 10000);
    ASSERT_NE(mark, BAD_RTHANDLE);
    EXPECT_EQ(GetRtHandleType(victim), kRtTypeProcess);
    EXPECT_EQ(GetRtHandleType(mark), kRtTypeMemory);

    probe->Kill(SIGKILL);
    // The probe is this test's child and is not reaped yet: a zombie.
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            auto stat = parvane::platform::detail::ReadProcStat(probe->pid());
            return stat && stat->state == 'Z';
        },
        5s));
    EXPECT_EQ(GetRtHandleType(victim), kRtTypeNone);
    EXPECT_EQ(GetRtHandleType(mark), kRtTypeNone);  // its memory ended with it
    auto listed = Rtnode({"ls"}).out;
    EXPECT_NE(listed.find("VICTIM"), std::string::npos) << listed;
    EXPECT_NE(listed.find("stale"), std::string::npos) << listed;

    // Once reaped, the next process that joins removes its folder; the
    // entry in the root stays, stale.
    EXPECT_EQ(probe->Wait(5s), -SIGKILL);
    fs::path folder = parvane::platform::ProcessFolder(victim);
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(Rtnode({"ls"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(LookupRtHandle(Root(), "VICTIM", 0), victim);
}

TEST_F(Directory, ADyingProcessLeavesANewerProcessesEntryAlone) {
    auto older = StartProbe({"cat", "SHARED", "cat", "OWN", "lookup", "GO", "20000", "exit", "0"});
    ASSERT_NE(LookupRtHandle(Root(), "OWN", 10000), BAD_RTHANDLE);
    ASSERT_TRUE(UncatalogRtHandle(Root(), "SHARED"));
    auto newer = StartProbe({"cat", "SHARED", "sleep"});
    RTHANDLE shared = LookupRtHandle(Root(), "SHARED", 10000);
    ASSERT_NE(shared, BAD_RTHANDLE);
    ASSERT_EQ(parvane::platform::ProcessId(shared), newer->pid());

    ASSERT_TRUE(CatalogRtHandle(Root(), GetRtThreadHandles(kRtThisProcess), "GO"));
    ASSERT_EQ(older->Wait(10s), 0);

    EXPECT_EQ(LookupRtHandle(Root(), "SHARED", 0), shared);
    EXPECT_EQ(GetRtHandleType(shared), kRtTypeProcess);
    EXPECT_EQ(LookupRtHandle(Root(), "OWN", 0), BAD_RTHANDLE);
    for (const auto& entry : std::filesystem::directory_iterator(dir() / "proc"))
        EXPECT_NE(entry.path().filename().string().rfind(std::to_string(older->pid()) + "-", 0),
                  0u);
}

TEST_F(Directory, ALiveNameCannotBeTakenByAnotherProcess) {
    ASSERT_TRUE(CatalogRtHandle(Root(), GetRtThreadHandles(kRtThisProcess), "HELD"));
    auto probe = StartProbe({"cat", "HELD", "exit", "0"});
    EXPECT_EQ(probe->Wait(10s), 0);
    EXPECT_NE(probe->Out().find("catalog failed 000B"), std::string::npos) << probe->Out();
}

}  // namespace
}  // namespace platformtest
