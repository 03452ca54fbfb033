// What the host tells about a process: whether it runs and when it started.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace parvane::platform::detail {

struct ProcStat {
    char state = '?';         // field 3 of /proc/<pid>/stat
    std::uint64_t start = 0;  // field 22: start time in clock ticks since boot
};

std::optional<ProcStat> ReadProcStat(pid_t pid);

// A process runs when it exists, is neither a zombie nor dead, and started at
// `start` (a different start time means the pid was reused).
bool ProcessRuns(pid_t pid, std::uint64_t start);

}  // namespace parvane::platform::detail
