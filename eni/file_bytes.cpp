#include "driver/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "master/unique_fd.h"

namespace driver {

bool ReadFileBytes(const std::filesystem::path& path, std::size_t maxBytes,
                   std::vector<char>& bytes, std::string& error) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    masterproto::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
        error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "cannot read " + path.string() + ": not a regular file";
        return false;
    }
    if (static_cast<std::size_t>(info.st_size) > maxBytes) {
        error =
            "cannot read " + path.string() + ": larger than " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    bytes.assign(static_cast<std::size_t>(info.st_size), 0);
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = "cannot read " + path.string() + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;  // the file shrank while it was read
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
    return true;
}

}  // namespace driver
