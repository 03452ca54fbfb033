// The mailbox protocol carried in the mailbox sync managers (SM0: master to
// slave, SM1: slave to master): a 6-byte mailbox header, then for CoE a
// 2-byte CoE header and the SDO part (command byte, index, subindex, 4 bytes);
// for SoE a 4-byte SoE header, for EoE a 4-byte EoE header and its frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "ecat/byte_order.h"

namespace parvane::ecat {

inline constexpr std::size_t kMailboxHeaderSize = 6;
inline constexpr std::size_t kCoeHeaderSize = 2;
inline constexpr std::size_t kSdoHeaderSize = 8;  // command, index, subindex, 4 data bytes
// Mailbox length of an expedited SDO message: CoE header + SDO part.
inline constexpr std::uint16_t kSdoExpeditedLength = kCoeHeaderSize + kSdoHeaderSize;

enum class MailboxType : std::uint8_t {
    kError = 0,
    kAoe = 1,
    kEoe = 2,
    kCoe = 3,
    kFoe = 4,
    kSoe = 5,
    kVoe = 15,
};

struct MailboxHeader {
    std::uint16_t length = 0;  // bytes after this header
    std::uint16_t address = 0;
    std::uint8_t channel = 0;
    std::uint8_t priority = 0;
    std::uint8_t type = 0;     // MailboxType
    std::uint8_t counter = 0;  // 1 to 7; 0 = none

    static MailboxHeader Decode(std::span<const std::uint8_t, kMailboxHeaderSize> b) {
        return MailboxHeader{Get16(&b[0]),
                             Get16(&b[2]),
                             static_cast<std::uint8_t>(b[4] & 0x3F),
                             static_cast<std::uint8_t>(b[4] >> 6),
                             static_cast<std::uint8_t>(b[5] & 0x0F),
                             static_cast<std::uint8_t>((b[5] >> 4) & 0x07)};
    }
    void Encode(std::span<std::uint8_t, kMailboxHeaderSize> b) const {
        Put16(&b[0], length);
        Put16(&b[2], address);
        b[4] = static_cast<std::uint8_t>((channel & 0x3F) | (priority << 6));
        b[5] = static_cast<std::uint8_t>((type & 0x0F) | ((counter & 0x07) << 4));
    }
};

// The counter a sender uses after `counter`: 1 to 7, then 1 again.
constexpr std::uint8_t NextMailboxCounter(std::uint8_t counter) {
    return counter >= 7 ? 1 : static_cast<std::uint8_t>(counter + 1);
}

// Payload of a mailbox error reply (type 0): u16 1, u16 detail.
inline constexpr std::uint16_t kMailboxErrorSyntax = 0x0001;
inline constexpr std::uint16_t kMailboxErrorUnsupportedProtocol = 0x0002;
inline constexpr std::uint16_t kMailboxErrorInvalidChannel = 0x0003;
inline constexpr std::uint16_t kMailboxErrorServiceUnsupported = 0x0004;
inline constexpr std::uint16_t kMailboxErrorInvalidHeader = 0x0005;
inline constexpr std::uint16_t kMailboxErrorSizeTooShort = 0x0006;
inline constexpr std::uint16_t kMailboxErrorNoMoreMemory = 0x0007;
inline constexpr std::uint16_t kMailboxErrorInvalidSize = 0x0008;

// CoE header: number in bits 0-8, service in bits 12-15.
enum class CoeService : std::uint8_t {
    kEmergency = 1,
    kSdoRequest = 2,
    kSdoResponse = 3,
    kSdoInformation = 8,
};

constexpr std::uint16_t CoeHeader(CoeService service, std::uint16_t number = 0) {
    return static_cast<std::uint16_t>((number & 0x01FF) |
                                      (static_cast<std::uint16_t>(service) << 12));
}
constexpr std::uint8_t CoeServiceOf(std::uint16_t header) {
    return static_cast<std::uint8_t>(header >> 12);
}

// SDO command bytes. The top three bits are the command specifier; the
// others depend on it.
namespace sdo {
inline constexpr std::uint8_t kSpecifierMask = 0xE0;
// Client (master) requests.
inline constexpr std::uint8_t kDownloadSegmentRequest =
    0x00;                                               // + toggle 0x10, unused 0x0E, last 0x01
inline constexpr std::uint8_t kDownloadRequest = 0x20;  // initiate download
inline constexpr std::uint8_t kUploadRequest = 0x40;    // initiate upload
inline constexpr std::uint8_t kUploadSegmentRequest = 0x60;  // + toggle 0x10
inline constexpr std::uint8_t kAbort = 0x80;
// Server (slave) responses.
inline constexpr std::uint8_t kUploadSegmentResponse = 0x00;    // + toggle, unused, last
inline constexpr std::uint8_t kDownloadSegmentResponse = 0x20;  // + toggle
inline constexpr std::uint8_t kUploadResponse = 0x40;           // initiate upload response
inline constexpr std::uint8_t kDownloadResponse = 0x60;         // initiate download response
// Flags of the initiate commands.
inline constexpr std::uint8_t kSizeIndicated = 0x01;
inline constexpr std::uint8_t kExpedited = 0x02;
inline constexpr std::uint8_t kUnusedShift = 2;  // expedited: (4 - n) << 2
inline constexpr std::uint8_t kUnusedMask = 0x0C;
inline constexpr std::uint8_t kCompleteAccess = 0x10;
// Flags of the segment commands.
inline constexpr std::uint8_t kToggle = 0x10;
inline constexpr std::uint8_t kLastSegment = 0x01;
inline constexpr std::uint8_t kSegmentUnusedMask = 0x0E;

// The command byte of an expedited download of n (1 to 4) bytes.
constexpr std::uint8_t ExpeditedDownload(std::size_t n, bool completeAccess = false) {
    return static_cast<std::uint8_t>(kDownloadRequest | kExpedited | kSizeIndicated |
                                     ((4 - n) << kUnusedShift) |
                                     (completeAccess ? kCompleteAccess : 0));
}
// The command byte of an expedited upload response of n (1 to 4) bytes.
constexpr std::uint8_t ExpeditedUploadResponse(std::size_t n) {
    return static_cast<std::uint8_t>(kUploadResponse | kExpedited | kSizeIndicated |
                                     ((4 - n) << kUnusedShift));
}
}  // namespace sdo

// SDO abort codes, and their meaning as logs print them.
namespace sdo_abort {
inline constexpr std::uint32_t kToggleBit = 0x05030000;
inline constexpr std::uint32_t kTimeout = 0x05040000;
inline constexpr std::uint32_t kBadCommand = 0x05040001;
inline constexpr std::uint32_t kOutOfMemory = 0x05040005;
inline constexpr std::uint32_t kUnsupportedAccess = 0x06010000;
inline constexpr std::uint32_t kWriteOnly = 0x06010001;
inline constexpr std::uint32_t kReadOnly = 0x06010002;
inline constexpr std::uint32_t kSubindexZeroForComplete = 0x06010003;
inline constexpr std::uint32_t kNoObject = 0x06020000;
inline constexpr std::uint32_t kCannotMap = 0x06040041;
inline constexpr std::uint32_t kPdoTooLong = 0x06040042;
inline constexpr std::uint32_t kLengthMismatch = 0x06070010;
inline constexpr std::uint32_t kTooLong = 0x06070012;
inline constexpr std::uint32_t kTooShort = 0x06070013;
inline constexpr std::uint32_t kNoSubindex = 0x06090011;
inline constexpr std::uint32_t kValueRange = 0x06090030;
inline constexpr std::uint32_t kGeneral = 0x08000000;
inline constexpr std::uint32_t kCannotStore = 0x08000020;
inline constexpr std::uint32_t kLocalControl = 0x08000021;
inline constexpr std::uint32_t kDeviceState = 0x08000022;
}  // namespace sdo_abort

const char* SdoAbortText(std::uint32_t code);

// A CoE emergency (CoE service 1), which a slave posts unasked: error code,
// error register, 5 bytes specific to the maker.
inline constexpr std::size_t kEmergencySize = 8;
struct Emergency {
    std::uint16_t code = 0;
    std::uint8_t errorRegister = 0;
    std::array<std::uint8_t, 5> data{};

    // From the CoE payload (CoE header first); nothing unless it is a whole
    // emergency.
    static std::optional<Emergency> Decode(std::span<const std::uint8_t> coe);
};

// ---- SoE: byte 0 op code (bits 0-2), incomplete (3), error (4), drive
// number (5-7); byte 1 the elements; bytes 2-3 the IDN, or while
// `incomplete` is set the fragments still to come. The data follows; an
// error reply ends in its u16 error code.
inline constexpr std::size_t kSoeHeaderSize = 4;
inline constexpr std::size_t kSoeErrorSize = kSoeHeaderSize + 2;

enum class SoeOpCode : std::uint8_t {
    kReadRequest = 1,
    kReadResponse = 2,
    kWriteRequest = 3,
    kWriteResponse = 4,
    kNotification = 5,
    kSlaveInfo = 6,
};

// The elements of an IDN a request names.
namespace soe_element {
inline constexpr std::uint8_t kDataState = 0x01;
inline constexpr std::uint8_t kName = 0x02;
inline constexpr std::uint8_t kAttribute = 0x04;
inline constexpr std::uint8_t kUnit = 0x08;
inline constexpr std::uint8_t kMinimum = 0x10;
inline constexpr std::uint8_t kMaximum = 0x20;
inline constexpr std::uint8_t kValue = 0x40;
inline constexpr std::uint8_t kDefault = 0x80;
}  // namespace soe_element

namespace soe_error {
inline constexpr std::uint16_t kNoIdn = 0x1001;
inline constexpr std::uint16_t kNoElement = 0x1009;
inline constexpr std::uint16_t kDataTooShort = 0x7002;
inline constexpr std::uint16_t kDataTooLong = 0x7003;
inline constexpr std::uint16_t kReadOnly = 0x7004;
inline constexpr std::uint16_t kWriteProtected = 0x7005;
}  // namespace soe_error

struct SoeHeader {
    std::uint8_t opCode = 0;  // SoeOpCode
    bool incomplete = false;
    bool error = false;
    std::uint8_t driveNo = 0;  // 0 to 7
    std::uint8_t elements = 0;
    std::uint16_t idn = 0;  // or the fragments left while `incomplete`

    // Nothing when the payload is shorter than the header.
    static std::optional<SoeHeader> Decode(std::span<const std::uint8_t> payload);
    // False when `out` is shorter than the header.
    bool Encode(std::span<std::uint8_t> out) const;
};

// The code of an SoE error reply (its last two bytes), or nothing when the
// payload is too short to hold one.
std::optional<std::uint16_t> SoeErrorCode(std::span<const std::uint8_t> payload);
const char* SoeErrorText(std::uint16_t code);
// "S-0-0015" or "P-1-0100" (bit 15 S/P, bits 12-14 parameter set, bits 0-11
// the number); writes into `out` and returns it.
const char* IdnText(std::uint16_t idn, std::span<char> out);

// ---- EoE: u16 frame type (bits 0-3), port (4-7), last fragment (8), time
// appended (9), time requested (10); u16 fragment information or, in the
// responses, the result.
inline constexpr std::size_t kEoeHeaderSize = 4;

enum class EoeFrameType : std::uint8_t {
    kFragment = 0,
    kInitResponseTimestamp = 1,
    kSetIpRequest = 2,
    kSetIpResponse = 3,
    kSetFilterRequest = 4,
    kSetFilterResponse = 5,
    kGetIpRequest = 6,
    kGetIpResponse = 7,
    kGetFilterRequest = 8,
    kGetFilterResponse = 9,
};

namespace eoe_result {
inline constexpr std::uint16_t kSuccess = 0x0000;
inline constexpr std::uint16_t kUnspecified = 0x0001;
inline constexpr std::uint16_t kUnsupportedType = 0x0002;
inline constexpr std::uint16_t kNoIp = 0x0201;
inline constexpr std::uint16_t kNoDhcp = 0x0202;
inline constexpr std::uint16_t kNoFilter = 0x0401;
}  // namespace eoe_result
const char* EoeResultText(std::uint16_t result);

struct EoeHeader {
    std::uint8_t type = 0;  // EoeFrameType
    std::uint8_t port = 0;
    bool lastFragment = false;
    bool timeAppended = false;
    bool timeRequested = false;
    std::uint16_t info = 0;  // fragment number/offset/frame number, or the result

    static std::optional<EoeHeader> Decode(std::span<const std::uint8_t> payload);
    bool Encode(std::span<std::uint8_t> out) const;
};

// The response type of a request type (set IP 2 -> 3, ...), or nothing for
// a frame no response follows.
std::optional<EoeFrameType> EoeResponseTo(std::uint8_t requestType);

// The IP parameters of a set-IP request or get-IP response, after the EoE
// header: u32 flags, then MAC (6), IP, subnet, gateway, DNS server (u32
// each, little-endian) and DNS name (32). Fixed: every field at its place,
// whatever the flags; packed: only the fields the flags include, in order.
namespace eoe_ip {
inline constexpr std::uint32_t kMac = 0x01;
inline constexpr std::uint32_t kIp = 0x02;
inline constexpr std::uint32_t kSubnet = 0x04;
inline constexpr std::uint32_t kGateway = 0x08;
inline constexpr std::uint32_t kDnsIp = 0x10;
inline constexpr std::uint32_t kDnsName = 0x20;
inline constexpr std::size_t kNameSize = 32;
inline constexpr std::size_t kFixedSize = 4 + 6 + 4 * 4 + kNameSize;  // 58
// An EoE frame (header included) this long or longer has the fixed layout.
inline constexpr std::size_t kFixedFrameSize = kEoeHeaderSize + kFixedSize;  // 62
}  // namespace eoe_ip

struct EoeIpParameters {
    std::uint32_t flags = 0;
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t ip = 0;
    std::uint32_t subnet = 0;
    std::uint32_t gateway = 0;
    std::uint32_t dnsIp = 0;
    std::array<char, eoe_ip::kNameSize> dnsName{};

    // The bytes the parameters take after the EoE header.
    std::size_t Size(bool fixed) const;
    // Nothing when a field the flags include lies past the end of `body`.
    static std::optional<EoeIpParameters> Decode(std::span<const std::uint8_t> body, bool fixed);
    // The bytes written, 0 when `body` is too short.
    std::size_t Encode(std::span<std::uint8_t> body, bool fixed) const;

    friend bool operator==(const EoeIpParameters&, const EoeIpParameters&) = default;
};

}  // namespace parvane::ecat
