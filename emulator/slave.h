// One emulated EtherCAT slave: its ESC (registers, sync managers, FMMUs, the
// SM watchdog), the SII EEPROM behind it, the AL state machine with the
// checks of its kind of device, and the mailbox with a CoE SDO server, put
// together. Each part works on the ESC's memory; the slave passes on what
// one part's access means for another.
//
// Time-driven events (a state change that takes time, an EEPROM read that is
// busy, a watchdog that expires) are settled lazily, at the start of each
// access, with the time the access carries; nothing runs between frames.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "ecat/al_state.h"
#include "ecat/frame.h"
#include "ecat/registers.h"
#include "emulator/al_state_machine.h"
#include "emulator/esc_registers.h"
#include "emulator/sii_eeprom.h"
#include "emulator/slave_mailbox.h"
#include "emulator/slave_model.h"

namespace parvane::emulator {

// How one slave misbehaves or is limited, from the network description.
struct SlaveSettings {
    ecat::AlState maxState = ecat::AlState::kOp;
    std::uint16_t refusalCode = ecat::al_code::kInvalidTransition;  // when maxState refuses
    std::uint32_t transitionMs = 0;                                 // time a state change takes
    std::uint32_t eepromBusyUs = 0;  // time an EEPROM command keeps the interface busy
    std::uint32_t eepromErrors = 0;  // EEPROM reads that fail (no acknowledge) first
    DcSettings dc;                   // its clock, delays and SYNC0 faults
};

class Slave {
  public:
    Slave(std::shared_ptr<const SlaveModel> model, const IdentityObject& identity,
          const SlaveSettings& settings, std::uint64_t nowNs, EscPorts ports);
    ~Slave();
    Slave(Slave&&) noexcept;
    Slave& operator=(Slave&&) noexcept;

    // Datagram actions on the slave's memory; each returns what the slave adds
    // to the working counter (0 when the access is refused).
    std::uint16_t Read(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now);
    std::uint16_t Write(std::uint16_t ado, std::span<const std::uint8_t> data, std::uint64_t now);
    std::uint16_t ReadWrite(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now);
    std::uint16_t OrRead(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now);
    std::uint16_t OrReadWrite(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now);
    std::uint16_t Logical(ecat::Command command, std::uint32_t address,
                          std::span<std::uint8_t> data, std::uint64_t now);

    // The logical byte ranges [first, last] of the active FMMUs.
    template <typename F>
    void ForEachLogicalRange(F&& f) const {
        esc_.ForEachLogicalRange(std::forward<F>(f));
    }

    std::uint16_t stationAddress() const;
    std::uint16_t alias() const;
    bool aliasAddressing() const;
    ecat::AlState state() const { return al_.state(); }
    const SlaveModel& model() const { return *model_; }
    const IdentityObject& identity() const { return identity_; }
    const EscMemory& memory() const { return esc_.memory(); }
    const DcSettings& dcSettings() const { return esc_.dc().settings(); }
    std::size_t MemoryBytes() const;

  private:
    class Hooks;

    void Settle(std::uint64_t now);
    bool EscRead(std::uint16_t ado, std::span<std::uint8_t> out, std::uint64_t now);
    bool EscWrite(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now);
    AlDevice Device(AlEvents& events);
    SlaveMailbox& Mailbox();

    std::shared_ptr<const SlaveModel> model_;
    IdentityObject identity_;
    EscRegisters esc_;
    SiiEeprom sii_;
    AlStateMachine al_;
    std::unique_ptr<SlaveMailbox> mailbox_;  // from the first message on
};

}  // namespace parvane::emulator
