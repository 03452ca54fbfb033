#include "ipc/socket_address.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace parvane::ipc {

std::optional<SocketAddress> SocketAddress::In(const std::filesystem::path& folder,
                                               const char* name) {
    SocketAddress address;
    address.addr_.sun_family = AF_UNIX;
    const std::size_t room = sizeof(address.addr_.sun_path);
    std::string direct = (folder / name).string();
    if (direct.size() < room) {
        std::memcpy(address.addr_.sun_path, direct.c_str(), direct.size() + 1);
    } else {
        address.folderFd_.reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!address.folderFd_.valid())
            return std::nullopt;
        int n = std::snprintf(address.addr_.sun_path, room, "/proc/self/fd/%d/%s",
                              address.folderFd_.get(), name);
        if (n < 0 || static_cast<std::size_t>(n) >= room)
            return std::nullopt;
    }
    address.size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                           std::strlen(address.addr_.sun_path) + 1);
    return address;
}

}  // namespace parvane::ipc
