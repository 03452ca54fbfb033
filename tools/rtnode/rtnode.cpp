#include "tools/rtnode/rtnode.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/record.h"
#include "platform/rt_errors.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kDefaultWaitMs = 30000;

int Usage() {
    std::fputs(
        "usage: rtnode ls [NAME]            list the root directory, or the directory\n"
        "                                   of the process catalogued as NAME\n"
        "       rtnode wait NAME[/ENTRY] [MS]\n"
        "                                   wait (default 30000 ms) for NAME in the root,\n"
        "                                   then for ENTRY in NAME's directory\n"
        "       rtnode cmdline NAME         print NAME's command line\n"
        "       rtnode stop NAME            terminate the process catalogued as NAME\n",
        stderr);
    return 2;
}

std::optional<std::uint32_t> ParseMs(const char* text) {
    if (*text < '0' || *text > '9')
        return std::nullopt;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

RTHANDLE Root() {
    return GetRtThreadHandles(kRtRootProcess);
}

// The process catalogued as name in the root, or BAD_RTHANDLE with a message.
RTHANDLE FindProcess(const char* name) {
    RTHANDLE process = LookupRtHandle(Root(), name, 0);
    if (process == BAD_RTHANDLE) {
        std::fprintf(stderr, "rtnode: %s is not catalogued\n", name);
        return BAD_RTHANDLE;
    }
    if (std::strcmp(parvane::platform::ObjectKindName(process), "process") != 0) {
        std::fprintf(stderr, "rtnode: %s is not a process\n", name);
        return BAD_RTHANDLE;
    }
    return process;
}

int List(RTHANDLE directory) {
    for (const auto& name : parvane::platform::ListDirectory(directory)) {
        RTHANDLE object = LookupRtHandle(directory, name.c_str(), 0);
        if (object == BAD_RTHANDLE) {
            if (GetLastRtError() != kRtErrNotFound)  // not removed meanwhile
                std::printf("%-32s invalid\n", name.c_str());
            continue;
        }
        bool live = GetRtHandleType(object) != kRtTypeNone;
        std::printf("%-32s %-8s %-5s", name.c_str(), parvane::platform::ObjectKindName(object),
                    live ? "live" : "stale");
        if (pid_t pid = parvane::platform::ProcessId(object); pid > 0)
            std::printf(" pid %d", static_cast<int>(pid));
        std::printf("\n");
    }
    return 0;
}

int Wait(const std::string& target, std::uint32_t waitMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    auto slash = target.find('/');
    std::string name = target.substr(0, slash);
    RTHANDLE process = LookupRtHandle(Root(), name.c_str(), waitMs);
    if (process == BAD_RTHANDLE) {
        std::fprintf(stderr, "rtnode: %s did not appear within %u ms\n", name.c_str(), waitMs);
        return 1;
    }
    if (slash == std::string::npos)
        return 0;
    std::string entry = target.substr(slash + 1);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto leftMs = static_cast<std::uint32_t>(std::max<long long>(left.count(), 0));
    if (LookupRtHandle(process, entry.c_str(), leftMs) == BAD_RTHANDLE) {
        std::fprintf(stderr, "rtnode: %s did not appear within %u ms\n", target.c_str(), waitMs);
        return 1;
    }
    return 0;
}

int PrintCommandLine(const char* name) {
    RTHANDLE process = FindProcess(name);
    if (process == BAD_RTHANDLE)
        return 1;
    RTHANDLE record = LookupRtHandle(process, parvane::platform::detail::kRecordName, 0);
    void* mapped = record != BAD_RTHANDLE ? MapRtSharedMemory(record) : nullptr;
    if (mapped == nullptr) {
        std::fprintf(stderr, "rtnode: %s has no command-line record\n", name);
        return 1;
    }
    std::uint32_t size = GetRtSharedMemorySize(record);
    auto text = parvane::platform::detail::RecordCommandLine(
        std::string_view(static_cast<const char*>(mapped), size));
    FreeRtMemory(mapped);
    if (!text) {
        std::fprintf(stderr, "rtnode: the command-line record of %s is malformed\n", name);
        return 1;
    }
    std::printf("%s\n", text->c_str());
    return 0;
}

int Stop(const char* name) {
    RTHANDLE process = FindProcess(name);
    if (process == BAD_RTHANDLE)
        return 1;
    if (!TerminateRtProcess(process, 0, 250)) {
        std::fprintf(stderr, "rtnode: %s could not be stopped (error %04X)\n", name,
                     static_cast<unsigned>(GetLastRtError()));
        return 1;
    }
    return 0;
}

}  // namespace

int RtnodeMain(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    std::string_view verb = argv[1];
    if (verb == "ls" && argc == 2)
        return List(Root());
    if (verb == "ls" && argc == 3) {
        RTHANDLE process = FindProcess(argv[2]);
        return process == BAD_RTHANDLE ? 1 : List(process);
    }
    if (verb == "wait" && (argc == 3 || argc == 4)) {
        auto waitMs = argc == 4 ? ParseMs(argv[3]) : std::optional<std::uint32_t>(kDefaultWaitMs);
        if (!waitMs)
            return Usage();
        return Wait(argv[2], *waitMs);
    }
    if (verb == "cmdline" && argc == 3)
        return PrintCommandLine(argv[2]);
    if (verb == "stop" && argc == 3)
        return Stop(argv[2]);
    return Usage();
}
