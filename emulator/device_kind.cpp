#include "emulator/device_kind.h"

#include "ecat/al_state.h"
#include "ecat/registers.h"

namespace parvane::emulator {

using ecat::FmmuEntry;
using ecat::SmEntry;
namespace code = ecat::al_code;

namespace {

constexpr std::uint8_t kModeAndDirection = SmEntry::kModeMask | SmEntry::kDirectionMask;
constexpr std::uint16_t kPdoAssignmentBase = 0x1C10;  // + SM number
constexpr std::uint16_t kOutputsAssignment = 0x1C12;
constexpr std::uint16_t kInputsAssignment = 0x1C13;

bool Within(std::uint16_t index, std::uint16_t first, std::uint16_t last) {
    return index >= first && index <= last;
}

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

// Every CoE object the configuration downloads before SAFEOP was written.
std::uint16_t CheckRequiredObjects(const DeviceView& view) {
    for (const RequiredObject& object : view.model.requiredForSafeOp) {
        if (view.dictionary &&
            view.dictionary->Written(object.index, object.subIndex, object.completeAccess))
            continue;
        const std::uint16_t i = object.index;
        if (i == kOutputsAssignment || Within(i, 0x1600, 0x17FF))
            return code::kInvalidOutputMapping;
        if (i == kInputsAssignment || Within(i, 0x1A00, 0x1BFF))
            return code::kInvalidInputMapping;
        return code::kInconsistentSettings;
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
    return CheckRequiredObjects(view);
}

std::uint16_t MicrocontrollerDevice::InOp(const DeviceView& view, std::uint64_t now) const {
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
