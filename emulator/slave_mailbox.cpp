// The mailbox side of an emulated slave: the application empties SM0 as soon
// as the master has filled it, answers, and posts the reply into SM1 once SM1
// is empty. CoE SDO transfers are served from the slave's object dictionary.
#include <algorithm>
#include <cstring>

#include "ecat/byte_order.h"
#include "ecat/mailbox.h"
#include "ecat/registers.h"
#include "ecat/sii.h"
#include "emulator/mailbox_runtime.h"
#include "emulator/slave.h"

namespace parvane::emulator {

using ecat::AlState;
using ecat::SmEntry;
namespace reg = ecat::reg;
namespace sdo = ecat::sdo;
namespace abort_code = ecat::sdo_abort;

namespace {

constexpr std::size_t kMailboxLimit = 16;  // replies waiting for SM1
// Bytes in front of the data of a normal upload response: mailbox header,
// CoE header, command, index, subindex, size.
constexpr std::size_t kNormalOverhead = ecat::kMailboxHeaderSize + ecat::kCoeHeaderSize + 8;
// ... and of a segment: mailbox header, CoE header, command.
constexpr std::size_t kSegmentOverhead = ecat::kMailboxHeaderSize + ecat::kCoeHeaderSize + 1;
constexpr std::size_t kMinSegmentData = 7;

std::vector<std::uint8_t> SdoMessage(std::uint8_t command, std::uint16_t index,
                                     std::uint8_t subIndex, std::uint32_t value) {
    std::vector<std::uint8_t> m(ecat::kCoeHeaderSize + ecat::kSdoHeaderSize, 0);
    ecat::Put16(&m[0], ecat::CoeHeader(ecat::CoeService::kSdoResponse));
    m[2] = command;
    ecat::Put16(&m[3], index);
    m[5] = subIndex;
    ecat::Put32(&m[6], value);
    return m;
}

std::vector<std::uint8_t> Abort(std::uint16_t index, std::uint8_t subIndex, std::uint32_t code) {
    auto m = SdoMessage(sdo::kAbort, index, subIndex, code);
    ecat::Put16(&m[0], ecat::CoeHeader(ecat::CoeService::kSdoRequest));
    return m;
}

std::vector<std::uint8_t> MailboxError(std::uint16_t detail) {
    std::vector<std::uint8_t> m(4);
    ecat::Put16(&m[0], ecat::kMailboxErrorSyntax);
    ecat::Put16(&m[2], detail);
    return m;
}

}  // namespace

Slave::MailboxRuntime& Slave::Mailbox() {
    if (!mailbox_) {
        mailbox_ = std::make_unique<MailboxRuntime>();
        static const auto kEmpty = std::make_shared<const ObjectDictionary>();
        mailbox_->shared = model_->dictionary ? model_->dictionary : kEmpty;
        mailbox_->identity = identity_;
    }
    return *mailbox_;
}

void Slave::MailboxReceived(std::uint64_t) {
    // The application takes the message and empties SM0 at once.
    const SmEntry out = Sm(0);
    memory_.Set8(reg::SmStatus(0), memory_.Get8(reg::SmStatus(0)) & ~SmEntry::kStatusMailboxFull);
    if (!model_->mailbox || state_ == AlState::kInit || out.length < ecat::kMailboxHeaderSize)
        return;
    std::vector<std::uint8_t> message(out.length);
    memory_.Read(out.start, message);
    const auto header = ecat::MailboxHeader::Decode(
        std::span<const std::uint8_t, ecat::kMailboxHeaderSize>(message.data(), 6));
    MailboxRuntime& box = Mailbox();
    if (header.length > out.length - ecat::kMailboxHeaderSize) {
        PostReply(MailboxError(ecat::kMailboxErrorInvalidSize), 0);
        return;
    }
    // A message whose counter repeats the last one is a resend: it is not
    // served twice.
    if (header.counter != 0 && header.counter == box.lastCounterIn)
        return;
    box.lastCounterIn = header.counter;
    const auto payload =
        std::span<const std::uint8_t>(message).subspan(ecat::kMailboxHeaderSize, header.length);
    const bool coe = (model_->mailbox->protocols & ecat::sii::kProtocolCoe) != 0;
    if (header.type != static_cast<std::uint8_t>(ecat::MailboxType::kCoe) || !coe) {
        PostReply(MailboxError(ecat::kMailboxErrorUnsupportedProtocol), 0);
        return;
    }
    // Every SDO message, a segment included, is at least 10 bytes long.
    if (payload.size() < ecat::kCoeHeaderSize + ecat::kSdoHeaderSize) {
        PostReply(MailboxError(ecat::kMailboxErrorSizeTooShort), 0);
        return;
    }
    if (ecat::CoeServiceOf(ecat::Get16(payload.data())) !=
        static_cast<std::uint8_t>(ecat::CoeService::kSdoRequest)) {
        PostReply(MailboxError(ecat::kMailboxErrorServiceUnsupported), 0);
        return;
    }
    auto reply = HandleSdo(payload.subspan(ecat::kCoeHeaderSize));
    if (!reply.empty())
        PostReply(std::move(reply), static_cast<std::uint8_t>(ecat::MailboxType::kCoe));
}

std::vector<std::uint8_t> Slave::HandleSdo(std::span<const std::uint8_t> s) {
    MailboxRuntime& box = Mailbox();
    const std::uint8_t command = s[0];
    const std::uint16_t index = ecat::Get16(&s[1]);
    const std::uint8_t subIndex = s[3];
    const bool completeAccess = (command & sdo::kCompleteAccess) != 0;
    const std::size_t inCapacity = model_->mailbox->inLength > kNormalOverhead
                                       ? model_->mailbox->inLength - kNormalOverhead
                                       : 0;
    const std::size_t segmentCapacity = model_->mailbox->inLength > kSegmentOverhead
                                            ? model_->mailbox->inLength - kSegmentOverhead
                                            : 0;

    switch (command & sdo::kSpecifierMask) {
        case sdo::kDownloadRequest: {
            box.downloading = box.uploading = false;
            std::vector<std::uint8_t> data;
            if ((command & sdo::kExpedited) != 0) {
                const std::size_t n = (command & sdo::kSizeIndicated) != 0
                                          ? 4 - ((command & sdo::kUnusedMask) >> sdo::kUnusedShift)
                                          : 4;
                data.assign(s.begin() + 4, s.begin() + 4 + static_cast<std::ptrdiff_t>(n));
            } else {
                const std::uint32_t size = ecat::Get32(&s[4]);
                const std::size_t present = s.size() - ecat::kSdoHeaderSize;
                if (size <= present) {
                    data.assign(s.begin() + 8, s.begin() + 8 + static_cast<std::ptrdiff_t>(size));
                } else {
                    // The rest follows in segments.
                    box.downloading = true;
                    box.index = index;
                    box.subIndex = subIndex;
                    box.completeAccess = completeAccess;
                    box.size = size;
                    box.toggle = false;
                    box.data.assign(s.begin() + 8, s.end());
                    return SdoMessage(sdo::kDownloadResponse, index, subIndex, 0);
                }
            }
            const AbortCode failed =
                box.writableDictionary().Download(index, subIndex, completeAccess, data, state_);
            if (failed != 0)
                return Abort(index, subIndex, failed);
            return SdoMessage(sdo::kDownloadResponse, index, subIndex, 0);
        }
        case sdo::kDownloadSegmentRequest: {
            if (!box.downloading)
                return Abort(index, subIndex, abort_code::kBadCommand);
            const bool toggle = (command & sdo::kToggle) != 0;
            if (toggle != box.toggle) {
                box.downloading = false;
                return Abort(box.index, box.subIndex, abort_code::kToggleBit);
            }
            std::size_t n = s.size() - 1;
            if (n == kMinSegmentData)
                n -= (command & sdo::kSegmentUnusedMask) >> 1;
            box.data.insert(box.data.end(), s.begin() + 1,
                            s.begin() + 1 + static_cast<std::ptrdiff_t>(n));
            box.toggle = !box.toggle;
            const std::uint8_t reply = static_cast<std::uint8_t>(sdo::kDownloadSegmentResponse |
                                                                 (toggle ? sdo::kToggle : 0));
            if (box.data.size() > box.size) {
                box.downloading = false;
                return Abort(box.index, box.subIndex, abort_code::kTooLong);
            }
            if ((command & sdo::kLastSegment) == 0) {
                std::vector<std::uint8_t> m = SdoMessage(reply, 0, 0, 0);
                m.resize(ecat::kCoeHeaderSize + 8);
                return m;
            }
            box.downloading = false;
            if (box.data.size() != box.size)
                return Abort(box.index, box.subIndex, abort_code::kLengthMismatch);
            const AbortCode failed = box.writableDictionary().Download(
                box.index, box.subIndex, box.completeAccess, box.data, state_);
            if (failed != 0)
                return Abort(box.index, box.subIndex, failed);
            return SdoMessage(reply, 0, 0, 0);
        }
        case sdo::kUploadRequest: {
            box.downloading = box.uploading = false;
            auto value = box.Upload(index, subIndex, completeAccess);
            if (!value)
                return Abort(index, subIndex, value.error());
            if (value->size() <= 4 && !completeAccess && !value->empty()) {
                std::uint8_t bytes[4] = {0, 0, 0, 0};
                std::copy(value->begin(), value->end(), bytes);
                return SdoMessage(sdo::ExpeditedUploadResponse(value->size()), index, subIndex,
                                  ecat::Get32(bytes));
            }
            auto m =
                SdoMessage(static_cast<std::uint8_t>(sdo::kUploadResponse | sdo::kSizeIndicated |
                                                     (completeAccess ? sdo::kCompleteAccess : 0)),
                           index, subIndex, static_cast<std::uint32_t>(value->size()));
            const std::size_t first = std::min(value->size(), inCapacity);
            m.insert(m.end(), value->begin(), value->begin() + static_cast<std::ptrdiff_t>(first));
            if (first < value->size()) {
                box.uploading = true;
                box.uploadAt = first;
                box.toggle = false;
                box.data = std::move(*value);
                box.index = index;
                box.subIndex = subIndex;
            }
            return m;
        }
        case sdo::kUploadSegmentRequest: {
            if (!box.uploading)
                return Abort(index, subIndex, abort_code::kBadCommand);
            const bool toggle = (command & sdo::kToggle) != 0;
            if (toggle != box.toggle) {
                box.uploading = false;
                return Abort(box.index, box.subIndex, abort_code::kToggleBit);
            }
            box.toggle = !box.toggle;
            const std::size_t n = std::min(box.data.size() - box.uploadAt, segmentCapacity);
            const bool last = box.uploadAt + n == box.data.size();
            std::uint8_t reply = static_cast<std::uint8_t>(sdo::kUploadSegmentResponse |
                                                           (toggle ? sdo::kToggle : 0) |
                                                           (last ? sdo::kLastSegment : 0));
            if (n < kMinSegmentData)
                reply = static_cast<std::uint8_t>(reply | ((kMinSegmentData - n) << 1));
            std::vector<std::uint8_t> m(ecat::kCoeHeaderSize + 1, 0);
            ecat::Put16(&m[0], ecat::CoeHeader(ecat::CoeService::kSdoResponse));
            m[2] = reply;
            const auto from = box.data.begin() + static_cast<std::ptrdiff_t>(box.uploadAt);
            m.insert(m.end(), from, from + static_cast<std::ptrdiff_t>(n));
            if (n < kMinSegmentData)
                m.resize(ecat::kCoeHeaderSize + 1 + kMinSegmentData, 0);
            box.uploadAt += n;
            if (last)
                box.uploading = false;
            return m;
        }
        case sdo::kAbort:
            box.downloading = box.uploading = false;
            return {};
        default:
            return Abort(index, subIndex, abort_code::kBadCommand);
    }
}

void Slave::PostReply(std::vector<std::uint8_t> payload, std::uint8_t type) {
    MailboxRuntime& box = Mailbox();
    box.counterOut = ecat::NextMailboxCounter(box.counterOut);
    std::vector<std::uint8_t> message(ecat::kMailboxHeaderSize + payload.size());
    ecat::MailboxHeader header;
    header.length = static_cast<std::uint16_t>(payload.size());
    header.type = type;
    header.counter = box.counterOut;
    header.Encode(std::span<std::uint8_t, ecat::kMailboxHeaderSize>(message.data(), 6));
    std::copy(payload.begin(), payload.end(), message.begin() + ecat::kMailboxHeaderSize);
    if (box.queue.size() == kMailboxLimit)
        box.queue.erase(box.queue.begin());
    box.queue.push_back(std::move(message));
    DeliverNext();
}

void Slave::DeliverNext() {
    if (!mailbox_ || mailbox_->queue.empty())
        return;
    const SmEntry in = Sm(1);
    if (!in.enabled() || in.length == 0 ||
        (memory_.Get8(reg::SmStatus(1)) & SmEntry::kStatusMailboxFull) != 0)
        return;
    std::vector<std::uint8_t> message = std::move(mailbox_->queue.front());
    mailbox_->queue.erase(mailbox_->queue.begin());
    message.resize(in.length, 0);
    memory_.Write(in.start, message);
    mailbox_->lastReply = std::move(message);
    memory_.Set8(reg::SmStatus(1), memory_.Get8(reg::SmStatus(1)) | SmEntry::kStatusMailboxFull);
}

void Slave::MailboxRead() {
    DeliverNext();
}

void Slave::RepeatRequested() {
    if (!mailbox_ || mailbox_->lastReply.empty())
        return;
    const SmEntry in = Sm(1);
    auto message = mailbox_->lastReply;
    message.resize(in.length, 0);
    memory_.Write(in.start, message);
    memory_.Set8(reg::SmStatus(1), memory_.Get8(reg::SmStatus(1)) | SmEntry::kStatusMailboxFull);
}

}  // namespace parvane::emulator
