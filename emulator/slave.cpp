#include "emulator/slave.h"

#include <algorithm>
#include <cstring>

#include "ecat/byte_order.h"
#include "ecat/mailbox.h"
#include "ecat/registers.h"
#include "ecat/sii.h"
#include "emulator/mailbox_runtime.h"

namespace parvane::emulator {

using ecat::AlState;
using ecat::FmmuEntry;
using ecat::SmEntry;
namespace reg = ecat::reg;
namespace code = ecat::al_code;
namespace sc = ecat::sii_control;

namespace {

constexpr std::uint8_t kEscType = 0x11;
constexpr std::uint16_t kDlStatusMidLine = 0x5A33;
constexpr std::uint16_t kDlStatusLast = 0x5613;
constexpr std::uint16_t kDefaultWatchdogDivider = 0x09C2;
constexpr std::uint16_t kDefaultWatchdogTicks = 1000;
constexpr std::uint16_t kSmRegistersEnd = reg::kSmBase + reg::kSmSize * reg::kMaxSms;
constexpr std::uint16_t kFmmuRegistersEnd = reg::kFmmuBase + reg::kFmmuSize * reg::kMaxFmmus;
constexpr std::uint64_t kMsNs = 1'000'000;

bool Overlaps(std::uint32_t a, std::uint32_t aEnd, std::uint32_t b, std::uint32_t bEnd) {
    return a < bEnd && b < aEnd;
}

// Registers the master cannot write: identification, the alias and the
// configuration loaded from the EEPROM, status the slave reports, the SII
// control word (taken as a command), SM status and PDI bytes, and the
// running system time.
bool Writable(std::uint32_t a) {
    if (a < 0x0010 || a == 0x0012 || a == 0x0013)
        return false;
    if ((a >= 0x0110 && a < 0x0112) || (a >= 0x0130 && a < 0x0136))
        return false;
    if (a == 0x0140 || a == 0x0141 || (a >= 0x0440 && a < 0x0444))
        return false;
    if (a == 0x0501 || a == 0x0502 || a == 0x0503)
        return false;
    if (a >= reg::kSmBase && a < kSmRegistersEnd) {
        const unsigned field = (a - reg::kSmBase) % reg::kSmSize;
        return field != 5 && field != 7;
    }
    return !(a >= reg::kDcSystemTime && a < reg::kDcSystemTime + 8u);
}

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

// Copies `count` bits from `src` at bit `srcBit` to `dst` at bit `dstBit`.
template <typename GetBit, typename SetBit>
void CopyBits(std::uint64_t count, GetBit get, SetBit set) {
    for (std::uint64_t k = 0; k < count; ++k)
        set(k, get(k));
}

}  // namespace

Slave::Slave(std::shared_ptr<const SlaveModel> model, const IdentityObject& identity,
             const SlaveSettings& settings, std::uint64_t nowNs, bool lastInLine)
    : model_(std::move(model)),
      identity_(identity),
      settings_(settings),
      sii_(model_->sii),
      epoch_(nowNs),
      eepromErrorsLeft_(settings.eepromErrors) {
    memory_.Set8(reg::kType, kEscType);
    memory_.Set8(reg::kFmmuCount, model_->fmmuCount);
    memory_.Set8(reg::kSmCount, model_->smCount);
    memory_.Set8(reg::kRamSize, 8);
    memory_.Set8(reg::kPortDescriptor, 0x0F);
    memory_.Set16(reg::kFeatures, 0x000C);  // DC, 64-bit DC
    memory_.Set16(reg::kDlStatus, lastInLine ? kDlStatusLast : kDlStatusMidLine);
    memory_.Set16(reg::kAlControl, ecat::ToWire(AlState::kInit));
    memory_.Set16(reg::kAlStatus, ecat::ToWire(AlState::kInit));
    memory_.Set16(reg::kWatchdogDivider, kDefaultWatchdogDivider);
    memory_.Set16(reg::kPdiWatchdog, kDefaultWatchdogTicks);
    memory_.Set16(reg::kSmWatchdog, kDefaultWatchdogTicks);
    // The configuration area loads only when its checksum holds.
    const auto& image = *sii_;
    if (image.size() >= 16 && ecat::sii::Crc8({image.data(), ecat::sii::kChecksummedBytes}) ==
                                  image[2 * ecat::sii::kWordChecksum]) {
        memory_.Set16(reg::kPdiControl, ecat::sii::WordAt(image, ecat::sii::kWordPdiControl));
        memory_.Set16(reg::kStationAlias, ecat::sii::WordAt(image, ecat::sii::kWordAlias));
    } else {
        memory_.Set16(reg::kSiiControl, sc::kChecksumError);
    }
}

Slave::~Slave() = default;
Slave::Slave(Slave&&) noexcept = default;
Slave& Slave::operator=(Slave&&) noexcept = default;

std::uint16_t Slave::stationAddress() const {
    return memory_.Get16(reg::kStationAddress);
}
std::uint16_t Slave::alias() const {
    return memory_.Get16(reg::kStationAlias);
}
bool Slave::aliasAddressing() const {
    return (memory_.Get8(reg::kDlControlAlias) & 0x01) != 0;
}
std::uint16_t Slave::alStatus() const {
    return memory_.Get16(reg::kAlStatus);
}
std::uint16_t Slave::alStatusCode() const {
    return memory_.Get16(reg::kAlStatusCode);
}
std::size_t Slave::MemoryBytes() const {
    return sizeof(*this) + memory_.AllocatedBytes() - sizeof(EscMemory) +
           (mailbox_ ? sizeof(MailboxRuntime) + 1024 : 0);
}

SmEntry Slave::Sm(unsigned i) const {
    std::array<std::uint8_t, reg::kSmSize> b;
    memory_.Read(reg::Sm(i), b);
    return SmEntry::Decode(b);
}

FmmuEntry Slave::Fmmu(unsigned i) const {
    std::array<std::uint8_t, reg::kFmmuSize> b;
    memory_.Read(reg::Fmmu(i), b);
    return FmmuEntry::Decode(b);
}

// ---- datagram actions ----

std::uint16_t Slave::Read(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now) {
    Update(now);
    return EcatRead(ado, data, now) ? 1 : 0;
}

std::uint16_t Slave::Write(std::uint16_t ado, std::span<const std::uint8_t> data,
                           std::uint64_t now) {
    Update(now);
    return EcatWrite(ado, data, now) ? 1 : 0;
}

std::uint16_t Slave::ReadWrite(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now) {
    Update(now);
    std::array<std::uint8_t, ecat::kMaxDatagramData> received;
    const auto in = std::span(received).first(data.size());
    std::copy(data.begin(), data.end(), in.begin());
    std::uint16_t wkc = EcatRead(ado, data, now) ? 1 : 0;
    if (EcatWrite(ado, in, now))
        wkc += 2;
    return wkc;
}

std::uint16_t Slave::OrRead(std::uint16_t ado, std::span<std::uint8_t> data, std::uint64_t now) {
    Update(now);
    std::array<std::uint8_t, ecat::kMaxDatagramData> mine;
    const auto out = std::span(mine).first(data.size());
    if (!EcatRead(ado, out, now))
        return 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] |= out[i];
    return 1;
}

std::uint16_t Slave::OrReadWrite(std::uint16_t ado, std::span<std::uint8_t> data,
                                 std::uint64_t now) {
    Update(now);
    std::array<std::uint8_t, ecat::kMaxDatagramData> received, mine;
    const auto in = std::span(received).first(data.size());
    const auto out = std::span(mine).first(data.size());
    std::copy(data.begin(), data.end(), in.begin());
    std::uint16_t wkc = 0;
    if (EcatRead(ado, out, now)) {
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] |= out[i];
        wkc = 1;
    }
    if (EcatWrite(ado, in, now))
        wkc += 2;
    return wkc;
}

std::uint16_t Slave::Logical(ecat::Command command, std::uint32_t address,
                             std::span<std::uint8_t> data, std::uint64_t now) {
    if (activeFmmus_ == 0)
        return 0;
    Update(now);
    const bool mayWrite = command == ecat::Command::kLwr || command == ecat::Command::kLrw;
    const bool mayRead = command == ecat::Command::kLrd || command == ecat::Command::kLrw;
    const std::uint64_t qStart = static_cast<std::uint64_t>(address) * 8;
    const std::uint64_t qEnd = qStart + data.size() * 8u;
    bool wrote = false, read = false;
    // Writes take the data as it arrived, so they go before this slave's reads.
    for (int pass = 0; pass < 2; ++pass) {
        const bool writing = pass == 0;
        if ((writing && !mayWrite) || (!writing && !mayRead))
            continue;
        for (unsigned i = 0; i < model_->fmmuCount; ++i) {
            if (((activeFmmus_ >> i) & 1u) == 0)
                continue;
            const FmmuEntry e = Fmmu(i);
            if (writing ? !e.writes() : !e.reads())
                continue;
            const std::uint64_t fStart =
                static_cast<std::uint64_t>(e.logicalStart) * 8 + e.logicalStartBit;
            const std::uint64_t fEnd =
                (static_cast<std::uint64_t>(e.logicalStart) + e.length - 1) * 8 + e.logicalStopBit +
                1;
            if (fEnd <= fStart)
                continue;
            const std::uint64_t lo = std::max(fStart, qStart), hi = std::min(fEnd, qEnd);
            if (lo >= hi)
                continue;
            const std::uint64_t count = hi - lo;
            const std::uint64_t dataBit = lo - qStart;
            const std::uint64_t physBit = static_cast<std::uint64_t>(e.physicalStart) * 8 +
                                          e.physicalStartBit + (lo - fStart);
            const std::uint32_t physByte = static_cast<std::uint32_t>(physBit / 8);
            const bool aligned = dataBit % 8 == 0 && physBit % 8 == 0 && count % 8 == 0;
            if (writing) {
                if (aligned && physByte >= reg::kProcessRam) {
                    memory_.Write(physByte, data.subspan(dataBit / 8, count / 8));
                } else {
                    CopyBits(
                        count,
                        [&](std::uint64_t k) {
                            const std::uint64_t b = dataBit + k;
                            return (data[b / 8] >> (b % 8)) & 1u;
                        },
                        [&](std::uint64_t k, unsigned bit) {
                            const std::uint64_t b = physBit + k;
                            const std::uint32_t at = static_cast<std::uint32_t>(b / 8);
                            if (at >= reg::kProcessRam || Writable(at)) {
                                std::uint8_t v = memory_.Get8(at);
                                v = static_cast<std::uint8_t>(bit ? v | (1u << (b % 8))
                                                                  : v & ~(1u << (b % 8)));
                                memory_.Set8(at, v);
                            }
                        });
                }
                OutputsWritten(physByte, static_cast<std::uint32_t>((physBit + count + 7) / 8),
                               now);
                wrote = true;
            } else {
                if (aligned) {
                    memory_.Read(physByte, data.subspan(dataBit / 8, count / 8));
                } else {
                    CopyBits(
                        count,
                        [&](std::uint64_t k) {
                            const std::uint64_t b = physBit + k;
                            return (memory_.Get8(static_cast<std::uint32_t>(b / 8)) >> (b % 8)) &
                                   1u;
                        },
                        [&](std::uint64_t k, unsigned bit) {
                            const std::uint64_t b = dataBit + k;
                            std::uint8_t& v = data[b / 8];
                            v = static_cast<std::uint8_t>(bit ? v | (1u << (b % 8))
                                                              : v & ~(1u << (b % 8)));
                        });
                }
                read = true;
            }
        }
    }
    if (command == ecat::Command::kLrw)
        return static_cast<std::uint16_t>((read ? 1 : 0) + (wrote ? 2 : 0));
    return (read || wrote) ? 1 : 0;
}

// ---- memory access with sync manager rules ----

bool Slave::EcatRead(std::uint16_t ado, std::span<std::uint8_t> out, std::uint64_t now) {
    const std::uint32_t end = static_cast<std::uint32_t>(ado) + out.size();
    if (Overlaps(ado, end, reg::kDcSystemTime, reg::kDcSystemTime + 8u))
        memory_.Set64(reg::kDcSystemTime, now - epoch_);
    int consumed = -1;
    if (end > reg::kProcessRam && mailboxSms_ != 0) {
        for (unsigned i = 0; i < model_->smCount; ++i) {
            if (((mailboxSms_ >> i) & 1u) == 0)
                continue;
            const SmEntry sm = Sm(i);
            const std::uint32_t smEnd = static_cast<std::uint32_t>(sm.start) + sm.length;
            if (!Overlaps(ado, end, sm.start, smEnd))
                continue;
            // The master reads only a full slave-to-master mailbox.
            if (sm.masterWrites() ||
                (memory_.Get8(reg::SmStatus(i)) & SmEntry::kStatusMailboxFull) == 0)
                return false;
            if (ado < smEnd && smEnd <= end)
                consumed = static_cast<int>(i);
        }
    }
    memory_.Read(ado, out);
    if (consumed >= 0) {
        const auto status = reg::SmStatus(static_cast<unsigned>(consumed));
        memory_.Set8(status, memory_.Get8(status) & ~SmEntry::kStatusMailboxFull);
        MailboxRead();
    }
    return true;
}

bool Slave::EcatWrite(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now) {
    const std::uint32_t end = static_cast<std::uint32_t>(ado) + in.size();
    int filled = -1;
    if (end > reg::kProcessRam && mailboxSms_ != 0) {
        for (unsigned i = 0; i < model_->smCount; ++i) {
            if (((mailboxSms_ >> i) & 1u) == 0)
                continue;
            const SmEntry sm = Sm(i);
            const std::uint32_t smEnd = static_cast<std::uint32_t>(sm.start) + sm.length;
            if (!Overlaps(ado, end, sm.start, smEnd))
                continue;
            // The master writes only an empty master-to-slave mailbox.
            if (!sm.masterWrites() ||
                (memory_.Get8(reg::SmStatus(i)) & SmEntry::kStatusMailboxFull) != 0)
                return false;
            if (ado < smEnd && smEnd <= end)
                filled = static_cast<int>(i);
        }
    }
    if (ado < reg::kProcessRam) {
        const std::size_t registers = std::min<std::size_t>(in.size(), reg::kProcessRam - ado);
        WriteRegisters(ado, in.first(registers));
        if (registers < in.size())
            memory_.Write(reg::kProcessRam, in.subspan(registers));
    } else {
        memory_.Write(ado, in);
    }
    if (end > reg::kProcessRam)
        OutputsWritten(std::max<std::uint32_t>(ado, reg::kProcessRam), end, now);
    AfterWrite(ado, in, now);
    if (filled >= 0) {
        const auto status = reg::SmStatus(static_cast<unsigned>(filled));
        memory_.Set8(status, memory_.Get8(status) | SmEntry::kStatusMailboxFull);
        MailboxReceived(now);
    }
    return true;
}

void Slave::WriteRegisters(std::uint16_t ado, std::span<const std::uint8_t> in) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::uint32_t a = ado + static_cast<std::uint32_t>(i);
        if (Writable(a))
            memory_.Set8(a, in[i]);
    }
}

// What the ESC and the application do after the master wrote [ado, ado+n).
void Slave::AfterWrite(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now) {
    const std::uint32_t end = static_cast<std::uint32_t>(ado) + in.size();
    if (ado >= reg::kProcessRam)
        return;
    auto written = [&](std::uint32_t a) { return a >= ado && a < end; };
    if (Overlaps(ado, end, reg::kFmmuBase, kFmmuRegistersEnd)) {
        activeFmmus_ = 0;
        for (unsigned i = 0; i < model_->fmmuCount; ++i) {
            const FmmuEntry e = Fmmu(i);
            if (e.active && e.length > 0)
                activeFmmus_ = static_cast<std::uint16_t>(activeFmmus_ | (1u << i));
        }
    }
    if (Overlaps(ado, end, reg::kSmBase, kSmRegistersEnd)) {
        mailboxSms_ = outputSms_ = 0;
        for (unsigned i = 0; i < model_->smCount; ++i) {
            const SmEntry sm = Sm(i);
            if (sm.enabled() && sm.length > 0) {
                if (sm.mailbox())
                    mailboxSms_ = static_cast<std::uint16_t>(mailboxSms_ | (1u << i));
                else if (sm.masterWrites())
                    outputSms_ = static_cast<std::uint16_t>(outputSms_ | (1u << i));
            }
            if (!Overlaps(ado, end, reg::Sm(i), reg::Sm(i) + reg::kSmSize))
                continue;
            if (!sm.enabled()) {
                // A disabled sync manager forgets its buffer state; a
                // mailbox set up again starts its counters again.
                memory_.Set8(reg::SmStatus(i), 0);
                if (i == 0 && mailbox_)
                    mailbox_->lastCounterIn = -1;
            } else if (sm.mailbox() && !sm.masterWrites() && written(reg::SmActivate(i)) &&
                       ((sm.activate & SmEntry::kActivateRepeat) != 0) !=
                           ((sm.pdiControl & SmEntry::kPdiRepeatAck) != 0)) {
                RepeatRequested();
                const std::uint8_t pdi = memory_.Get8(reg::SmPdiControl(i));
                memory_.Set8(reg::SmPdiControl(i), pdi ^ SmEntry::kPdiRepeatAck);
            }
        }
    }
    if (written(reg::kSiiConfig)) {
        // The application takes the EEPROM whenever it is offered.
        memory_.Set8(reg::kSiiPdiAccess, memory_.Get8(reg::kSiiConfig) & 0x01);
    }
    if (written(reg::kSiiControl) || written(reg::kSiiControl + 1u)) {
        std::uint16_t control = memory_.Get16(reg::kSiiControl);
        if (written(reg::kSiiControl))
            control = static_cast<std::uint16_t>((control & 0xFF00) | in[reg::kSiiControl - ado]);
        if (written(reg::kSiiControl + 1u))
            control = static_cast<std::uint16_t>((control & 0x00FF) |
                                                 (in[reg::kSiiControl + 1u - ado] << 8));
        SiiCommand(control, now);
    }
    if (written(reg::kAlControl))
        AlControlWritten(now);
}

void Slave::OutputsWritten(std::uint32_t start, std::uint32_t end, std::uint64_t now) {
    for (unsigned i = 0; i < model_->smCount && outputSms_ != 0; ++i) {
        if (((outputSms_ >> i) & 1u) == 0)
            continue;
        const SmEntry sm = Sm(i);
        if (!Overlaps(start, end, sm.start, static_cast<std::uint32_t>(sm.start) + sm.length))
            continue;
        outputsArrived_ = true;
        if ((sm.control & SmEntry::kWatchdogTrigger) != 0 && WatchdogNs() > 0) {
            watchdogRunning_ = true;
            lastTrigger_ = now;
            memory_.Set8(reg::kSmWatchdogStatus, 0x01);
        }
        if (pending_ && pendingTarget_ == AlState::kOp && pendingAt_ <= now)
            Update(now);
    }
}

// Whether an enabled buffered sync manager takes outputs from the master.
bool Slave::HasOutputSm() const {
    return outputSms_ != 0;
}

// ---- time ----

std::uint64_t Slave::WatchdogNs() const {
    return static_cast<std::uint64_t>(memory_.Get16(reg::kSmWatchdog)) *
           (memory_.Get16(reg::kWatchdogDivider) + 2u) * 40u;
}

void Slave::Update(std::uint64_t now) {
    if (siiBusy_ && now >= siiReadyAt_)
        SiiComplete();
    if (pending_ && now >= pendingAt_) {
        if (pendingTarget_ == AlState::kOp && HasOutputSm() && !outputsArrived_ &&
            !model_->deviceEmulation) {
            if (now >= outputsDeadline_) {
                pending_ = false;
                Refuse(code::kWatchdog);
            }
        } else {
            pending_ = false;
            Enter(pendingTarget_, now);
        }
    }
    if (state_ == AlState::kOp && watchdogRunning_ && !model_->deviceEmulation) {
        const std::uint64_t limit = WatchdogNs();
        if (limit > 0 && now - lastTrigger_ > limit) {
            watchdogRunning_ = false;
            memory_.Set8(reg::kSmWatchdogStatus, 0x00);
            memory_.Set8(reg::kSmWatchdogCounter,
                         static_cast<std::uint8_t>(memory_.Get8(reg::kSmWatchdogCounter) + 1));
            state_ = AlState::kSafeOp;
            SetStatus(ecat::ToWire(AlState::kSafeOp) | ecat::kAlErrorFlag, code::kWatchdog);
        }
    }
}

// ---- AL state machine ----

void Slave::SetStatus(std::uint16_t status, std::uint16_t code) {
    memory_.Set16(reg::kAlStatus, status);
    memory_.Set16(reg::kAlStatusCode, code);
}

void Slave::Refuse(std::uint16_t refusal) {
    SetStatus(ecat::ToWire(state_) | ecat::kAlErrorFlag, refusal);
}

void Slave::Enter(AlState state, std::uint64_t now) {
    const AlState from = state_;
    state_ = state;
    SetStatus(ecat::ToWire(state), 0);
    if (state == AlState::kInit) {
        if (mailbox_) {
            if (mailbox_->own)
                mailbox_->own->ForgetWrites();
            mailbox_->queue.clear();
            mailbox_->downloading = mailbox_->uploading = false;
            mailbox_->lastCounterIn = -1;  // a new master starts its counter again
        }
    }
    if (state == AlState::kSafeOp && from == AlState::kPreOp)
        outputsArrived_ = false;
    if (state == AlState::kOp && !watchdogRunning_) {
        lastTrigger_ = now;
    }
}

void Slave::AlControlWritten(std::uint64_t now) {
    const std::uint16_t control = memory_.Get16(reg::kAlControl);
    const std::uint16_t requested = control & ecat::kAlStateMask;
    const bool ack = (control & ecat::kAlControlAck) != 0;
    const bool inError = (memory_.Get16(reg::kAlStatus) & ecat::kAlErrorFlag) != 0;
    if (inError) {
        // A pending error holds the slave until it is acknowledged; a request
        // for INIT clears it as well.
        if (!ack && requested != ecat::ToWire(AlState::kInit))
            return;
        SetStatus(ecat::ToWire(state_), 0);
    }
    const auto target = ecat::AlStateFrom(requested);
    if (!target) {
        pending_ = false;
        Refuse(code::kUnknownState);
        return;
    }
    if (model_->deviceEmulation) {
        // The ESC copies the request into the status on its own.
        if (Rank(*target) > Rank(settings_.maxState)) {
            Refuse(settings_.refusalCode);
            return;
        }
    } else if (*target == state_) {
        pending_ = false;
        return;
    } else if (pending_ && *target == pendingTarget_) {
        return;  // the same request again: the change already under way goes on
    } else if (const std::uint16_t refusal = CheckTransition(*target); refusal != 0) {
        pending_ = false;
        Refuse(refusal);
        return;
    }
    if (*target == state_ && !pending_)
        return;
    pending_ = true;
    pendingTarget_ = *target;
    pendingAt_ = now + static_cast<std::uint64_t>(settings_.transitionMs) * kMsNs;
    const std::uint64_t grace = WatchdogNs() > 0 ? WatchdogNs() : 100 * kMsNs;
    outputsDeadline_ = pendingAt_ + grace;
    Update(now);
}

std::uint16_t Slave::CheckTransition(AlState to) const {
    const AlState from = state_;
    if (to == AlState::kBoot)
        return from == AlState::kInit ? code::kBootstrapUnsupported : code::kInvalidTransition;
    if (from == AlState::kBoot)
        return to == AlState::kInit ? 0 : code::kInvalidTransition;
    if (Rank(to) > Rank(from) + 1)
        return code::kInvalidTransition;
    if (Rank(to) > Rank(settings_.maxState))
        return settings_.refusalCode;
    if (from == AlState::kInit && to == AlState::kPreOp)
        return CheckMailboxSms();
    if (from == AlState::kPreOp && to == AlState::kSafeOp)
        return CheckProcessData();
    return 0;
}

std::uint16_t Slave::CheckMailboxSms() const {
    if (!model_->mailbox)
        return 0;
    const MailboxLayout& m = *model_->mailbox;
    const SmEntry out = Sm(0), in = Sm(1);
    const std::uint8_t kModeAndDirection = SmEntry::kModeMask | SmEntry::kDirectionMask;
    if (!out.enabled() || out.start != m.outStart || out.length != m.outLength ||
        (out.control & kModeAndDirection) != (SmEntry::kModeMailbox | SmEntry::kMasterWrites))
        return code::kInvalidMailboxConfig;
    if (!in.enabled() || in.start != m.inStart || in.length != m.inLength ||
        (in.control & kModeAndDirection) != SmEntry::kModeMailbox)
        return code::kInvalidMailboxConfig;
    return 0;
}

// The length a process-data SM must have: what the PDO assignment in the
// object dictionary maps (0x1C10 + SM number), as the master may have
// changed it; the configuration's PDO size without CoE.
std::uint16_t Slave::ExpectedLength(const ExpectedSm& expected) const {
    const auto assignment = static_cast<std::uint16_t>(0x1C10 + expected.number);
    if (model_->dictionary) {
        const ObjectDictionary& od = mailbox_ ? mailbox_->dictionary() : *model_->dictionary;
        if (od.Has(assignment)) {
            // A PDO without a mapping object cannot be the length of anything.
            const auto bits = od.AssignedBits(assignment);
            return bits ? static_cast<std::uint16_t>((*bits + 7) / 8) : 0xFFFF;
        }
    }
    return expected.length;
}

std::uint16_t Slave::CheckProcessData() const {
    const std::uint8_t kModeAndDirection = SmEntry::kModeMask | SmEntry::kDirectionMask;
    for (const ExpectedSm& expected : model_->processSms) {
        const std::uint16_t refusal =
            expected.outputs ? code::kInvalidOutputConfig : code::kInvalidInputConfig;
        const SmEntry sm = Sm(expected.number);
        const std::uint16_t length = ExpectedLength(expected);
        if (length == 0) {
            if (sm.enabled() && sm.length > 0)
                return refusal;
            continue;
        }
        if (!sm.enabled() || sm.start != expected.start || sm.length != length ||
            (sm.control & kModeAndDirection) != (expected.control & kModeAndDirection))
            return refusal;
    }
    // Then an active FMMU of the matching direction must reach each buffer.
    for (const ExpectedSm& expected : model_->processSms) {
        if (ExpectedLength(expected) == 0)
            continue;
        bool mapped = false;
        for (unsigned i = 0; i < model_->fmmuCount && !mapped; ++i) {
            const FmmuEntry e = Fmmu(i);
            mapped = e.active && (expected.outputs ? e.writes() : e.reads()) &&
                     e.physicalStart <= expected.start &&
                     expected.start < static_cast<std::uint32_t>(e.physicalStart) + e.length;
        }
        if (!mapped)
            return expected.outputs ? code::kInvalidOutputConfig : code::kInvalidInputConfig;
    }
    for (const RequiredObject& object : model_->requiredForSafeOp) {
        if (mailbox_ &&
            mailbox_->dictionary().Written(object.index, object.subIndex, object.completeAccess))
            continue;
        const std::uint16_t i = object.index;
        if (i == 0x1C12 || (i >= 0x1600 && i <= 0x17FF))
            return code::kInvalidOutputMapping;
        if (i == 0x1C13 || (i >= 0x1A00 && i <= 0x1BFF))
            return code::kInvalidInputMapping;
        return 0x0026;  // inconsistent settings
    }
    return 0;
}

// ---- SII EEPROM ----

void Slave::SiiCommand(std::uint16_t control, std::uint64_t now) {
    std::uint16_t status = memory_.Get16(reg::kSiiControl);
    if (siiBusy_)
        return;  // a command is running; the write is ignored
    status =
        static_cast<std::uint16_t>((status & ~sc::kWriteEnable) | (control & sc::kWriteEnable));
    const std::uint16_t command = control & sc::kCommandMask;
    if (command == 0) {
        status &= ~(sc::kAckError | sc::kWriteEnableError);
        memory_.Set16(reg::kSiiControl, status);
        return;
    }
    status &= ~(sc::kAckError | sc::kWriteEnableError);
    const bool pdiHolds = (memory_.Get8(reg::kSiiPdiAccess) & 0x01) != 0;
    if (pdiHolds || (command != sc::kRead && command != sc::kWrite && command != sc::kReload)) {
        memory_.Set16(reg::kSiiControl, status | sc::kAckError);
        return;
    }
    if (command == sc::kWrite && (control & sc::kWriteEnable) == 0) {
        memory_.Set16(reg::kSiiControl, status | sc::kWriteEnableError);
        return;
    }
    siiFails_ = false;
    if (command == sc::kRead && eepromErrorsLeft_ > 0) {
        --eepromErrorsLeft_;
        siiFails_ = true;
    }
    siiBusy_ = true;
    siiCommand_ = command;
    siiReadyAt_ = now + static_cast<std::uint64_t>(settings_.eepromBusyUs) * 1000u;
    memory_.Set16(reg::kSiiControl, status | command | sc::kBusy);
    if (settings_.eepromBusyUs == 0)
        SiiComplete();
}

// A word of the EEPROM as read: the identity words are the slave's own
// until its image is a copy of its own; words past the image read 0xFFFF.
std::uint16_t Slave::SiiWord(std::uint32_t word) const {
    const auto& image = *sii_;
    if (word >= image.size() / 2)
        return 0xFFFF;
    if (sii_ == model_->sii) {
        if (const auto own = identity_.SiiWord(word))
            return *own;
    }
    return ecat::sii::WordAt(image, word);
}

void Slave::SiiComplete() {
    siiBusy_ = false;
    std::uint16_t status = memory_.Get16(reg::kSiiControl);
    status &= ~(sc::kBusy | sc::kCommandMask);
    const std::uint32_t word = memory_.Get32(reg::kSiiAddress);
    const auto& image = *sii_;
    if (siiFails_) {
        status |= sc::kAckError;
    } else if (siiCommand_ == sc::kRead) {
        for (std::uint32_t i = 0; i < 4; ++i) {
            const std::uint16_t value = SiiWord(word + i / 2);
            memory_.Set8(reg::kSiiData + i, static_cast<std::uint8_t>(value >> (8 * (i % 2))));
        }
    } else if (siiCommand_ == sc::kWrite) {
        if (2u * word + 2 <= image.size()) {
            auto copy = std::make_shared<std::vector<std::uint8_t>>(image);
            if (sii_ == model_->sii) {
                for (std::uint32_t w = ecat::sii::kWordVendorId; 2u * w + 2 <= copy->size(); ++w) {
                    const auto own = identity_.SiiWord(w);
                    if (!own)
                        break;
                    ecat::Put16(&(*copy)[2u * w], *own);
                }
            }
            ecat::Put16(&(*copy)[2u * word], memory_.Get16(reg::kSiiData));
            sii_ = std::move(copy);
        } else {
            status |= sc::kAckError;
        }
    } else if (siiCommand_ == sc::kReload) {
        memory_.Set16(reg::kStationAlias, ecat::sii::WordAt(image, ecat::sii::kWordAlias));
    }
    memory_.Set16(reg::kSiiControl, status);
}

}  // namespace parvane::emulator
