#include "launcher/launch_report.h"

#include <cstdio>

#include "launcher/last_status.h"
#include "platform/rt_services.h"

std::uint32_t PlatformFailureStatus(std::uint32_t fallback) {
    std::uint32_t status = GetLastRtError();
    return status != 0 ? status : fallback;
}

std::uint32_t ReportLaunchFailure(const char* line, std::uint32_t status) {
    LastStatus = status;
    std::printf(line, static_cast<unsigned>(status));
    return status;
}
