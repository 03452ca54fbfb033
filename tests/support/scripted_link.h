// The frame link of the master's tests and fuzz targets: each frame sent is
// handed to a responder, which may queue any frames (the proper reply, a
// changed one, none, or an earlier frame's late reply). Receive returns the
// queued frames in order; with none queued it asks the source for a frame
// that arrives unasked, and reports a timeout at once when there is none, so
// no test waits for real time to pass. Safe to share between threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "ecat/frame.h"
#include "ecat/link.h"

namespace testsupport {

using Frame = std::vector<std::uint8_t>;

class ScriptedLink : public parvane::ecat::Link {
  public:
    // Called with every sent frame and its number (0 for the first); pushes
    // whatever should arrive onto `arrivals`.
    using Responder =
        std::function<void(const Frame& sent, int number, std::deque<Frame>& arrivals)>;
    // A frame that arrives without being asked for; false: none.
    using Source = std::function<bool(Frame& frame)>;

    explicit ScriptedLink(Responder responder, Source source = nullptr)
        : responder_(std::move(responder)), source_(std::move(source)) {}

    std::expected<void, parvane::ecat::LinkError> Send(
        std::span<const std::uint8_t> frame) override {
        std::lock_guard lock(mutex_);
        if (downOnSend)
            return std::unexpected(parvane::ecat::LinkError::kDown);
        sent.emplace_back(frame.begin(), frame.end());
        responder_(sent.back(), static_cast<int>(sent.size()) - 1, arrivals_);
        return {};
    }

    std::expected<std::size_t, parvane::ecat::LinkError> Receive(std::span<std::uint8_t> buffer,
                                                                 Clock::time_point) override {
        std::lock_guard lock(mutex_);
        Frame frame;
        if (!arrivals_.empty()) {
            frame = std::move(arrivals_.front());
            arrivals_.pop_front();
        } else if (!source_ || !source_(frame)) {
            return std::unexpected(downOnReceive ? parvane::ecat::LinkError::kDown
                                                 : parvane::ecat::LinkError::kTimeout);
        }
        const std::size_t n = std::min(frame.size(), buffer.size());
        std::copy_n(frame.begin(), n, buffer.begin());
        return n;
    }

    std::vector<Frame> sent;
    bool downOnSend = false;
    bool downOnReceive = false;

  private:
    std::mutex mutex_;
    Responder responder_;
    Source source_;
    std::deque<Frame> arrivals_;
};

// A responder for slaves that act datagram by datagram: `act` sees every
// datagram of a frame and may change its data and working counter; the
// frame comes back (its source marked as passed by a slave) unless `act`
// returned false for one of them.
inline ScriptedLink::Responder EachDatagram(std::function<bool(parvane::ecat::DatagramView&)> act) {
    return [act = std::move(act)](const Frame& sent, int, std::deque<Frame>& arrivals) {
        Frame frame = sent;
        parvane::ecat::ParsedFrame parsed;
        if (!parvane::ecat::ReadFrame(frame, parsed))
            return;
        frame[6] |= parvane::ecat::kMacLocallyAdministered;
        bool keep = true;
        for (std::size_t d = 0; d < parsed.count; ++d)
            keep = act(parsed.views[d]) && keep;
        if (keep)
            arrivals.push_back(std::move(frame));
    };
}

// What a segment of `slaves` slaves that all act on every datagram returns:
// the frame with the source's locally-administered bit set, each datagram's
// WKC raised by the slave count, the ADP of position and broadcast commands
// counted up, and reads filled with `fill`.
inline Frame Answered(Frame frame, std::uint16_t slaves, std::uint8_t fill = 0xA5) {
    namespace ecat = parvane::ecat;
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

// A responder for `slaves` slaves that answer every frame (see Answered).
inline ScriptedLink::Responder AnsweringSlaves(std::uint16_t slaves) {
    return [slaves](const Frame& sent, int, std::deque<Frame>& arrivals) {
        arrivals.push_back(Answered(sent, slaves));
    };
}

}  // namespace testsupport
