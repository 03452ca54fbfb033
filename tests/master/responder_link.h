// A link whose "slaves" are one function: every datagram of a sent frame is
// handed to it, and the frame comes back with whatever it wrote into the
// data and working counter. A function that returns false loses the frame.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "ecat/frame.h"
#include "ecat/link.h"

namespace parvane::master::testing {

class ResponderLink : public ecat::Link {
  public:
    using Responder = std::function<bool(ecat::DatagramView&)>;

    explicit ResponderLink(Responder responder) : responder_(std::move(responder)) {}

    std::expected<void, ecat::LinkError> Send(std::span<const std::uint8_t> sent) override {
        std::vector<std::uint8_t> frame(sent.begin(), sent.end());
        ecat::ParsedFrame parsed;
        if (!ecat::ReadFrame(frame, parsed))
            return {};
        frame[6] |= ecat::kMacLocallyAdministered;
        std::lock_guard lock(mutex_);
        bool keep = true;
        for (std::size_t d = 0; d < parsed.count; ++d)
            keep = responder_(parsed.views[d]) && keep;
        if (keep)
            replies_.push_back(std::move(frame));
        return {};
    }

    std::expected<std::size_t, ecat::LinkError> Receive(std::span<std::uint8_t> buffer,
                                                        Clock::time_point) override {
        std::lock_guard lock(mutex_);
        if (replies_.empty())
            return std::unexpected(ecat::LinkError::kTimeout);
        const std::vector<std::uint8_t> frame = std::move(replies_.front());
        replies_.pop_front();
        const std::size_t n = std::min(frame.size(), buffer.size());
        std::memcpy(buffer.data(), frame.data(), n);
        return n;
    }

  private:
    std::mutex mutex_;
    Responder responder_;
    std::deque<std::vector<std::uint8_t>> replies_;
};

}  // namespace parvane::master::testing
