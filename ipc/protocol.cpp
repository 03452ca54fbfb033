#include "ipc/protocol.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace parvane::ipc {
namespace {

// Both ends run on the same little-endian host, and the records below have
// no padding: a datagram is the record's bytes as they are.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(Request) == kRequestSize && offsetof(Request, arg2) == 16);
static_assert(sizeof(Reply) == kReplySize && offsetof(Reply, status) == 8 &&
              offsetof(Reply, flags) == 10 && offsetof(Reply, value2) == 20);

// The leading op and seq of a datagram of at least 8 bytes.
std::uint32_t Word(std::span<const std::uint8_t> bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
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
    return std::bit_cast<RequestBytes>(request);
}

ReplyBytes EncodeReply(const Reply& reply) {
    return std::bit_cast<ReplyBytes>(reply);
}

DecodedRequest DecodeRequest(std::span<const std::uint8_t> bytes) {
    DecodedRequest decoded;
    if (bytes.size() >= 8) {
        decoded.rawOp = Word(bytes, 0);
        decoded.seq = Word(bytes, 4);
    }
    if (bytes.size() != kRequestSize || !IsKnownOp(decoded.rawOp))
        return decoded;
    RequestBytes whole;
    std::memcpy(whole.data(), bytes.data(), kRequestSize);
    decoded.request = std::bit_cast<Request>(whole);
    return decoded;
}

std::optional<Reply> DecodeReply(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kReplySize)
        return std::nullopt;
    ReplyBytes whole;
    std::memcpy(whole.data(), bytes.data(), kReplySize);
    return std::bit_cast<Reply>(whole);
}

}  // namespace parvane::ipc
