// TerminateRtProcess: SIGTERM, a bounded wait for the end, then SIGKILL and
// another bounded wait. Returns only once the process has ended, so that a
// newer process can take over its names. The wait uses a pidfd (which works
// for processes that are not children of the caller), or polls /proc where
// pidfds are not available.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "platform/last_error.h"
#include "platform/node.h"
#include "platform/objects.h"
#include "platform/proc_stat.h"
#include "platform/rt_errors.h"
#include "platform/rt_services.h"

using namespace parvane::platform::detail;

namespace {

using Clock = std::chrono::steady_clock;

// The least time granted to a polite end, and the bound after SIGKILL.
constexpr std::uint32_t kMinPoliteMs = 250;
constexpr std::uint32_t kKillWaitMs = 5000;

// A process to end, identified by pid and start time.
class Target {
  public:
    Target(pid_t pid, std::uint64_t start) : pid_(pid), start_(start) {
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        // The pid may have been reused between the check and the open.
        if (pidfd_ >= 0 && !ProcessRuns(pid_, start_)) {
            close(pidfd_);
            pidfd_ = -2;  // ended already
        }
    }
    ~Target() {
        if (pidfd_ >= 0)
            close(pidfd_);
    }
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    bool Ended() const { return pidfd_ == -2 || !ProcessRuns(pid_, start_); }

    void Signal(int sig) const {
        if (pidfd_ >= 0)
            syscall(SYS_pidfd_send_signal, pidfd_, sig, nullptr, 0);
        else if (!Ended())
            kill(pid_, sig);
    }

    // Waits up to ms for the end; true when it has ended.
    bool WaitEnd(std::uint32_t ms) const {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (Ended())
                return true;
            auto now = Clock::now();
            if (now >= deadline)
                return false;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            if (pidfd_ >= 0) {
                pollfd pfd{pidfd_, POLLIN, 0};
                poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 100)));
            } else {
                struct timespec ts {
                    0, static_cast<long>(std::min<long long>(left, 5)) * 1'000'000
                };
                nanosleep(&ts, nullptr);
            }
        }
    }

  private:
    pid_t pid_;
    std::uint64_t start_;
    int pidfd_ = -1;
};

}  // namespace

bool TerminateRtProcess(RTHANDLE process, std::uint32_t /*flags*/, std::uint32_t waitMs) {
    if (CurrentNode() == nullptr)
        return false;
    auto object = ObjectOf(process);
    if (!object)
        return false;
    if (object->kind != ObjectKind::Process || object->pid == getpid())
        return Fail(kRtErrBadHandle, false);
    Target target(object->pid, object->start);
    if (target.Ended())
        return true;
    target.Signal(SIGTERM);
    if (target.WaitEnd(std::max(waitMs, kMinPoliteMs)))
        return true;
    target.Signal(SIGKILL);
    if (target.WaitEnd(kKillWaitMs))
        return true;
    return Fail(kRtErrTimeout, false);
}
