#include "master/coe_client.h"

#include <algorithm>

#include "ecat/byte_order.h"
#include "ecat/mailbox.h"

namespace parvane::master {
namespace {

// Header of an SDO message after the mailbox header: CoE header (2), command
// (1), index (2), subindex (1), then 4 bytes (data or size).
constexpr std::size_t kSdoMessage = ecat::kCoeHeaderSize + ecat::kSdoHeaderSize;  // 10
// A segment: CoE header, command byte, at least 7 data bytes.
constexpr std::size_t kSegmentHeader = ecat::kCoeHeaderSize + 1;
constexpr std::size_t kMinSegmentData = 7;

Error Fail(Errc code) {
    return Error{code, 0};
}

// What a reply other than the one awaited says: the slave's abort, a mailbox
// error, or nothing that belongs here.
Error Refused(const SdoReply& reply) {
    switch (reply.kind) {
        case SdoReplyKind::kAbort:
            return Error{Errc::kAbort, reply.abortCode};
        case SdoReplyKind::kMailboxError:
            return Error{Errc::kMailboxError, reply.mailboxError};
        default:
            return Fail(Errc::kUnexpected);
    }
}

// The response to `step` in a CoE SDO response (`sameObject`: it names the
// object of the request, where its size allows it to name one).
SdoReply ReadResponse(SdoReply reply, std::span<const std::uint8_t> payload, SdoStep step,
                      bool sameObject) {
    const std::uint8_t command = payload[2];
    const std::uint8_t specifier = command & ecat::sdo::kSpecifierMask;
    switch (step) {
        case SdoStep::kDownload:
            if (payload.size() < kSdoMessage || !sameObject)
                return reply;
            reply.kind = specifier == ecat::sdo::kDownloadResponse ? SdoReplyKind::kDownloadDone
                                                                   : SdoReplyKind::kMalformed;
            return reply;
        case SdoStep::kUpload:
            if (payload.size() < kSdoMessage || !sameObject)
                return reply;
            if (specifier != ecat::sdo::kUploadResponse) {
                reply.kind = SdoReplyKind::kMalformed;
                return reply;
            }
            if ((command & ecat::sdo::kExpedited) != 0) {
                std::size_t n = 4;
                if ((command & ecat::sdo::kSizeIndicated) != 0)
                    n = 4 - ((command & ecat::sdo::kUnusedMask) >> ecat::sdo::kUnusedShift);
                reply.kind = SdoReplyKind::kUploadExpedited;
                reply.data = payload.subspan(6, n);
                return reply;
            }
            if ((command & ecat::sdo::kSizeIndicated) == 0) {
                reply.kind = SdoReplyKind::kMalformed;
                return reply;
            }
            reply.kind = SdoReplyKind::kUploadNormal;
            reply.size = ecat::Get32(&payload[6]);
            reply.data = payload.subspan(kSdoMessage);
            return reply;
        case SdoStep::kDownloadSegment:
            if (specifier != ecat::sdo::kDownloadSegmentResponse) {
                reply.kind = SdoReplyKind::kMalformed;
                return reply;
            }
            reply.kind = SdoReplyKind::kDownloadDone;
            reply.toggle = (command & ecat::sdo::kToggle) != 0;
            return reply;
        case SdoStep::kUploadSegment: {
            if (specifier != ecat::sdo::kUploadSegmentResponse ||
                payload.size() < kSegmentHeader + kMinSegmentData) {
                reply.kind = SdoReplyKind::kMalformed;
                return reply;
            }
            reply.kind = SdoReplyKind::kUploadSegment;
            reply.toggle = (command & ecat::sdo::kToggle) != 0;
            reply.last = (command & ecat::sdo::kLastSegment) != 0;
            std::size_t n = payload.size() - kSegmentHeader;
            if (n == kMinSegmentData)
                n -= (command & ecat::sdo::kSegmentUnusedMask) >> 1;
            reply.data = payload.subspan(kSegmentHeader, n);
            return reply;
        }
    }
    return reply;
}

}  // namespace

SdoReply ParseSdoReply(std::span<const std::uint8_t> window, SdoStep step, std::uint16_t index,
                       std::uint8_t subIndex) {
    SdoReply reply;
    if (window.size() < ecat::kMailboxHeaderSize) {
        reply.kind = SdoReplyKind::kMalformed;
        return reply;
    }
    const auto header = ecat::MailboxHeader::Decode(window.first<ecat::kMailboxHeaderSize>());
    reply.counter = header.counter;
    if (header.length > window.size() - ecat::kMailboxHeaderSize) {
        reply.kind = SdoReplyKind::kMalformed;
        return reply;
    }
    const std::span<const std::uint8_t> payload =
        window.subspan(ecat::kMailboxHeaderSize, header.length);

    if (header.type == static_cast<std::uint8_t>(ecat::MailboxType::kError)) {
        if (payload.size() < 4) {
            reply.kind = SdoReplyKind::kMalformed;
            return reply;
        }
        reply.kind = SdoReplyKind::kMailboxError;
        reply.mailboxError = ecat::Get16(&payload[2]);
        return reply;
    }
    if (header.type != static_cast<std::uint8_t>(ecat::MailboxType::kCoe) ||
        payload.size() < ecat::kCoeHeaderSize)
        return reply;  // another protocol, or an empty CoE message: not ours

    const std::uint8_t service = ecat::CoeServiceOf(ecat::Get16(&payload[0]));
    if (service != static_cast<std::uint8_t>(ecat::CoeService::kSdoResponse) &&
        service != static_cast<std::uint8_t>(ecat::CoeService::kSdoRequest))
        return reply;  // emergencies, SDO information: skip
    if (payload.size() < ecat::kCoeHeaderSize + 1)
        return reply;
    const std::uint8_t command = payload[2];
    const std::uint8_t specifier = command & ecat::sdo::kSpecifierMask;
    const bool initiateStep = step == SdoStep::kDownload || step == SdoStep::kUpload;

    // Initiate responses and aborts name the object; a response naming
    // another object answers someone else's request.
    bool sameObject = false;
    if (payload.size() >= kSdoMessage)
        sameObject = ecat::Get16(&payload[3]) == index && payload[5] == subIndex;

    if (specifier == ecat::sdo::kAbort) {
        if (payload.size() < kSdoMessage)
            return reply;
        if (!sameObject && initiateStep)
            return reply;
        if (!initiateStep && ecat::Get16(&payload[3]) != index)
            return reply;
        reply.kind = SdoReplyKind::kAbort;
        reply.abortCode = ecat::Get32(&payload[6]);
        return reply;
    }
    if (service != static_cast<std::uint8_t>(ecat::CoeService::kSdoResponse))
        return reply;  // a request from the slave that is not an abort

    return ReadResponse(reply, payload, step, sameObject);
}

CoeClient::CoeClient(Exchange& exchange, MailboxWindows windows)
    : own_(std::make_unique<MailboxTransport>(exchange, windows)), mailbox_(*own_) {}

CoeClient::CoeClient(MailboxTransport& mailbox) : mailbox_(mailbox) {}

CoeClient::~CoeClient() = default;

std::expected<void, Error> CoeClient::Send(std::size_t length, Deadline deadline,
                                           const std::stop_token& stop) {
    return mailbox_.Send(ecat::MailboxType::kCoe, length, deadline, stop);
}

std::expected<SdoReply, Error> CoeClient::Receive(SdoStep step, std::uint16_t index,
                                                  std::uint8_t subIndex, Deadline deadline,
                                                  const std::stop_token& stop) {
    for (;;) {
        const auto window = mailbox_.Receive(deadline, stop);
        if (!window)
            return std::unexpected(window.error());
        const SdoReply reply = ParseSdoReply(*window, step, index, subIndex);
        if (reply.kind != SdoReplyKind::kOther)
            return reply;
        // someone else's reply: look again
    }
}

std::expected<CoeClient::Deadline, Error> CoeClient::BeginTransfer(
    std::chrono::milliseconds timeout) {
    return mailbox_.Begin(kSdoMessage, timeout, kDefaultSdoTimeout);
}

std::expected<void, Error> CoeClient::Download(std::uint16_t index, std::uint8_t subIndex,
                                               bool completeAccess,
                                               std::span<const std::uint8_t> data,
                                               std::chrono::milliseconds timeout,
                                               std::stop_token stop) {
    if (data.size() > 0xFFFFFFFFu)
        return std::unexpected(Fail(Errc::kDataTooLarge));
    const auto begun = BeginTransfer(timeout);
    if (!begun)
        return std::unexpected(begun.error());
    const Deadline deadline = *begun;

    const std::span<std::uint8_t> payload = mailbox_.payload();
    std::uint8_t* const message = payload.data();
    ecat::Put16(&message[0], ecat::CoeHeader(ecat::CoeService::kSdoRequest));
    ecat::Put16(&message[3], index);
    message[5] = subIndex;

    const std::size_t room = payload.size() - kSdoMessage;
    std::size_t sent = 0;
    if (!completeAccess && !data.empty() && data.size() <= 4) {
        message[2] = ecat::sdo::ExpeditedDownload(data.size());
        std::fill(&message[6], &message[10], 0);
        std::copy(data.begin(), data.end(), &message[6]);
        if (auto s = Send(kSdoMessage, deadline, stop); !s)
            return std::unexpected(s.error());
        sent = data.size();
    } else {
        message[2] = ecat::sdo::kDownloadRequest | ecat::sdo::kSizeIndicated |
                     (completeAccess ? ecat::sdo::kCompleteAccess : 0);
        ecat::Put32(&message[6], static_cast<std::uint32_t>(data.size()));
        sent = std::min(room, data.size());
        std::copy_n(data.begin(), sent, &message[kSdoMessage]);
        if (auto s = Send(kSdoMessage + sent, deadline, stop); !s)
            return std::unexpected(s.error());
    }
    auto reply = Receive(SdoStep::kDownload, index, subIndex, deadline, stop);
    if (!reply)
        return std::unexpected(reply.error());

    bool toggle = false;
    for (;;) {
        if (reply->kind != SdoReplyKind::kDownloadDone)
            return std::unexpected(Refused(*reply));
        if (sent >= data.size())
            return {};
        // The rest in segments, each as large as SM0 allows.
        const std::size_t segmentRoom = payload.size() - kSegmentHeader;
        const std::size_t n = std::min(segmentRoom, data.size() - sent);
        const bool last = sent + n == data.size();
        std::uint8_t command = toggle ? ecat::sdo::kToggle : 0;
        if (last)
            command |= ecat::sdo::kLastSegment;
        if (n < kMinSegmentData)
            command |= static_cast<std::uint8_t>((kMinSegmentData - n) << 1);
        message[2] = command;
        std::fill(&message[kSegmentHeader], &message[kSegmentHeader + kMinSegmentData], 0);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(sent), n, &message[kSegmentHeader]);
        if (auto s = Send(kSegmentHeader + std::max(n, kMinSegmentData), deadline, stop); !s)
            return std::unexpected(s.error());
        sent += n;
        reply = Receive(SdoStep::kDownloadSegment, index, subIndex, deadline, stop);
        if (!reply)
            return std::unexpected(reply.error());
        if (reply->kind == SdoReplyKind::kDownloadDone && reply->toggle != toggle)
            return std::unexpected(Fail(Errc::kUnexpected));
        toggle = !toggle;
    }
}

std::expected<std::size_t, Error> CoeClient::Upload(std::uint16_t index, std::uint8_t subIndex,
                                                    bool completeAccess,
                                                    std::span<std::uint8_t> out,
                                                    std::chrono::milliseconds timeout,
                                                    std::stop_token stop) {
    const auto begun = BeginTransfer(timeout);
    if (!begun)
        return std::unexpected(begun.error());
    const Deadline deadline = *begun;

    const std::span<std::uint8_t> payload = mailbox_.payload();
    std::uint8_t* const message = payload.data();
    ecat::Put16(&message[0], ecat::CoeHeader(ecat::CoeService::kSdoRequest));
    message[2] = ecat::sdo::kUploadRequest | (completeAccess ? ecat::sdo::kCompleteAccess : 0);
    ecat::Put16(&message[3], index);
    message[5] = subIndex;
    std::fill(&message[6], &message[10], 0);
    if (auto s = Send(kSdoMessage, deadline, stop); !s)
        return std::unexpected(s.error());
    auto reply = Receive(SdoStep::kUpload, index, subIndex, deadline, stop);
    if (!reply)
        return std::unexpected(reply.error());

    switch (reply->kind) {
        case SdoReplyKind::kUploadExpedited:
            if (reply->data.size() > out.size())
                return std::unexpected(Fail(Errc::kDataTooLarge));
            std::copy(reply->data.begin(), reply->data.end(), out.begin());
            return reply->data.size();
        case SdoReplyKind::kUploadNormal:
            break;
        default:
            return std::unexpected(Refused(*reply));
    }

    const std::uint32_t size = reply->size;
    if (size > out.size())
        return std::unexpected(Fail(Errc::kDataTooLarge));
    std::size_t got = std::min<std::size_t>(reply->data.size(), size);
    std::copy_n(reply->data.begin(), got, out.begin());
    bool toggle = false;
    while (got < size) {
        message[2] = ecat::sdo::kUploadSegmentRequest | (toggle ? ecat::sdo::kToggle : 0);
        std::fill(&message[3], &message[10], 0);
        if (auto s = Send(kSdoMessage, deadline, stop); !s)
            return std::unexpected(s.error());
        reply = Receive(SdoStep::kUploadSegment, index, subIndex, deadline, stop);
        if (!reply)
            return std::unexpected(reply.error());
        if (reply->kind != SdoReplyKind::kUploadSegment)
            return std::unexpected(Refused(*reply));
        if (reply->toggle != toggle)
            return std::unexpected(Fail(Errc::kUnexpected));
        if (reply->data.size() > size - got)
            return std::unexpected(Fail(Errc::kUnexpected));
        std::copy(reply->data.begin(), reply->data.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(got));
        got += reply->data.size();
        if (reply->last)
            break;
        toggle = !toggle;
    }
    if (got != size)
        return std::unexpected(Fail(Errc::kUnexpected));
    return got;
}

}  // namespace parvane::master
