#include "master/eoe_client.h"

#include <algorithm>

#include "ecat/byte_order.h"

namespace parvane::master {

EoeReply ParseEoeReply(std::span<const std::uint8_t> window, ecat::EoeFrameType expected) {
    EoeReply reply;
    const auto message = SplitMessage(window);
    if (!message) {
        reply.kind = EoeReplyKind::kMalformed;
        return reply;
    }
    const auto payload = message->payload;
    if (message->header.type == static_cast<std::uint8_t>(ecat::MailboxType::kError)) {
        reply.kind = payload.size() < 4 ? EoeReplyKind::kMalformed : EoeReplyKind::kMailboxError;
        if (payload.size() >= 4)
            reply.result = ecat::Get16(&payload[2]);
        return reply;
    }
    if (message->header.type != static_cast<std::uint8_t>(ecat::MailboxType::kEoe))
        return reply;
    const auto header = ecat::EoeHeader::Decode(payload);
    if (!header || header->type != static_cast<std::uint8_t>(expected))
        return reply;  // a fragment of an Ethernet frame, or another response
    reply.kind = EoeReplyKind::kResponse;
    reply.result = header->info;
    reply.body = payload.subspan(ecat::kEoeHeaderSize);
    return reply;
}

std::expected<void, Error> EoeClient::Run(std::span<const std::uint8_t> frame,
                                          std::chrono::milliseconds timeout, std::stop_token stop) {
    const auto header = ecat::EoeHeader::Decode(frame);
    if (!header)
        return std::unexpected(Error{Errc::kInvalidArgument, 0});
    const auto begun = mailbox_.Begin(ecat::kEoeHeaderSize, timeout, kDefaultEoeTimeout);
    if (!begun)
        return std::unexpected(begun.error());
    const std::span<std::uint8_t> payload = mailbox_.payload();
    if (frame.size() > payload.size())
        return std::unexpected(Error{Errc::kDataTooLarge, 0});
    std::copy(frame.begin(), frame.end(), payload.begin());
    if (auto s = mailbox_.Send(ecat::MailboxType::kEoe, frame.size(), *begun, stop); !s)
        return s;
    const auto expected = ecat::EoeResponseTo(header->type);
    if (!expected)
        return {};  // a fragment: nothing answers it
    for (;;) {
        const auto window = mailbox_.Receive(*begun, stop);
        if (!window)
            return std::unexpected(window.error());
        const EoeReply reply = ParseEoeReply(*window, *expected);
        switch (reply.kind) {
            case EoeReplyKind::kOther:
                continue;
            case EoeReplyKind::kResponse:
                if (reply.result != ecat::eoe_result::kSuccess)
                    return std::unexpected(Error{Errc::kEoeError, reply.result});
                return {};
            case EoeReplyKind::kMailboxError:
                return std::unexpected(Error{Errc::kMailboxError, reply.result});
            case EoeReplyKind::kMalformed:
                return std::unexpected(Error{Errc::kUnexpected, 0});
        }
    }
}

}  // namespace parvane::master
