#include "master/coe_client.h"

#include <algorithm>
#include <thread>

#include "ecat/byte_order.h"
#include "ecat/mailbox.h"
#include "ecat/registers.h"

namespace parvane::master {
namespace {

using Clock = std::chrono::steady_clock;

// Header of an SDO message after the mailbox header: CoE header (2), command
// (1), index (2), subindex (1), then 4 bytes (data or size).
constexpr std::size_t kSdoMessage = ecat::kCoeHeaderSize + ecat::kSdoHeaderSize;  // 10
constexpr std::size_t kMinWindow = ecat::kMailboxHeaderSize + kSdoMessage;        // 16
// A segment: CoE header, command byte, at least 7 data bytes.
constexpr std::size_t kSegmentHeader = ecat::kCoeHeaderSize + 1;
constexpr std::size_t kMinSegmentData = 7;
// Between reads of the mailbox status while waiting for a reply.
constexpr auto kPollInterval = std::chrono::microseconds(500);

bool Pause(Clock::time_point deadline, const std::stop_token& stop) {
    if (stop.stop_requested())
        return false;
    std::this_thread::sleep_until(std::min(deadline, Clock::now() + kPollInterval));
    return !stop.stop_requested();
}

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

Error FromExchange(const Error& error) {
    return Fail(error == Errc::kTooLarge ? Errc::kDataTooLarge : Errc::kNoReply);
}

Error Expired(const std::stop_token& stop) {
    return Fail(stop.stop_requested() ? Errc::kCancelled : Errc::kTimeout);
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
    : exchange_(exchange),
      windows_(windows),
      out_(std::min<std::size_t>(windows.sendLength, ecat::kMaxDatagramData)),
      in_(std::min<std::size_t>(windows.recvLength, ecat::kMaxDatagramData)),
      scratch_(out_.size()) {}

std::expected<bool, Error> CoeClient::MailboxFull(std::uint16_t statusRegister) {
    std::uint8_t status = 0;
    const auto wkc = exchange_.Transact(ecat::Command::kFprd,
                                        ecat::MakeAddress(windows_.station, statusRegister),
                                        std::span<std::uint8_t>(&status, 1));
    if (!wkc)
        return std::unexpected(FromExchange(wkc.error()));
    if (*wkc != 1)
        return std::unexpected(Fail(Errc::kNoReply));
    return (status & ecat::SmEntry::kStatusMailboxFull) != 0;
}

std::expected<void, Error> CoeClient::DiscardStaleReply() {
    const auto full = MailboxFull(ecat::reg::SmStatus(1));
    if (!full)
        return std::unexpected(full.error());
    if (*full) {
        const auto wkc = exchange_.Transact(
            ecat::Command::kFprd, ecat::MakeAddress(windows_.station, windows_.recvStart), in_);
        if (!wkc)
            return std::unexpected(FromExchange(wkc.error()));
    }
    return {};
}

std::expected<void, Error> CoeClient::Send(std::size_t length, Deadline deadline,
                                           const std::stop_token& stop) {
    counter_ = ecat::NextMailboxCounter(counter_);
    ecat::MailboxHeader header;
    header.length = static_cast<std::uint16_t>(length);
    header.type = static_cast<std::uint8_t>(ecat::MailboxType::kCoe);
    header.counter = counter_;
    header.Encode(
        std::span<std::uint8_t, ecat::kMailboxHeaderSize>(out_.data(), ecat::kMailboxHeaderSize));
    std::fill(out_.begin() + static_cast<std::ptrdiff_t>(ecat::kMailboxHeaderSize + length),
              out_.end(), 0);

    for (;;) {
        // The reply to a write carries the bytes back; send from a copy so
        // a resend never carries what came back.
        std::copy(out_.begin(), out_.end(), scratch_.begin());
        const auto wkc =
            exchange_.Transact(ecat::Command::kFpwr,
                               ecat::MakeAddress(windows_.station, windows_.sendStart), scratch_);
        if (!wkc)
            return std::unexpected(FromExchange(wkc.error()));
        if (*wkc == 1)
            return {};
        // SM0 still holds an earlier message: wait until the slave takes it.
        for (;;) {
            const auto full = MailboxFull(ecat::reg::SmStatus(0));
            if (!full)
                return std::unexpected(full.error());
            if (!*full)
                break;
            if (Clock::now() >= deadline || !Pause(deadline, stop)) {
                if (stop.stop_requested())
                    return std::unexpected(Fail(Errc::kCancelled));
                return std::unexpected(Fail(Errc::kMailboxFull));
            }
        }
    }
}

std::expected<void, Error> CoeClient::RepeatRequest(Deadline deadline,
                                                    const std::stop_token& stop) {
    const std::uint32_t activate = ecat::MakeAddress(windows_.station, ecat::reg::SmActivate(1));
    std::uint8_t value = 0;
    auto wkc =
        exchange_.Transact(ecat::Command::kFprd, activate, std::span<std::uint8_t>(&value, 1));
    if (!wkc)
        return std::unexpected(FromExchange(wkc.error()));
    if (*wkc != 1)
        return std::unexpected(Fail(Errc::kNoReply));
    const std::uint8_t toggled = value ^ ecat::SmEntry::kActivateRepeat;
    const bool wanted = (toggled & ecat::SmEntry::kActivateRepeat) != 0;
    value = toggled;
    wkc = exchange_.Transact(ecat::Command::kFpwr, activate, std::span<std::uint8_t>(&value, 1));
    if (!wkc)
        return std::unexpected(FromExchange(wkc.error()));
    const std::uint32_t pdi = ecat::MakeAddress(windows_.station, ecat::reg::SmPdiControl(1));
    for (;;) {
        std::uint8_t ack = 0;
        wkc = exchange_.Transact(ecat::Command::kFprd, pdi, std::span<std::uint8_t>(&ack, 1));
        if (!wkc)
            return std::unexpected(FromExchange(wkc.error()));
        if (*wkc == 1 && ((ack & ecat::SmEntry::kPdiRepeatAck) != 0) == wanted)
            return {};
        if (Clock::now() >= deadline || !Pause(deadline, stop))
            return std::unexpected(Expired(stop));
    }
}

std::expected<bool, Error> CoeClient::ReadWindow(Deadline deadline, const std::stop_token& stop) {
    const auto wkc = exchange_.Transact(
        ecat::Command::kFprd, ecat::MakeAddress(windows_.station, windows_.recvStart), in_);
    if (wkc && *wkc == 1)
        return true;
    if (!wkc && wkc.error() == Errc::kTooLarge)
        return std::unexpected(Fail(Errc::kDataTooLarge));
    // The read emptied the mailbox but its reply never came back (or came
    // back empty after a resend): ask the slave to post it again.
    const auto repeated = RepeatRequest(deadline, stop);
    if (!repeated)
        return std::unexpected(repeated.error());
    return false;
}

std::expected<SdoReply, Error> CoeClient::Receive(SdoStep step, std::uint16_t index,
                                                  std::uint8_t subIndex, Deadline deadline,
                                                  const std::stop_token& stop) {
    for (;;) {
        const auto full = MailboxFull(ecat::reg::SmStatus(1));
        if (!full && full.error() != Errc::kNoReply)
            return std::unexpected(full.error());
        if (full && *full) {
            const auto read = ReadWindow(deadline, stop);
            if (!read)
                return std::unexpected(read.error());
            if (*read) {
                const SdoReply reply = ParseSdoReply(in_, step, index, subIndex);
                if (reply.kind != SdoReplyKind::kOther)
                    return reply;
                continue;  // an emergency or someone else's reply: look again at once
            }
        }
        if (Clock::now() >= deadline || !Pause(deadline, stop))
            return std::unexpected(Expired(stop));
    }
}

std::expected<CoeClient::Deadline, Error> CoeClient::BeginTransfer(
    std::chrono::milliseconds timeout) {
    if (out_.size() < kMinWindow || in_.size() < kMinWindow ||
        windows_.sendLength > ecat::kMaxDatagramData ||
        windows_.recvLength > ecat::kMaxDatagramData)
        return std::unexpected(Fail(Errc::kNoMailbox));
    const Deadline deadline = Clock::now() + (timeout.count() > 0 ? timeout : kDefaultSdoTimeout);
    if (auto stale = DiscardStaleReply(); !stale)
        return std::unexpected(stale.error());
    return deadline;
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

    std::uint8_t* const message = out_.data() + ecat::kMailboxHeaderSize;
    ecat::Put16(&message[0], ecat::CoeHeader(ecat::CoeService::kSdoRequest));
    ecat::Put16(&message[3], index);
    message[5] = subIndex;

    const std::size_t room = out_.size() - ecat::kMailboxHeaderSize - kSdoMessage;
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
        const std::size_t segmentRoom = out_.size() - ecat::kMailboxHeaderSize - kSegmentHeader;
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

    std::uint8_t* const message = out_.data() + ecat::kMailboxHeaderSize;
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
