// The driver's log: one line per event on stderr, which the platform layer
// sends to the node's log. The master's lines come here too (the driver
// makes LogLine the master's log sink), so the program has one log.
#pragma once

namespace parvane::driver {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes one finished line (without a line end).
void LogLine(const char* line);

}  // namespace parvane::driver
