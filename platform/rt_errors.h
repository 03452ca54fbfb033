// The platform layer's own status codes, as GetLastRtError reports them.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kRtOk = 0x0000;
inline constexpr std::uint32_t kRtErrTimeout = 0x0001;      // a wait ran out
inline constexpr std::uint32_t kRtErrNotFound = 0x0002;     // name not catalogued, file missing
inline constexpr std::uint32_t kRtErrBadHandle = 0x0003;    // invalid, unknown or stale handle
inline constexpr std::uint32_t kRtErrTableFull = 0x0004;    // no free handle in this process
inline constexpr std::uint32_t kRtErrNoMemory = 0x0005;     // allocation or mapping failed
inline constexpr std::uint32_t kRtErrStartFailed = 0x0006;  // a program could not be started
inline constexpr std::uint32_t kRtErrNode = 0x0007;         // node folder missing or refused
inline constexpr std::uint32_t kRtErrBadName = 0x0008;      // name empty or too long
inline constexpr std::uint32_t kRtErrPermission = 0x0009;   // the host refused (EPERM, EACCES)
inline constexpr std::uint32_t kRtErrIo = 0x000A;           // any other host failure
inline constexpr std::uint32_t kRtErrExists = 0x000B;       // name already catalogued
inline constexpr std::uint32_t kRtErrParam = 0x000C;        // a parameter out of range
