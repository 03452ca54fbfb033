#include "emulator/slave.h"

#include <algorithm>
#include <array>

#include "ecat/mailbox.h"
#include "ecat/registers.h"
#include "ecat/sii.h"

namespace parvane::emulator {

using ecat::AlState;
using ecat::SmEntry;
namespace reg = ecat::reg;

namespace {

constexpr std::uint8_t kAliasAddressing = 0x01;  // 0x0103 bit 0
constexpr std::uint32_t kWordPulseLength = 2;
constexpr std::size_t kMailboxHeapBytes = 1024;  // what a mailbox holds besides itself, roughly
// Read-write datagrams of every addressing count alike.
constexpr ecat::Command kReadWrite = ecat::Command::kFprw;

}  // namespace

// Passes what one part's access means on to the others, for one access.
class Slave::Hooks final : public EscEvents, public AlEvents {
  public:
    explicit Hooks(Slave& slave) : s_(slave) {}

    void RegistersWritten(std::uint16_t ado, std::span<const std::uint8_t> in,
                          std::uint64_t now) override {
        s_.sii_.Written(s_.esc_.memory(), ado, in, s_.identity_, now);
        if (reg::kAlControl >= ado && reg::kAlControl < ado + in.size())
            s_.al_.ControlWritten(s_.Device(*this), now);
    }
    void MailboxWritten() override {
        // The application takes the message and empties SM0 at once.
        EscMemory& memory = s_.esc_.memory();
        memory.Set8(reg::SmStatus(0), memory.Get8(reg::SmStatus(0)) & ~SmEntry::kStatusMailboxFull);
        if (!s_.model_->mailbox || s_.al_.state() == AlState::kInit ||
            s_.esc_.Sm(0).length < ecat::kMailboxHeaderSize)
            return;
        s_.Mailbox().Received(s_.esc_, *s_.model_->mailbox, s_.al_.state());
    }
    void MailboxRead() override {
        if (s_.mailbox_)
            s_.mailbox_->Deliver(s_.esc_);
    }
    void MailboxRepeatRequested() override {
        if (s_.mailbox_)
            s_.mailbox_->Repeat(s_.esc_);
    }
    void SmDisabled(unsigned sm) override {
        if (sm == 0 && s_.mailbox_)
            s_.mailbox_->CounterReset();
    }
    void OutputsWritten(std::uint64_t now) override {
        s_.al_.OutputsReceived(s_.Device(*this), now);
    }
    void Entered(AlState state) override {
        if (state == AlState::kInit && s_.mailbox_)
            s_.mailbox_->Reset();
    }

  private:
    Slave& s_;
};

Slave::Slave(std::shared_ptr<const SlaveModel> model, const IdentityObject& identity,
             const SlaveSettings& settings, std::uint64_t nowNs, EscPorts ports)
    : model_(std::move(model)),
      identity_(identity),
      esc_(model_->fmmuCount, model_->smCount, std::move(ports), nowNs, settings.dc),
      sii_(model_->sii, EepromSettings{settings.eepromBusyUs, settings.eepromErrors}),
      al_(AlLimits{settings.maxState, settings.refusalCode, settings.transitionMs}) {
    sii_.PowerUp(esc_.memory());
    // The SYNC pulse length comes from EEPROM word 2.
    if (model_->sii && model_->sii->size() >= 2 * (kWordPulseLength + 1))
        esc_.memory().Set16(reg::kDcPulseLength, ecat::sii::WordAt(*model_->sii, kWordPulseLength));
}

Slave::~Slave() = default;
Slave::Slave(Slave&&) noexcept = default;
Slave& Slave::operator=(Slave&&) noexcept = default;

std::uint16_t Slave::stationAddress() const {
    return esc_.memory().Get16(reg::kStationAddress);
}
std::uint16_t Slave::alias() const {
    return esc_.memory().Get16(reg::kStationAlias);
}
bool Slave::aliasAddressing() const {
    return (esc_.memory().Get8(reg::kDlControlAlias) & kAliasAddressing) != 0;
}
std::size_t Slave::MemoryBytes() const {
    return sizeof(*this) + esc_.memory().AllocatedBytes() - sizeof(EscMemory) +
           (mailbox_ ? sizeof(SlaveMailbox) + kMailboxHeapBytes : 0);
}

AlDevice Slave::Device(AlEvents& events) {
    const ObjectDictionary* dictionary =
        mailbox_ ? &mailbox_->coe().dictionary() : model_->dictionary.get();
    return AlDevice{KindOf(*model_), DeviceView{*model_, esc_, dictionary}, events};
}

SlaveMailbox& Slave::Mailbox() {
    if (!mailbox_)
        mailbox_ = std::make_unique<SlaveMailbox>(*model_, identity_);
    return *mailbox_;
}

void Slave::Settle(std::uint64_t now) {
    Hooks hooks(*this);
    esc_.dc().Seen(now);
    sii_.Settle(esc_.memory(), identity_, now);
    al_.Settle(Device(hooks), now);
}

bool Slave::EscRead(std::uint16_t ado, std::span<std::uint8_t> out, std::uint64_t now) {
    Hooks hooks(*this);
    return esc_.Read(ado, out, now, hooks);
}

bool Slave::EscWrite(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now) {
    Hooks hooks(*this);
    return esc_.Write(ado, in, now, hooks);
}

// ---- datagram actions ----

std::uint16_t Slave::Read(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now) {
    Settle(now);
    return EscRead(ado, data, now) ? 1 : 0;
}

std::uint16_t Slave::Write(std::uint16_t ado, std::span<const std::uint8_t> data,
                           std::uint64_t now) {
    Settle(now);
    return EscWrite(ado, data, now) ? 1 : 0;
}

std::uint16_t Slave::ReadWrite(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now) {
    Settle(now);
    std::array<std::uint8_t, ecat::kMaxDatagramData> received;
    const auto in = std::span(received).first(data.size());
    std::copy(data.begin(), data.end(), in.begin());
    const bool read = EscRead(ado, data, now);
    return ecat::WkcIncrement(kReadWrite, read, EscWrite(ado, in, now));
}

std::uint16_t Slave::OrRead(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now) {
    Settle(now);
    std::array<std::uint8_t, ecat::kMaxDatagramData> mine;
    const auto out = std::span(mine).first(data.size());
    if (!EscRead(ado, out, now))
        return 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] |= out[i];
    return 1;
}

std::uint16_t Slave::OrReadWrite(std::uint16_t ado, std::span<std::uint8_t> data,
                                 std::uint64_t now) {
    Settle(now);
    std::array<std::uint8_t, ecat::kMaxDatagramData> received, mine;
    const auto in = std::span(received).first(data.size());
    const auto out = std::span(mine).first(data.size());
    std::copy(data.begin(), data.end(), in.begin());
    const bool read = EscRead(ado, out, now);
    if (read) {
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] |= out[i];
    }
    return ecat::WkcIncrement(kReadWrite, read, EscWrite(ado, in, now));
}

std::uint16_t Slave::Logical(ecat::Command command, std::uint32_t address,
                             std::span<std::uint8_t> data, std::uint64_t now) {
    if (!esc_.AnyFmmuActive())
        return 0;
    Settle(now);
    Hooks hooks(*this);
    return esc_.Logical(command, address, data, now, hooks);
}

}  // namespace parvane::emulator
