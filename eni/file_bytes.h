// Reads a whole regular file. FIFOs, devices and folders are refused without
// blocking, and so is a file larger than the limit.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace driver {

// False with `error` set (naming the path) when the file cannot be read.
bool ReadFileBytes(const std::filesystem::path& path, std::size_t maxBytes,
                   std::vector<char>& bytes, std::string& error);

}  // namespace driver
