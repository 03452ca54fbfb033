// Sleeping and the running program's file name.
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/last_error.h"
#include "platform/rt_errors.h"
#include "platform/rt_services.h"

bool RtSleep(std::uint32_t milliseconds) {
    struct timespec left {
        static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1'000'000
    };
    // A signal cuts nanosleep short; sleep on for what is left.
    while (nanosleep(&left, &left) != 0) {
        if (errno != EINTR)
            return parvane::platform::detail::Fail(kRtErrIo, false);
    }
    return true;
}

std::uint32_t GetRtModuleFilename(RTHANDLE module, char* buffer, std::uint32_t size) {
    using parvane::platform::detail::Fail;
    if (module != 0)
        return Fail<std::uint32_t>(kRtErrBadHandle, 0);
    if (buffer == nullptr || size == 0)
        return Fail<std::uint32_t>(kRtErrParam, 0);
    ssize_t length = readlink("/proc/self/exe", buffer, size);
    // readlink does not terminate, and a full buffer may mean a cut path.
    if (length < 0 || static_cast<std::uint32_t>(length) >= size) {
        buffer[0] = '\0';
        return Fail<std::uint32_t>(length < 0 ? kRtErrIo : kRtErrParam, 0);
    }
    buffer[length] = '\0';
    return static_cast<std::uint32_t>(length);
}
