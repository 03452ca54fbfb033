#include "emulator/soe_server.h"

#include <algorithm>

#include "ecat/byte_order.h"
#include "ecat/mailbox.h"

namespace parvane::emulator {
namespace {

using ecat::SoeHeader;
using ecat::SoeOpCode;

std::vector<std::uint8_t> Reply(SoeHeader header, std::span<const std::uint8_t> data = {}) {
    std::vector<std::uint8_t> m(ecat::kSoeHeaderSize + data.size());
    header.Encode(m);
    std::copy(data.begin(), data.end(), m.begin() + ecat::kSoeHeaderSize);
    return m;
}

std::vector<std::uint8_t> ErrorReply(SoeHeader header, std::uint16_t code) {
    header.error = true;
    header.incomplete = false;
    std::vector<std::uint8_t> m(ecat::kSoeErrorSize);
    header.Encode(m);
    ecat::Put16(&m[ecat::kSoeHeaderSize], code);
    return m;
}

// Bytes of a reply in front of its data: mailbox header and SoE header.
constexpr std::size_t kReplyOverhead = ecat::kMailboxHeaderSize + ecat::kSoeHeaderSize;
// The longest value a fragmented write may bring.
constexpr std::size_t kMaxValue = 65536;

}  // namespace

SoeServer::SoeServer(std::vector<SoeParameter> parameters)
    : initial_(std::move(parameters)), parameters_(initial_) {}

void SoeServer::Reset() {
    parameters_ = initial_;
    fragments_.clear();
}

SoeParameter* SoeServer::Find(std::uint8_t driveNo, std::uint16_t idn) {
    const auto it = std::find_if(parameters_.begin(), parameters_.end(), [&](const auto& p) {
        return p.driveNo == driveNo && p.idn == idn;
    });
    return it == parameters_.end() ? nullptr : &*it;
}

const std::vector<std::uint8_t>* SoeServer::Value(std::uint8_t driveNo, std::uint16_t idn) const {
    for (const SoeParameter& p : parameters_) {
        if (p.driveNo == driveNo && p.idn == idn)
            return &p.value;
    }
    return nullptr;
}

std::vector<std::vector<std::uint8_t>> SoeServer::Handle(std::span<const std::uint8_t> request,
                                                         std::size_t replyCapacity,
                                                         bool& malformed) {
    malformed = false;
    const auto header = SoeHeader::Decode(request);
    if (!header) {
        malformed = true;
        return {};
    }
    const auto data = request.subspan(ecat::kSoeHeaderSize);
    SoeHeader answer = *header;
    answer.incomplete = false;
    if (header->opCode == static_cast<std::uint8_t>(SoeOpCode::kWriteRequest)) {
        answer.opCode = static_cast<std::uint8_t>(SoeOpCode::kWriteResponse);
        if (fragments_.size() + data.size() > kMaxValue) {
            fragments_.clear();
            return {ErrorReply(answer, ecat::soe_error::kDataTooLong)};
        }
        fragments_.insert(fragments_.end(), data.begin(), data.end());
        if (header->incomplete)
            return {};  // the IDN comes with the last fragment
        std::vector<std::uint8_t> value = std::move(fragments_);
        fragments_.clear();
        SoeParameter* p = Find(header->driveNo, header->idn);
        if (p == nullptr)
            return {ErrorReply(answer, ecat::soe_error::kNoIdn)};
        if (header->elements != ecat::soe_element::kValue)
            return {ErrorReply(answer, ecat::soe_error::kNoElement)};
        if (!p->value.empty() && value.size() < p->value.size())
            return {ErrorReply(answer, ecat::soe_error::kDataTooShort)};
        if (!p->value.empty() && value.size() > p->value.size())
            return {ErrorReply(answer, ecat::soe_error::kDataTooLong)};
        p->value = std::move(value);
        return {Reply(answer)};
    }
    if (header->opCode == static_cast<std::uint8_t>(SoeOpCode::kReadRequest)) {
        answer.opCode = static_cast<std::uint8_t>(SoeOpCode::kReadResponse);
        const SoeParameter* p = Find(header->driveNo, header->idn);
        if (p == nullptr)
            return {ErrorReply(answer, ecat::soe_error::kNoIdn)};
        if (header->elements != ecat::soe_element::kValue)
            return {ErrorReply(answer, ecat::soe_error::kNoElement)};
        const std::size_t room =
            replyCapacity > kReplyOverhead ? replyCapacity - kReplyOverhead : 0;
        if (room == 0)
            return {ErrorReply(answer, ecat::soe_error::kDataTooLong)};
        std::vector<std::vector<std::uint8_t>> replies;
        const std::size_t count = std::max<std::size_t>(1, (p->value.size() + room - 1) / room);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = i * room;
            const std::size_t n = std::min(room, p->value.size() - at);
            SoeHeader h = answer;
            h.incomplete = i + 1 < count;
            h.idn = h.incomplete ? static_cast<std::uint16_t>(count - i - 1) : header->idn;
            replies.push_back(Reply(h, std::span(p->value).subspan(at, n)));
        }
        return replies;
    }
    return {ErrorReply(answer, ecat::soe_error::kNoElement)};
}

}  // namespace parvane::emulator
