// A program on the platform layer for the tests: it runs the actions given as
// its words, in order, and reports each on stdout.
//
//   cat NAME          catalogue this process as NAME in the root directory
//   entry NAME        catalogue a memory object as NAME in its own directory
//   uncat NAME        remove NAME from the root directory
//   record            print "record:<command line from its own record>"
//   args              print each word as "arg:<word>"
//   stamp             print "stamp:<steady clock in ns>"
//   lookup NAME MS    wait up to MS for NAME in the root
//   spawn PATH LINE   CreateRtProcess(PATH, LINE) and print the pid
//   pause MS          sleep MS milliseconds
//   ignore-term       ignore SIGTERM from now on
//   sleep             sleep until killed
//   exit N            end with status N (any 32-bit value)
// Other words are ignored.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/record.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

namespace {

void Say(const char* format, auto... values) {
    if constexpr (sizeof...(values) == 0) {
        std::fputs(format, stdout);
    } else {
        std::printf(format, values...);
    }
    std::fflush(stdout);
}

long long SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PrintRecord() {
    RTHANDLE self = GetRtThreadHandles(kRtThisProcess);
    RTHANDLE record = LookupRtHandle(self, parvane::platform::detail::kRecordName, 0);
    void* mapped = MapRtSharedMemory(record);
    if (mapped == nullptr) {
        Say("record failed %04X\n", static_cast<unsigned>(GetLastRtError()));
        return;
    }
    auto text = parvane::platform::detail::RecordCommandLine(
        std::string_view(static_cast<const char*>(mapped), GetRtSharedMemorySize(record)));
    FreeRtMemory(mapped);
    Say("record:%s\n", text ? text->c_str() : "(malformed)");
}

int ProbeMain(int argc, char** argv) {
    RTHANDLE root = GetRtThreadHandles(kRtRootProcess);
    RTHANDLE self = GetRtThreadHandles(kRtThisProcess);
    for (int i = 1; i < argc; ++i) {
        std::string_view action = argv[i];
        bool more = i + 1 < argc;
        if (action == "cat" && more) {
            const char* name = argv[++i];
            if (CatalogRtHandle(root, self, name))
                Say("catalogued %s\n", name);
            else
                Say("catalog failed %04X\n", static_cast<unsigned>(GetLastRtError()));
        } else if (action == "entry" && more) {
            const char* name = argv[++i];
            RTHANDLE memory = CreateRtSharedMemory("entry", 5);
            if (CatalogRtHandle(self, memory, name))
                Say("entry %s\n", name);
            else
                Say("entry failed %04X\n", static_cast<unsigned>(GetLastRtError()));
        } else if (action == "uncat" && more) {
            Say("uncat %d\n", UncatalogRtHandle(root, argv[++i]) ? 1 : 0);
        } else if (action == "record") {
            PrintRecord();
        } else if (action == "args") {
            for (int j = 0; j < argc; ++j)
                Say("arg:%s\n", argv[j]);
        } else if (action == "stamp") {
            Say("stamp:%lld\n", SteadyNs());
        } else if (action == "lookup" && i + 2 < argc) {
            const char* name = argv[++i];
            auto waitMs = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
            RTHANDLE found = LookupRtHandle(root, name, waitMs);
            Say("lookup %s %s\n", name, found != BAD_RTHANDLE ? "found" : "timeout");
        } else if (action == "spawn" && i + 2 < argc) {
            const char* path = argv[++i];
            const char* line = argv[++i];
            RTHANDLE child = CreateRtProcess(path, line, nullptr, 0);
            if (child != BAD_RTHANDLE)
                Say("spawned %d\n", static_cast<int>(parvane::platform::ProcessId(child)));
            else
                Say("spawn failed %04X\n", static_cast<unsigned>(GetLastRtError()));
        } else if (action == "pause" && more) {
            RtSleep(static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10)));
        } else if (action == "ignore-term") {
            signal(SIGTERM, SIG_IGN);
            Say("ignoring SIGTERM\n");
        } else if (action == "sleep") {
            Say("sleeping\n");
            for (;;)
                RtSleep(1000);
        } else if (action == "exit" && more) {
            return static_cast<int>(std::strtoll(argv[++i], nullptr, 10));
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return RtStartup(argc, argv, ProbeMain);
}
