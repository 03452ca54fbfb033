// One connection of the client library to the master driver: connect, then
// request/reply calls, each bounded by a deadline (a reply is waited for in a
// blocking receive whose timeout never reaches past it). Nothing here blocks beyond
// the deadline it is given, and a broken connection never raises SIGPIPE.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/unique_fd.h"
#include "ipc/protocol.h"
#include "ipc/socket_address.h"

namespace parvane::client {

using Clock = std::chrono::steady_clock;

enum class Outcome {
    kOk,
    kRefused,   // nobody listens at the address (no socket file, connection refused)
    kTimeout,   // the deadline passed
    kLost,      // the connection broke (now or earlier)
    kProtocol,  // the peer sent something that is not a reply
};

class Connection {
  public:
    // Connects to the address, retrying while the driver's backlog is full.
    Outcome Connect(const parvane::ipc::SocketAddress& address, Clock::time_point deadline);

    // Sends the request (its seq is set here) and waits for the reply with
    // the same op and seq. Replies with another seq are late answers to
    // earlier calls that ran out of time, and are skipped.
    Outcome Call(parvane::ipc::Request request, Clock::time_point deadline,
                 parvane::ipc::Reply& reply);

  private:
    Outcome Send(const parvane::ipc::Request& request, Clock::time_point deadline);
    Outcome Receive(const parvane::ipc::Request& request, Clock::time_point deadline,
                    parvane::ipc::Reply& reply);
    // Sets the socket's receive timeout no longer than what is left until
    // the deadline (only when the one set is longer); false when the
    // deadline has passed or the timeout cannot be set.
    bool BoundReceive(Clock::time_point deadline);
    Outcome Break() {
        broken_ = true;
        return Outcome::kLost;
    }

    parvane::common::UniqueFd fd_;
    std::uint32_t seq_ = 0;
    std::chrono::microseconds receiveTimeout_{0};  // 0: not set, recv() would wait for ever
    bool broken_ = false;
};

}  // namespace parvane::client
