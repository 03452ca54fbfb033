// The master's CoE SDO client for one slave, through its mailbox (see
// MailboxTransport: the whole-window writes and reads, SM1's full bit, the
// repeat request for a lost reply, emergencies logged and skipped). Replies
// to other requests are skipped. Every wait is bounded by the call's timeout.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <stop_token>
#include <vector>

#include "master/exchange.h"
#include "master/mailbox_transport.h"

namespace parvane::master {

// What the master waits for after each request it sends.
enum class SdoStep : std::uint8_t {
    kDownload,         // initiate download (expedited or normal)
    kDownloadSegment,  // a download segment
    kUpload,           // initiate upload
    kUploadSegment,    // an upload segment
};

enum class SdoReplyKind : std::uint8_t {
    kOther,            // not an answer to this request: skip it and keep waiting
    kDownloadDone,     // initiate download response, or a segment's response
    kUploadExpedited,  // data holds 1 to 4 bytes
    kUploadNormal,     // data holds the first bytes, size the whole size
    kUploadSegment,    // data holds the segment, last tells if more follow
    kAbort,            // abortCode
    kMailboxError,     // mailboxError
    kMalformed,        // an SDO response for this request that breaks the protocol
};

// A reply as read from SM1, its data pointing into the window it was read
// from. Reads every length against the window; never reads outside it.
struct SdoReply {
    SdoReplyKind kind = SdoReplyKind::kOther;
    std::uint8_t counter = 0;
    std::uint32_t abortCode = 0;
    std::uint16_t mailboxError = 0;
    std::uint32_t size = 0;  // kUploadNormal: the size the slave announces
    bool toggle = false;     // segments
    bool last = false;       // kUploadSegment
    std::span<const std::uint8_t> data;
};

SdoReply ParseSdoReply(std::span<const std::uint8_t> window, SdoStep step, std::uint16_t index,
                       std::uint8_t subIndex);

class CoeClient {
  public:
    // `exchange` must outlive the client, which has a mailbox of its own.
    CoeClient(Exchange& exchange, MailboxWindows windows);
    // Through a slave's mailbox shared with its other clients; `mailbox`
    // must outlive the client.
    explicit CoeClient(MailboxTransport& mailbox);
    ~CoeClient();

    // The error of a transfer: kNoMailbox, kNoReply, kMailboxFull, kTimeout,
    // kAbort and kMailboxError (with the slave's code), kUnexpected,
    // kDataTooLarge or kCancelled.
    //
    // Writes `data` to the object: expedited for 1 to 4 bytes, else normal
    // (in segments when it does not fit SM0); complete access writes the
    // whole object from `subIndex` (0 or 1) on.
    std::expected<void, Error> Download(std::uint16_t index, std::uint8_t subIndex,
                                        bool completeAccess, std::span<const std::uint8_t> data,
                                        std::chrono::milliseconds timeout, std::stop_token stop);

    // Reads the object into `out` and returns the number of bytes read.
    std::expected<std::size_t, Error> Upload(std::uint16_t index, std::uint8_t subIndex,
                                             bool completeAccess, std::span<std::uint8_t> out,
                                             std::chrono::milliseconds timeout,
                                             std::stop_token stop);

    const MailboxWindows& windows() const { return mailbox_.windows(); }

  private:
    using Deadline = MailboxTransport::Deadline;

    // Sends the CoE message already written into the mailbox's payload
    // (`length` bytes of CoE header and SDO part).
    std::expected<void, Error> Send(std::size_t length, Deadline deadline,
                                    const std::stop_token& stop);
    // Waits for the reply to `step` and returns it (its data points into the
    // mailbox's receive window).
    std::expected<SdoReply, Error> Receive(SdoStep step, std::uint16_t index, std::uint8_t subIndex,
                                           Deadline deadline, const std::stop_token& stop);
    // What every SDO transfer checks first: windows large enough for an SDO
    // message, no reply left over; then its deadline.
    std::expected<Deadline, Error> BeginTransfer(std::chrono::milliseconds timeout);

    std::unique_ptr<MailboxTransport> own_;
    MailboxTransport& mailbox_;
};

// The default wait for an SDO whose ENI command gives no timeout (0).
inline constexpr std::chrono::milliseconds kDefaultSdoTimeout{1000};

}  // namespace parvane::master
