// EtherCAT frames: an Ethernet header with type 0x88A4, a 2-byte EtherCAT
// header (datagram bytes that follow, type 1) and datagrams back to back,
// each a 10-byte header, its data and a 2-byte working counter (WKC).
//
// FrameBuilder writes a frame into a caller's buffer; ReadFrame checks every
// length in a received frame against its buffer before anything is read, so
// a DatagramView it hands out never reaches outside the frame. Neither
// allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "ecat/byte_order.h"

namespace parvane::ecat {

inline constexpr std::uint16_t kEtherType = 0x88A4;
inline constexpr std::size_t kEthernetHeaderSize = 14;
inline constexpr std::size_t kEcatHeaderSize = 2;
inline constexpr std::size_t kDatagramHeaderSize = 10;
inline constexpr std::size_t kWkcSize = 2;
inline constexpr std::size_t kDatagramOverhead = kDatagramHeaderSize + kWkcSize;
inline constexpr std::size_t kMaxFrameSize = 1514;  // without the FCS
inline constexpr std::size_t kMinFrameSize = 60;    // what a NIC pads to
inline constexpr std::size_t kMaxDatagramsBytes =
    kMaxFrameSize - kEthernetHeaderSize - kEcatHeaderSize;                               // 1498
inline constexpr std::size_t kMaxDatagramData = kMaxDatagramsBytes - kDatagramOverhead;  // 1486
inline constexpr std::uint8_t kEcatTypeDatagrams = 1;

using MacAddress = std::array<std::uint8_t, 6>;
inline constexpr MacAddress kBroadcastMac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// Each slave sets this bit in byte 0 of the source address as the frame
// passes, so a returned frame can be told from the master's own.
inline constexpr std::uint8_t kMacLocallyAdministered = 0x02;

enum class Command : std::uint8_t {
    kNop = 0,
    kAprd = 1,
    kApwr = 2,
    kAprw = 3,
    kFprd = 4,
    kFpwr = 5,
    kFprw = 6,
    kBrd = 7,
    kBwr = 8,
    kBrw = 9,
    kLrd = 10,
    kLwr = 11,
    kLrw = 12,
    kArmw = 13,
    kFrmw = 14,
};
inline constexpr std::uint8_t kLastCommand = 14;

// How a command selects the slaves that act on it.
enum class Addressing { kNone, kPosition, kStation, kBroadcast, kLogical };

constexpr Addressing AddressingOf(Command c) {
    switch (c) {
        case Command::kAprd:
        case Command::kApwr:
        case Command::kAprw:
        case Command::kArmw:
            return Addressing::kPosition;
        case Command::kFprd:
        case Command::kFpwr:
        case Command::kFprw:
        case Command::kFrmw:
            return Addressing::kStation;
        case Command::kBrd:
        case Command::kBwr:
        case Command::kBrw:
            return Addressing::kBroadcast;
        case Command::kLrd:
        case Command::kLwr:
        case Command::kLrw:
            return Addressing::kLogical;
        case Command::kNop:
            break;
    }
    return Addressing::kNone;
}

// Whether a datagram's command byte names a command at all.
constexpr bool IsKnown(Command c) {
    return static_cast<std::uint8_t>(c) <= kLastCommand;
}

// Whether the command writes slave memory through a physical or broadcast
// address: the writes, the read-writes, and the read-multiple-writes (which
// write every slave but the one they read). Logical commands write through
// FMMUs instead: see WritesOutputs.
constexpr bool IsWrite(Command c) {
    switch (c) {
        case Command::kApwr:
        case Command::kAprw:
        case Command::kFpwr:
        case Command::kFprw:
        case Command::kBwr:
        case Command::kBrw:
        case Command::kArmw:
        case Command::kFrmw:
            return true;
        default:
            return false;
    }
}

// Whether a logical command carries outputs (logical -> slave memory) or
// inputs (slave memory -> logical).
constexpr bool WritesOutputs(Command c) {
    return c == Command::kLwr || c == Command::kLrw;
}
constexpr bool ReadsInputs(Command c) {
    return c == Command::kLrd || c == Command::kLrw;
}

// The read-write commands, which count a read and a write apart in the
// working counter.
constexpr bool IsReadWrite(Command c) {
    return c == Command::kAprw || c == Command::kFprw || c == Command::kBrw || c == Command::kLrw;
}

// What one slave adds to a datagram's working counter: a read-write command
// counts 1 for its read and 2 for its write; any other command 1 when the
// slave read or wrote.
constexpr std::uint16_t WkcIncrement(Command c, bool read, bool written) {
    if (IsReadWrite(c))
        return static_cast<std::uint16_t>((read ? 1 : 0) + (written ? 2 : 0));
    return read || written ? 1 : 0;
}

// "APRD", "LRW", ... ("?" for a number that names no command).
const char* CommandName(Command command);
inline const char* CommandName(std::uint8_t command) {
    return CommandName(static_cast<Command>(command));
}
// The command a name ("FPWR") or its number as text stands for.
std::optional<Command> CommandFromName(const char* name);

// The 32-bit address field: ADP in the low half, ADO in the high half, or
// one logical address.
constexpr std::uint32_t MakeAddress(std::uint16_t adp, std::uint16_t ado) {
    return static_cast<std::uint32_t>(adp) | (static_cast<std::uint32_t>(ado) << 16);
}

// Bits of the datagram's length field besides the length.
inline constexpr std::uint16_t kLengthMask = 0x07FF;
inline constexpr std::uint16_t kCirculatingFlag = 0x4000;
inline constexpr std::uint16_t kMoreFollowsFlag = 0x8000;

// One datagram inside a frame buffer. The view's bytes cover exactly the
// header, the data and the working counter.
class DatagramView {
  public:
    DatagramView() = default;
    explicit DatagramView(std::span<std::uint8_t> bytes) : bytes_(bytes) {}

    Command command() const { return static_cast<Command>(bytes_[0]); }
    std::uint8_t index() const { return bytes_[1]; }
    std::uint32_t address() const { return Get32(&bytes_[2]); }
    std::uint16_t adp() const { return Get16(&bytes_[2]); }
    std::uint16_t ado() const { return Get16(&bytes_[4]); }
    std::uint16_t length() const { return Get16(&bytes_[6]) & kLengthMask; }
    bool moreFollows() const { return (Get16(&bytes_[6]) & kMoreFollowsFlag) != 0; }
    bool circulating() const { return (Get16(&bytes_[6]) & kCirculatingFlag) != 0; }
    std::uint16_t irq() const { return Get16(&bytes_[8]); }
    std::span<std::uint8_t> data() const { return bytes_.subspan(kDatagramHeaderSize, length()); }
    std::uint16_t wkc() const { return Get16(&bytes_[kDatagramHeaderSize + length()]); }

    void setAdp(std::uint16_t adp) { Put16(&bytes_[2], adp); }
    void setWkc(std::uint16_t wkc) { Put16(&bytes_[kDatagramHeaderSize + length()], wkc); }
    void setIrq(std::uint16_t irq) { Put16(&bytes_[8], irq); }

    std::span<std::uint8_t> bytes() const { return bytes_; }

  private:
    std::span<std::uint8_t> bytes_;
};

enum class FrameError {
    kTooShort,          // shorter than the Ethernet and EtherCAT headers
    kNotEtherCat,       // another Ethernet type
    kNotDatagrams,      // EtherCAT type other than 1, or the reserved bit set
    kLengthPastFrame,   // the EtherCAT header claims more bytes than arrived
    kBadDatagram,       // a datagram runs past the EtherCAT length, or none fits
    kTooManyDatagrams,  // more than the caller's limit
};

const char* FrameErrorText(FrameError error);

// A received frame whose lengths have all been checked: up to kMaxDatagrams
// views into the caller's buffer, in frame order.
struct ParsedFrame {
    static constexpr std::size_t kMaxDatagrams = kMaxDatagramsBytes / kDatagramOverhead;  // 124
    std::span<std::uint8_t> ethernet;   // the whole frame as parsed (headers included)
    std::span<std::uint8_t> datagrams;  // the bytes the EtherCAT header counts
    std::array<DatagramView, kMaxDatagrams> views{};
    std::size_t count = 0;

    std::span<const DatagramView> list() const { return {views.data(), count}; }
};

// Checks a frame and finds its datagrams. The chain ends at the first
// datagram without the "more follows" flag; bytes after it (padding) are
// ignored. Any length that does not fit the buffer refuses the whole frame.
std::expected<void, FrameError> ReadFrame(std::span<std::uint8_t> frame, ParsedFrame& out);

// The source and destination of a frame already known to be long enough.
inline MacAddress DestinationOf(std::span<const std::uint8_t> frame) {
    return {frame[0], frame[1], frame[2], frame[3], frame[4], frame[5]};
}
inline MacAddress SourceOf(std::span<const std::uint8_t> frame) {
    return {frame[6], frame[7], frame[8], frame[9], frame[10], frame[11]};
}

// Builds one frame in a buffer of at least kMaxFrameSize bytes.
class FrameBuilder {
  public:
    explicit FrameBuilder(std::span<std::uint8_t> buffer);

    // Starts a new frame with these addresses; forgets any datagram added.
    void Reset(const MacAddress& destination, const MacAddress& source);

    // Data bytes a further datagram could still carry (0 when none fits).
    std::size_t RoomForData() const;

    // Appends a datagram with `length` zero bytes of data (or the given
    // bytes) and a zero working counter; the view lets the caller fill the
    // data in place. Nothing when it does not fit.
    std::optional<DatagramView> Add(Command command, std::uint8_t index, std::uint32_t address,
                                    std::uint16_t length);
    std::optional<DatagramView> Add(Command command, std::uint8_t index, std::uint32_t address,
                                    std::span<const std::uint8_t> data);

    std::size_t datagramCount() const { return count_; }

    // Writes the EtherCAT header, pads to the minimum frame size and returns
    // the frame's bytes.
    std::span<const std::uint8_t> Finish();

  private:
    std::span<std::uint8_t> buffer_;
    std::size_t end_ = kEthernetHeaderSize + kEcatHeaderSize;
    std::size_t lastHeader_ = 0;  // offset of the last datagram's header, 0 when none
    std::size_t count_ = 0;
};

}  // namespace parvane::ecat
