#include "platform/directory_wait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "platform/node.h"

namespace parvane::platform::detail {
namespace {

using Clock = std::chrono::steady_clock;

bool Exists(const std::filesystem::path& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// One inotify instance per thread, kept for the thread's life: closing an
// instance waits for a kernel grace period (often 5 to 20 ms), which would
// delay every wake-up. Each wait adds a watch and removes it again.
class Notifier {
  public:
    Notifier() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~Notifier() {
        if (fd_ >= 0)
            close(fd_);
    }
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    int fd() const { return fd_; }

    // Discards events that are queued.
    void Drain() const {
        alignas(inotify_event) char buf[4096];
        while (read(fd_, buf, sizeof buf) > 0) {
        }
    }

  private:
    int fd_;
};

// A watch on a folder for the duration of one wait.
class FolderWatch {
  public:
    explicit FolderWatch(const std::filesystem::path& folder) {
        thread_local Notifier notifier;
        fd_ = notifier.fd();
        if (fd_ < 0)
            return;
        notifier.Drain();
        wd_ = inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    }
    ~FolderWatch() {
        if (wd_ >= 0)
            inotify_rm_watch(fd_, wd_);
    }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    bool valid() const { return fd_ >= 0 && wd_ >= 0; }

    // Waits up to ms for an event and discards what arrived.
    void Wait(int ms) const {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, ms) > 0) {
            alignas(inotify_event) char buf[4096];
            while (read(fd_, buf, sizeof buf) > 0) {
            }
        }
    }

  private:
    int fd_ = -1;
    int wd_ = -1;
};

}  // namespace

bool WaitForFile(const std::filesystem::path& folder, const std::string& fileName,
                 Clock::time_point deadline) {
    const auto path = folder / fileName;
    MakeFolders(folder);
    FolderWatch watch(folder);
    for (;;) {
        if (Exists(path))
            return true;
        auto now = Clock::now();
        if (now >= deadline)
            return false;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (watch.valid()) {
            watch.Wait(static_cast<int>(std::min<long long>(left, 100)));
        } else {
            long long ms = std::min<long long>(left, 5);
            struct timespec ts {
                0, static_cast<long>(ms) * 1'000'000
            };
            nanosleep(&ts, nullptr);
        }
    }
}

}  // namespace parvane::platform::detail
