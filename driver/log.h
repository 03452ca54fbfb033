// The driver's log: one line per event on stderr, which the platform layer
// sends to the node's log. The driver's lines are formatted by the master's
// log and written by the sink the program gives it: LogLine, which the driver
// makes the master's sink before anything else, so the program has one log.
// Where no sink is set (tests, fuzz targets) the lines are dropped.
#pragma once

namespace parvane::driver {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes one finished line (without a line end).
void LogLine(const char* line);

}  // namespace parvane::driver
