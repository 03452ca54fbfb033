// The node keeps one log file per start of a program
// (<node>/log/<program>.<pid>.log); the driver removes the older ones of its
// own program so that the folder does not grow without end.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace parvane::driver {

// Keeps the `keep` newest "<program file name>.<pid>.log" files in folder
// (newest by modification time, then by name) and removes the others. Files
// of other programs and other names are left alone; failures are ignored.
void KeepNewestLogs(const std::filesystem::path& folder, std::string_view program,
                    std::size_t keep);

}  // namespace parvane::driver
