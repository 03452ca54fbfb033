// The driver's log for the fuzz targets: formats every line like the real
// log (so a bad format argument is still caught) but writes nothing, so that
// millions of refused requests do not flood the fuzzer's output.
#include <cstdarg>
#include <cstdio>

#include "driver/log.h"

namespace parvane::driver {

void Log(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
}

}  // namespace parvane::driver
