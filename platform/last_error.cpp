#include "platform/last_error.h"

#include <cerrno>

#include "platform/rt_errors.h"

namespace parvane::platform::detail {
namespace {
thread_local std::uint32_t lastError = kRtOk;
}  // namespace

void SetLastError(std::uint32_t code) {
    lastError = code;
}

std::uint32_t ErrorFromErrno(int error) {
    switch (error) {
        case EPERM:
        case EACCES:
            return kRtErrPermission;
        case ENOENT:
            return kRtErrNotFound;
        case ENOMEM:
            return kRtErrNoMemory;
        case EEXIST:
            return kRtErrExists;
        case ETIMEDOUT:
            return kRtErrTimeout;
        default:
            return kRtErrIo;
    }
}

}  // namespace parvane::platform::detail

std::uint32_t GetLastRtError() {
    return parvane::platform::detail::lastError;
}
