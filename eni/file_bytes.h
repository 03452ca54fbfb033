// Reads a whole regular file. FIFOs, devices and folders are refused without
// blocking, and so is a file larger than the limit.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <vector>

#include "eni/error.h"

namespace parvane::eni {

// A descriptor closed when it goes out of scope.
class OpenFile {
  public:
    explicit OpenFile(int fd) : fd_(fd) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile();
    int get() const { return fd_; }

  private:
    int fd_;
};

// The file's bytes, or an error naming the path.
std::expected<std::vector<char>, Error> ReadFileBytes(const std::filesystem::path& path,
                                                      std::size_t maxBytes);

}  // namespace parvane::eni
