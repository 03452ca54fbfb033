#include "driver/log.h"

#include <cstdarg>
#include <cstdio>

#include "master/log.h"

namespace parvane::driver {

void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    master::VLog(format, args);
    va_end(args);
}

void LogLine(const char* line) {
    std::fprintf(stderr, "lomadyn: %s\n", line);
    std::fflush(stderr);
}

}  // namespace parvane::driver
