// Distributed clocks: the master's cycle follows the reference clock. Each
// cycle the reference's system time as the cyclic frame passed it comes back
// in the frame; its place in the SYNC0 cycle is the frame's phase. The
// controller moves the next wake-up so that the phase stays at a target:
// the first answer moves it there in one step, then a PI loop holds it
// against the drift between the host's clock and the reference. Once
// settled it measures the phase over a window, for one log line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace parvane::master {

struct PhaseFigures {
    std::int64_t meanNs = 0;    // mean error from the target
    std::int64_t spreadNs = 0;  // standard deviation
    std::int64_t worstNs = 0;   // largest |error|
    std::int64_t p99Ns = 0;     // 99 in 100 errors lie within this of the mean
    unsigned samples = 0;
};

class PhaseLock {
  public:
    // `cycleNs` the SYNC0 cycle (the phase is taken modulo it), `targetNs`
    // where in it the frame should pass the reference.
    PhaseLock(std::uint32_t cycleNs, std::int64_t targetNs);

    // The error of `refTime` from the target, in [-cycle/2, cycle/2).
    std::int64_t Error(std::uint64_t refTime) const;
    // Takes the reference's time of this cycle's frame; returns how far to
    // move the next wake-up (ns, negative: earlier).
    std::int64_t Update(std::uint64_t refTime);
    // The figures once the window after settling is full, once.
    std::optional<PhaseFigures> TakeFigures();

    static constexpr unsigned kSettleCycles = 500;
    static constexpr unsigned kWindow = 1000;

  private:
    std::uint32_t cycle_;
    std::int64_t target_;
    bool locked_ = false;
    std::int64_t integral_ = 0;
    unsigned beyond_ = 0;  // cycles in a row with an error over the loop's bound
    unsigned updates_ = 0;
    // The window's sums.
    double sum_ = 0;
    double squares_ = 0;
    std::int64_t worst_ = 0;
    std::array<std::int64_t, kWindow> errors_{};  // the window's errors, for the percentile
    unsigned samples_ = 0;
    bool reported_ = false;
};

// A 32-bit reading of a 64-bit time, extended by the last full value.
constexpr std::uint64_t ExtendTime(std::uint64_t last, std::uint32_t low) {
    return last + static_cast<std::uint64_t>(static_cast<std::int64_t>(
                      static_cast<std::int32_t>(low - static_cast<std::uint32_t>(last))));
}

}  // namespace parvane::master
