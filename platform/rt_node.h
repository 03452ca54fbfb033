// Linux-side access to the node for the stand-ins (the master client library
// and driver, the rtnode utility). The tool's own code never includes this.
#pragma once

#include <sys/types.h>

#include <filesystem>

#include "platform/rt_services.h"

namespace rt {

// The node folder this process has joined (empty before RtStartup joined it).
std::filesystem::path NodeFolder();

// The folder that holds a process object's own files (its directory, its
// record); empty when the handle is not a process. A stand-in may keep files
// of its own there, such as an IPC endpoint.
std::filesystem::path ProcessFolder(RTHANDLE process);

// The host process id behind a process handle, or -1.
pid_t ProcessId(RTHANDLE process);

}  // namespace rt
