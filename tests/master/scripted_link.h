// A frame link for tests whose answers a script decides: each frame sent is
// handed to a responder, which may queue any frames (the proper reply, a
// changed one, none, or an earlier frame's late reply). Receive returns the
// queued frames in order and reports a timeout at once when none is left,
// so no test waits for real time to pass.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "ecat/frame.h"
#include "ecat/link.h"

namespace parvane::master::testing {

using Frame = std::vector<std::uint8_t>;

class ScriptedLink : public ecat::Link {
  public:
    // Called with every sent frame and its number (0 for the first); pushes
    // whatever should arrive onto `arrivals`.
    using Responder =
        std::function<void(const Frame& sent, int number, std::deque<Frame>& arrivals)>;

    explicit ScriptedLink(Responder responder) : responder_(std::move(responder)) {}

    std::expected<void, ecat::LinkError> Send(std::span<const std::uint8_t> frame) override {
        if (downOnSend)
            return std::unexpected(ecat::LinkError::kDown);
        sent.emplace_back(frame.begin(), frame.end());
        responder_(sent.back(), static_cast<int>(sent.size()) - 1, arrivals_);
        return {};
    }

    std::expected<std::size_t, ecat::LinkError> Receive(std::span<std::uint8_t> buffer,
                                                        Clock::time_point) override {
        if (arrivals_.empty())
            return std::unexpected(downOnReceive ? ecat::LinkError::kDown
                                                 : ecat::LinkError::kTimeout);
        Frame frame = std::move(arrivals_.front());
        arrivals_.pop_front();
        const std::size_t n = std::min(frame.size(), buffer.size());
        std::copy_n(frame.begin(), n, buffer.begin());
        return n;
    }

    std::vector<Frame> sent;
    bool downOnSend = false;
    bool downOnReceive = false;

  private:
    Responder responder_;
    std::deque<Frame> arrivals_;
};

// What a segment of `slaves` slaves that all act on every datagram returns:
// the frame with the source's locally-administered bit set, each datagram's
// WKC raised by the slave count, the ADP of position and broadcast commands
// counted up, and reads filled with `fill`.
inline Frame Answered(Frame frame, std::uint16_t slaves, std::uint8_t fill = 0xA5) {
    frame[6] |= ecat::kMacLocallyAdministered;
    ecat::ParsedFrame parsed;
    if (!ecat::ReadFrame(frame, parsed))
        return frame;
    for (std::size_t i = 0; i < parsed.count; ++i) {
        ecat::DatagramView view = parsed.views[i];
        const auto command = static_cast<ecat::Command>(view.command());
        const auto addressing = ecat::AddressingOf(command);
        if (addressing == ecat::Addressing::kPosition || addressing == ecat::Addressing::kBroadcast)
            view.setAdp(static_cast<std::uint16_t>(view.adp() + slaves));
        if (command == ecat::Command::kAprd || command == ecat::Command::kFprd ||
            command == ecat::Command::kBrd || command == ecat::Command::kLrd) {
            for (std::uint8_t& b : view.data())
                b = fill;
        }
        view.setWkc(static_cast<std::uint16_t>(view.wkc() + slaves));
    }
    return frame;
}

}  // namespace parvane::master::testing
