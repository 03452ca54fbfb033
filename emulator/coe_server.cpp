#include "emulator/coe_server.h"

#include <algorithm>

#include "ecat/byte_order.h"
#include "ecat/mailbox.h"

namespace parvane::emulator {

namespace sdo = ecat::sdo;
namespace abort_code = ecat::sdo_abort;

namespace {

constexpr std::uint16_t kIdentityIndex = 0x1018;
// Bytes in front of the data of a normal upload response: mailbox header,
// CoE header, command, index, subindex, size.
constexpr std::size_t kNormalOverhead = ecat::kMailboxHeaderSize + ecat::kCoeHeaderSize + 8;
// ... and of a segment: mailbox header, CoE header, command.
constexpr std::size_t kSegmentOverhead = ecat::kMailboxHeaderSize + ecat::kCoeHeaderSize + 1;
constexpr std::size_t kMinSegmentData = 7;
constexpr std::size_t kExpeditedBytes = 4;
constexpr std::size_t kInitiateData = 8;  // command, index, subindex, size

std::size_t Room(std::size_t capacity, std::size_t overhead) {
    return capacity > overhead ? capacity - overhead : 0;
}

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

}  // namespace

struct CoeServer::Request {
    std::span<const std::uint8_t> bytes;  // from the command byte on
    std::uint8_t command = 0;
    std::uint16_t index = 0;
    std::uint8_t subIndex = 0;
    bool completeAccess = false;
};

CoeServer::CoeServer(std::shared_ptr<const ObjectDictionary> dictionary,
                     const IdentityObject& identity)
    : shared_(std::move(dictionary)), identity_(identity) {}

void CoeServer::Reset() {
    if (own_)
        own_->ForgetWrites();
    downloading_ = uploading_ = false;
}

ObjectDictionary& CoeServer::writableDictionary() {
    if (!own_) {
        own_ = std::make_unique<ObjectDictionary>(*shared_);
        if (own_->Has(kIdentityIndex))
            AddIdentity(*own_);
    }
    return *own_;
}

void CoeServer::AddIdentity(ObjectDictionary& od) const {
    const eni::SlaveIdentity& id = identity_.identity;
    od.AddArray(kIdentityIndex, {id.vendorId, id.productCode, id.revisionNo, identity_.serialNo}, 4,
                false, false);
}

std::expected<std::vector<std::uint8_t>, AbortCode> CoeServer::Read(std::uint16_t index,
                                                                    std::uint8_t subIndex,
                                                                    bool completeAccess) const {
    if (!own_ && index == kIdentityIndex && shared_->Has(index)) {
        ObjectDictionary identityOnly;
        AddIdentity(identityOnly);
        return identityOnly.Upload(index, subIndex, completeAccess);
    }
    return dictionary().Upload(index, subIndex, completeAccess);
}

std::vector<std::uint8_t> CoeServer::Handle(std::span<const std::uint8_t> s, ecat::AlState state,
                                            std::size_t replyCapacity) {
    const Request r{s, s[0], ecat::Get16(&s[1]), s[3], (s[0] & sdo::kCompleteAccess) != 0};
    switch (r.command & sdo::kSpecifierMask) {
        case sdo::kDownloadRequest:
            return Download(r, state);
        case sdo::kDownloadSegmentRequest:
            return DownloadSegment(r, state);
        case sdo::kUploadRequest:
            return Upload(r, replyCapacity);
        case sdo::kUploadSegmentRequest:
            return UploadSegment(r, replyCapacity);
        case sdo::kAbort:
            downloading_ = uploading_ = false;
            return {};
        default:
            return Abort(r.index, r.subIndex, abort_code::kBadCommand);
    }
}

std::vector<std::uint8_t> CoeServer::Download(const Request& r, ecat::AlState state) {
    downloading_ = uploading_ = false;
    const auto s = r.bytes;
    std::vector<std::uint8_t> data;
    if ((r.command & sdo::kExpedited) != 0) {
        const std::size_t n =
            (r.command & sdo::kSizeIndicated) != 0
                ? kExpeditedBytes - ((r.command & sdo::kUnusedMask) >> sdo::kUnusedShift)
                : kExpeditedBytes;
        data.assign(s.begin() + 4, s.begin() + 4 + static_cast<std::ptrdiff_t>(n));
    } else {
        const std::uint32_t size = ecat::Get32(&s[4]);
        const std::size_t present = s.size() - ecat::kSdoHeaderSize;
        if (size > present) {
            // The rest follows in segments.
            downloading_ = true;
            index_ = r.index;
            subIndex_ = r.subIndex;
            completeAccess_ = r.completeAccess;
            size_ = size;
            toggle_ = false;
            data_.assign(s.begin() + kInitiateData, s.end());
            return SdoMessage(sdo::kDownloadResponse, r.index, r.subIndex, 0);
        }
        data.assign(s.begin() + kInitiateData,
                    s.begin() + kInitiateData + static_cast<std::ptrdiff_t>(size));
    }
    const AbortCode failed =
        writableDictionary().Download(r.index, r.subIndex, r.completeAccess, data, state);
    if (failed != 0)
        return Abort(r.index, r.subIndex, failed);
    return SdoMessage(sdo::kDownloadResponse, r.index, r.subIndex, 0);
}

std::vector<std::uint8_t> CoeServer::DownloadSegment(const Request& r, ecat::AlState state) {
    if (!downloading_)
        return Abort(r.index, r.subIndex, abort_code::kBadCommand);
    const bool toggle = (r.command & sdo::kToggle) != 0;
    if (toggle != toggle_) {
        downloading_ = false;
        return Abort(index_, subIndex_, abort_code::kToggleBit);
    }
    std::size_t n = r.bytes.size() - 1;
    if (n == kMinSegmentData)
        n -= (r.command & sdo::kSegmentUnusedMask) >> 1;
    data_.insert(data_.end(), r.bytes.begin() + 1,
                 r.bytes.begin() + 1 + static_cast<std::ptrdiff_t>(n));
    toggle_ = !toggle_;
    const auto reply =
        static_cast<std::uint8_t>(sdo::kDownloadSegmentResponse | (toggle ? sdo::kToggle : 0));
    if (data_.size() > size_) {
        downloading_ = false;
        return Abort(index_, subIndex_, abort_code::kTooLong);
    }
    if ((r.command & sdo::kLastSegment) == 0) {
        std::vector<std::uint8_t> m = SdoMessage(reply, 0, 0, 0);
        m.resize(ecat::kCoeHeaderSize + 8);
        return m;
    }
    downloading_ = false;
    if (data_.size() != size_)
        return Abort(index_, subIndex_, abort_code::kLengthMismatch);
    const AbortCode failed =
        writableDictionary().Download(index_, subIndex_, completeAccess_, data_, state);
    if (failed != 0)
        return Abort(index_, subIndex_, failed);
    return SdoMessage(reply, 0, 0, 0);
}

std::vector<std::uint8_t> CoeServer::Upload(const Request& r, std::size_t replyCapacity) {
    downloading_ = uploading_ = false;
    auto value = Read(r.index, r.subIndex, r.completeAccess);
    if (!value)
        return Abort(r.index, r.subIndex, value.error());
    if (value->size() <= kExpeditedBytes && !r.completeAccess && !value->empty()) {
        std::uint8_t bytes[kExpeditedBytes] = {0, 0, 0, 0};
        std::copy(value->begin(), value->end(), bytes);
        return SdoMessage(sdo::ExpeditedUploadResponse(value->size()), r.index, r.subIndex,
                          ecat::Get32(bytes));
    }
    auto m = SdoMessage(static_cast<std::uint8_t>(sdo::kUploadResponse | sdo::kSizeIndicated |
                                                  (r.completeAccess ? sdo::kCompleteAccess : 0)),
                        r.index, r.subIndex, static_cast<std::uint32_t>(value->size()));
    const std::size_t first = std::min(value->size(), Room(replyCapacity, kNormalOverhead));
    m.insert(m.end(), value->begin(), value->begin() + static_cast<std::ptrdiff_t>(first));
    if (first < value->size()) {
        uploading_ = true;
        uploadAt_ = first;
        toggle_ = false;
        data_ = std::move(*value);
        index_ = r.index;
        subIndex_ = r.subIndex;
    }
    return m;
}

std::vector<std::uint8_t> CoeServer::UploadSegment(const Request& r, std::size_t replyCapacity) {
    if (!uploading_)
        return Abort(r.index, r.subIndex, abort_code::kBadCommand);
    const bool toggle = (r.command & sdo::kToggle) != 0;
    if (toggle != toggle_) {
        uploading_ = false;
        return Abort(index_, subIndex_, abort_code::kToggleBit);
    }
    toggle_ = !toggle_;
    const std::size_t n = std::min(data_.size() - uploadAt_, Room(replyCapacity, kSegmentOverhead));
    const bool last = uploadAt_ + n == data_.size();
    auto reply = static_cast<std::uint8_t>(
        sdo::kUploadSegmentResponse | (toggle ? sdo::kToggle : 0) | (last ? sdo::kLastSegment : 0));
    if (n < kMinSegmentData)
        reply = static_cast<std::uint8_t>(reply | ((kMinSegmentData - n) << 1));
    std::vector<std::uint8_t> m(ecat::kCoeHeaderSize + 1, 0);
    ecat::Put16(&m[0], ecat::CoeHeader(ecat::CoeService::kSdoResponse));
    m[2] = reply;
    const auto from = data_.begin() + static_cast<std::ptrdiff_t>(uploadAt_);
    m.insert(m.end(), from, from + static_cast<std::ptrdiff_t>(n));
    if (n < kMinSegmentData)
        m.resize(ecat::kCoeHeaderSize + 1 + kMinSegmentData, 0);
    uploadAt_ += n;
    if (last)
        uploading_ = false;
    return m;
}

}  // namespace parvane::emulator
