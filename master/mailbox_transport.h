// The mailbox of one slave as the master uses it, whatever the protocol: a
// message goes into SM0 as one write of the whole window (resent while the
// slave has not taken the previous one), a reply is awaited through SM1's
// mailbox-full bit (0x080D bit 3) and read as one whole window. A reply lost
// on the way back is asked for again with SM1's repeat request (0x080E bit
// 1, acknowledged in 0x080F bit 1) instead of being waited for in vain. A
// message read twice is taken once; CoE emergencies, which a slave posts
// unasked (also in the middle of a transfer), are logged once with their
// code and skipped. Every wait is bounded by the caller's deadline. The CoE,
// SoE and EoE clients of one slave share one transport, so that its
// counter runs on across protocols.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "ecat/mailbox.h"
#include "master/exchange.h"

namespace parvane::master {

// The mailbox of one slave as the ENI configures it.
struct MailboxWindows {
    std::uint16_t station = 0;    // configured station address
    std::uint16_t sendStart = 0;  // SM0, master -> slave
    std::uint16_t sendLength = 0;
    std::uint16_t recvStart = 0;  // SM1, slave -> master
    std::uint16_t recvLength = 0;
};

// A message as read from SM1: its header and its payload inside the window.
struct MailboxMessage {
    ecat::MailboxHeader header;
    std::span<const std::uint8_t> payload;
};

// Nothing when the window is shorter than a header or the header's length
// runs past the window.
std::optional<MailboxMessage> SplitMessage(std::span<const std::uint8_t> window);

class MailboxTransport {
  public:
    using Clock = std::chrono::steady_clock;
    using Deadline = Clock::time_point;

    // `exchange` must outlive the transport. The buffers for one whole
    // window each way are allocated here, once.
    MailboxTransport(Exchange& exchange, MailboxWindows windows);

    // What the log calls the slave ("station 1001" unless set).
    void SetLabel(std::string label) { label_ = std::move(label); }

    // What every transfer does first: checks that both windows hold a
    // header and `minPayload` bytes and fit a datagram (else kNoMailbox),
    // drops a reply left over; returns the transfer's deadline (`timeout`,
    // or `fallback` when it is 0).
    std::expected<Deadline, Error> Begin(std::size_t minPayload, std::chrono::milliseconds timeout,
                                         std::chrono::milliseconds fallback);

    // Where the next message's payload goes: the SM0 window after the header.
    std::span<std::uint8_t> payload();

    // Sends the `length` payload bytes already written into payload() as a
    // message of `type`. Errors: kMailboxFull, kNoReply, kDataTooLarge,
    // kCancelled.
    std::expected<void, Error> Send(ecat::MailboxType type, std::size_t length, Deadline deadline,
                                    const std::stop_token& stop);

    // Waits for the next message and returns the whole SM1 window holding it
    // (valid until the next call). Errors: kTimeout, kCancelled, kNoReply,
    // kDataTooLarge.
    std::expected<std::span<const std::uint8_t>, Error> Receive(Deadline deadline,
                                                                const std::stop_token& stop);

    const MailboxWindows& windows() const { return windows_; }
    std::size_t emergencies() const { return emergencies_; }
    std::size_t repeats() const { return repeats_; }

  private:
    std::expected<bool, Error> MailboxFull(std::uint16_t statusRegister);
    std::expected<bool, Error> ReadWindow(Deadline deadline, const std::stop_token& stop);
    std::expected<void, Error> RepeatRequest(Deadline deadline, const std::stop_token& stop);
    std::expected<void, Error> DiscardStaleReply();
    // A message read before (same counter, same bytes): a resend.
    bool SeenBefore(const MailboxMessage& message);
    // A CoE emergency: logged, and true.
    bool TakeEmergency(const MailboxMessage& message);

    Exchange& exchange_;
    MailboxWindows windows_;
    std::string label_;
    std::uint8_t counter_ = 0;
    std::vector<std::uint8_t> out_;
    std::vector<std::uint8_t> in_;
    std::vector<std::uint8_t> scratch_;  // what a write sends (its reply lands here)
    std::vector<std::uint8_t> last_;     // the last message taken, for SeenBefore
    std::size_t lastLength_ = 0;
    std::size_t emergencies_ = 0;
    std::size_t repeats_ = 0;
};

}  // namespace parvane::master
