// The driver's IPC endpoint: a SOCK_SEQPACKET Unix-domain socket in the
// driver's process folder, served by a single-threaded epoll loop. Only
// peers of the driver's own user are accepted.
#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "driver/error.h"
#include "driver/master_service.h"
#include "ipc/socket_address.h"

namespace parvane::driver {

class IpcServer {
  public:
    // Binds and listens at `name` inside `folder` (a stale socket file of an
    // earlier driver is replaced).
    static std::expected<std::unique_ptr<IpcServer>, Error> Open(
        const std::filesystem::path& folder, const char* name);
    // Takes over a socket already listening at the address.
    IpcServer(parvane::ipc::SocketAddress address, parvane::common::UniqueFd listener)
        : address_(std::move(address)), listener_(std::move(listener)) {}
    ~IpcServer();
    IpcServer(const IpcServer&) = delete;
    IpcServer& operator=(const IpcServer&) = delete;

    // Serves connections until `stopFd` becomes readable, or until
    // `stillWanted` (asked about every `period`, when given) says false.
    void Serve(MasterService& service, int stopFd, const std::function<bool()>& stillWanted = {},
               std::chrono::milliseconds period = std::chrono::milliseconds(200));

  private:
    struct Client {
        parvane::common::UniqueFd fd;
        ConnectionState state;
    };

    void Accept();
    // Adds the descriptor to the epoll set of the running Serve.
    bool Watch(int fd);
    // False when the client is to be dropped.
    bool Receive(MasterService& service, Client& client);
    // Serves the connection's next requests while they follow a reply at
    // once; false when it is to be dropped.
    bool KeepServing(MasterService& service, Client& client);

    parvane::ipc::SocketAddress address_;
    parvane::common::UniqueFd listener_;
    std::vector<Client> clients_;
    int epoll_ = -1;  // the running Serve's epoll set
};

}  // namespace parvane::driver
