#include "driver/log_files.h"

#include <algorithm>
#include <string>
#include <vector>

namespace parvane::driver {
namespace {

// "<program>.<digits>.log"
bool IsLogOf(const std::string& name, const std::string& program) {
    constexpr std::string_view kSuffix = ".log";
    if (name.size() <= program.size() + 1 + kSuffix.size() || !name.starts_with(program) ||
        name[program.size()] != '.' || !name.ends_with(kSuffix))
        return false;
    const std::string_view digits(name.data() + program.size() + 1,
                                  name.size() - program.size() - 1 - kSuffix.size());
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

void KeepNewestLogs(const std::filesystem::path& folder, std::string_view program,
                    std::size_t keep) {
    namespace fs = std::filesystem;
    const std::string base = fs::path(program).filename().string();
    if (base.empty())
        return;
    struct Log {
        fs::file_time_type written;
        fs::path path;
    };
    std::vector<Log> logs;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (!entry.is_regular_file(ec) || !IsLogOf(entry.path().filename().string(), base))
            continue;
        const auto written = entry.last_write_time(ec);
        if (!ec)
            logs.push_back({written, entry.path()});
    }
    if (logs.size() <= keep)
        return;
    std::sort(logs.begin(), logs.end(), [](const Log& a, const Log& b) {
        return a.written != b.written ? a.written > b.written : a.path > b.path;
    });
    for (std::size_t i = keep; i < logs.size(); ++i)
        fs::remove(logs[i].path, ec);
}

}  // namespace parvane::driver
