#include "emulator/slave_mailbox.h"

#include <algorithm>

#include "ecat/byte_order.h"
#include "ecat/mailbox.h"
#include "ecat/registers.h"
#include "ecat/sii.h"

namespace parvane::emulator {

using ecat::SmEntry;
namespace reg = ecat::reg;

namespace {

constexpr std::size_t kMailboxLimit = 16;  // replies waiting for SM1
constexpr unsigned kSmIn = 1;              // slave -> master

std::vector<std::uint8_t> MailboxError(std::uint16_t detail) {
    std::vector<std::uint8_t> m(4);
    ecat::Put16(&m[0], ecat::kMailboxErrorSyntax);
    ecat::Put16(&m[2], detail);
    return m;
}

void MarkFull(EscMemory& memory, unsigned sm) {
    memory.Set8(reg::SmStatus(sm), memory.Get8(reg::SmStatus(sm)) | SmEntry::kStatusMailboxFull);
}

const std::shared_ptr<const ObjectDictionary>& DictionaryOf(const SlaveModel& model) {
    static const auto kEmpty = std::make_shared<const ObjectDictionary>();
    return model.dictionary ? model.dictionary : kEmpty;
}

}  // namespace

SlaveMailbox::SlaveMailbox(const SlaveModel& model, const IdentityObject& identity)
    : coe_(DictionaryOf(model), identity), soe_(model.soeParameters) {}

void SlaveMailbox::Received(EscRegisters& esc, const MailboxLayout& layout, ecat::AlState state) {
    const SmEntry out = esc.Sm(0);
    std::vector<std::uint8_t> message(out.length);
    esc.memory().Read(out.start, message);
    const auto header = ecat::MailboxHeader::Decode(
        std::span<const std::uint8_t, ecat::kMailboxHeaderSize>(message.data(), 6));
    if (header.length > out.length - ecat::kMailboxHeaderSize) {
        Post(MailboxError(ecat::kMailboxErrorInvalidSize), 0, esc);
        return;
    }
    if (header.counter != 0 && header.counter == lastCounterIn_)
        return;  // a resend
    lastCounterIn_ = header.counter;
    const auto payload =
        std::span<const std::uint8_t>(message).subspan(ecat::kMailboxHeaderSize, header.length);
    const auto serves = [&](ecat::MailboxType type, std::uint16_t protocol) {
        return header.type == static_cast<std::uint8_t>(type) && (layout.protocols & protocol) != 0;
    };
    if (serves(ecat::MailboxType::kCoe, ecat::sii::kProtocolCoe))
        HandleCoe(payload, esc, layout, state);
    else if (serves(ecat::MailboxType::kSoe, ecat::sii::kProtocolSoe))
        HandleSoe(payload, esc, layout);
    else if (serves(ecat::MailboxType::kEoe, ecat::sii::kProtocolEoe))
        HandleEoe(payload, esc);
    else
        Post(MailboxError(ecat::kMailboxErrorUnsupportedProtocol), 0, esc);
}

void SlaveMailbox::HandleCoe(std::span<const std::uint8_t> payload, EscRegisters& esc,
                             const MailboxLayout& layout, ecat::AlState state) {
    // Every SDO message, a segment included, is at least 10 bytes long.
    if (payload.size() < ecat::kCoeHeaderSize + ecat::kSdoHeaderSize) {
        Post(MailboxError(ecat::kMailboxErrorSizeTooShort), 0, esc);
        return;
    }
    if (ecat::CoeServiceOf(ecat::Get16(payload.data())) !=
        static_cast<std::uint8_t>(ecat::CoeService::kSdoRequest)) {
        Post(MailboxError(ecat::kMailboxErrorServiceUnsupported), 0, esc);
        return;
    }
    auto reply = coe_.Handle(payload.subspan(ecat::kCoeHeaderSize), state, layout.inLength);
    if (!reply.empty())
        Post(std::move(reply), static_cast<std::uint8_t>(ecat::MailboxType::kCoe), esc);
}

void SlaveMailbox::HandleSoe(std::span<const std::uint8_t> payload, EscRegisters& esc,
                             const MailboxLayout& layout) {
    bool malformed = false;
    auto replies = soe_.Handle(payload, layout.inLength, malformed);
    if (malformed)
        Post(MailboxError(ecat::kMailboxErrorSizeTooShort), 0, esc);
    for (auto& reply : replies)
        Post(std::move(reply), static_cast<std::uint8_t>(ecat::MailboxType::kSoe), esc);
}

void SlaveMailbox::HandleEoe(std::span<const std::uint8_t> payload, EscRegisters& esc) {
    bool malformed = false;
    auto reply = eoe_.Handle(payload, malformed);
    if (malformed)
        Post(MailboxError(ecat::kMailboxErrorSizeTooShort), 0, esc);
    else if (reply)
        Post(std::move(*reply), static_cast<std::uint8_t>(ecat::MailboxType::kEoe), esc);
}

void SlaveMailbox::Post(std::vector<std::uint8_t> payload, std::uint8_t type, EscRegisters& esc) {
    counterOut_ = ecat::NextMailboxCounter(counterOut_);
    std::vector<std::uint8_t> message(ecat::kMailboxHeaderSize + payload.size());
    ecat::MailboxHeader header;
    header.length = static_cast<std::uint16_t>(payload.size());
    header.type = type;
    header.counter = counterOut_;
    header.Encode(std::span<std::uint8_t, ecat::kMailboxHeaderSize>(message.data(), 6));
    std::copy(payload.begin(), payload.end(), message.begin() + ecat::kMailboxHeaderSize);
    if (queue_.size() == kMailboxLimit)
        queue_.erase(queue_.begin());
    queue_.push_back(std::move(message));
    Deliver(esc);
}

void SlaveMailbox::Deliver(EscRegisters& esc) {
    if (queue_.empty())
        return;
    const SmEntry in = esc.Sm(kSmIn);
    if (!in.enabled() || in.length == 0 ||
        (esc.memory().Get8(reg::SmStatus(kSmIn)) & SmEntry::kStatusMailboxFull) != 0)
        return;
    std::vector<std::uint8_t> message = std::move(queue_.front());
    queue_.erase(queue_.begin());
    message.resize(in.length, 0);
    esc.memory().Write(in.start, message);
    lastReply_ = std::move(message);
    MarkFull(esc.memory(), kSmIn);
}

void SlaveMailbox::Repeat(EscRegisters& esc) {
    if (lastReply_.empty())
        return;
    const SmEntry in = esc.Sm(kSmIn);
    auto message = lastReply_;
    message.resize(in.length, 0);
    esc.memory().Write(in.start, message);
    MarkFull(esc.memory(), kSmIn);
}

void SlaveMailbox::Reset() {
    coe_.Reset();
    soe_.Reset();
    eoe_.Reset();
    queue_.clear();
    lastCounterIn_ = -1;
}

}  // namespace parvane::emulator
