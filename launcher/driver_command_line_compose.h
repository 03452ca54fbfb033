// The command line of a new driver, made from the old driver's.
#pragma once

#include <cstdint>

// Writes the new driver command line into a zero-filled buffer of bufferSize
// bytes: the new ENI option, then the old options without the old ENI option.
// Returns false, leaving the buffer empty, when the result would not fit.
bool ComposeDriverCommandLine(const char* eniArgument, const char* oldCommandLine, char* buffer,
                              std::uint32_t bufferSize);
