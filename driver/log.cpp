#include "driver/log.h"

#include <cstdarg>
#include <cstdio>

namespace parvane::driver {

void Log(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    LogLine(line);
}

void LogLine(const char* line) {
    std::fprintf(stderr, "lomadyn: %s\n", line);
    std::fflush(stderr);
}

}  // namespace parvane::driver
