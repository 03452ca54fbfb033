// The link the master uses when its slaves are emulated in the same process:
// Send runs the frame through the segment at once and queues the reply;
// Receive hands out the oldest reply, or times out at once when none is
// queued, since nothing could arrive later. Safe to use from several
// threads; frames are copied in once and out once, nothing is allocated.
#pragma once

#include <array>
#include <mutex>

#include "ecat/link.h"
#include "emulator/segment.h"

namespace parvane::emulator {

class InProcessLink final : public ecat::Link {
  public:
    explicit InProcessLink(Segment& segment) : segment_(segment) {}

    std::expected<void, ecat::LinkError> Send(std::span<const std::uint8_t> frame) override;
    std::expected<std::size_t, ecat::LinkError> Receive(std::span<std::uint8_t> buffer,
                                                        Clock::time_point deadline) override;

  private:
    static constexpr std::size_t kQueued = 64;  // replies held; the oldest goes first when full
    struct Slot {
        std::array<std::uint8_t, ecat::kMaxFrameSize> bytes;
        std::size_t length = 0;
    };

    std::mutex mutex_;
    Segment& segment_;
    std::array<Slot, kQueued> ring_{};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

}  // namespace parvane::emulator
