// The SII EEPROM of an emulated slave and its interface in the ESC registers
// (0x0500-0x050F): who holds the EEPROM, the control/status word taken as a
// command, the word address and 4 bytes of data. A command keeps the
// interface busy for the configured time; the first reads can be made to
// fail with the acknowledge error. The image is the model's, shared, until
// the master writes a word: then the slave gets a copy of its own, with its
// identity in words 0x08-0x0F.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "emulator/esc_memory.h"
#include "emulator/slave_model.h"

namespace parvane::emulator {

struct EepromSettings {
    std::uint32_t busyUs = 0;  // time a command keeps the interface busy
    std::uint32_t errors = 0;  // reads that fail (no acknowledge) first
};

class SiiEeprom {
  public:
    SiiEeprom(std::shared_ptr<const std::vector<std::uint8_t>> image, EepromSettings settings);

    // What the ESC loads at power-up: the configuration area (PDI control,
    // alias) when its checksum holds, else the checksum error.
    void PowerUp(EscMemory& memory) const;
    // The master wrote [ado, ado + in.size()) of the registers.
    void Written(EscMemory& memory, std::uint16_t ado, std::span<const std::uint8_t> in,
                 const IdentityObject& identity, std::uint64_t now);
    // Completes a command whose busy time is over by `now`.
    void Settle(EscMemory& memory, const IdentityObject& identity, std::uint64_t now);

  private:
    void Command(EscMemory& memory, std::uint16_t control, const IdentityObject& identity,
                 std::uint64_t now);
    void Complete(EscMemory& memory, const IdentityObject& identity);
    bool WriteWord(std::uint32_t word, std::uint16_t value, const IdentityObject& identity);
    std::uint16_t Word(std::uint32_t word, const IdentityObject& identity) const;

    std::shared_ptr<const std::vector<std::uint8_t>> image_;
    std::uint64_t readyAt_ = 0;
    std::uint32_t busyUs_ = 0;
    std::uint32_t errorsLeft_ = 0;
    std::uint16_t command_ = 0;
    bool busy_ = false;
    bool fails_ = false;
    bool own_ = false;  // the image is this slave's copy
};

}  // namespace parvane::emulator
