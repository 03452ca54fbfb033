#include "master/dc_phase.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace parvane::master {
namespace {

// Gains of the PI loop per cycle: the proportional part takes a tenth of
// the error, the integral part a hundredth of the summed error (it carries
// the steady drift, tens of ns per millisecond).
constexpr std::int64_t kProportionalDivisor = 10;
constexpr std::int64_t kIntegralDivisor = 100;
// Once locked, the loop takes an error of at most a fortieth of the cycle
// (25 us at 1 ms). The clocks move by tens of ns a cycle; a larger error is
// a wake-up the host delayed, not a phase that moved, and fed in whole it
// would wind the integral up and pull the frames off for many cycles after.
constexpr std::int64_t kMostFedDivisor = 40;
constexpr unsigned kStepCycles = 3;

}  // namespace

PhaseLock::PhaseLock(std::uint32_t cycleNs, std::int64_t targetNs)
    : cycle_(cycleNs == 0 ? 1'000'000 : cycleNs), target_(targetNs) {}

std::int64_t PhaseLock::Error(std::uint64_t refTime) const {
    const auto c = static_cast<std::int64_t>(cycle_);
    const auto target = static_cast<std::uint64_t>(((target_ % c) + c) % c);
    auto e = static_cast<std::int64_t>((refTime - target) % cycle_);
    if (e >= c / 2)
        e -= c;
    return e;
}

std::int64_t PhaseLock::Update(std::uint64_t refTime) {
    const std::int64_t e = Error(refTime);
    ++updates_;
    if (!locked_) {
        locked_ = true;
        return -e;  // the first answer: straight to the target
    }
    // Anti-windup: on a host that keeps the cycle late for a while, the sum
    // would grow without bound and later hold the wake-up back by many
    // cycles; its share is kept within a quarter of a cycle.
    const std::int64_t most = static_cast<std::int64_t>(cycle_) / 4 * kIntegralDivisor;
    const std::int64_t bound = static_cast<std::int64_t>(cycle_) / kMostFedDivisor;
    const std::int64_t fed = std::clamp<std::int64_t>(e, -bound, bound);
    // The same large error for several cycles in a row is a phase that did
    // move (the host skipped cycles): straight back to the target.
    beyond_ = fed == e ? 0 : beyond_ + 1;
    if (beyond_ >= kStepCycles) {
        beyond_ = 0;
        return -e;
    }
    integral_ = std::clamp<std::int64_t>(integral_ + fed, -most, most);
    if (updates_ > kSettleCycles && samples_ < kWindow) {
        sum_ += static_cast<double>(e);
        squares_ += static_cast<double>(e) * static_cast<double>(e);
        worst_ = std::max<std::int64_t>(worst_, std::llabs(e));
        errors_[samples_] = e;
        ++samples_;
    }
    return -(fed / kProportionalDivisor) - integral_ / kIntegralDivisor;
}

std::optional<PhaseFigures> PhaseLock::TakeFigures() {
    if (reported_ || samples_ < kWindow)
        return std::nullopt;
    reported_ = true;
    const double mean = sum_ / samples_;
    const double variance = std::max(0.0, squares_ / samples_ - mean * mean);
    const auto meanNs = static_cast<std::int64_t>(std::llround(mean));
    // The distances from the mean, in place (the window is not used again);
    // the 99th percentile is the smallest distance that 99 in 100 stay within.
    for (unsigned i = 0; i < samples_; ++i)
        errors_[i] = std::llabs(errors_[i] - meanNs);
    const std::size_t rank = (static_cast<std::size_t>(samples_) * 99 + 99) / 100 - 1;
    std::nth_element(errors_.begin(), errors_.begin() + static_cast<std::ptrdiff_t>(rank),
                     errors_.begin() + samples_);
    return PhaseFigures{meanNs, static_cast<std::int64_t>(std::llround(std::sqrt(variance))),
                        worst_, errors_[rank], samples_};
}

}  // namespace parvane::master
