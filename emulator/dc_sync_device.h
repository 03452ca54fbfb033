// What a device that runs on SYNC0 checks, on top of a device with a
// microcontroller. A slave is DC-synchronous when its ENI gives it a SYNC0
// cycle (a DC element with CycleTime0 > 0) or when its object 0x1C32:01
// says SYNC0 (2) as the master asks for SAFEOP; the decision holds until the
// next such request. The network description can switch these checks off
// for masters that do not run distributed clocks.
//
//   - PREOP -> SAFEOP is refused with 0x0030 (invalid DC SYNC configuration)
//     unless cyclic operation with SYNC0 is on (0x0981 bits 0 and 1) with the
//     ENI's cycle in 0x09A0 (0x1C32:02's when the ENI gives none; any cycle
//     but 0 when neither does).
//   - SAFEOP -> OP is refused with 0x002D (no SYNC) when SYNC0 is off, or no
//     pulse has come and none is due within 250 ms: the master may ask for OP
//     before the first pulse it has placed ~100 ms ahead, as peers do.
//   - In OP the device leaves with 0x002C (fatal sync error) when SYNC0 is
//     switched off or no pulse has come for three cycles, and with 0x0032
//     (PLL error) when |0x092C| has stayed above its tolerance for 100 ms.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/device_kind.h"
#include "eni/model.h"

namespace parvane::emulator {

std::uint16_t CheckDcSafeOp(const DeviceView& view);
std::uint16_t CheckDcOp(const DeviceView& view);
std::uint16_t DcInOp(const DeviceView& view, std::uint64_t now);

// The SII's DC category of a slave whose ENI gives a SYNC0 cycle: one
// operation mode with that cycle and shift, activating SYNC0 (and SYNC1
// when the ENI gives its cycle), as a drive's description lists it; empty
// for other slaves. It is how a master with no ENI learns that the slave
// runs on SYNC0.
std::vector<std::uint8_t> SiiDcCategory(const eni::Slave& slave);

}  // namespace parvane::emulator
