#include "emulator/dc_unit.h"

#include <algorithm>
#include <cmath>

#include "ecat/registers.h"

namespace parvane::emulator {

namespace reg = ecat::reg;
namespace dc = ecat::dc;

namespace {

constexpr std::uint32_t kDcEnd = 0x0A00;
constexpr std::array<unsigned, 3> kForwardOrder = {3, 1, 2};  // after port 0
constexpr double kKp = 40;   // per second: phase slewed per ns of difference
constexpr double kKi = 400;  // per second squared: rate integrated per ns of difference
constexpr std::uint64_t kLongestSampleGapNs = 10'000'000;
constexpr std::uint8_t kTimeFilterDepthReset = 0x04;
constexpr std::uint8_t kSpeedFilterDepthReset = 0x0C;
constexpr std::uint16_t kSpeedCounterMin = 0x0080;
constexpr std::uint16_t kSpeedCounterMax = 0x3FFF;
constexpr std::uint64_t kLocalStartRangeNs = 100'000'000'000;
constexpr std::uint8_t kSync0On = dc::kActivateCyclic | dc::kActivateSync0;

bool Overlaps(std::uint32_t a, std::uint32_t aEnd, std::uint32_t b, std::uint32_t bEnd) {
    return a < bEnd && b < aEnd;
}

bool In(std::uint32_t a, std::uint32_t first, std::uint32_t size) {
    return a >= first && a < first + size;
}

// The bytes of the DC unit the master writes and the unit keeps: offset,
// delay, speed counter start, filter depths, cyclic unit control and
// activation, the start time (only while cyclic operation is off), the
// cycle times and the latch control.
bool Stored(std::uint32_t a, bool wide64, bool cyclicOn) {
    const std::uint32_t width = wide64 ? 8 : 4;
    if (In(a, reg::kDcSystemTimeOffset, width) || In(a, reg::kDcSystemTimeDelay, 4))
        return true;
    if (In(a, reg::kDcSpeedCounterStart, 2) || In(a, reg::kDcTimeFilterDepth, 2))
        return true;
    if (In(a, reg::kDcCyclicUnitControl, 2) || In(a, reg::kDcSync0Cycle, 8) ||
        In(a, reg::kDcLatchControl, 2))
        return true;
    return In(a, reg::kDcStartTime, width) && !cyclicOn;
}

// Rounds half away from zero, as llround does, without the library call
// every distribution of the reference's time would make.
std::int64_t Rounded(double x) {
    return static_cast<std::int64_t>(x < 0 ? x - 0.5 : x + 0.5);
}

std::uint64_t Get64(const EscMemory& memory, std::uint32_t a) {
    return memory.Get32(a) | (static_cast<std::uint64_t>(memory.Get32(a + 4)) << 32);
}

// A 64-bit time in a register of a 64-bit unit, or its low half in a 32-bit one.
void SetTime(EscMemory& memory, std::uint32_t a, std::uint64_t value, bool wide64) {
    if (wide64) {
        memory.Set64(a, value);
    } else {
        memory.Set32(a, static_cast<std::uint32_t>(value));
        memory.Set32(a + 4, 0);
    }
}

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

std::vector<PortTimes> FramePortTimes(std::span<const std::uint8_t> linkedPorts,
                                      std::span<const DcSettings> settings) {
    const std::size_t n = std::min(linkedPorts.size(), settings.size());
    std::vector<PortTimes> out(n);
    if (n == 0)
        return out;
    struct Visit {
        std::size_t slave;
        unsigned next;  // index into kForwardOrder
    };
    std::vector<Visit> stack;
    std::uint64_t t = 0;
    std::size_t following = 0;
    auto enter = [&](std::size_t i) {
        out[i].open = static_cast<std::uint8_t>((linkedPorts[i] & 0x0F) | 0x01);
        out[i].at[0] = static_cast<std::uint32_t>(t);
        t += settings[i].forwardNs;
        stack.push_back({i, 0});
        ++following;
    };
    enter(0);
    while (!stack.empty()) {
        const std::size_t slave = stack.back().slave;
        if (stack.back().next == kForwardOrder.size()) {
            // Back out through port 0, to the port of the slave before.
            stack.pop_back();
            if (!stack.empty()) {
                const Visit& parent = stack.back();
                t += settings[slave].cableNs;
                out[parent.slave].at[kForwardOrder[parent.next - 1]] =
                    static_cast<std::uint32_t>(t);
                t += settings[parent.slave].forwardNs;
            }
            continue;
        }
        const unsigned port = kForwardOrder[stack.back().next++];
        if (((out[slave].open >> port) & 1u) == 0)
            continue;
        if (following >= n) {
            out[slave].at[port] = static_cast<std::uint32_t>(t);  // a link without a slave
            continue;
        }
        t += settings[following].cableNs;
        enter(following);
    }
    return out;
}

DcSettings SeededDcSettings(std::size_t position, std::uint32_t seed, double spreadPpm) {
    const std::uint64_t first = Mix((static_cast<std::uint64_t>(seed) << 32) ^ position);
    const std::uint64_t second = Mix(first);
    DcSettings s;
    s.localStartNs = first % kLocalStartRangeNs;
    const double unit = static_cast<double>(second >> 11) * 0x1.0p-53;  // [0, 1)
    s.driftPpm = spreadPpm * (2 * unit - 1);
    return s;
}

DcUnit::DcUnit(const DcSettings& settings, const PortTimes& ports, std::uint64_t now,
               EscMemory& memory)
    : settings_(settings),
      ports_(ports),
      local_(settings.localStartNs),
      at_(now),
      driftPpb_(settings.driftPpm * 1000) {
    memory.Set16(reg::kFeatures, static_cast<std::uint16_t>(
                                     dc::kFeatureDc | (settings.wide64 ? dc::kFeatureDc64 : 0) |
                                     dc::kFeatureEnhancedActivation));
    memory.Set16(reg::kDcSpeedCounterStart, dc::kSpeedCounterReset);
    memory.Set8(reg::kDcTimeFilterDepth, kTimeFilterDepthReset);
    memory.Set8(reg::kDcSpeedFilterDepth, kSpeedFilterDepthReset);
    Refresh(memory);
}

void DcUnit::Advance(std::uint64_t t) {
    if (t <= at_)
        return;
    const double dt = static_cast<double>(t - at_);
    double gained = fraction_ + dt * (driftPpb_ + ratePpb_) * 1e-9;
    if (slewNs_ != 0) {
        const double most = dt * slewPpb_ * 1e-9;
        const double slew = std::clamp(slewNs_, -most, most);
        slewNs_ -= slew;
        gained += slew;
    }
    // floor without the library call: this runs for every slave a frame passes.
    double whole = static_cast<double>(static_cast<std::int64_t>(gained));
    if (whole > gained)
        whole -= 1;
    fraction_ = gained - whole;
    local_ += (t - at_) + static_cast<std::uint64_t>(static_cast<std::int64_t>(whole));
    at_ = t;
}

void DcUnit::Refresh(const EscMemory& memory) {
    offset_ = settings_.wide64 ? Get64(memory, reg::kDcSystemTimeOffset)
                               : memory.Get32(reg::kDcSystemTimeOffset);
    delay_ = memory.Get32(reg::kDcSystemTimeDelay);
    const std::uint16_t start =
        std::clamp(memory.Get16(reg::kDcSpeedCounterStart), kSpeedCounterMin, kSpeedCounterMax);
    boundPpb_ = 1e9 / start;
    // 0x0932 spans the bound over the speed counter's own range.
    spanPerPpb_ =
        (memory.Get16(reg::kDcSpeedCounterStart) - double{kSpeedCounterMin - 1}) / boundPpb_;
    depthWeight_ = 1.0 / static_cast<double>(1u << (memory.Get8(reg::kDcTimeFilterDepth) & 0x0Fu));
}

// ---- receive times ----

void DcUnit::Latch(std::uint64_t now) {
    Advance(now + ports_.at[0]);
    const double rate = 1 + (driftPpb_ + ratePpb_) * 1e-9;
    for (unsigned port = 0; port < 4; ++port) {
        if ((ports_.open >> port) & 1u) {
            const double later = static_cast<double>(ports_.at[port] - ports_.at[0]) * rate;
            latched_[port] = local_ + static_cast<std::uint64_t>(std::llround(later));
        }
    }
    latchFrame_ = now;
}

void DcUnit::CommitLatch(std::uint64_t now, EscMemory& memory) {
    if (!latchFrame_ || *latchFrame_ == now)
        return;
    for (unsigned port = 0; port < 4; ++port) {
        if ((ports_.open >> port) & 1u)
            memory.Set32(reg::kDcReceiveTime + 4 * port,
                         static_cast<std::uint32_t>(latched_[port]));
    }
    SetTime(memory, reg::kDcProcessingTime, latched_[0], settings_.wide64);
    latchFrame_.reset();
}

// ---- time control loop ----

void DcUnit::Received(std::uint32_t received, std::uint64_t now, EscMemory& memory) {
    const std::uint64_t t = now + ports_.at[0];
    Advance(t);
    const std::uint64_t own = SystemTime() - delay_;
    const auto difference =
        static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(own) - received));
    const double bound = boundPpb_;
    const double gap =
        lastSample_ ? static_cast<double>(std::min(t - *lastSample_, kLongestSampleGapNs)) * 1e-9
                    : 0;
    lastSample_ = t;
    ratePpb_ = std::clamp(ratePpb_ - kKi * difference * gap, -bound, bound);
    slewNs_ = -difference;
    slewPpb_ = std::min(kKp * std::abs(difference), bound);
    filtered_ += (difference - filtered_) * depthWeight_;
    memory.Set32(reg::kDcSystemTimeDifference, dc::EncodeDifference(Rounded(filtered_)));
    memory.Set16(reg::kDcSpeedCounterDiff,
                 static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(
                     Rounded(ratePpb_ * spanPerPpb_), std::int64_t{-32767}, std::int64_t{32767}))));
    if (std::abs(filtered_) <= settings_.toleranceNs)
        outOfToleranceSince_.reset();
    else if (!outOfToleranceSince_)
        outOfToleranceSince_ = now;
}

void DcUnit::ResetLoop(EscMemory& memory) {
    ratePpb_ = slewNs_ = slewPpb_ = filtered_ = 0;
    lastSample_.reset();
    outOfToleranceSince_.reset();
    memory.Set32(reg::kDcSystemTimeDifference, 0);
    memory.Set16(reg::kDcSpeedCounterDiff, 0);
}

std::uint64_t DcUnit::OutOfToleranceFor(std::uint64_t now) const {
    return outOfToleranceSince_ && now > *outOfToleranceSince_ ? now - *outOfToleranceSince_ : 0;
}

// ---- SYNC unit ----

void DcUnit::ActivationWritten(std::uint8_t before, std::uint64_t now, EscMemory& memory) {
    const std::uint8_t after = memory.Get8(reg::kDcActivation);
    if ((after & kSync0On) != kSync0On) {
        active_ = false;
        firstPulse_ = stopAt_ = kNever;
        memory.Set8(reg::kDcActivationStatus, 0);
        return;
    }
    if (active_ && (before & kSync0On) == kSync0On)
        return;
    Advance(now + ports_.at[0]);
    const std::uint64_t system = SystemTime();
    std::uint8_t status = dc::kStatusSync0Pending;
    if ((after & dc::kActivateSync1) != 0)
        status |= dc::kStatusSync1Pending;
    std::uint64_t first = kNever;
    if (settings_.wide64) {
        const std::uint64_t start = Get64(memory, reg::kDcStartTime);
        if (start > system)
            first = start;
    } else {
        // A 32-bit unit pulses when its time next equals the start time.
        const auto ahead = static_cast<std::uint32_t>(memory.Get32(reg::kDcStartTime) -
                                                      static_cast<std::uint32_t>(system));
        if (ahead <= 0x7FFFFFFF || (after & dc::kActivatePlausibility) == 0)
            first = system + ahead;
    }
    if ((first == kNever || first - system > 0x7FFFFFFF) &&
        (after & dc::kActivatePlausibility) != 0) {
        first = system;
        status |= dc::kStatusStartOutsideNearFuture;
    }
    active_ = true;
    firstPulse_ = first;
    stopAt_ = settings_.sync0StopsAfterMs
                  ? system + static_cast<std::uint64_t>(*settings_.sync0StopsAfterMs) * 1'000'000
                  : kNever;
    memory.Set8(reg::kDcActivationStatus, status);
}

Sync0State DcUnit::Sync0(std::uint64_t now, const EscMemory& memory) {
    Advance(now + ports_.at[0]);
    Sync0State s;
    s.active = active_;
    s.systemTime = SystemTime();
    s.cycleNs = memory.Get32(reg::kDcSync0Cycle);
    if (!active_ || firstPulse_ == kNever)
        return s;
    s.nextPulse = firstPulse_;
    if (stopAt_ <= firstPulse_ || s.systemTime < firstPulse_)
        return s;
    const std::uint64_t until = std::min(s.systemTime, stopAt_ - 1);
    s.pulses = s.cycleNs == 0 ? 1 : (until - firstPulse_) / s.cycleNs + 1;
    s.lastPulse = firstPulse_ + (s.pulses - 1) * s.cycleNs;
    if (s.cycleNs == 0)
        s.nextPulse.reset();
    else
        s.nextPulse = firstPulse_ + s.pulses * s.cycleNs;
    return s;
}

void DcUnit::SyncRegisters(std::uint64_t now, EscMemory& memory) {
    const Sync0State s = Sync0(now, memory);
    if (!s.active)
        return;
    const std::uint64_t next = s.nextPulse.value_or(s.lastPulse);
    if (s.nextPulse || s.pulses > 0) {
        SetTime(memory, reg::kDcStartTime, next, settings_.wide64);
        SetTime(memory, reg::kDcNextSync1, next + memory.Get32(reg::kDcSync1Cycle),
                settings_.wide64);
    }
    std::uint8_t status = memory.Get8(reg::kDcActivationStatus);
    if (s.pulses > 0)
        status &= static_cast<std::uint8_t>(~(dc::kStatusSync0Pending | dc::kStatusSync1Pending));
    memory.Set8(reg::kDcActivationStatus, status);
    // Acknowledge mode (pulse length 0): the pulse stays until the device
    // takes it, which it does at once; the status shows one has come.
    const bool acknowledged = memory.Get16(reg::kDcPulseLength) == 0 && s.pulses > 0;
    memory.Set8(reg::kDcSync0Status, acknowledged ? 1 : 0);
}

// ---- register access ----

void DcUnit::Read(std::uint32_t ado, std::uint32_t end, std::uint64_t now, EscMemory& memory) {
    if (!Overlaps(ado, end, reg::kDcBase, kDcEnd))
        return;
    CommitLatch(now, memory);
    if (Overlaps(ado, end, reg::kDcSystemTime, reg::kDcSystemTime + 8u)) {
        Advance(now + ports_.at[0]);
        const std::uint64_t own = SystemTime() - delay_;
        SetTime(memory, reg::kDcSystemTime, own, settings_.wide64);
    }
    if (Overlaps(ado, end, reg::kDcActivationStatus, reg::kDcSync0Cycle))
        SyncRegisters(now, memory);
}

void DcUnit::Write(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now,
                   EscMemory& memory) {
    const std::uint32_t end = static_cast<std::uint32_t>(ado) + in.size();
    if (!Overlaps(ado, end, reg::kDcBase, kDcEnd))
        return;
    CommitLatch(now, memory);
    const std::uint8_t before = memory.Get8(reg::kDcActivation);
    const bool cyclicOn = (before & dc::kActivateCyclic) != 0;
    for (std::uint32_t a = std::max<std::uint32_t>(ado, reg::kDcBase); a < std::min(end, kDcEnd);
         ++a) {
        if (Stored(a, settings_.wide64, cyclicOn))
            memory.Set8(a, in[a - ado]);
    }
    if (Overlaps(ado, end, reg::kDcSystemTimeOffset, reg::kDcSpeedFilterDepth + 1u))
        Refresh(memory);
    auto touches = [&](std::uint32_t a) { return a >= ado && a < end; };
    if (touches(reg::kDcReceiveTime))
        Latch(now);
    if (touches(reg::kDcSystemTime)) {
        std::uint32_t received = 0;
        for (unsigned i = 0; i < 4 && touches(reg::kDcSystemTime + i); ++i)
            received |= static_cast<std::uint32_t>(in[reg::kDcSystemTime + i - ado]) << (8 * i);
        Received(received, now, memory);
    }
    if (touches(reg::kDcSpeedCounterStart) || touches(reg::kDcSpeedCounterStart + 1u))
        ResetLoop(memory);
    if (touches(reg::kDcActivation)) {
        ActivationWritten(before, now, memory);
    } else if (touches(reg::kDcStartTime) && !cyclicOn && (before & dc::kActivateAuto) != 0) {
        memory.Set8(reg::kDcActivation, before | dc::kActivateCyclic);
        ActivationWritten(before, now, memory);
    }
}

}  // namespace parvane::emulator
