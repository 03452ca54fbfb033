#include "emulator/device_kind.h"

#include "ecat/al_state.h"
#include "ecat/registers.h"
#include "emulator/dc_sync_device.h"

namespace parvane::emulator {

using ecat::FmmuEntry;
using ecat::SmEntry;
namespace code = ecat::al_code;

namespace {

constexpr std::uint8_t kModeAndDirection = SmEntry::kModeMask | SmEntry::kDirectionMask;
constexpr std::uint16_t kPdoAssignmentBase = 0x1C10;  // + SM number

std::uint16_t ConfigRefusal(const ExpectedSm& expected) {
    return expected.outputs ? code::kInvalidOutputConfig : code::kInvalidInputConfig;
}

// The length a process-data SM must have: what the PDO assignment in the
// object dictionary maps (0x1C10 + SM number), as the master may have
// changed it; the configuration's PDO size without CoE.
std::uint16_t ExpectedLength(const DeviceView& view, const ExpectedSm& expected) {
    const auto assignment = static_cast<std::uint16_t>(kPdoAssignmentBase + expected.number);
    if (view.model.dictionary && view.dictionary && view.dictionary->Has(assignment)) {
        // A PDO without a mapping object cannot be the length of anything.
        const auto bits = view.dictionary->AssignedBits(assignment);
        return bits ? static_cast<std::uint16_t>((*bits + 7) / 8) : 0xFFFF;
    }
    return expected.length;
}

// Each process-data SM where the configuration puts it, or disabled when it
// maps nothing.
std::uint16_t CheckProcessSms(const DeviceView& view) {
    for (const ExpectedSm& expected : view.model.processSms) {
        const SmEntry sm = view.esc.Sm(expected.number);
        const std::uint16_t length = ExpectedLength(view, expected);
        if (length == 0) {
            if (sm.enabled() && sm.length > 0)
                return ConfigRefusal(expected);
            continue;
        }
        if (!sm.enabled() || sm.start != expected.start || sm.length != length ||
            (sm.control & kModeAndDirection) != (expected.control & kModeAndDirection))
            return ConfigRefusal(expected);
    }
    return 0;
}

// An active FMMU of the matching direction reaches each buffer.
std::uint16_t CheckFmmus(const DeviceView& view) {
    for (const ExpectedSm& expected : view.model.processSms) {
        if (ExpectedLength(view, expected) == 0)
            continue;
        bool mapped = false;
        for (unsigned i = 0; i < view.model.fmmuCount && !mapped; ++i) {
            const FmmuEntry e = view.esc.Fmmu(i);
            mapped = e.active && (expected.outputs ? e.writes() : e.reads()) &&
                     e.physicalStart <= expected.start &&
                     expected.start < static_cast<std::uint32_t>(e.physicalStart) + e.length;
        }
        if (!mapped)
            return ConfigRefusal(expected);
    }
    return 0;
}

}  // namespace

// SM0 and SM1 as the EEPROM's mailbox words describe them.
std::uint16_t MicrocontrollerDevice::CheckPreOp(const DeviceView& view) const {
    if (!view.model.mailbox)
        return 0;
    const MailboxLayout& m = *view.model.mailbox;
    const SmEntry out = view.esc.Sm(0), in = view.esc.Sm(1);
    if (!out.enabled() || out.start != m.outStart || out.length != m.outLength ||
        (out.control & kModeAndDirection) != (SmEntry::kModeMailbox | SmEntry::kMasterWrites))
        return code::kInvalidMailboxConfig;
    if (!in.enabled() || in.start != m.inStart || in.length != m.inLength ||
        (in.control & kModeAndDirection) != SmEntry::kModeMailbox)
        return code::kInvalidMailboxConfig;
    return 0;
}

std::uint16_t MicrocontrollerDevice::CheckSafeOp(const DeviceView& view) const {
    if (const std::uint16_t refusal = CheckProcessSms(view); refusal != 0)
        return refusal;
    if (const std::uint16_t refusal = CheckFmmus(view); refusal != 0)
        return refusal;
    return CheckDcSafeOp(view);
}

std::uint16_t MicrocontrollerDevice::CheckOp(const DeviceView& view) const {
    return CheckDcOp(view);
}

std::uint16_t MicrocontrollerDevice::InOp(const DeviceView& view, std::uint64_t now) const {
    return view.esc.WatchdogExpired(now) ? code::kWatchdog : DcInOp(view, now);
}

std::uint16_t EscOnlyDevice::InOp(const DeviceView& view, std::uint64_t now) const {
    return view.esc.WatchdogExpired(now) ? code::kWatchdog : 0;
}

const DeviceKind& KindOf(const SlaveModel& model) {
    static const MicrocontrollerDevice kMicrocontroller;
    static const EscOnlyDevice kEscOnly;
    if (model.deviceEmulation)
        return kEscOnly;
    return kMicrocontroller;
}

}  // namespace parvane::emulator
