#include "ecat/frame.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace parvane::ecat {
namespace {

constexpr const char* kCommandNames[] = {"NOP",  "APRD", "APWR", "APRW", "FPRD",
                                         "FPWR", "FPRW", "BRD",  "BWR",  "BRW",
                                         "LRD",  "LWR",  "LRW",  "ARMW", "FRMW"};

}  // namespace

const char* CommandName(Command command) {
    return IsKnown(command) ? kCommandNames[static_cast<std::uint8_t>(command)] : "?";
}

std::optional<Command> CommandFromName(const char* name) {
    if (name == nullptr || *name == '\0')
        return std::nullopt;
    for (std::uint8_t c = 0; c <= kLastCommand; ++c) {
        if (std::strcmp(name, kCommandNames[c]) == 0)
            return static_cast<Command>(c);
    }
    char* end = nullptr;
    const long number = std::strtol(name, &end, 0);
    if (*end == '\0' && number >= 0 && number <= kLastCommand)
        return static_cast<Command>(number);
    return std::nullopt;
}

const char* FrameErrorText(FrameError error) {
    switch (error) {
        case FrameError::kTooShort:
            return "frame shorter than its headers";
        case FrameError::kNotEtherCat:
            return "not an EtherCAT frame";
        case FrameError::kNotDatagrams:
            return "EtherCAT frame of another type";
        case FrameError::kLengthPastFrame:
            return "EtherCAT length past the end of the frame";
        case FrameError::kBadDatagram:
            return "datagram past the EtherCAT length";
        case FrameError::kTooManyDatagrams:
            return "too many datagrams";
    }
    return "?";
}

std::expected<void, FrameError> ReadFrame(std::span<std::uint8_t> frame, ParsedFrame& out) {
    out.count = 0;
    if (frame.size() < kEthernetHeaderSize + kEcatHeaderSize)
        return std::unexpected(FrameError::kTooShort);
    if (frame[12] != (kEtherType >> 8) || frame[13] != (kEtherType & 0xFF))
        return std::unexpected(FrameError::kNotEtherCat);
    const std::uint16_t header = Get16(&frame[kEthernetHeaderSize]);
    const std::size_t length = header & kLengthMask;
    if ((header >> 12) != kEcatTypeDatagrams || (header & 0x0800) != 0)
        return std::unexpected(FrameError::kNotDatagrams);
    const std::size_t start = kEthernetHeaderSize + kEcatHeaderSize;
    if (length > frame.size() - start)
        return std::unexpected(FrameError::kLengthPastFrame);
    out.ethernet = frame;
    out.datagrams = frame.subspan(start, length);

    std::size_t at = 0;
    for (;;) {
        if (length - at < kDatagramOverhead)
            return std::unexpected(FrameError::kBadDatagram);
        const std::size_t dataLength = Get16(&out.datagrams[at + 6]) & kLengthMask;
        const std::size_t size = kDatagramOverhead + dataLength;
        if (size > length - at)
            return std::unexpected(FrameError::kBadDatagram);
        if (out.count == ParsedFrame::kMaxDatagrams)
            return std::unexpected(FrameError::kTooManyDatagrams);
        DatagramView view(out.datagrams.subspan(at, size));
        out.views[out.count++] = view;
        at += size;
        if (!view.moreFollows())
            break;
    }
    return {};
}

FrameBuilder::FrameBuilder(std::span<std::uint8_t> buffer) : buffer_(buffer) {
    Reset(kBroadcastMac, MacAddress{});
}

void FrameBuilder::Reset(const MacAddress& destination, const MacAddress& source) {
    std::copy(destination.begin(), destination.end(), buffer_.begin());
    std::copy(source.begin(), source.end(), buffer_.begin() + 6);
    buffer_[12] = static_cast<std::uint8_t>(kEtherType >> 8);
    buffer_[13] = static_cast<std::uint8_t>(kEtherType & 0xFF);
    end_ = kEthernetHeaderSize + kEcatHeaderSize;
    lastHeader_ = 0;
    count_ = 0;
}

std::size_t FrameBuilder::RoomForData() const {
    const std::size_t limit = std::min(buffer_.size(), kMaxFrameSize);
    const std::size_t free = limit > end_ ? limit - end_ : 0;
    return free > kDatagramOverhead ? free - kDatagramOverhead : 0;
}

std::optional<DatagramView> FrameBuilder::Add(Command command, std::uint8_t index,
                                              std::uint32_t address, std::uint16_t length) {
    const std::size_t limit = std::min(buffer_.size(), kMaxFrameSize);
    if (length > kMaxDatagramData || end_ + kDatagramOverhead + length > limit)
        return std::nullopt;
    if (lastHeader_ != 0) {
        std::uint8_t* lengthField = &buffer_[lastHeader_ + 6];
        Put16(lengthField, Get16(lengthField) | kMoreFollowsFlag);
    }
    std::uint8_t* p = &buffer_[end_];
    p[0] = static_cast<std::uint8_t>(command);
    p[1] = index;
    Put32(p + 2, address);
    Put16(p + 6, length);
    Put16(p + 8, 0);
    std::memset(p + kDatagramHeaderSize, 0, length + kWkcSize);
    lastHeader_ = end_;
    const std::size_t size = kDatagramOverhead + length;
    end_ += size;
    ++count_;
    return DatagramView(buffer_.subspan(lastHeader_, size));
}

std::optional<DatagramView> FrameBuilder::Add(Command command, std::uint8_t index,
                                              std::uint32_t address,
                                              std::span<const std::uint8_t> data) {
    if (data.size() > kMaxDatagramData)
        return std::nullopt;
    auto view = Add(command, index, address, static_cast<std::uint16_t>(data.size()));
    if (view && !data.empty())
        std::memcpy(view->data().data(), data.data(), data.size());
    return view;
}

std::span<const std::uint8_t> FrameBuilder::Finish() {
    const std::size_t length = end_ - kEthernetHeaderSize - kEcatHeaderSize;
    Put16(&buffer_[kEthernetHeaderSize],
          static_cast<std::uint16_t>(length | (kEcatTypeDatagrams << 12)));
    std::size_t size = end_;
    if (size < kMinFrameSize && buffer_.size() >= kMinFrameSize) {
        std::memset(&buffer_[size], 0, kMinFrameSize - size);
        size = kMinFrameSize;
    }
    return buffer_.first(size);
}

}  // namespace parvane::ecat
