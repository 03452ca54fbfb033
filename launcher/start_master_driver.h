// Starting or restarting the master driver before the checks run.
#pragma once

#include <cstdint>

#include "platform/rt_services.h"

// 0 when a driver runs with the wanted ENI (or the running one was left
// alone), else the failure status, already printed.
std::uint32_t StartMasterDriver(const char* eniArgument);

// Copies the command line of a running driver out of its "R?H$C$NAME" record.
// 0 on success; -1 when the entry is not a live object; -2 when there is no
// such entry, it cannot be mapped, or its contents are not a valid record.
std::int32_t ReadDriverCommandLine(RTHANDLE driverProcess, char* buffer, std::uint32_t bufferSize);

// Writes the new driver command line into a zero-filled buffer of bufferSize
// bytes: the new ENI option, then the old options without the old ENI option.
// Returns false, leaving the buffer empty, when the result would not fit.
bool ComposeDriverCommandLine(const char* eniArgument, const char* oldCommandLine, char* buffer,
                              std::uint32_t bufferSize);
