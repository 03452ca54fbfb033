#include "emulator/sii_eeprom.h"

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "ecat/sii.h"

namespace parvane::emulator {

namespace reg = ecat::reg;
namespace sc = ecat::sii_control;

namespace {

constexpr std::uint8_t kOfferedToPdi = 0x01;  // 0x0500 bit 0, mirrored in 0x0501
constexpr std::uint32_t kDataBytes = 4;       // what one read returns
constexpr std::uint16_t kPastImage = 0xFFFF;

}  // namespace

SiiEeprom::SiiEeprom(std::shared_ptr<const std::vector<std::uint8_t>> image,
                     EepromSettings settings)
    : image_(std::move(image)), busyUs_(settings.busyUs), errorsLeft_(settings.errors) {}

void SiiEeprom::PowerUp(EscMemory& memory) const {
    const auto& image = *image_;
    if (image.size() >= 16 && ecat::sii::Crc8({image.data(), ecat::sii::kChecksummedBytes}) ==
                                  image[2 * ecat::sii::kWordChecksum]) {
        memory.Set16(reg::kPdiControl, ecat::sii::WordAt(image, ecat::sii::kWordPdiControl));
        memory.Set16(reg::kStationAlias, ecat::sii::WordAt(image, ecat::sii::kWordAlias));
    } else {
        memory.Set16(reg::kSiiControl, sc::kChecksumError);
    }
}

void SiiEeprom::Written(EscMemory& memory, std::uint16_t ado, std::span<const std::uint8_t> in,
                        const IdentityObject& identity, std::uint64_t now) {
    const std::uint32_t end = static_cast<std::uint32_t>(ado) + in.size();
    auto written = [&](std::uint32_t a) { return a >= ado && a < end; };
    if (written(reg::kSiiConfig)) {
        // The application takes the EEPROM whenever it is offered.
        memory.Set8(reg::kSiiPdiAccess, memory.Get8(reg::kSiiConfig) & kOfferedToPdi);
    }
    if (written(reg::kSiiControl) || written(reg::kSiiControl + 1u)) {
        // The control word itself is read-only: the command is what arrived.
        std::uint16_t control = memory.Get16(reg::kSiiControl);
        if (written(reg::kSiiControl))
            control = static_cast<std::uint16_t>((control & 0xFF00) | in[reg::kSiiControl - ado]);
        if (written(reg::kSiiControl + 1u))
            control = static_cast<std::uint16_t>((control & 0x00FF) |
                                                 (in[reg::kSiiControl + 1u - ado] << 8));
        Command(memory, control, identity, now);
    }
}

void SiiEeprom::Settle(EscMemory& memory, const IdentityObject& identity, std::uint64_t now) {
    if (busy_ && now >= readyAt_)
        Complete(memory, identity);
}

void SiiEeprom::Command(EscMemory& memory, std::uint16_t control, const IdentityObject& identity,
                        std::uint64_t now) {
    if (busy_)
        return;  // a command is running; the write is ignored
    std::uint16_t status = memory.Get16(reg::kSiiControl);
    status =
        static_cast<std::uint16_t>((status & ~sc::kWriteEnable) | (control & sc::kWriteEnable));
    status &= ~(sc::kAckError | sc::kWriteEnableError);
    const std::uint16_t command = control & sc::kCommandMask;
    if (command == 0) {
        memory.Set16(reg::kSiiControl, status);
        return;
    }
    const bool pdiHolds = (memory.Get8(reg::kSiiPdiAccess) & kOfferedToPdi) != 0;
    if (pdiHolds || (command != sc::kRead && command != sc::kWrite && command != sc::kReload)) {
        memory.Set16(reg::kSiiControl, status | sc::kAckError);
        return;
    }
    if (command == sc::kWrite && (control & sc::kWriteEnable) == 0) {
        memory.Set16(reg::kSiiControl, status | sc::kWriteEnableError);
        return;
    }
    fails_ = false;
    if (command == sc::kRead && errorsLeft_ > 0) {
        --errorsLeft_;
        fails_ = true;
    }
    busy_ = true;
    command_ = command;
    readyAt_ = now + static_cast<std::uint64_t>(busyUs_) * 1000u;
    memory.Set16(reg::kSiiControl, status | command | sc::kBusy);
    if (busyUs_ == 0)
        Complete(memory, identity);
}

// A word of the EEPROM as read: the identity words are the slave's own
// until its image is a copy of its own; words past the image read 0xFFFF.
std::uint16_t SiiEeprom::Word(std::uint32_t word, const IdentityObject& identity) const {
    const auto& image = *image_;
    if (word >= image.size() / 2)
        return kPastImage;
    if (!own_) {
        if (const auto mine = identity.SiiWord(word))
            return *mine;
    }
    return ecat::sii::WordAt(image, word);
}

// Writes one word into the slave's own copy of the image; false past it.
bool SiiEeprom::WriteWord(std::uint32_t word, std::uint16_t value, const IdentityObject& identity) {
    if (2u * word + 2 > image_->size())
        return false;
    auto copy = std::make_shared<std::vector<std::uint8_t>>(*image_);
    if (!own_) {
        for (std::uint32_t w = ecat::sii::kWordVendorId; 2u * w + 2 <= copy->size(); ++w) {
            const auto mine = identity.SiiWord(w);
            if (!mine)
                break;
            ecat::Put16(&(*copy)[2u * w], *mine);
        }
    }
    ecat::Put16(&(*copy)[2u * word], value);
    image_ = std::move(copy);
    own_ = true;
    return true;
}

void SiiEeprom::Complete(EscMemory& memory, const IdentityObject& identity) {
    busy_ = false;
    std::uint16_t status = memory.Get16(reg::kSiiControl);
    status &= ~(sc::kBusy | sc::kCommandMask);
    const std::uint32_t word = memory.Get32(reg::kSiiAddress);
    if (fails_) {
        status |= sc::kAckError;
    } else if (command_ == sc::kRead) {
        for (std::uint32_t i = 0; i < kDataBytes; ++i) {
            const std::uint16_t value = Word(word + i / 2, identity);
            memory.Set8(reg::kSiiData + i, static_cast<std::uint8_t>(value >> (8 * (i % 2))));
        }
    } else if (command_ == sc::kWrite) {
        if (!WriteWord(word, memory.Get16(reg::kSiiData), identity))
            status |= sc::kAckError;
    } else if (command_ == sc::kReload) {
        memory.Set16(reg::kStationAlias, ecat::sii::WordAt(*image_, ecat::sii::kWordAlias));
    }
    memory.Set16(reg::kSiiControl, status);
}

}  // namespace parvane::emulator
