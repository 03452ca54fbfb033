#include "platform/node_run.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/last_error.h"
#include "platform/node.h"
#include "platform/objects.h"
#include "platform/rt_errors.h"

using namespace parvane::platform::detail;

namespace {

constexpr char kLockFileName[] = "run.lock";
constexpr long kLockPollMs = 20;

// The descriptor that holds the lock, -1 while not held.
int lockFd = -1;

std::uint32_t CopyOut(const std::string& text, char* buffer, std::uint32_t size) {
    if (buffer == nullptr || text.size() + 1 > size)
        return Fail<std::uint32_t>(kRtErrParam, 0);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<std::uint32_t>(text.size());
}

std::uint64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace

bool LockRtNodeRun(std::uint32_t waitMs, void (*onWait)()) {
    if (lockFd >= 0)
        return true;
    const Node* node = CurrentNode();
    if (node == nullptr)
        return false;  // the last error is kRtErrNode already
    const std::string path = (node->folder / kLockFileName).string();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return Fail(ErrorFromErrno(errno), false);

    const std::uint64_t end = MonotonicMs() + waitMs;
    bool told = false;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            lockFd = fd;
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            const int error = errno;
            close(fd);
            return Fail(ErrorFromErrno(error), false);
        }
        if (!told && onWait != nullptr)
            onWait();
        told = true;
        if (MonotonicMs() >= end) {
            close(fd);
            return Fail(kRtErrTimeout, false);
        }
        timespec pause{0, kLockPollMs * 1000000};
        nanosleep(&pause, nullptr);
    }
}

void UnlockRtNodeRun() {
    if (lockFd < 0)
        return;
    close(lockFd);  // closing the only descriptor releases the lock
    lockFd = -1;
}

std::uint32_t GetRtNodeFolder(char* buffer, std::uint32_t size) {
    const Node* node = CurrentNode();
    if (node == nullptr)
        return 0;
    return CopyOut(node->folder.string(), buffer, size);
}

std::uint32_t GetRtProcessLogFile(RTHANDLE process, const char* program, char* buffer,
                                  std::uint32_t size) {
    const Node* node = CurrentNode();
    if (node == nullptr)
        return 0;
    const auto object = ObjectOf(process);
    if (!object || object->kind != ObjectKind::Process)
        return Fail<std::uint32_t>(kRtErrBadHandle, 0);
    if (program == nullptr || program[0] == '\0')
        return Fail<std::uint32_t>(kRtErrParam, 0);
    const std::string name =
        std::string(program) + "." + std::to_string(static_cast<long>(object->pid)) + ".log";
    return CopyOut((LogFolder(*node) / name).string(), buffer, size);
}
