// The wire format between the master client library and the master driver.
//
// Every message is one SOCK_SEQPACKET datagram of fixed size, all fields
// unsigned little-endian. The client sends a request and waits for the reply
// that carries the same op and sequence number; replies to requests that the
// client gave up on carry an older sequence number and are skipped.
//
//   Request (20 bytes): op u32 | seq u32 | arg0 u32 | arg1 u32 | arg2 u32
//   Reply   (24 bytes): op u32 | seq u32 | status u16 | flags u16 |
//                       value0 u32 | value1 u32 | value2 u32
//
// flags bit 0 (kReplyInjected): the status is an injected fault; the values
// carry nothing and the client leaves the caller's outputs untouched, even
// when the injected status is 0.
//
// op is the operation's MasterExport number. Arguments and values per op:
//   Open                 -                            -
//   GetEniSlaveCount     -                            value0 = count
//   GetOnlineSlaveCount  -                            value0 = count
//   GetSlaveInfo         arg0 = position              value0..2 = vendor, product, revision
//   ReadSlaveEeprom      arg0 = selector, arg1 = byte offset, arg2 = byte count
//                                                     value0 = the bytes, little-endian
//   RequestState         arg0 = state                 -
//   GetState             -                            value0 = requested, value1 = current
// Close is never sent: the client closes its socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace parvane::ipc {

// The master operations by their export numbers.
enum class MasterExport : std::uint32_t {
    Close = 12,
    GetOnlineSlaveCount = 25,
    GetEniSlaveCount = 26,
    GetState = 28,
    Open = 32,
    RequestState = 41,
    ReadSlaveEeprom = 66,
    GetSlaveInfo = 79,
};

struct Request {
    MasterExport op = MasterExport::Open;
    std::uint32_t seq = 0;
    std::uint32_t arg0 = 0;
    std::uint32_t arg1 = 0;
    std::uint32_t arg2 = 0;
};

struct Reply {
    std::uint32_t op = 0;  // raw, so that a reply to an unknown op can echo it
    std::uint32_t seq = 0;
    std::uint16_t status = 0;
    std::uint16_t flags = 0;
    std::uint32_t value0 = 0;
    std::uint32_t value1 = 0;
    std::uint32_t value2 = 0;
};

inline constexpr std::uint16_t kReplyInjected = 0x0001;

inline constexpr std::size_t kRequestSize = 20;
inline constexpr std::size_t kReplySize = 24;

using RequestBytes = std::array<std::uint8_t, kRequestSize>;
using ReplyBytes = std::array<std::uint8_t, kReplySize>;

// True for the export numbers that the protocol carries.
bool IsKnownOp(std::uint32_t op);

RequestBytes EncodeRequest(const Request& request);
ReplyBytes EncodeReply(const Reply& reply);

// What a received request datagram holds. `rawOp` and `seq` are filled
// whenever the datagram was at least 8 bytes long, so that an error reply can
// still echo them.
struct DecodedRequest {
    std::optional<Request> request;  // empty: wrong size or unknown op
    std::uint32_t rawOp = 0;
    std::uint32_t seq = 0;
};
DecodedRequest DecodeRequest(std::span<const std::uint8_t> bytes);

// Empty when the datagram is not exactly a reply's size.
std::optional<Reply> DecodeReply(std::span<const std::uint8_t> bytes);

}  // namespace parvane::ipc
