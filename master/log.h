// The master's log: one line per event, printf-style, for the engineer who
// commissions the network. By default the lines go to stderr as the driver's
// own do; the driver (or a test) may send them elsewhere.
#pragma once

namespace parvane::master {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where finished lines go (without a line end); nullptr restores stderr.
using LogSink = void (*)(const char* line);
void SetLogSink(LogSink sink);

}  // namespace parvane::master
