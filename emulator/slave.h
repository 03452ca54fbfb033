// One emulated EtherCAT slave controller (ESC) with the application behind
// it: the register map and process RAM, sync managers (mailbox and buffered)
// and FMMUs as the master configures them, the SII EEPROM interface, the AL
// state machine with the checks a real device makes before it changes state,
// the SM watchdog, and the mailbox with a CoE SDO server.
//
// Time-driven events (a state change that takes time, an EEPROM read that is
// busy, a watchdog that expires) are settled lazily, at the start of each
// access, with the time the access carries; nothing runs between frames.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "ecat/al_state.h"
#include "ecat/frame.h"
#include "ecat/registers.h"
#include "emulator/esc_memory.h"
#include "emulator/object_dictionary.h"
#include "emulator/slave_model.h"

namespace parvane::emulator {

// How one slave misbehaves or is limited, from the network description.
struct SlaveSettings {
    ecat::AlState maxState = ecat::AlState::kOp;
    std::uint16_t refusalCode = 0x0011;  // reported when maxState refuses a request
    std::uint32_t transitionMs = 0;      // time a state change takes
    std::uint32_t eepromBusyUs = 0;      // time an EEPROM command keeps the interface busy
    std::uint32_t eepromErrors = 0;      // EEPROM reads that fail (no acknowledge) first
};

class Slave {
  public:
    Slave(std::shared_ptr<const SlaveModel> model, const IdentityObject& identity,
          const SlaveSettings& settings, std::uint64_t nowNs, bool lastInLine);
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
    void ForEachLogicalRange(F&& f) const;

    std::uint16_t stationAddress() const;
    std::uint16_t alias() const;
    bool aliasAddressing() const;
    ecat::AlState state() const { return state_; }
    std::uint16_t alStatus() const;
    std::uint16_t alStatusCode() const;
    const SlaveModel& model() const { return *model_; }
    const IdentityObject& identity() const { return identity_; }
    const EscMemory& memory() const { return memory_; }
    std::size_t MemoryBytes() const;

  private:
    struct MailboxRuntime;

    void Update(std::uint64_t now);
    bool EcatRead(std::uint16_t ado, std::span<std::uint8_t> out, std::uint64_t now);
    bool EcatWrite(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now);
    void WriteRegisters(std::uint16_t ado, std::span<const std::uint8_t> in);
    void AfterWrite(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now);
    void OutputsWritten(std::uint32_t start, std::uint32_t end, std::uint64_t now);
    bool HasOutputSm() const;
    ecat::SmEntry Sm(unsigned i) const;
    ecat::FmmuEntry Fmmu(unsigned i) const;

    // AL state machine.
    void AlControlWritten(std::uint64_t now);
    std::uint16_t CheckTransition(ecat::AlState to) const;
    std::uint16_t CheckMailboxSms() const;
    std::uint16_t CheckProcessData() const;
    std::uint16_t ExpectedLength(const ExpectedSm& expected) const;
    void Refuse(std::uint16_t code);
    void Enter(ecat::AlState state, std::uint64_t now);
    void SetStatus(std::uint16_t status, std::uint16_t code);
    std::uint64_t WatchdogNs() const;

    // SII EEPROM.
    void SiiCommand(std::uint16_t control, std::uint64_t now);
    void SiiComplete();
    std::uint16_t SiiWord(std::uint32_t word) const;

    // Mailbox.
    MailboxRuntime& Mailbox();
    void MailboxReceived(std::uint64_t now);
    void MailboxRead();
    void PostReply(std::vector<std::uint8_t> payload, std::uint8_t type);
    void DeliverNext();
    void RepeatRequested();
    std::vector<std::uint8_t> HandleSdo(std::span<const std::uint8_t> sdo);

    std::shared_ptr<const SlaveModel> model_;
    IdentityObject identity_;
    SlaveSettings settings_;
    EscMemory memory_;
    // The model's image until the master writes the EEPROM: then a copy of
    // this slave's own, identity included.
    std::shared_ptr<const std::vector<std::uint8_t>> sii_;
    std::unique_ptr<MailboxRuntime> mailbox_;

    ecat::AlState state_ = ecat::AlState::kInit;
    bool pending_ = false;
    ecat::AlState pendingTarget_ = ecat::AlState::kInit;
    std::uint64_t pendingAt_ = 0;
    std::uint64_t outputsDeadline_ = 0;
    bool outputsArrived_ = false;
    bool watchdogRunning_ = false;
    std::uint64_t lastTrigger_ = 0;
    std::uint64_t epoch_ = 0;

    bool siiBusy_ = false;
    bool siiFails_ = false;
    std::uint16_t siiCommand_ = 0;
    std::uint64_t siiReadyAt_ = 0;
    std::uint32_t eepromErrorsLeft_ = 0;
    std::uint16_t activeFmmus_ = 0;  // bit i: FMMU i is active with a length
    // Kept from the SM registers as the master writes them: bit i set for an
    // enabled SM with a length that is a mailbox / takes outputs.
    std::uint16_t mailboxSms_ = 0;
    std::uint16_t outputSms_ = 0;
};

template <typename F>
void Slave::ForEachLogicalRange(F&& f) const {
    for (unsigned i = 0; i < model_->fmmuCount; ++i) {
        if ((activeFmmus_ >> i) & 1u) {
            const ecat::FmmuEntry e = Fmmu(i);
            f(static_cast<std::uint64_t>(e.logicalStart),
              static_cast<std::uint64_t>(e.logicalStart) + e.length - 1);
        }
    }
}

}  // namespace parvane::emulator
