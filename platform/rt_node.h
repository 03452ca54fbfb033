// Linux-side access to the node for the stand-ins (the master client library
// and driver, the rtnode utility). The tool's own code never includes this.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/rt_services.h"

namespace parvane::platform {

// The node folder this process has joined (empty before RtStartup joined it).
std::filesystem::path NodeFolder();

// The folder that holds a process object's own files (its directory, its
// record); empty when the handle is not a process. A stand-in may keep files
// of its own there, such as an IPC endpoint.
std::filesystem::path ProcessFolder(RTHANDLE process);

// The host process id behind a process handle, or -1.
pid_t ProcessId(RTHANDLE process);

// Leaves the node: removes this process's folder (its directory and memory
// objects) and the root directory's entries that name this process, never an
// entry that names another one. RtStartup calls it when the entry routine
// returns, and it runs at exit; a program that ends on a signal calls it from
// its shutdown path (not from inside the signal handler). Safe to call twice.
void LeaveNode();

// The names catalogued in a directory, sorted; empty for a handle that is not
// a directory.
std::vector<std::string> ListDirectory(RTHANDLE directory);

// What a handle refers to, live or not: "root", "process" or "memory"; ""
// for an unknown handle.
const char* ObjectKindName(RTHANDLE handle);

}  // namespace parvane::platform
