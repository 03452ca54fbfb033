// Objects of the node (the root pseudo-process, processes, memory objects),
// how a catalog entry names one, and this process's handle table.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/node.h"
#include "platform/rt_services.h"

namespace parvane::platform::detail {

enum class ObjectKind { Root, Process, Memory };

struct ObjectRef {
    ObjectKind kind = ObjectKind::Root;
    pid_t pid = -1;           // Process
    std::uint64_t start = 0;  // Process: start time, tells a reused pid apart
    std::string file;         // Memory: path relative to the node folder
    bool operator==(const ObjectRef&) const = default;
};

// Entry content: "root\n", "process <pid> <start>\n" or "memory <file>\n".
std::string SerializeObject(const ObjectRef& object);
// nullopt for anything else, including a memory file outside proc/.
std::optional<ObjectRef> ParseObject(std::string_view text);

bool ObjectLive(const Node& node, const ObjectRef& object);
std::uint16_t ObjectType(const ObjectRef& object);

// The folder of a root or process object, and the folder of its directory;
// empty for a memory object.
std::filesystem::path ObjectFolder(const Node& node, const ObjectRef& object);
std::filesystem::path DirectoryFolder(const Node& node, const ObjectRef& object);

// Fixed handles: the root process and this process.
inline constexpr RTHANDLE kRootHandle = 1;
inline constexpr RTHANDLE kSelfHandle = 2;

// A handle for object: the one it already has in this process, or a new one;
// BAD_RTHANDLE (last error kRtErrTableFull) when the table is full.
RTHANDLE HandleFor(const ObjectRef& object);
// The object behind a handle; nullopt (last error kRtErrBadHandle) for an
// unknown handle.
std::optional<ObjectRef> ObjectOf(RTHANDLE handle);

}  // namespace parvane::platform::detail
