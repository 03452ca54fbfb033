#include "driver/ipc_server.h"

#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>

#include "driver/log.h"

namespace parvane::driver {
namespace {

// Connections that have not (successfully) opened yet; the opened ones are
// bounded by the openings allowed.
constexpr std::size_t kSparePending = 16;
// After a reply, the same connection is polled this long for its next
// request (a caller that asks again at once is then served without a
// wake-up), for at most kBurst requests before the others get their turn.
constexpr std::chrono::microseconds kPollFor{100};
constexpr int kBurst = 64;

}  // namespace

std::expected<std::unique_ptr<IpcServer>, Error> IpcServer::Open(
    const std::filesystem::path& folder, const char* name) {
    const std::string where = (folder / name).string();
    auto address = ipc::SocketAddress::In(folder, name);
    if (!address)
        return std::unexpected(Error{"cannot address a socket in " + folder.string(), where});
    common::UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.valid())
        return std::unexpected(Error{std::string("socket: ") + std::strerror(errno), where});
    ::unlink(address->path());
    if (::bind(listener.get(), address->addr(), address->size()) != 0 ||
        ::listen(listener.get(), 64) != 0) {
        return std::unexpected(
            Error{"cannot listen at " + where + ": " + std::strerror(errno), where});
    }
    return std::make_unique<IpcServer>(std::move(*address), std::move(listener));
}

IpcServer::~IpcServer() {
    clients_.clear();
    listener_.reset();
    ::unlink(address_.path());
}

void IpcServer::Serve(MasterService& service, int stopFd, const std::function<bool()>& stillWanted,
                      std::chrono::milliseconds period) {
    // epoll keeps the descriptors registered between waits: a wait costs
    // one system call whatever the number of connections.
    common::UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll.valid()) {
        Log("epoll_create1 failed: %s", std::strerror(errno));
        return;
    }
    epoll_ = epoll.get();
    bool watched = Watch(stopFd) && Watch(listener_.get());
    for (const Client& client : clients_)
        watched = watched && Watch(client.fd.get());
    if (!watched) {
        Log("epoll_ctl failed: %s", std::strerror(errno));
        return;
    }
    const int timeoutMs = stillWanted ? static_cast<int>(period.count()) : -1;
    auto nextAsk = std::chrono::steady_clock::now() + period;
    epoll_event events[16];
    for (;;) {
        if (stillWanted && std::chrono::steady_clock::now() >= nextAsk) {
            if (!stillWanted())
                return;
            nextAsk = std::chrono::steady_clock::now() + period;
        }
        const int n = ::epoll_wait(epoll.get(), events, std::size(events), timeoutMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Log("epoll_wait failed: %s", std::strerror(errno));
            return;
        }
        bool accept = false;
        for (int e = 0; e < n; ++e) {
            if (events[e].data.fd == stopFd)
                return;
            accept = accept || events[e].data.fd == listener_.get();
        }
        // Clients first (a descriptor closed meanwhile finds no client),
        // then new connections.
        for (int e = 0; e < n; ++e) {
            const int fd = events[e].data.fd;
            auto client = std::find_if(clients_.begin(), clients_.end(),
                                       [fd](const Client& c) { return c.fd.get() == fd; });
            if (client == clients_.end())
                continue;
            if (!Receive(service, *client) || !KeepServing(service, *client)) {
                service.Disconnected(client->state);
                clients_.erase(client);  // closing it leaves the epoll set too
            }
        }
        if (accept)
            Accept();
    }
}

bool IpcServer::Watch(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
}

void IpcServer::Accept() {
    for (;;) {
        parvane::common::UniqueFd fd(
            ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN)
                Log("accept failed: %s", std::strerror(errno));
            return;
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::geteuid()) {
            Log("connection from pid %d uid %u refused: not this driver's user", peer.pid,
                peer.uid);
            continue;
        }
        std::size_t pending = 0;
        for (const Client& client : clients_)
            pending += client.state.opened ? 0 : 1;
        if (pending >= kSparePending) {
            // The oldest connection that has not opened goes, not the new
            // one: idle connections must not lock every other client out. A
            // real client opens at once, so it is never the oldest.
            auto oldest = std::find_if(clients_.begin(), clients_.end(),
                                       [](const Client& client) { return !client.state.opened; });
            Log("too many connections that have not opened; the oldest is dropped for pid %d",
                peer.pid);
            clients_.erase(oldest);
        }
        if (!Watch(fd.get())) {
            Log("epoll_ctl failed: %s; connection from pid %d dropped", std::strerror(errno),
                peer.pid);
            continue;
        }
        clients_.push_back({std::move(fd), {}});
    }
}

bool IpcServer::KeepServing(MasterService& service, Client& client) {
    for (int served = 0; served < kBurst; ++served) {
        const auto until = std::chrono::steady_clock::now() + kPollFor;
        for (;;) {
            std::uint8_t probe = 0;
            const ssize_t n = ::recv(client.fd.get(), &probe, 1, MSG_DONTWAIT | MSG_PEEK);
            if (n == 0)
                return false;  // closed
            if (n > 0)
                break;  // the next request
            // Nothing yet (or a failure, which the next readiness reports).
            if ((errno != EAGAIN && errno != EINTR) || std::chrono::steady_clock::now() >= until)
                return true;
            sched_yield();  // the caller may wait for this very CPU
        }
        if (!Receive(service, client))
            return false;
    }
    return true;
}

bool IpcServer::Receive(MasterService& service, Client& client) {
    // One message per readiness: poll() reports the connection again while
    // more are queued, so a caller waiting for its reply costs one receive
    // and one send here, and a busy connection takes its turn among the
    // others.
    std::uint8_t buffer[64];
    ssize_t size = ::recv(client.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
    if (size == 0)
        return false;
    if (size < 0)
        return errno == EAGAIN || errno == EINTR;
    std::size_t length = std::min(static_cast<std::size_t>(size), sizeof buffer);
    auto decoded = parvane::ipc::DecodeRequest({buffer, length});
    if (static_cast<std::size_t>(size) > sizeof buffer)
        decoded.request.reset();
    Answer answer = service.Handle(client.state, decoded);
    if (answer.reply) {
        auto bytes = parvane::ipc::EncodeReply(*answer.reply);
        if (::send(client.fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
            static_cast<ssize_t>(bytes.size())) {
            Log("reply not delivered (%s); connection dropped", std::strerror(errno));
            return false;
        }
    }
    return !answer.close;
}

}  // namespace parvane::driver
