#include "platform/objects.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/last_error.h"
#include "platform/proc_stat.h"
#include "platform/rt_errors.h"

namespace parvane::platform::detail {
namespace fs = std::filesystem;

namespace {

std::mutex tableMutex;

// Slot 0 stays unused: handle 0 means "the caller itself" to the services
// that take it. Slots 1 and 2 are the root and this process.
std::vector<std::optional<ObjectRef>>& Table() {
    static std::vector<std::optional<ObjectRef>> table = [] {
        std::vector<std::optional<ObjectRef>> t(3);
        t[kRootHandle] = ObjectRef{};
        auto self = ReadProcStat(getpid());
        t[kSelfHandle] = ObjectRef{ObjectKind::Process, getpid(), self ? self->start : 0, {}};
        return t;
    }();
    return table;
}

bool SafeMemoryFile(std::string_view file) {
    if (file.substr(0, 5) != "proc/" || file.find('\0') != std::string_view::npos)
        return false;
    for (const auto& part : fs::path(file))
        if (part == ".." || part == ".")
            return false;
    return true;
}

}  // namespace

std::string SerializeObject(const ObjectRef& object) {
    switch (object.kind) {
        case ObjectKind::Root:
            return "root\n";
        case ObjectKind::Process:
            return "process " + std::to_string(object.pid) + " " + std::to_string(object.start) +
                   "\n";
        case ObjectKind::Memory:
            return "memory " + object.file + "\n";
    }
    return {};
}

std::optional<ObjectRef> ParseObject(std::string_view text) {
    if (text.empty() || text.back() != '\n')
        return std::nullopt;
    text.remove_suffix(1);
    if (text == "root")
        return ObjectRef{};
    if (text.substr(0, 8) == "process ") {
        std::string fields(text.substr(8));
        long long pid = 0;
        unsigned long long start = 0;
        char tail = 0;
        if (std::sscanf(fields.c_str(), "%lld %llu%c", &pid, &start, &tail) != 2 || pid <= 0 ||
            pid > 0x7FFFFFFF)
            return std::nullopt;
        return ObjectRef{ObjectKind::Process, static_cast<pid_t>(pid), start, {}};
    }
    if (text.substr(0, 7) == "memory ") {
        std::string_view file = text.substr(7);
        if (!SafeMemoryFile(file))
            return std::nullopt;
        return ObjectRef{ObjectKind::Memory, -1, 0, std::string(file)};
    }
    return std::nullopt;
}

bool ObjectLive(const Node& node, const ObjectRef& object) {
    switch (object.kind) {
        case ObjectKind::Root:
            return true;
        case ObjectKind::Process:
            return ProcessRuns(object.pid, object.start);
        case ObjectKind::Memory: {
            // A memory object ends with the process that created it, as on
            // the platform, even before its folder has been cleaned up.
            unsigned long long pid = 0, start = 0;
            std::error_code ec;
            return std::sscanf(object.file.c_str(), "proc/%llu-%llu/", &pid, &start) == 2 &&
                   ProcessRuns(static_cast<pid_t>(pid), start) &&
                   fs::is_regular_file(node.folder / object.file, ec);
        }
    }
    return false;
}

std::uint16_t ObjectType(const ObjectRef& object) {
    return object.kind == ObjectKind::Memory ? kRtTypeMemory : kRtTypeProcess;
}

fs::path ObjectFolder(const Node& node, const ObjectRef& object) {
    switch (object.kind) {
        case ObjectKind::Root:
            return RootFolder(node);
        case ObjectKind::Process:
            return ProcessFolderOf(node, object.pid, object.start);
        case ObjectKind::Memory:
            break;
    }
    return {};
}

fs::path DirectoryFolder(const Node& node, const ObjectRef& object) {
    fs::path folder = ObjectFolder(node, object);
    return folder.empty() ? folder : folder / "dir";
}

RTHANDLE HandleFor(const ObjectRef& object) {
    std::lock_guard lock(tableMutex);
    auto& table = Table();
    for (std::size_t i = 1; i < table.size(); ++i)
        if (table[i] && *table[i] == object)
            return static_cast<RTHANDLE>(i);
    if (table.size() >= BAD_RTHANDLE)
        return Fail(kRtErrTableFull, BAD_RTHANDLE);
    table.push_back(object);
    return static_cast<RTHANDLE>(table.size() - 1);
}

std::optional<ObjectRef> ObjectOf(RTHANDLE handle) {
    std::lock_guard lock(tableMutex);
    auto& table = Table();
    if (handle >= table.size() || !table[handle])
        return Fail<std::optional<ObjectRef>>(kRtErrBadHandle, std::nullopt);
    return table[handle];
}

}  // namespace parvane::platform::detail
