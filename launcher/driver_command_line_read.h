// Reading a running driver's command line, alone or with the status that
// tells why a read failed.
#pragma once

#include <cstdint>

#include "platform/rt_services.h"

// Copies the command line of a running driver out of its "R?H$C$NAME" record.
// 0 on success; -1 when the entry is not a live object; -2 when there is no
// such entry, it cannot be mapped, or its contents are not a valid record.
std::int32_t ReadDriverCommandLine(RTHANDLE driverProcess, char* buffer, std::uint32_t bufferSize);

// ReadDriverCommandLine's work. On failure *failureStatus is set to the
// status to report: the platform's error when a platform service failed,
// kRtErrBadHandle for a record entry that is not a live object, and
// kRtErrParam for a record whose contents break its layout or do not fit the
// buffer. Those two are set here because no service failed then, and the
// platform's last error may be left over from an unrelated earlier call.
std::int32_t ReadDriverCommandLineWithStatus(RTHANDLE driverProcess, char* buffer,
                                             std::uint32_t bufferSize,
                                             std::uint32_t* failureStatus);
