// Waiting for a name to appear in a directory folder.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace parvane::platform::detail {

// Waits until folder/fileName exists or the deadline passes; true when it
// exists. The folder is created when missing so that it can be watched; the
// wait wakes on the folder's create and rename events (inotify), with a
// recheck every 100 ms as a backstop, or polls every 5 ms where inotify is
// not available.
bool WaitForFile(const std::filesystem::path& folder, const std::string& fileName,
                 std::chrono::steady_clock::time_point deadline);

}  // namespace parvane::platform::detail
