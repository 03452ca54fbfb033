#include "emulator/dc_sync_device.h"

#include "ecat/byte_order.h"
#include "ecat/registers.h"

namespace parvane::emulator {

namespace code = ecat::al_code;
namespace reg = ecat::reg;

namespace {

constexpr std::uint16_t kSyncManagerParameter = 0x1C32;  // of the outputs SM
constexpr std::uint8_t kSubSyncMode = 1;
constexpr std::uint8_t kSubCycle = 2;
constexpr std::uint32_t kSyncModeSync0 = 2;
constexpr std::uint8_t kSync0On = ecat::dc::kActivateCyclic | ecat::dc::kActivateSync0;
constexpr std::uint64_t kFirstPulseSlackNs = 250'000'000;
constexpr std::uint64_t kMissedCycles = 3;
constexpr std::uint64_t kPllLockLostNs = 100'000'000;

// An entry of 0x1C32 as the dictionary holds it now; 0 when absent.
std::uint32_t SyncParameter(const DeviceView& view, std::uint8_t sub) {
    if (view.dictionary == nullptr || !view.dictionary->Has(kSyncManagerParameter))
        return 0;
    const auto value = view.dictionary->Upload(kSyncManagerParameter, sub, false);
    if (!value)
        return 0;
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < value->size() && i < 4; ++i)
        n |= static_cast<std::uint32_t>((*value)[i]) << (8 * i);
    return n;
}

}  // namespace

std::uint16_t CheckDcSafeOp(const DeviceView& view) {
    DcUnit& dc = view.esc.dc();
    const std::uint32_t eniCycle = dc.settings().eniCycleNs;
    dc.setSynchronous(dc.settings().syncChecks &&
                      (eniCycle > 0 || SyncParameter(view, kSubSyncMode) == kSyncModeSync0));
    if (!dc.synchronous())
        return 0;
    const EscMemory& memory = view.esc.memory();
    if ((memory.Get8(reg::kDcActivation) & kSync0On) != kSync0On)
        return code::kInvalidDcSyncConfig;
    const std::uint32_t cycle = memory.Get32(reg::kDcSync0Cycle);
    const std::uint32_t expected = eniCycle > 0 ? eniCycle : SyncParameter(view, kSubCycle);
    if (cycle == 0 || (expected > 0 && cycle != expected))
        return code::kInvalidDcSyncConfig;
    return 0;
}

std::uint16_t CheckDcOp(const DeviceView& view) {
    DcUnit& dc = view.esc.dc();
    if (!dc.synchronous())
        return 0;
    const Sync0State s = dc.Sync0(dc.seen(), view.esc.memory());
    if (!s.active)
        return code::kNoSync;
    if (s.pulses == 0 && (!s.nextPulse || *s.nextPulse - s.systemTime > kFirstPulseSlackNs))
        return code::kNoSync;
    return 0;
}

std::uint16_t DcInOp(const DeviceView& view, std::uint64_t now) {
    DcUnit& dc = view.esc.dc();
    if (!dc.synchronous())
        return 0;
    const Sync0State s = dc.Sync0(now, view.esc.memory());
    if (!s.active || (s.pulses == 0 && !s.nextPulse))
        return code::kFatalSyncError;
    if (s.pulses > 0 && s.cycleNs > 0 && s.systemTime - s.lastPulse > kMissedCycles * s.cycleNs)
        return code::kFatalSyncError;
    if (dc.OutOfToleranceFor(now) >= kPllLockLostNs)
        return code::kPllError;
    return 0;
}

std::vector<std::uint8_t> SiiDcCategory(const eni::Slave& slave) {
    if (!slave.dc || slave.dc->cycleTime0 == 0)
        return {};
    const eni::DcConfig& dc = *slave.dc;
    std::vector<std::uint8_t> mode(24, 0);
    ecat::Put32(&mode[0], dc.cycleTime0);
    ecat::Put32(&mode[4], static_cast<std::uint32_t>(dc.shiftTime));
    // AssignActivate: 0x0980 = 0x00 and 0x0981 = cyclic + SYNC0 (+ SYNC1).
    ecat::Put16(&mode[14], dc.cycleTime1 != 0 ? 0x0700 : 0x0300);
    ecat::Put16(&mode[16], 1);  // SYNC0 every cycle
    return mode;
}

}  // namespace parvane::emulator
