#include "eni/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace parvane::eni {
OpenFile::~OpenFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

namespace {

std::unexpected<Error> Refused(std::string message) {
    Error error;
    error.message = std::move(message);
    return std::unexpected(std::move(error));
}

}  // namespace

std::expected<std::vector<char>, Error> ReadFileBytes(const std::filesystem::path& path,
                                                      std::size_t maxBytes) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    OpenFile fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0)
        return Refused("cannot open " + path.string() + ": " + std::strerror(errno));
    if (!S_ISREG(info.st_mode))
        return Refused("cannot read " + path.string() + ": not a regular file");
    if (static_cast<std::size_t>(info.st_size) > maxBytes) {
        return Refused("cannot read " + path.string() + ": larger than " +
                       std::to_string(maxBytes) + " bytes");
    }
    std::vector<char> bytes(static_cast<std::size_t>(info.st_size), 0);
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Refused("cannot read " + path.string() + ": " + std::strerror(errno));
        if (n == 0)
            break;  // the file shrank while it was read
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
    return bytes;
}

}  // namespace parvane::eni
