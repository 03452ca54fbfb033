// The driver's log: one line per event on stderr, which the platform layer
// sends to the node's log.
#pragma once

namespace parvane::driver {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace parvane::driver
