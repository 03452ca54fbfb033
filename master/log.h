// The master's log: one line per event, printf-style, for the engineer who
// commissions the network. The master only formats its lines; the program
// that uses it gives the sink they go to (the driver: its own log). Without
// a sink the lines are formatted and dropped.
#pragma once

#include <cstdarg>

namespace parvane::master {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void VLog(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Where finished lines go (without a line end); nullptr drops them.
using LogSink = void (*)(const char* line);
void SetLogSink(LogSink sink);

}  // namespace parvane::master
