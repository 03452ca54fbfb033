// The master's EoE client for one slave's mailbox: sends an EoE frame as
// the ENI gives it (from its EoE header on: a "set IP parameter" request,
// typically) and, for a request, waits for its response and checks the
// result the slave gives.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <stop_token>

#include "ecat/mailbox.h"
#include "master/mailbox_transport.h"

namespace parvane::master {

enum class EoeReplyKind : std::uint8_t {
    kOther,         // not the awaited response: skip it and keep waiting
    kResponse,      // result: the slave's; body: what follows the header
    kMailboxError,  // result: the mailbox error's code
    kMalformed,
};

struct EoeReply {
    EoeReplyKind kind = EoeReplyKind::kOther;
    std::uint16_t result = 0;
    std::span<const std::uint8_t> body;
};

// The response of type `expected` in an SM1 window, lengths read against it.
EoeReply ParseEoeReply(std::span<const std::uint8_t> window, ecat::EoeFrameType expected);

// The default wait for an EoE command whose ENI command gives no timeout.
inline constexpr std::chrono::milliseconds kDefaultEoeTimeout{3000};

class EoeClient {
  public:
    // `mailbox` must outlive the client.
    explicit EoeClient(MailboxTransport& mailbox) : mailbox_(mailbox) {}

    // Sends `frame` and, when its type is a request, waits for the response.
    // Errors: kEoeError (detail: the result), kMailboxError, kInvalidArgument
    // (shorter than an EoE header), kDataTooLarge (larger than SM0),
    // kTimeout, kNoMailbox, kMailboxFull, kNoReply, kCancelled.
    std::expected<void, Error> Run(std::span<const std::uint8_t> frame,
                                   std::chrono::milliseconds timeout, std::stop_token stop);

  private:
    MailboxTransport& mailbox_;
};

}  // namespace parvane::master
