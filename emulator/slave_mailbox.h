// The mailbox of an emulated slave, created on its first message: the
// application empties SM0 as soon as the master has filled it, answers, and
// posts the reply into SM1 once SM1 is empty; a repeat request posts the
// last reply again. Messages carry a counter; one that repeats the last is a
// resend and is not served twice. CoE, SoE and EoE messages go to their
// servers when the slave's mailbox protocols include them; others get a
// mailbox error.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ecat/al_state.h"
#include "emulator/coe_server.h"
#include "emulator/eoe_server.h"
#include "emulator/esc_registers.h"
#include "emulator/slave_model.h"
#include "emulator/soe_server.h"

namespace parvane::emulator {

class SlaveMailbox {
  public:
    SlaveMailbox(const SlaveModel& model, const IdentityObject& identity);

    // The message the master wrote into SM0; the SM is empty again.
    void Received(EscRegisters& esc, const MailboxLayout& layout, ecat::AlState state);
    // SM1 was read: the next reply waiting goes in.
    void Deliver(EscRegisters& esc);
    // The master asked for the last reply again.
    void Repeat(EscRegisters& esc);
    // SM0 disabled: a mailbox set up again starts its counters again.
    void CounterReset() { lastCounterIn_ = -1; }
    // Back in INIT: replies waiting are dropped, a new master starts its
    // counter again, the CoE server forgets.
    void Reset();

    const CoeServer& coe() const { return coe_; }
    const SoeServer& soe() const { return soe_; }
    const EoeServer& eoe() const { return eoe_; }

  private:
    void Post(std::vector<std::uint8_t> payload, std::uint8_t type, EscRegisters& esc);
    void HandleCoe(std::span<const std::uint8_t> payload, EscRegisters& esc,
                   const MailboxLayout& layout, ecat::AlState state);
    void HandleSoe(std::span<const std::uint8_t> payload, EscRegisters& esc,
                   const MailboxLayout& layout);
    void HandleEoe(std::span<const std::uint8_t> payload, EscRegisters& esc);

    CoeServer coe_;
    SoeServer soe_;
    EoeServer eoe_;
    int lastCounterIn_ = -1;
    std::uint8_t counterOut_ = 0;
    std::vector<std::vector<std::uint8_t>> queue_;  // whole mailbox messages, oldest first
    std::vector<std::uint8_t> lastReply_;
};

}  // namespace parvane::emulator
