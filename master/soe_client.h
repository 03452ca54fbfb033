// The master's SoE client for the drives behind one slave's mailbox: writes
// and reads of an IDN's elements. A write larger than SM0 goes in fragments
// (the incomplete bit set and the fragments still to come in place of the
// IDN on all but the last); a read answered in fragments is put together.
// An SoE error reply ends the transfer with its code.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <stop_token>

#include "ecat/mailbox.h"
#include "master/mailbox_transport.h"

namespace parvane::master {

enum class SoeReplyKind : std::uint8_t {
    kOther,         // not an answer to this request: skip it and keep waiting
    kDone,          // the response; data holds what it carries
    kError,         // the drive's error reply: code
    kMailboxError,  // code: the mailbox error's
    kMalformed,     // an SoE response for this request that breaks the protocol
};

struct SoeReply {
    SoeReplyKind kind = SoeReplyKind::kOther;
    std::uint16_t code = 0;
    bool incomplete = false;  // more fragments follow
    std::span<const std::uint8_t> data;
};

// The reply in an SM1 window to a request `op` (read or write request) of
// `idn` on drive `driveNo`. Reads every length against the window.
SoeReply ParseSoeReply(std::span<const std::uint8_t> window, ecat::SoeOpCode op,
                       std::uint8_t driveNo, std::uint16_t idn);

// The default wait for an SoE command whose ENI command gives no timeout.
inline constexpr std::chrono::milliseconds kDefaultSoeTimeout{1000};

class SoeClient {
  public:
    // `mailbox` must outlive the client.
    explicit SoeClient(MailboxTransport& mailbox) : mailbox_(mailbox) {}

    // Errors: kSoeError (detail: the code), kMailboxError, kUnexpected,
    // kTimeout, kNoMailbox, kMailboxFull, kNoReply, kCancelled.
    std::expected<void, Error> Write(std::uint8_t driveNo, std::uint16_t idn, std::uint8_t elements,
                                     std::span<const std::uint8_t> data,
                                     std::chrono::milliseconds timeout, std::stop_token stop);
    // Reads into `out`; the number of bytes read (kDataTooLarge when they
    // do not fit).
    std::expected<std::size_t, Error> Read(std::uint8_t driveNo, std::uint16_t idn,
                                           std::uint8_t elements, std::span<std::uint8_t> out,
                                           std::chrono::milliseconds timeout, std::stop_token stop);

  private:
    std::expected<SoeReply, Error> Receive(ecat::SoeOpCode op, std::uint8_t driveNo,
                                           std::uint16_t idn, MailboxTransport::Deadline deadline,
                                           const std::stop_token& stop);

    MailboxTransport& mailbox_;
};

}  // namespace parvane::master
