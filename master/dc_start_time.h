// Distributed clocks: the start of SYNC0 in a slave's PREOP -> SAFEOP
// commands. An export writes the start time (0x0990) as zeros and leaves the
// value to the master; a hand-written ENI may give a slave a DC element and
// no DC command at all. Both get one start time for the transition, taken
// from the reference clock's system time read once, plus a margin for the
// rest of the transition, put on the slave's SYNC0 grid and moved by its
// shift. The master's own writes go before the AL control request in the
// order the activation needs: activation off, the cycle(s), the start time,
// activation on.
#pragma once

#include <cstdint>

#include "eni/model.h"
#include "master/transition_plan.h"

namespace parvane::master {

// The first point of the grid of `cycle` after `base`, moved by `shift`:
// floor(base / cycle) * cycle + cycle + shift. Without a cycle, base + shift.
constexpr std::uint64_t AlignedStartTime(std::uint64_t base, std::uint32_t cycle,
                                         std::int32_t shift) {
    const std::uint64_t grid = cycle == 0 ? base : (base / cycle) * cycle + cycle;
    return grid + static_cast<std::uint64_t>(static_cast<std::int64_t>(shift));
}

// A write of the start time the master fills in: an ADP/ADO write of
// 0x0990 whose bytes are all zero or that requires the cycle.
bool IsStartTimeWrite(const eni::InitCmd& cmd);

// The SYNC0 cycle of the slave: its DC element's CycleTime0, else what its
// commands write to 0x09A0, else 0.
std::uint32_t SyncCycle(const eni::Slave& slave);

// The slave's DC element asks for SYNC0 and none of its commands writes the
// sync unit (0x0980..0x09AF): the master writes it.
bool NeedsMasterDcWrites(const eni::Slave& slave);

// Whether the plan of `t` takes a start time.
bool PlanTakesStartTime(const SlavePlan& plan, const eni::Slave& slave, eni::Transition t);

// Puts the start time from `base` (the reference's time plus the margin)
// into the plan's start-time writes, and adds the master's sync unit writes
// before the AL control request for a slave that needs them. With `asFile`
// the start time stays as the file writes it (zeros). Returns the start
// time written.
std::uint64_t ApplyStartTime(SlavePlan& plan, const eni::Slave& slave, std::uint64_t base,
                             bool asFile);

}  // namespace parvane::master
