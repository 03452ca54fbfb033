#include "ipc/protocol.h"

namespace parvane::ipc {
namespace {

void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void Put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint32_t Get32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::uint16_t Get16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

}  // namespace

bool IsKnownOp(std::uint32_t op) {
    switch (static_cast<MasterExport>(op)) {
        case MasterExport::Close:
        case MasterExport::GetOnlineSlaveCount:
        case MasterExport::GetEniSlaveCount:
        case MasterExport::GetState:
        case MasterExport::Open:
        case MasterExport::RequestState:
        case MasterExport::ReadSlaveEeprom:
        case MasterExport::GetSlaveInfo:
            return true;
    }
    return false;
}

RequestBytes EncodeRequest(const Request& request) {
    RequestBytes bytes{};
    Put32(&bytes[0], static_cast<std::uint32_t>(request.op));
    Put32(&bytes[4], request.seq);
    Put32(&bytes[8], request.arg0);
    Put32(&bytes[12], request.arg1);
    Put32(&bytes[16], request.arg2);
    return bytes;
}

ReplyBytes EncodeReply(const Reply& reply) {
    ReplyBytes bytes{};
    Put32(&bytes[0], reply.op);
    Put32(&bytes[4], reply.seq);
    Put16(&bytes[8], reply.status);
    Put16(&bytes[10], reply.flags);
    Put32(&bytes[12], reply.value0);
    Put32(&bytes[16], reply.value1);
    Put32(&bytes[20], reply.value2);
    return bytes;
}

DecodedRequest DecodeRequest(std::span<const std::uint8_t> bytes) {
    DecodedRequest decoded;
    if (bytes.size() >= 8) {
        decoded.rawOp = Get32(&bytes[0]);
        decoded.seq = Get32(&bytes[4]);
    }
    if (bytes.size() != kRequestSize || !IsKnownOp(decoded.rawOp))
        return decoded;
    Request request;
    request.op = static_cast<MasterExport>(decoded.rawOp);
    request.seq = decoded.seq;
    request.arg0 = Get32(&bytes[8]);
    request.arg1 = Get32(&bytes[12]);
    request.arg2 = Get32(&bytes[16]);
    decoded.request = request;
    return decoded;
}

std::optional<Reply> DecodeReply(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kReplySize)
        return std::nullopt;
    Reply reply;
    reply.op = Get32(&bytes[0]);
    reply.seq = Get32(&bytes[4]);
    reply.status = Get16(&bytes[8]);
    reply.flags = Get16(&bytes[10]);
    reply.value0 = Get32(&bytes[12]);
    reply.value1 = Get32(&bytes[16]);
    reply.value2 = Get32(&bytes[20]);
    return reply;
}

}  // namespace parvane::ipc
