// The driver's IPC endpoint: a SOCK_SEQPACKET Unix-domain socket in the
// driver's process folder, served by a single-threaded poll() loop. Only
// peers of the driver's own user are accepted.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/master_service.h"
#include "master/socket_address.h"
#include "master/unique_fd.h"

namespace driver {

class IpcServer {
  public:
    // Binds and listens at `name` inside `folder` (a stale socket file of an
    // earlier driver is replaced). Null with `error` set on failure.
    static std::unique_ptr<IpcServer> Open(const std::filesystem::path& folder, const char* name,
                                           std::string& error);
    // Takes over a socket already listening at the address.
    IpcServer(masterproto::SocketAddress address, masterproto::UniqueFd listener)
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
        masterproto::UniqueFd fd;
        ConnectionState state;
    };

    void Accept();
    // False when the client is to be dropped.
    bool Receive(MasterService& service, Client& client);

    masterproto::SocketAddress address_;
    masterproto::UniqueFd listener_;
    std::vector<Client> clients_;
};

}  // namespace driver
