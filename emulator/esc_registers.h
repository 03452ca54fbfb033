// The slave controller (ESC) of an emulated slave as the master sees it over
// its memory: the register defaults, the registers the master cannot write,
// ports and DL status, sync managers (mailbox gating and buffered outputs),
// FMMUs and the logical accesses through them, the SM watchdog, and the DC
// unit's registers (0x0900-0x09FF, see dc_unit.h).
//
// What the device behind the ESC does with a write (the AL state machine,
// the EEPROM interface, the mailbox) is not the ESC's: it hears of it through
// `EscEvents`, handed in with each access.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "ecat/frame.h"
#include "ecat/registers.h"
#include "emulator/dc_unit.h"
#include "emulator/esc_memory.h"

namespace parvane::emulator {

// What the ESC reports to the device behind it during one access.
class EscEvents {
  public:
    // The master wrote [ado, ado + in.size()) below the process RAM; the
    // ESC's own registers have taken the write already.
    virtual void RegistersWritten(std::uint16_t ado, std::span<const std::uint8_t> in,
                                  std::uint64_t now) = 0;
    virtual void MailboxWritten() = 0;  // the master filled a mailbox SM
    virtual void MailboxRead() = 0;     // the master emptied a mailbox SM
    virtual void MailboxRepeatRequested() = 0;
    virtual void SmDisabled(unsigned sm) = 0;
    virtual void OutputsWritten(std::uint64_t now) = 0;  // into a buffered outputs SM

  protected:
    ~EscEvents() = default;
};

// Where the slave sits: in a line the last one closes its ports; in a tree
// the ports with a link are given (bit 0 port A ... bit 3 port D). `timing`
// tells when a frame passes each port.
struct EscPorts {
    bool lastInLine = false;
    std::optional<std::uint8_t> linkedPorts;
    PortTimes timing;
};

class EscRegisters {
  public:
    EscRegisters(std::uint8_t fmmuCount, std::uint8_t smCount, EscPorts ports, std::uint64_t nowNs,
                 const DcSettings& dc = {});

    // A read or write of [ado, ado + size) from the master; false when a
    // sync manager refuses it (the working counter then stays).
    bool Read(std::uint16_t ado, std::span<std::uint8_t> out, std::uint64_t now, EscEvents& events);
    bool Write(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now,
               EscEvents& events);
    // A logical datagram through the active FMMUs; what it adds to the
    // working counter.
    std::uint16_t Logical(ecat::Command command, std::uint32_t address,
                          std::span<std::uint8_t> data, std::uint64_t now, EscEvents& events);

    // The logical byte ranges [first, last] of the active FMMUs.
    template <typename F>
    void ForEachLogicalRange(F&& f) const;
    bool AnyFmmuActive() const { return activeFmmus_ != 0; }
    // Whether an enabled buffered sync manager takes outputs from the master.
    bool HasOutputSm() const { return outputSms_ != 0; }

    ecat::SmEntry Sm(unsigned i) const;
    ecat::FmmuEntry Fmmu(unsigned i) const;
    std::uint8_t fmmuCount() const { return fmmuCount_; }
    std::uint8_t smCount() const { return smCount_; }

    // The SM watchdog time from its registers, 0 when switched off.
    std::uint64_t WatchdogNs() const;
    // True once when the running watchdog has expired by `now`: it stops and
    // counts the expiry.
    bool WatchdogExpired(std::uint64_t now);

    EscMemory& memory() { return memory_; }
    const EscMemory& memory() const { return memory_; }
    DcUnit& dc() { return dc_; }
    const DcUnit& dc() const { return dc_; }

  private:
    // Whether the mailbox SMs let the access through; `completes` is the
    // mailbox SM whose last byte the access reaches, -1 for none.
    bool MailboxGate(std::uint32_t ado, std::uint32_t end, bool write, int& completes) const;
    void WriteRegisters(std::uint16_t ado, std::span<const std::uint8_t> in);
    void SmsWritten(std::uint32_t ado, std::uint32_t end, EscEvents& events);
    void FmmusWritten();
    void OutputsWritten(std::uint32_t start, std::uint32_t end, std::uint64_t now,
                        EscEvents& events);
    void LogicalWrite(std::span<const std::uint8_t> data, std::uint64_t dataBit,
                      std::uint64_t physBit, std::uint64_t count, std::uint64_t now,
                      EscEvents& events);
    void LogicalRead(std::span<std::uint8_t> data, std::uint64_t dataBit, std::uint64_t physBit,
                     std::uint64_t count) const;

    EscMemory memory_;
    DcUnit dc_;
    std::uint64_t lastTrigger_ = 0;
    bool watchdogRunning_ = false;
    std::uint8_t fmmuCount_ = 0;
    std::uint8_t smCount_ = 0;
    std::uint16_t activeFmmus_ = 0;  // bit i: FMMU i is active with a length
    // Kept from the SM registers as the master writes them: bit i set for an
    // enabled SM with a length that is a mailbox / takes outputs.
    std::uint16_t mailboxSms_ = 0;
    std::uint16_t outputSms_ = 0;
};

template <typename F>
void EscRegisters::ForEachLogicalRange(F&& f) const {
    for (unsigned i = 0; i < fmmuCount_; ++i) {
        if ((activeFmmus_ >> i) & 1u) {
            const ecat::FmmuEntry e = Fmmu(i);
            f(static_cast<std::uint64_t>(e.logicalStart),
              static_cast<std::uint64_t>(e.logicalStart) + e.length - 1);
        }
    }
}

}  // namespace parvane::emulator
