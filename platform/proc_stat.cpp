#include "platform/proc_stat.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace parvane::platform::detail {

std::optional<ProcStat> ReadProcStat(pid_t pid) {
    if (pid <= 0)
        return std::nullopt;
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char buf[1024];
    ssize_t got = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (got <= 0)
        return std::nullopt;
    std::string text(buf, static_cast<std::size_t>(got));
    // The command name (field 2) may hold blanks and parentheses; the fields
    // after it start behind its last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size())
        return std::nullopt;
    ProcStat stat;
    stat.state = text[close + 2];
    std::size_t pos = close + 2;
    for (int field = 3; field < 22; ++field) {
        pos = text.find(' ', pos);
        if (pos == std::string::npos)
            return std::nullopt;
        ++pos;
    }
    char* end = nullptr;
    stat.start = std::strtoull(text.c_str() + pos, &end, 10);
    if (end == text.c_str() + pos)
        return std::nullopt;
    return stat;
}

bool ProcessRuns(pid_t pid, std::uint64_t start) {
    auto stat = ReadProcStat(pid);
    return stat && stat->state != 'Z' && stat->state != 'X' && stat->start == start;
}

}  // namespace parvane::platform::detail
