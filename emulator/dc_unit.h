// The distributed-clocks unit of an emulated ESC (registers 0x0900-0x09FF).
//
// Local clock: a counter in ns that starts at `DcSettings::localStartNs` when
// the slave powers up and runs `driftPpm` faster than the segment's time
// source (slower when negative). It is kept as whole ns plus a fraction, and
// advanced lazily to the time of each access; nothing runs between frames.
// A 32-bit unit shows only the low 32 bits of every time register.
//
// Frame timing: a frame reaches each port of the slave at a fixed time after
// it left the master (`PortTimes`, worked out by `FramePortTimes` from each
// ESC's forwarding delay and the cable into it). A write touching 0x0900
// latches the local time at each open port into 0x0900/04/08/0C and the time
// at port 0 into 0x0918; the master sees them from its next frame on.
//
// System time = local + offset (0x0920). An ECAT read of 0x0910 gives
// local + offset - delay (0x0928) as the frame passes the slave, so on a
// configured line every slave reads what the reference read.
//
// Time control loop: an ECAT write to 0x0910 is not stored. Its low 32 bits
// are compared with the slave's own value, dt = (local + offset - delay) -
// received, and the local clock is steered towards the received time:
//   - phase: the measured dt is slewed away at Kp * |dt| (Kp = 40 per
//     second), never further than dt itself, however long the next sample
//     takes;
//   - rate: an integrator adds -Ki * dt * (time since the last sample,
//     at most 10 ms) to the clock's rate (Ki = 400 per second squared).
// Together a critically damped loop (20 rad/s): a step in rate of 200 ppm
// peaks near 4 us after 50 ms and is below 1 ns after 1 s. Both corrections
// are bounded by the speed counter start (0x0930): at most 1/start of the
// clock's rate each (0x1000: 244 ppm). 0x092C holds dt through a running
// average over 2^(0x0934 & 15) samples, sign-magnitude (bit 31 set when the
// local copy is behind). A write to 0x0930 resets 0x092C, 0x0932, the
// average and both corrections.
//
// SYNC unit: cyclic operation with SYNC0 (0x0981 bits 0 and 1) takes the
// start time written to 0x0990 (writable only while bit 0 is clear). Pulses
// come when system time reaches the start and then every 0x09A0 ns (0: one
// pulse). A start time already past gives no pulse on a 64-bit unit (0x0984
// bit 0 stays set) unless the plausibility bit (0x0981 bit 5) asks for one at
// once; a 32-bit unit pulses when its time comes round again. Pulses are
// counted from the time of each access. While active, 0x0990 reads the next
// SYNC0 and 0x0998 the next SYNC1 (SYNC0 + 0x09A4).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "emulator/esc_memory.h"

namespace parvane::emulator {

struct DcSettings {
    std::uint64_t localStartNs = 0;    // the local clock at power-up
    double driftPpm = 0;               // faster than the segment's time source
    bool wide64 = true;                // 64-bit system time; false: 32 bits
    std::uint32_t forwardNs = 300;     // a frame's way through this ESC, port to port
    std::uint32_t cableNs = 0;         // on the cable into the entry port
    std::uint32_t toleranceNs = 1000;  // |0x092C| a DC-synchronous device accepts
    std::uint32_t eniCycleNs = 0;      // the SYNC0 cycle the ENI gives the slave (0: none)
    bool syncChecks = true;            // a DC-synchronous device checks its SYNC0
    std::optional<std::uint32_t> sync0StopsAfterMs;  // fault: SYNC0 stops this long after start
};

// When a frame passes each port of a slave, in ns after the frame reached
// the first slave; `open` has bit n set for each port with a link.
struct PortTimes {
    std::array<std::uint32_t, 4> at{};
    std::uint8_t open = 0x01;
};

// The port times of slaves in the order a frame passes them, each with the
// ports that have a link: the frame goes in on port 0, out and back through
// each open port in the order 3, 1, 2 (the next slaves in order hang there),
// and back out through port 0.
std::vector<PortTimes> FramePortTimes(std::span<const std::uint8_t> linkedPorts,
                                      std::span<const DcSettings> settings);

// Settings of the slave at `position`, reproducible from `seed`: a local
// clock that starts somewhere within 100 s and a drift within +-spreadPpm.
DcSettings SeededDcSettings(std::size_t position, std::uint32_t seed, double spreadPpm);

// What the SYNC0 output has done by one moment.
struct Sync0State {
    bool active = false;       // cyclic operation with SYNC0
    std::uint64_t pulses = 0;  // since activation
    std::uint64_t systemTime = 0;
    std::uint64_t lastPulse = 0;             // system time; valid when pulses > 0
    std::optional<std::uint64_t> nextPulse;  // none: none will come
    std::uint32_t cycleNs = 0;
};

class DcUnit {
  public:
    DcUnit(const DcSettings& settings, const PortTimes& ports, std::uint64_t now,
           EscMemory& memory);

    // Before the master reads [ado, end): the registers that run with time.
    void Read(std::uint32_t ado, std::uint32_t end, std::uint64_t now, EscMemory& memory);
    // The master wrote `in` at `ado`; takes the bytes within 0x0900-0x09FF
    // that it stores and acts on the others.
    void Write(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now,
               EscMemory& memory);

    Sync0State Sync0(std::uint64_t now, const EscMemory& memory);
    // How long |0x092C| has stayed above the tolerance, 0 when within it.
    std::uint64_t OutOfToleranceFor(std::uint64_t now) const;
    const DcSettings& settings() const { return settings_; }
    // Whether the device behind synchronises to SYNC0 (it decides when the
    // master asks for SAFEOP).
    bool synchronous() const { return synchronous_; }
    void setSynchronous(bool on) { synchronous_ = on; }
    // The time of the slave's latest access, for checks that get none.
    void Seen(std::uint64_t now) { seen_ = now; }
    std::uint64_t seen() const { return seen_; }

  private:
    static constexpr std::uint64_t kNever = ~std::uint64_t{0};

    void Advance(std::uint64_t t);
    std::uint64_t SystemTime() const { return local_ + offset_; }
    // Takes the loop's registers (offset, delay, speed counter start, filter
    // depth) into their copies; called whenever a write stores into them.
    void Refresh(const EscMemory& memory);
    void Latch(std::uint64_t now);
    void CommitLatch(std::uint64_t now, EscMemory& memory);
    void Received(std::uint32_t received, std::uint64_t now, EscMemory& memory);
    void ResetLoop(EscMemory& memory);
    void ActivationWritten(std::uint8_t before, std::uint64_t now, EscMemory& memory);
    void SyncRegisters(std::uint64_t now, EscMemory& memory);

    DcSettings settings_;
    PortTimes ports_;
    // Copies of registers every distribution of the reference's time reads.
    std::uint64_t offset_ = 0;  // 0x0920 (its low half on a 32-bit unit)
    std::uint32_t delay_ = 0;   // 0x0928
    double boundPpb_ = 0;       // the loop's bound from 0x0930
    double spanPerPpb_ = 0;     // 0x0932 counts per ppb of rate correction
    double depthWeight_ = 1;    // 1 / 2^0x0934, the filter's weight of a sample
    std::uint64_t local_ = 0;   // whole ns at `at_`
    double fraction_ = 0;       // and the part of a ns
    std::uint64_t at_ = 0;      // segment time
    double driftPpb_ = 0;
    // The loop: rate correction, phase left to slew and its rate.
    double ratePpb_ = 0;
    double slewNs_ = 0;
    double slewPpb_ = 0;
    double filtered_ = 0;
    std::optional<std::uint64_t> lastSample_;
    std::optional<std::uint64_t> outOfToleranceSince_;
    // Receive times latched in the current frame, shown from the next one.
    std::optional<std::uint64_t> latchFrame_;
    std::array<std::uint64_t, 4> latched_{};
    // SYNC0: the first pulse and where a stop fault ends them (system time).
    bool active_ = false;
    std::uint64_t firstPulse_ = kNever;
    std::uint64_t stopAt_ = kNever;
    bool synchronous_ = false;
    std::uint64_t seen_ = 0;
};

}  // namespace parvane::emulator
