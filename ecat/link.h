// A wire that carries whole Ethernet frames: a network interface, or emulated
// slaves in the same process. The master and the emulated slaves each bring
// their own implementations; only this contract is shared.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

namespace parvane::ecat {

enum class LinkError {
    kTimeout,  // nothing arrived by the deadline
    kDown,     // the wire is gone (interface removed, socket broken)
    kSystem,   // a system call failed; the implementation logs why
};

class Link {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~Link() = default;

    // Sends one frame (Ethernet header included, no FCS). A frame the wire
    // drops is not an error here: its reply simply never arrives.
    virtual std::expected<void, LinkError> Send(std::span<const std::uint8_t> frame) = 0;

    // Receives the next frame into `buffer` by the deadline and returns its
    // length (a longer frame is cut to the buffer). Frames that are not
    // EtherCAT, and the sender's own outgoing frames, are never returned.
    virtual std::expected<std::size_t, LinkError> Receive(std::span<std::uint8_t> buffer,
                                                          Clock::time_point deadline) = 0;
};

}  // namespace parvane::ecat
