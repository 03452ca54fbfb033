// Priority services. The platform's scale runs from 0 (highest) to 255
// (lowest); threads get the matching nice value. Real-time scheduling classes
// are not used: a stand-in process must never starve the host.
#include "platform/priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/last_error.h"
#include "platform/objects.h"
#include "platform/rt_errors.h"
#include "platform/rt_services.h"

namespace parvane::platform::detail {

int NiceForPriority(std::uint8_t priority) {
    return -20 + priority * 39 / 255;
}

namespace {
std::atomic<bool> niceSaved{false};
std::atomic<int> savedNice{0};
}  // namespace

int NiceBeforeRtPriority() {
    if (niceSaved)
        return savedNice;
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    return errno == 0 ? nice : 0;
}

}  // namespace parvane::platform::detail

namespace {

// The process's ceiling: no thread is set above it (numerically below).
std::atomic<unsigned> maxPriority{0};

bool IsSelf(RTHANDLE handle) {
    return handle == 0 || handle == parvane::platform::detail::kSelfHandle;
}

}  // namespace

bool SetRtProcessMaxPriority(RTHANDLE process, std::uint8_t priority) {
    if (!IsSelf(process))
        return parvane::platform::detail::Fail(kRtErrBadHandle, false);
    maxPriority = priority;
    return true;
}

bool SetRtThreadPriority(RTHANDLE thread, std::uint8_t priority) {
    using namespace parvane::platform::detail;
    if (!IsSelf(thread))
        return Fail(kRtErrBadHandle, false);
    if (priority < maxPriority)
        priority = static_cast<std::uint8_t>(maxPriority.load());
    // On Linux the nice value belongs to the thread named by its id.
    auto tid = static_cast<id_t>(syscall(SYS_gettid));
    if (!niceSaved.exchange(true)) {
        errno = 0;
        int nice = getpriority(PRIO_PROCESS, tid);
        savedNice = errno == 0 ? nice : 0;
    }
    if (setpriority(PRIO_PROCESS, tid, NiceForPriority(priority)) != 0) {
        return Fail(errno == EPERM || errno == EACCES ? kRtErrPermission : ErrorFromErrno(errno),
                    false);
    }
    return true;
}
