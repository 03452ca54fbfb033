// The object directory services: handles for the root and this process,
// cataloguing, look-up (with a wait) and removal of names, handle types.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/directory_wait.h"
#include "platform/entry_file.h"
#include "platform/last_error.h"
#include "platform/name_codec.h"
#include "platform/node.h"
#include "platform/objects.h"
#include "platform/rt_errors.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

namespace fs = std::filesystem;
using namespace parvane::platform::detail;

namespace {

// The folder of a directory handle's entries; empty (last error set) when
// the node cannot be joined, the handle is unknown or not a directory.
fs::path DirectoryOf(RTHANDLE directory, const Node*& node) {
    node = CurrentNode();
    if (node == nullptr)
        return {};
    auto object = ObjectOf(directory);
    if (!object)
        return {};
    fs::path folder = DirectoryFolder(*node, *object);
    if (folder.empty())
        SetLastError(kRtErrBadHandle);
    return folder;
}

// DirectoryOf for the services that take a name as well: empty (last error
// set) also when the name is not one the directory can hold.
fs::path DirectoryForName(RTHANDLE directory, const char* name, const Node*& node) {
    fs::path folder = DirectoryOf(directory, node);
    if (folder.empty())
        return {};
    if (name == nullptr || !ValidName(name)) {
        SetLastError(kRtErrBadName);
        return {};
    }
    return folder;
}

}  // namespace

RTHANDLE GetRtThreadHandles(std::uint32_t selector) {
    if (CurrentNode() == nullptr)
        return BAD_RTHANDLE;
    switch (selector) {
        case kRtThisThread:
        case kRtThisProcess:
            return kSelfHandle;
        case kRtRootProcess:
            return kRootHandle;
        default:
            return Fail(kRtErrParam, BAD_RTHANDLE);
    }
}

RTHANDLE LookupRtHandle(RTHANDLE directory, const char* name, std::uint32_t waitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    const Node* node = nullptr;
    fs::path folder = DirectoryForName(directory, name, node);
    if (folder.empty())
        return BAD_RTHANDLE;
    const fs::path entry = folder / EncodeName(name);
    for (;;) {
        if (auto object = ReadEntry(entry))
            return HandleFor(*object);
        struct stat st {};
        if (lstat(entry.c_str(), &st) == 0) {
            // Present but not understood: either replaced just now (read
            // again) or not an entry this layer wrote.
            if (auto object = ReadEntry(entry))
                return HandleFor(*object);
            return Fail(kRtErrIo, BAD_RTHANDLE);
        }
        if (waitMs == 0)
            return Fail(kRtErrNotFound, BAD_RTHANDLE);
        // Loops only when the name was removed again between the wake-up and
        // the read; the wait goes on within the same deadline.
        if (!WaitForFile(folder, entry.filename().string(), deadline))
            return Fail(kRtErrTimeout, BAD_RTHANDLE);
    }
}

bool CatalogRtHandle(RTHANDLE directory, RTHANDLE object, const char* name) {
    const Node* node = nullptr;
    fs::path folder = DirectoryForName(directory, name, node);
    if (folder.empty())
        return false;
    auto target = ObjectOf(object);
    if (!target)
        return false;
    if (!MakeFolders(folder))
        return Fail(ErrorFromErrno(errno), false);
    fs::path temp = WriteTempFile(folder, SerializeObject(*target));
    if (temp.empty())
        return Fail(ErrorFromErrno(errno), false);
    fs::path entry = folder / EncodeName(name);
    // A name that names a live object stays; one whose object has ended is
    // replaced. A few rounds cover a competing writer.
    for (int round = 0; round < 5; ++round) {
        if (RenameNoReplace(temp, entry))
            return true;
        if (errno != EEXIST)
            break;
        auto existing = ReadEntry(entry);
        if (existing && *existing == *target) {
            unlink(temp.c_str());
            return true;
        }
        if (existing && ObjectLive(*node, *existing)) {
            unlink(temp.c_str());
            return Fail(kRtErrExists, false);
        }
        RemoveEntryIf(entry, [&](const std::optional<ObjectRef>& named) {
            return !named || !ObjectLive(*node, *named);
        });
    }
    int saved = errno;
    unlink(temp.c_str());
    return Fail(saved == EEXIST ? kRtErrExists : ErrorFromErrno(saved), false);
}

bool UncatalogRtHandle(RTHANDLE directory, const char* name) {
    const Node* node = nullptr;
    fs::path folder = DirectoryForName(directory, name, node);
    if (folder.empty())
        return false;
    if (unlink((folder / EncodeName(name)).c_str()) != 0)
        return Fail(ErrorFromErrno(errno), false);
    return true;
}

std::uint16_t GetRtHandleType(RTHANDLE handle) {
    const Node* node = CurrentNode();
    if (node == nullptr)
        return kRtTypeNone;
    auto object = ObjectOf(handle);
    if (!object)
        return kRtTypeNone;
    if (!ObjectLive(*node, *object))
        return Fail(kRtErrBadHandle, kRtTypeNone);
    return ObjectType(*object);
}

namespace parvane::platform {

std::vector<std::string> ListDirectory(RTHANDLE directory) {
    std::vector<std::string> names;
    const Node* node = nullptr;
    fs::path folder = DirectoryOf(directory, node);
    if (folder.empty())
        return names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (auto name = DecodeName(entry.path().filename().string()))
            names.push_back(*name);
    std::sort(names.begin(), names.end());
    return names;
}

const char* ObjectKindName(RTHANDLE handle) {
    auto object = ObjectOf(handle);
    if (!object)
        return "";
    switch (object->kind) {
        case ObjectKind::Root:
            return "root";
        case ObjectKind::Process:
            return "process";
        case ObjectKind::Memory:
            return "memory";
    }
    return "";
}

fs::path NodeFolder() {
    const Node* node = JoinedNode();
    return node != nullptr ? node->folder : fs::path();
}

fs::path ProcessFolder(RTHANDLE process) {
    const Node* node = CurrentNode();
    auto object = ObjectOf(process);
    if (node == nullptr || !object)
        return {};
    return ObjectFolder(*node, *object);
}

pid_t ProcessId(RTHANDLE process) {
    auto object = ObjectOf(process);
    return object && object->kind == ObjectKind::Process ? object->pid : -1;
}

}  // namespace parvane::platform
