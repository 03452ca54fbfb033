// The address of a Unix-domain socket file inside a folder. sun_path holds at
// most 107 characters; a longer path is reached through the folder's
// descriptor as "/proc/self/fd/<fd>/<name>", which stays short whatever the
// folder's path is. The descriptor lives as long as the address.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <optional>

#include "common/unique_fd.h"

namespace parvane::ipc {

class SocketAddress {
  public:
    // Empty when the name is too long or the folder cannot be opened.
    static std::optional<SocketAddress> In(const std::filesystem::path& folder, const char* name);

    const sockaddr* addr() const { return reinterpret_cast<const sockaddr*>(&addr_); }
    socklen_t size() const { return size_; }
    const char* path() const { return addr_.sun_path; }

  private:
    sockaddr_un addr_{};
    socklen_t size_ = 0;
    common::UniqueFd folderFd_;
};

}  // namespace parvane::ipc
