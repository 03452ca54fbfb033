#include "platform/node.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/last_error.h"
#include "platform/proc_stat.h"
#include "platform/rt_errors.h"
#include "platform/rt_node.h"

namespace parvane::platform::detail {
namespace fs = std::filesystem;

namespace {

std::mutex joinMutex;
std::optional<Node> joined;
bool joinFailed = false;
bool left = false;
bool leaveRegistered = false;

void LeaveAtExit() {
    parvane::platform::LeaveNode();
}

}  // namespace

fs::path NodeFolderFromEnvironment() {
    const char* dir = std::getenv("RT_NODE_DIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0')
        return fs::path(runtime) / "rt-node";
    return "/tmp/rt-node-" + std::to_string(geteuid());
}

bool PrepareNodeFolder(const fs::path& folder, std::string& why) {
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT || (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) ||
            lstat(folder.c_str(), &st) != 0) {
            why = std::string("cannot create it: ") + std::strerror(errno);
            return false;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        why = "it is a symbolic link";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "it is not a folder";
        return false;
    }
    if (st.st_uid != geteuid()) {
        why = "it is owned by another user (uid " + std::to_string(st.st_uid) + ")";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "it is writable by group or others";
        return false;
    }
    for (const char* sub : {"root", "root/dir", "proc", "log"}) {
        if (mkdir((folder / sub).c_str(), 0700) != 0 && errno != EEXIST) {
            why = std::string("cannot create ") + sub + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

const Node* CurrentNode() {
    std::lock_guard lock(joinMutex);
    if (joined)
        return &*joined;
    if (joinFailed)
        return Fail<const Node*>(kRtErrNode, nullptr);

    std::error_code ec;
    fs::path folder = fs::absolute(NodeFolderFromEnvironment(), ec);
    std::string why;
    auto self = ReadProcStat(getpid());
    if (ec) {
        why = ec.message();
    } else if (!self) {
        why = "cannot read this process's start time";
    } else if (PrepareNodeFolder(folder, why)) {
        Node node{folder, getpid(), self->start};
        if (!MakeFolders(ProcessFolderOf(node, node.pid, node.start) / "dir")) {
            why = std::string("cannot create this process's folder: ") + std::strerror(errno);
        } else {
            RemoveStaleFolders(node);
            joined = node;
            left = false;
            if (!leaveRegistered)
                leaveRegistered = std::atexit(LeaveAtExit) == 0;
            return &*joined;
        }
    }
    std::fprintf(stderr, "node folder %s refused: %s\n", folder.c_str(), why.c_str());
    joinFailed = true;
    return Fail<const Node*>(kRtErrNode, nullptr);
}

const Node* JoinedNode() {
    std::lock_guard lock(joinMutex);
    return joined ? &*joined : nullptr;
}

bool MarkNodeLeft() {
    std::lock_guard lock(joinMutex);
    if (!joined || left)
        return false;
    left = true;
    return true;
}

void ForgetNode() {
    std::lock_guard lock(joinMutex);
    joined.reset();
    joinFailed = false;
    left = false;
}

std::string ProcessFolderName(pid_t pid, std::uint64_t start) {
    return std::to_string(pid) + "-" + std::to_string(start);
}

fs::path RootFolder(const Node& node) {
    return node.folder / "root";
}

fs::path ProcessFolderOf(const Node& node, pid_t pid, std::uint64_t start) {
    return node.folder / "proc" / ProcessFolderName(pid, start);
}

fs::path LogFolder(const Node& node) {
    return node.folder / "log";
}

bool MakeFolders(const fs::path& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    if (folder.has_parent_path() && folder.parent_path() != folder &&
        !MakeFolders(folder.parent_path()))
        return false;
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

void RemoveStaleFolders(const Node& node) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(node.folder / "proc", ec)) {
        std::string name = entry.path().filename().string();
        unsigned long long pid = 0, start = 0;
        char tail = 0;
        if (std::sscanf(name.c_str(), "%llu-%llu%c", &pid, &start, &tail) != 2)
            continue;
        if (!ProcessRuns(static_cast<pid_t>(pid), start)) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
}

}  // namespace parvane::platform::detail
