#include "master/soe_client.h"

#include <algorithm>

#include "ecat/byte_order.h"

namespace parvane::master {
namespace {

using ecat::SoeOpCode;

Error Refused(const SoeReply& reply) {
    switch (reply.kind) {
        case SoeReplyKind::kError:
            return Error{Errc::kSoeError, reply.code};
        case SoeReplyKind::kMailboxError:
            return Error{Errc::kMailboxError, reply.code};
        default:
            return Error{Errc::kUnexpected, 0};
    }
}

SoeOpCode ResponseTo(SoeOpCode op) {
    return op == SoeOpCode::kReadRequest ? SoeOpCode::kReadResponse : SoeOpCode::kWriteResponse;
}

bool IsResponse(std::uint8_t opCode) {
    return opCode == static_cast<std::uint8_t>(SoeOpCode::kReadResponse) ||
           opCode == static_cast<std::uint8_t>(SoeOpCode::kWriteResponse);
}

}  // namespace

SoeReply ParseSoeReply(std::span<const std::uint8_t> window, SoeOpCode op, std::uint8_t driveNo,
                       std::uint16_t idn) {
    SoeReply reply;
    const auto message = SplitMessage(window);
    if (!message) {
        reply.kind = SoeReplyKind::kMalformed;
        return reply;
    }
    const auto payload = message->payload;
    if (message->header.type == static_cast<std::uint8_t>(ecat::MailboxType::kError)) {
        reply.kind = payload.size() < 4 ? SoeReplyKind::kMalformed : SoeReplyKind::kMailboxError;
        if (payload.size() >= 4)
            reply.code = ecat::Get16(&payload[2]);
        return reply;
    }
    if (message->header.type != static_cast<std::uint8_t>(ecat::MailboxType::kSoe))
        return reply;  // another protocol
    const auto header = ecat::SoeHeader::Decode(payload);
    if (!header || !IsResponse(header->opCode) || header->driveNo != driveNo)
        return reply;  // a notification, or another drive's
    if (header->error) {
        // Some drives answer a failed write with the read response's op code.
        const auto code = ecat::SoeErrorCode(payload);
        if (header->idn != idn)
            return reply;
        reply.kind = code ? SoeReplyKind::kError : SoeReplyKind::kMalformed;
        reply.code = code.value_or(0);
        return reply;
    }
    if (header->opCode != static_cast<std::uint8_t>(ResponseTo(op)))
        return reply;
    // While incomplete the IDN field counts the fragments still to come.
    if (!header->incomplete && header->idn != idn)
        return reply;
    reply.kind = SoeReplyKind::kDone;
    reply.incomplete = header->incomplete;
    reply.data = payload.subspan(ecat::kSoeHeaderSize);
    if (op == SoeOpCode::kWriteRequest && (reply.incomplete || !reply.data.empty()))
        reply.kind = SoeReplyKind::kMalformed;  // a write response carries nothing
    return reply;
}

std::expected<SoeReply, Error> SoeClient::Receive(SoeOpCode op, std::uint8_t driveNo,
                                                  std::uint16_t idn,
                                                  MailboxTransport::Deadline deadline,
                                                  const std::stop_token& stop) {
    for (;;) {
        const auto window = mailbox_.Receive(deadline, stop);
        if (!window)
            return std::unexpected(window.error());
        const SoeReply reply = ParseSoeReply(*window, op, driveNo, idn);
        if (reply.kind != SoeReplyKind::kOther)
            return reply;
    }
}

std::expected<void, Error> SoeClient::Write(std::uint8_t driveNo, std::uint16_t idn,
                                            std::uint8_t elements,
                                            std::span<const std::uint8_t> data,
                                            std::chrono::milliseconds timeout,
                                            std::stop_token stop) {
    const auto begun = mailbox_.Begin(ecat::kSoeErrorSize, timeout, kDefaultSoeTimeout);
    if (!begun)
        return std::unexpected(begun.error());
    const std::span<std::uint8_t> payload = mailbox_.payload();
    const std::size_t room = payload.size() - ecat::kSoeHeaderSize;
    const std::size_t fragments = data.empty() ? 1 : (data.size() + room - 1) / room;
    if (fragments > 0xFFFF)
        return std::unexpected(Error{Errc::kDataTooLarge, 0});

    std::size_t sent = 0;
    for (std::size_t fragment = 1; fragment <= fragments; ++fragment) {
        const std::size_t n = std::min(room, data.size() - sent);
        ecat::SoeHeader header;
        header.opCode = static_cast<std::uint8_t>(SoeOpCode::kWriteRequest);
        header.driveNo = driveNo;
        header.elements = elements;
        header.incomplete = fragment < fragments;
        header.idn = header.incomplete ? static_cast<std::uint16_t>(fragments - fragment) : idn;
        header.Encode(payload);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(sent), n,
                    payload.begin() + ecat::kSoeHeaderSize);
        if (auto s = mailbox_.Send(ecat::MailboxType::kSoe, ecat::kSoeHeaderSize + n, *begun, stop);
            !s)
            return s;
        sent += n;
    }
    // The drive answers once, after the last fragment.
    const auto reply = Receive(SoeOpCode::kWriteRequest, driveNo, idn, *begun, stop);
    if (!reply)
        return std::unexpected(reply.error());
    if (reply->kind != SoeReplyKind::kDone)
        return std::unexpected(Refused(*reply));
    return {};
}

std::expected<std::size_t, Error> SoeClient::Read(std::uint8_t driveNo, std::uint16_t idn,
                                                  std::uint8_t elements,
                                                  std::span<std::uint8_t> out,
                                                  std::chrono::milliseconds timeout,
                                                  std::stop_token stop) {
    const auto begun = mailbox_.Begin(ecat::kSoeErrorSize, timeout, kDefaultSoeTimeout);
    if (!begun)
        return std::unexpected(begun.error());
    const std::span<std::uint8_t> payload = mailbox_.payload();
    ecat::SoeHeader header;
    header.opCode = static_cast<std::uint8_t>(SoeOpCode::kReadRequest);
    header.driveNo = driveNo;
    header.elements = elements;
    header.idn = idn;
    header.Encode(payload);
    if (auto s = mailbox_.Send(ecat::MailboxType::kSoe, ecat::kSoeHeaderSize, *begun, stop); !s)
        return std::unexpected(s.error());
    std::size_t got = 0;
    for (;;) {
        const auto reply = Receive(SoeOpCode::kReadRequest, driveNo, idn, *begun, stop);
        if (!reply)
            return std::unexpected(reply.error());
        if (reply->kind != SoeReplyKind::kDone)
            return std::unexpected(Refused(*reply));
        if (reply->data.size() > out.size() - got)
            return std::unexpected(Error{Errc::kDataTooLarge, 0});
        std::copy(reply->data.begin(), reply->data.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(got));
        got += reply->data.size();
        if (!reply->incomplete)
            return got;
    }
}

}  // namespace parvane::master
