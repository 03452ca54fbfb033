#include "master/mailbox_transport.h"

#include <algorithm>
#include <thread>

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "master/log.h"

namespace parvane::master {
namespace {

using Clock = MailboxTransport::Clock;

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

Error FromExchange(const Error& error) {
    return Fail(error == Errc::kTooLarge ? Errc::kDataTooLarge : Errc::kNoReply);
}

Error Expired(const std::stop_token& stop) {
    return Fail(stop.stop_requested() ? Errc::kCancelled : Errc::kTimeout);
}

std::string StationLabel(std::uint16_t station) {
    return "station " + std::to_string(station);
}

}  // namespace

std::optional<MailboxMessage> SplitMessage(std::span<const std::uint8_t> window) {
    if (window.size() < ecat::kMailboxHeaderSize)
        return std::nullopt;
    const auto header = ecat::MailboxHeader::Decode(window.first<ecat::kMailboxHeaderSize>());
    if (header.length > window.size() - ecat::kMailboxHeaderSize)
        return std::nullopt;
    return MailboxMessage{header, window.subspan(ecat::kMailboxHeaderSize, header.length)};
}

MailboxTransport::MailboxTransport(Exchange& exchange, MailboxWindows windows)
    : exchange_(exchange),
      windows_(windows),
      label_(StationLabel(windows.station)),
      out_(std::min<std::size_t>(windows.sendLength, ecat::kMaxDatagramData)),
      in_(std::min<std::size_t>(windows.recvLength, ecat::kMaxDatagramData)),
      scratch_(out_.size()),
      last_(in_.size()) {}

std::span<std::uint8_t> MailboxTransport::payload() {
    if (out_.size() < ecat::kMailboxHeaderSize)
        return {};
    return std::span<std::uint8_t>(out_).subspan(ecat::kMailboxHeaderSize);
}

std::expected<bool, Error> MailboxTransport::MailboxFull(std::uint16_t statusRegister) {
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

std::expected<void, Error> MailboxTransport::DiscardStaleReply() {
    const auto full = MailboxFull(ecat::reg::SmStatus(1));
    if (!full)
        return std::unexpected(full.error());
    if (*full) {
        const auto wkc = exchange_.Transact(
            ecat::Command::kFprd, ecat::MakeAddress(windows_.station, windows_.recvStart), in_);
        if (!wkc)
            return std::unexpected(FromExchange(wkc.error()));
        if (*wkc == 1) {
            if (const auto message = SplitMessage(in_); message && !SeenBefore(*message))
                TakeEmergency(*message);
        }
    }
    return {};
}

std::expected<MailboxTransport::Deadline, Error> MailboxTransport::Begin(
    std::size_t minPayload, std::chrono::milliseconds timeout, std::chrono::milliseconds fallback) {
    const std::size_t minWindow = ecat::kMailboxHeaderSize + minPayload;
    if (out_.size() < minWindow || in_.size() < minWindow ||
        windows_.sendLength > ecat::kMaxDatagramData ||
        windows_.recvLength > ecat::kMaxDatagramData)
        return std::unexpected(Fail(Errc::kNoMailbox));
    const Deadline deadline = Clock::now() + (timeout.count() > 0 ? timeout : fallback);
    if (auto stale = DiscardStaleReply(); !stale)
        return std::unexpected(stale.error());
    return deadline;
}

std::expected<void, Error> MailboxTransport::Send(ecat::MailboxType type, std::size_t length,
                                                  Deadline deadline, const std::stop_token& stop) {
    if (out_.size() < ecat::kMailboxHeaderSize || length > out_.size() - ecat::kMailboxHeaderSize)
        return std::unexpected(Fail(Errc::kDataTooLarge));
    counter_ = ecat::NextMailboxCounter(counter_);
    ecat::MailboxHeader header;
    header.length = static_cast<std::uint16_t>(length);
    header.type = static_cast<std::uint8_t>(type);
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

std::expected<void, Error> MailboxTransport::RepeatRequest(Deadline deadline,
                                                           const std::stop_token& stop) {
    ++repeats_;
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

std::expected<bool, Error> MailboxTransport::ReadWindow(Deadline deadline,
                                                        const std::stop_token& stop) {
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

bool MailboxTransport::SeenBefore(const MailboxMessage& message) {
    const std::size_t length = ecat::kMailboxHeaderSize + message.payload.size();
    const std::span<const std::uint8_t> bytes(in_.data(), length);
    const bool same = message.header.counter != 0 && length == lastLength_ &&
                      std::equal(bytes.begin(), bytes.end(), last_.begin());
    std::copy(bytes.begin(), bytes.end(), last_.begin());
    lastLength_ = length;
    return same;
}

bool MailboxTransport::TakeEmergency(const MailboxMessage& message) {
    if (message.header.type != static_cast<std::uint8_t>(ecat::MailboxType::kCoe))
        return false;
    const auto emergency = ecat::Emergency::Decode(message.payload);
    if (!emergency)
        return false;
    ++emergencies_;
    const auto& d = emergency->data;
    Log("%s: CoE emergency 0x%04X (error register 0x%02X, data %02X %02X %02X %02X %02X)",
        label_.c_str(), static_cast<unsigned>(emergency->code),
        static_cast<unsigned>(emergency->errorRegister), d[0], d[1], d[2], d[3], d[4]);
    return true;
}

std::expected<std::span<const std::uint8_t>, Error> MailboxTransport::Receive(
    Deadline deadline, const std::stop_token& stop) {
    for (;;) {
        const auto full = MailboxFull(ecat::reg::SmStatus(1));
        if (!full && full.error() != Errc::kNoReply)
            return std::unexpected(full.error());
        if (full && *full) {
            const auto read = ReadWindow(deadline, stop);
            if (!read)
                return std::unexpected(read.error());
            if (*read) {
                const auto message = SplitMessage(in_);
                if (!message)
                    return std::span<const std::uint8_t>(in_);  // the caller tells it malformed
                if (SeenBefore(*message) || TakeEmergency(*message))
                    continue;  // look again at once
                return std::span<const std::uint8_t>(in_);
            }
        }
        if (Clock::now() >= deadline || !Pause(deadline, stop))
            return std::unexpected(Expired(stop));
    }
}

}  // namespace parvane::master
