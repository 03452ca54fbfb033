// The mailbox protocol carried in the mailbox sync managers (SM0: master to
// slave, SM1: slave to master): a 6-byte mailbox header, then for CoE a
// 2-byte CoE header and the SDO part (command byte, index, subindex, 4 bytes).
#pragma once

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

}  // namespace parvane::ecat
