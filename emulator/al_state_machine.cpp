#include "emulator/al_state_machine.h"

#include "ecat/registers.h"

namespace parvane::emulator {

using ecat::AlState;
namespace reg = ecat::reg;
namespace code = ecat::al_code;

namespace {

constexpr std::uint64_t kMsNs = 1'000'000;
// How long OP waits for outputs when the SM watchdog is off.
constexpr std::uint64_t kOutputsGraceNs = 100 * kMsNs;

int Rank(AlState s) {
    switch (s) {
        case AlState::kInit:
            return 1;
        case AlState::kPreOp:
            return 2;
        case AlState::kSafeOp:
            return 3;
        case AlState::kOp:
            return 4;
        case AlState::kBoot:
            return 0;
    }
    return 0;
}

void SetStatus(EscMemory& memory, std::uint16_t status, std::uint16_t code) {
    memory.Set16(reg::kAlStatus, status);
    memory.Set16(reg::kAlStatusCode, code);
}

void SetStatus(EscMemory& memory, ecat::AlStatus status, std::uint16_t code) {
    SetStatus(memory, status.Encode(), code);
}

}  // namespace

void AlStateMachine::Refuse(const AlDevice& device, std::uint16_t refusal) {
    SetStatus(device.view.esc.memory(), ecat::AlStatus::Of(state_, true), refusal);
}

void AlStateMachine::Enter(const AlDevice& device, AlState state) {
    const AlState from = state_;
    state_ = state;
    if (device.kind.EscFollowsRequests())
        SetStatus(device.view.esc.memory(), mirrored_, 0);
    else
        SetStatus(device.view.esc.memory(), ecat::AlStatus::Of(state), 0);
    if (state == AlState::kSafeOp && from == AlState::kPreOp)
        outputsArrived_ = false;
    device.events.Entered(state);
}

void AlStateMachine::ControlWritten(const AlDevice& device, std::uint64_t now) {
    if (device.kind.EscFollowsRequests()) {
        MirrorWritten(device, now);
        return;
    }
    EscMemory& memory = device.view.esc.memory();
    const auto control = ecat::AlControl::Decode(memory.Get16(reg::kAlControl));
    if (ecat::AlStatus::Decode(memory.Get16(reg::kAlStatus)).error) {
        // A pending error holds the slave until it is acknowledged; a request
        // for INIT clears it as well.
        if (!control.acknowledge && !control.Is(AlState::kInit))
            return;
        SetStatus(memory, ecat::AlStatus::Of(state_), 0);
    }
    const auto target = control.Known();
    if (!target) {
        pending_ = false;
        Refuse(device, code::kUnknownState);
        return;
    }
    if (!Begins(device, *target) || (*target == state_ && !pending_))
        return;
    Start(device, *target, now);
}

// Device emulation: AL status takes AL control bit for bit once the
// transition time is over. An error the ESC sets itself (a request that
// skips a state or passes the state limit, the SM watchdog) holds until the
// master acknowledges it or asks for INIT; that write shows without its
// acknowledge bit.
void AlStateMachine::MirrorWritten(const AlDevice& device, std::uint64_t now) {
    EscMemory& memory = device.view.esc.memory();
    std::uint16_t written = memory.Get16(reg::kAlControl);
    const auto control = ecat::AlControl::Decode(written);
    if (heldError_) {
        if (!control.acknowledge && !control.Is(AlState::kInit))
            return;
        heldError_ = false;
        written &= static_cast<std::uint16_t>(~ecat::kAlErrorBit);
        SetStatus(memory, ecat::AlStatus::Of(state_), 0);
    }
    const auto target = control.Known();
    const std::uint16_t refusal = target ? CheckTransition(device, *target) : code::kUnknownState;
    if (refusal != 0) {
        pending_ = false;
        heldError_ = true;
        Refuse(device, refusal);
        return;
    }
    if (pending_ && *target == pendingTarget_ && written == mirrored_)
        return;  // the same request again: the change already under way goes on
    mirrored_ = written;
    Start(device, *target, now);
}

void AlStateMachine::Start(const AlDevice& device, AlState target, std::uint64_t now) {
    pending_ = true;
    pendingTarget_ = target;
    pendingAt_ = now + static_cast<std::uint64_t>(limits_.transitionMs) * kMsNs;
    const std::uint64_t watchdog = device.view.esc.WatchdogNs();
    outputsDeadline_ = pendingAt_ + (watchdog > 0 ? watchdog : kOutputsGraceNs);
    Settle(device, now);
}

// Whether a request for `target` starts (or restarts) a change; refuses it
// otherwise when it must.
bool AlStateMachine::Begins(const AlDevice& device, AlState target) {
    if (target == state_) {
        pending_ = false;
        return false;
    }
    if (pending_ && target == pendingTarget_)
        return false;  // the same request again: the change already under way goes on
    if (const std::uint16_t refusal = CheckTransition(device, target); refusal != 0) {
        pending_ = false;
        Refuse(device, refusal);
        return false;
    }
    return true;
}

std::uint16_t AlStateMachine::CheckTransition(const AlDevice& device, AlState to) const {
    const AlState from = state_;
    if (to == AlState::kBoot)
        return from == AlState::kInit ? code::kBootstrapUnsupported : code::kInvalidTransition;
    if (from == AlState::kBoot)
        return to == AlState::kInit ? 0 : code::kInvalidTransition;
    if (Rank(to) > Rank(from) + 1)
        return code::kInvalidTransition;
    if (Rank(to) > Rank(limits_.maxState))
        return limits_.refusalCode;
    if (Rank(to) <= Rank(from))
        return 0;
    if (to == AlState::kPreOp)
        return device.kind.CheckPreOp(device.view);
    if (to == AlState::kSafeOp)
        return device.kind.CheckSafeOp(device.view);
    return device.kind.CheckOp(device.view);
}

void AlStateMachine::Settle(const AlDevice& device, std::uint64_t now) {
    if (pending_ && now >= pendingAt_) {
        if (pendingTarget_ == AlState::kOp && device.view.esc.HasOutputSm() && !outputsArrived_ &&
            device.kind.OpAwaitsOutputs()) {
            if (now >= outputsDeadline_) {
                pending_ = false;
                Refuse(device, code::kWatchdog);
            }
        } else {
            pending_ = false;
            Enter(device, pendingTarget_);
        }
    }
    if (state_ != AlState::kOp)
        return;
    if (const std::uint16_t failure = device.kind.InOp(device.view, now); failure != 0) {
        state_ = AlState::kSafeOp;
        heldError_ = device.kind.EscFollowsRequests();
        SetStatus(device.view.esc.memory(), ecat::AlStatus::Of(AlState::kSafeOp, true), failure);
    }
}

void AlStateMachine::OutputsReceived(const AlDevice& device, std::uint64_t now) {
    outputsArrived_ = true;
    if (pending_ && pendingTarget_ == AlState::kOp && pendingAt_ <= now)
        Settle(device, now);
}

}  // namespace parvane::emulator
