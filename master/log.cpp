#include "master/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace parvane::master {
namespace {

std::atomic<LogSink> g_sink{nullptr};

}  // namespace

void SetLogSink(LogSink sink) {
    g_sink.store(sink);
}

void Log(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (const LogSink sink = g_sink.load(); sink != nullptr)
        sink(line);
}

}  // namespace parvane::master
