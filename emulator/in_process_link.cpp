#include "emulator/in_process_link.h"

#include <algorithm>
#include <cstring>

namespace parvane::emulator {

std::expected<void, ecat::LinkError> InProcessLink::Send(std::span<const std::uint8_t> frame) {
    if (frame.size() > ecat::kMaxFrameSize)
        return {};  // no wire carries it
    std::lock_guard lock(mutex_);
    if (count_ == kQueued) {
        head_ = (head_ + 1) % kQueued;
        --count_;
    }
    Slot& slot = ring_[(head_ + count_) % kQueued];
    std::memcpy(slot.bytes.data(), frame.data(), frame.size());
    if (segment_.Process(std::span(slot.bytes).first(frame.size())) != FrameOutcome::kAnswered)
        return {};
    // Padded as a NIC pads a short frame.
    slot.length = std::max(frame.size(), ecat::kMinFrameSize);
    if (frame.size() < ecat::kMinFrameSize)
        std::memset(slot.bytes.data() + frame.size(), 0, ecat::kMinFrameSize - frame.size());
    ++count_;
    return {};
}

std::expected<std::size_t, ecat::LinkError> InProcessLink::Receive(std::span<std::uint8_t> buffer,
                                                                   Clock::time_point) {
    std::lock_guard lock(mutex_);
    if (count_ == 0)
        return std::unexpected(ecat::LinkError::kTimeout);
    const Slot& slot = ring_[head_];
    head_ = (head_ + 1) % kQueued;
    --count_;
    const std::size_t n = std::min(buffer.size(), slot.length);
    std::memcpy(buffer.data(), slot.bytes.data(), n);
    return n;
}

}  // namespace parvane::emulator
