// The AL state machine of an emulated slave over its AL control, status and
// status code registers: a request the master writes into AL control is
// checked (the sequence of states, the state limit from the network
// description, the checks of the device's kind), then entered after the
// configured transition time, or refused with the error flag and a code.
// A refusal holds the slave until the master acknowledges it or asks for
// INIT. Under device emulation AL status copies AL control as written (see
// `DeviceKind::EscFollowsRequests`). Time is settled lazily, with the time
// each access carries.
#pragma once

#include <cstdint>

#include "ecat/al_state.h"
#include "ecat/registers.h"
#include "emulator/device_kind.h"

namespace parvane::emulator {

struct AlLimits {
    ecat::AlState maxState = ecat::AlState::kOp;
    std::uint16_t refusalCode = ecat::al_code::kInvalidTransition;  // when maxState refuses
    std::uint32_t transitionMs = 0;                                 // time a state change takes
};

// What the slave does when its state changes.
class AlEvents {
  public:
    virtual void Entered(ecat::AlState state) = 0;

  protected:
    ~AlEvents() = default;
};

// The device the state machine runs for, handed in with each call.
struct AlDevice {
    const DeviceKind& kind;
    DeviceView view;
    AlEvents& events;
};

class AlStateMachine {
  public:
    explicit AlStateMachine(const AlLimits& limits) : limits_(limits) {}

    // The master wrote AL control.
    void ControlWritten(const AlDevice& device, std::uint64_t now);
    // Completes or refuses a change whose time has come, and runs the
    // kind's check in OP.
    void Settle(const AlDevice& device, std::uint64_t now);
    // Outputs arrived through a buffered SM.
    void OutputsReceived(const AlDevice& device, std::uint64_t now);

    ecat::AlState state() const { return state_; }

  private:
    void MirrorWritten(const AlDevice& device, std::uint64_t now);
    void Start(const AlDevice& device, ecat::AlState target, std::uint64_t now);
    bool Begins(const AlDevice& device, ecat::AlState target);
    std::uint16_t CheckTransition(const AlDevice& device, ecat::AlState to) const;
    void Enter(const AlDevice& device, ecat::AlState state);
    void Refuse(const AlDevice& device, std::uint16_t code);

    AlLimits limits_;
    ecat::AlState state_ = ecat::AlState::kInit;
    ecat::AlState pendingTarget_ = ecat::AlState::kInit;
    bool pending_ = false;
    bool outputsArrived_ = false;  // since SAFEOP was entered from PREOP
    bool heldError_ = false;       // device emulation: an error the ESC set itself
    std::uint16_t mirrored_ = 0;   // device emulation: AL status once the change is over
    std::uint64_t pendingAt_ = 0;
    std::uint64_t outputsDeadline_ = 0;
};

}  // namespace parvane::emulator
