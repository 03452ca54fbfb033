#include "master/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace parvane::master {
namespace {

void ToStderr(const char* line) {
    std::fprintf(stderr, "lomadyn: %s\n", line);
    std::fflush(stderr);
}

std::atomic<LogSink> g_sink{&ToStderr};

}  // namespace

void SetLogSink(LogSink sink) {
    g_sink.store(sink != nullptr ? sink : &ToStderr);
}

void Log(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    g_sink.load()(line);
}

}  // namespace parvane::master
