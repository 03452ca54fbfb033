#include "launcher/launch_driver.h"

#include <cstdio>

#include "common/catalog_names.h"
#include "launcher/driver_hints.h"
#include "launcher/driver_path.h"
#include "launcher/launch_report.h"
#include "launcher/text_buffer.h"
#include "platform/rt_errors.h"

namespace {

using parvane::common::kDriverEntry;
using parvane::common::kEndOfInitEntry;
constexpr std::uint32_t kStartWaitMs = 30000;

}  // namespace

std::uint32_t LaunchDriver(RTHANDLE rootProcess, const char* commandLine) {
    char* path = ObtainTextBuffer();
    if (path == nullptr) {
        return ReportLaunchFailure(kLineMemoryAllocationFailed,
                                   PlatformFailureStatus(kRtErrNoMemory));
    }
    std::uint32_t status = DeriveDriverPath(path, kTextBufferSize);
    if (status != 0) {
        return status;
    }

    // A stale entry left behind by an earlier driver would be taken for the
    // new one. A live entry stays: removing it would leave a running driver
    // that no one can reach by its name.
    RTHANDLE left = LookupRtHandle(rootProcess, kDriverEntry, 0);
    if (left != BAD_RTHANDLE && GetRtHandleType(left) == kRtTypeNone) {
        UncatalogRtHandle(rootProcess, kDriverEntry);
    }

    RTHANDLE started = CreateRtProcess(path, commandLine, nullptr, 0);
    if (started == BAD_RTHANDLE) {
        const std::uint32_t failed =
            ReportLaunchFailure(kLineDriverStartupFailed, PlatformFailureStatus(kRtErrStartFailed));
        std::fprintf(stderr, "parvane: driver tried: %s\n", path);
        return failed;
    }
    NoteUsedDriver(started);
    RTHANDLE driver = LookupRtHandle(rootProcess, kDriverEntry, kStartWaitMs);
    if (driver == BAD_RTHANDLE) {
        return ReportLaunchFailure(kLineDriverInitializeFailed,
                                   PlatformFailureStatus(kRtErrTimeout));
    }
    // Another driver holds the name (it started meanwhile, or could not be
    // stopped): the new one refuses to run beside it, and the checks would
    // run against an ENI that nobody asked for.
    if (driver != started) {
        return ReportLaunchFailure(kLineDriverInitializeFailed, kRtErrExists);
    }
    if (LookupRtHandle(driver, kEndOfInitEntry, kStartWaitMs) == BAD_RTHANDLE) {
        return ReportLaunchFailure(kLineDriverInitializeFailed,
                                   PlatformFailureStatus(kRtErrTimeout));
    }
    return 0;
}
