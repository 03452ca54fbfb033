#include "master/log.h"

#include <atomic>
#include <cstdio>

namespace parvane::master {
namespace {

std::atomic<LogSink> g_sink{nullptr};

}  // namespace

void SetLogSink(LogSink sink) {
    g_sink.store(sink);
}

void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLog(format, args);
    va_end(args);
}

void VLog(const char* format, va_list args) {
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    if (const LogSink sink = g_sink.load(); sink != nullptr)
        sink(line);
}

}  // namespace parvane::master
