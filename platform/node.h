// The node: the folder that all processes with the same RT_NODE_DIR share.
//
//   <node>/root/          the root process's folder, its directory in dir/
//   <node>/proc/<pid>-<start>/   one folder per process: dir/ (its directory),
//                         its memory objects, files of the process's own
//   <node>/log/           stdout and stderr of processes started by the layer
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace parvane::platform::detail {

struct Node {
    std::filesystem::path folder;  // absolute
    pid_t pid = -1;                // this process
    std::uint64_t start = 0;       // its start time
};

// RT_NODE_DIR, else $XDG_RUNTIME_DIR/rt-node, else /tmp/rt-node-<uid>.
std::filesystem::path NodeFolderFromEnvironment();

// Creates the folder (mode 0700) when it is missing, refuses a symlink, a
// folder of another owner or one writable by group or others (reason in why),
// and creates the subfolders.
bool PrepareNodeFolder(const std::filesystem::path& folder, std::string& why);

// The node this process belongs to, joined on first use; nullptr when it
// cannot be joined (the reason is printed on stderr once and the last error
// set to kRtErrNode).
const Node* CurrentNode();
// The node joined so far, without joining; nullptr before.
const Node* JoinedNode();

// Marks the joined node as left; true only for the first call after a join.
bool MarkNodeLeft();
// Forgets the node joined so far, so that the next service joins the node
// that the environment names then (tests that use several nodes in one
// process).
void ForgetNode();

std::string ProcessFolderName(pid_t pid, std::uint64_t start);
std::filesystem::path RootFolder(const Node& node);
std::filesystem::path ProcessFolderOf(const Node& node, pid_t pid, std::uint64_t start);
std::filesystem::path LogFolder(const Node& node);

// Creates a folder and its missing parents with mode 0700.
bool MakeFolders(const std::filesystem::path& folder);

// Removes the folders of processes that no longer run.
void RemoveStaleFolders(const Node& node);

}  // namespace parvane::platform::detail
