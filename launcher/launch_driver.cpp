#include "launcher/launch_driver.h"

#include "common/catalog_names.h"
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

    // An entry left behind by an earlier driver would be taken for the new
    // one; whether there was one does not matter.
    UncatalogRtHandle(rootProcess, kDriverEntry);

    if (CreateRtProcess(path, commandLine, nullptr, 0) == BAD_RTHANDLE) {
        return ReportLaunchFailure(kLineDriverStartupFailed,
                                   PlatformFailureStatus(kRtErrStartFailed));
    }
    RTHANDLE driver = LookupRtHandle(rootProcess, kDriverEntry, kStartWaitMs);
    if (driver == BAD_RTHANDLE ||
        LookupRtHandle(driver, kEndOfInitEntry, kStartWaitMs) == BAD_RTHANDLE) {
        return ReportLaunchFailure(kLineDriverInitializeFailed,
                                   PlatformFailureStatus(kRtErrTimeout));
    }
    return 0;
}
