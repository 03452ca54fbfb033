#include "client/connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace parvane::client {
namespace {

// How long a reply is polled for before the receive blocks: the driver
// answers most calls within this, and a reply taken while still awake spares
// the wake-up a blocking receive costs on its way back.
constexpr std::chrono::microseconds kPollFor{100};

// Milliseconds left until the deadline, for poll(); 0 once it has passed.
int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits for the event; false when the deadline passed first.
bool WaitFor(int fd, short events, Clock::time_point deadline, short& revents) {
    for (;;) {
        pollfd p{fd, events, 0};
        int left = MsLeft(deadline);
        int n = ::poll(&p, 1, left);
        if (n > 0) {
            revents = p.revents;
            return true;
        }
        if (n == 0 || (n < 0 && errno != EINTR))
            return false;
        if (left == 0)
            return false;
    }
}

}  // namespace

Outcome Connection::Connect(const parvane::ipc::SocketAddress& address,
                            Clock::time_point deadline) {
    for (;;) {
        fd_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd_.valid())
            return Outcome::kRefused;
        if (::connect(fd_.get(), address.addr(), address.size()) == 0) {
            // Replies are waited for in recv() itself, bounded by the
            // socket's receive timeout: a call then costs a send and a
            // receive, as few system calls as a round trip can take.
            const int flags = ::fcntl(fd_.get(), F_GETFL);
            if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
                return Outcome::kRefused;
            receiveTimeout_ = {};
            return Outcome::kOk;
        }
        int error = errno;
        fd_.reset();
        // A full backlog: the driver is busy but alive; try again shortly.
        if (error != EAGAIN && error != EINTR)
            return Outcome::kRefused;
        if (Clock::now() >= deadline)
            return Outcome::kTimeout;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

Outcome Connection::Call(parvane::ipc::Request request, Clock::time_point deadline,
                         parvane::ipc::Reply& reply) {
    if (broken_ || !fd_.valid())
        return Outcome::kLost;
    request.seq = ++seq_;
    Outcome sent = Send(request, deadline);
    if (sent != Outcome::kOk)
        return sent;
    return Receive(request, deadline, reply);
}

Outcome Connection::Send(const parvane::ipc::Request& request, Clock::time_point deadline) {
    auto bytes = parvane::ipc::EncodeRequest(request);
    for (;;) {
        ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(bytes.size()))
            return Outcome::kOk;
        if (n >= 0)
            return Break();  // a datagram socket never sends part of a message
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return Break();
        short revents = 0;
        if (!WaitFor(fd_.get(), POLLOUT, deadline, revents))
            return Outcome::kTimeout;
        if (revents & (POLLERR | POLLHUP))
            return Break();
    }
}

bool Connection::BoundReceive(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return false;
    if (receiveTimeout_.count() > 0 && receiveTimeout_ <= left)
        return true;
    // A little less than what is left, so that the next calls, each with a
    // fresh bound, find it short enough and need not set it again.
    const auto timeout = std::max(left - left / 16, std::chrono::microseconds(1));
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return false;
    receiveTimeout_ = timeout;
    return true;
}

Outcome Connection::Receive(const parvane::ipc::Request& request, Clock::time_point deadline,
                            parvane::ipc::Reply& reply) {
    // Polled first, yielding the CPU between polls (the driver may wait for
    // this very CPU), then received with the socket's bound.
    const auto pollUntil = std::min(Clock::now() + kPollFor, deadline);
    for (;;) {
        const bool polling = Clock::now() < pollUntil;
        if (!polling && !BoundReceive(deadline))
            return Outcome::kTimeout;
        std::uint8_t buffer[64];
        ssize_t n =
            ::recv(fd_.get(), buffer, sizeof buffer, MSG_TRUNC | (polling ? MSG_DONTWAIT : 0));
        if (n < 0 && polling && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            sched_yield();
            continue;
        }
        if (n == 0)
            return Break();  // the driver closed its end
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;  // the receive timeout ran out: the deadline decides
            return Break();
        }
        if (static_cast<std::size_t>(n) > sizeof buffer)
            return Outcome::kProtocol;
        auto decoded = parvane::ipc::DecodeReply({buffer, static_cast<std::size_t>(n)});
        if (!decoded)
            return Outcome::kProtocol;
        if (decoded->seq != request.seq)
            continue;  // a late answer to an earlier call
        if (decoded->op != static_cast<std::uint32_t>(request.op))
            return Outcome::kProtocol;
        reply = *decoded;
        return Outcome::kOk;
    }
}

}  // namespace parvane::client
