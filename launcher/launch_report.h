// How the launcher reports a failure: one line with the status, the status
// kept in LastStatus and returned.
#pragma once

#include <cstdint>

inline constexpr const char* kLineMemoryAllocationFailed =
    "* ERROR. Memory allocation failed. StatusCode[%04XH]\n";
inline constexpr const char* kLineDriverStartupFailed =
    "* ERROR. Driver startup failed. StatusCode[%04XH]\n";
inline constexpr const char* kLineDriverInitializeFailed =
    "* ERROR. Driver initialize failed. StatusCode[%04XH]\n";
inline constexpr const char* kLineDriverPathFailed =
    "* ERROR. Driver RTA path acquisition failed. StatusCode[%04XH]\n";
inline constexpr const char* kLineCommandLineTooLong =
    "* ERROR. Driver command line too long. StatusCode[%04XH]\n";

// The driver's path cannot be derived, or does not fit its buffer.
inline constexpr std::uint32_t kStatusDriverPath = 33;

// The platform's last error code; `fallback` when the platform reports 0,
// so that a failure is never returned as success.
std::uint32_t PlatformFailureStatus(std::uint32_t fallback);

// Sets LastStatus to status, prints the line with it and returns it.
std::uint32_t ReportLaunchFailure(const char* line, std::uint32_t status);
