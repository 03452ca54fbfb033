// RtStartup and leaving the node.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/cmdline_split.h"
#include "platform/entry_file.h"
#include "platform/handoff.h"
#include "platform/node.h"
#include "platform/objects.h"
#include "platform/record.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

namespace fs = std::filesystem;
using namespace parvane::platform::detail;

namespace {

// The exit status for the entry routine's 32-bit status: a status the shell
// cannot show (above 254) becomes 255, never 0.
int ExitStatusFor(int status) {
    auto value = static_cast<std::uint32_t>(status);
    return value <= 254 ? static_cast<int>(value) : 255;
}

bool WriteOwnRecord(int argc, char** argv) {
    std::string commandLine;
    if (auto handed = TakeHandoff()) {
        commandLine = *handed;
    } else {
        std::vector<std::string> arguments;
        for (int i = 1; i < argc; ++i)
            arguments.emplace_back(argv[i]);
        commandLine = JoinArguments(arguments);
    }
    std::string record = BuildRecord(argc > 0 ? argv[0] : "", commandLine);
    RTHANDLE memory =
        CreateRtSharedMemory(record.data(), static_cast<std::uint32_t>(record.size()));
    return memory != BAD_RTHANDLE &&
           CatalogRtHandle(GetRtThreadHandles(kRtThisProcess), memory, kRecordName);
}

}  // namespace

int RtStartup(int argc, char** argv, int (*entry)(int argc, char** argv)) {
    if (entry == nullptr)
        return 1;
    if (CurrentNode() == nullptr)
        return 1;  // the reason is on stderr already
    if (!WriteOwnRecord(argc, argv)) {
        std::fprintf(stderr, "cannot write this process's command-line record (error %04X)\n",
                     static_cast<unsigned>(GetLastRtError()));
        parvane::platform::LeaveNode();
        return 1;
    }
    int status = entry(argc, argv);
    parvane::platform::LeaveNode();
    return ExitStatusFor(status);
}

namespace parvane::platform {

void LeaveNode() {
    if (!MarkNodeLeft())
        return;
    const Node* node = JoinedNode();
    // A child forked without exec shares the joined state but is not the
    // process that joined; it must not remove that process's entries.
    if (node == nullptr || node->pid != getpid())
        return;
    const ObjectRef self{ObjectKind::Process, node->pid, node->start, {}};
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(RootFolder(*node) / "dir", ec)) {
        // Names starting with '.' are other writers' temporary files.
        if (entry.path().filename().string().starts_with("."))
            continue;
        RemoveEntryIf(entry.path(), [&](const std::optional<ObjectRef>& named) {
            return named && *named == self;
        });
    }
    fs::remove_all(ProcessFolderOf(*node, node->pid, node->start), ec);
}

}  // namespace parvane::platform
