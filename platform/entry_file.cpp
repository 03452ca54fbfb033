#include "platform/entry_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace parvane::platform::detail {
namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> tempCounter{0};

fs::path UniqueName(const fs::path& folder, const char* prefix) {
    return folder / (std::string(prefix) + std::to_string(getpid()) + "-" +
                     std::to_string(tempCounter.fetch_add(1)));
}

bool WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t put = write(fd, content.data(), content.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        content.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

std::optional<std::string> ReadFd(int fd) {
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return text;
        text.append(buf, static_cast<std::size_t>(got));
        if (text.size() > 4096)
            return std::nullopt;
    }
}

}  // namespace

fs::path WriteTempFile(const fs::path& folder, std::string_view content) {
    fs::path temp = UniqueName(folder, ".tmp-");
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return {};
    bool ok = WriteAll(fd, content);
    int saved = errno;
    close(fd);
    if (!ok) {
        unlink(temp.c_str());
        errno = saved;
        return {};
    }
    return temp;
}

bool RenameNoReplace(const fs::path& from, const fs::path& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without RENAME_NOREPLACE: link() fails on an existing name.
    if (link(from.c_str(), to.c_str()) != 0)
        return false;
    unlink(from.c_str());
    return true;
}

std::optional<std::string> ReadSmallFile(const fs::path& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    auto text = ReadFd(fd);
    close(fd);
    return text;
}

std::optional<ObjectRef> ReadEntry(const fs::path& entry) {
    auto text = ReadSmallFile(entry);
    if (!text)
        return std::nullopt;
    return ParseObject(*text);
}

bool RemoveEntryIf(const fs::path& entry,
                   const std::function<bool(const std::optional<ObjectRef>&)>& pred) {
    // The file stays open until the end, so its inode number cannot be
    // handed to another file meanwhile.
    int fd = open(entry.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat examined {};
    auto text = ReadFd(fd);
    bool removed = false;
    if (fstat(fd, &examined) == 0 && pred(text ? ParseObject(*text) : std::nullopt)) {
        // Move the name aside, then look at what was moved: if another
        // process replaced the entry after it was read, put that one back.
        fs::path aside = UniqueName(entry.parent_path(), ".rm-");
        if (rename(entry.c_str(), aside.c_str()) == 0) {
            struct stat moved {};
            if (stat(aside.c_str(), &moved) == 0 && moved.st_ino == examined.st_ino &&
                moved.st_dev == examined.st_dev) {
                removed = unlink(aside.c_str()) == 0;
            } else if (!RenameNoReplace(aside, entry)) {
                // Yet another entry has taken the name since; it is newer than
                // the one moved aside.
                unlink(aside.c_str());
            }
        }
    }
    close(fd);
    return removed;
}

}  // namespace parvane::platform::detail
