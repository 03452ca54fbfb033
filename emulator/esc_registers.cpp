#include "emulator/esc_registers.h"

#include <algorithm>
#include <array>

#include "ecat/al_state.h"

namespace parvane::emulator {

using ecat::FmmuEntry;
using ecat::SmEntry;
namespace reg = ecat::reg;

namespace {

constexpr std::uint8_t kEscType = 0x11;
constexpr std::uint8_t kRamKiB = 8;
constexpr std::uint8_t kFourPortsMii = 0x0F;
// DL status: links and loops of ports 0 and 1. A slave in the middle of the
// line has both ports open; the last one closes port 1 and sends the frame
// back.
constexpr std::uint16_t kDlStatusMidLine = 0x5A33;
constexpr std::uint16_t kDlStatusLast = 0x5613;
constexpr std::uint16_t kDefaultWatchdogDivider = 0x09C2;
constexpr std::uint16_t kDefaultWatchdogTicks = 1000;
constexpr std::uint8_t kWatchdogRunning = 0x01;
constexpr std::uint16_t kSmRegistersEnd = reg::kSmBase + reg::kSmSize * reg::kMaxSms;
constexpr std::uint16_t kFmmuRegistersEnd = reg::kFmmuBase + reg::kFmmuSize * reg::kMaxFmmus;
constexpr std::uint32_t kDcEnd = 0x0A00;

bool Overlaps(std::uint32_t a, std::uint32_t aEnd, std::uint32_t b, std::uint32_t bEnd) {
    return a < bEnd && b < aEnd;
}

bool Within(std::uint32_t a, std::uint16_t first, std::uint32_t size) {
    return a >= first && a < first + size;
}

// Registers the master cannot write: identification, the alias and the
// configuration loaded from the EEPROM, status the slave reports, the SII
// access and control words (the control word is taken as a command), SM
// status and PDI bytes, and the DC unit's registers (it takes their writes
// itself).
bool Writable(std::uint32_t a) {
    if (a < reg::kStationAddress || Within(a, reg::kStationAlias, 2))
        return false;
    if (Within(a, reg::kDlStatus, 2) || Within(a, reg::kAlStatus, 6))
        return false;
    if (Within(a, reg::kPdiControl, 2) || Within(a, reg::kSmWatchdogStatus, 4))
        return false;
    if (Within(a, reg::kSiiPdiAccess, 3))
        return false;
    if (a >= reg::kSmBase && a < kSmRegistersEnd) {
        const unsigned field = (a - reg::kSmBase) % reg::kSmSize;
        return field != reg::SmStatus(0) - reg::kSmBase &&
               field != reg::SmPdiControl(0) - reg::kSmBase;
    }
    return !Within(a, reg::kDcBase, kDcEnd - reg::kDcBase);
}

// DL status of a slave whose ports `linked` have a link: PDI operational,
// the link bits, and per port either communication (linked) or a closed loop.
std::uint16_t DlStatusOf(std::uint8_t linked) {
    std::uint16_t status = 0x0003 | static_cast<std::uint16_t>((linked & 0x0F) << 4);
    for (unsigned port = 0; port < 4; ++port)
        status |= static_cast<std::uint16_t>(1u << (8 + 2 * port + ((linked >> port) & 1u)));
    return status;
}

void SetBit(std::uint8_t& byte, unsigned bit, unsigned value) {
    byte = static_cast<std::uint8_t>(value ? byte | (1u << bit) : byte & ~(1u << bit));
}

}  // namespace

EscRegisters::EscRegisters(std::uint8_t fmmuCount, std::uint8_t smCount, EscPorts ports,
                           std::uint64_t nowNs, const DcSettings& dc)
    : dc_(dc, ports.timing, nowNs, memory_), fmmuCount_(fmmuCount), smCount_(smCount) {
    memory_.Set8(reg::kType, kEscType);
    memory_.Set8(reg::kFmmuCount, fmmuCount);
    memory_.Set8(reg::kSmCount, smCount);
    memory_.Set8(reg::kRamSize, kRamKiB);
    memory_.Set8(reg::kPortDescriptor, kFourPortsMii);
    memory_.Set16(reg::kDlStatus, ports.linkedPorts  ? DlStatusOf(*ports.linkedPorts)
                                  : ports.lastInLine ? kDlStatusLast
                                                     : kDlStatusMidLine);
    memory_.Set16(reg::kAlControl, ecat::AlControl::Request(ecat::AlState::kInit).Encode());
    memory_.Set16(reg::kAlStatus, ecat::AlStatus::Of(ecat::AlState::kInit).Encode());
    memory_.Set16(reg::kWatchdogDivider, kDefaultWatchdogDivider);
    memory_.Set16(reg::kPdiWatchdog, kDefaultWatchdogTicks);
    memory_.Set16(reg::kSmWatchdog, kDefaultWatchdogTicks);
}

SmEntry EscRegisters::Sm(unsigned i) const {
    std::array<std::uint8_t, reg::kSmSize> b;
    memory_.Read(reg::Sm(i), b);
    return SmEntry::Decode(b);
}

FmmuEntry EscRegisters::Fmmu(unsigned i) const {
    std::array<std::uint8_t, reg::kFmmuSize> b;
    memory_.Read(reg::Fmmu(i), b);
    return FmmuEntry::Decode(b);
}

// ---- SM watchdog ----

std::uint64_t EscRegisters::WatchdogNs() const {
    return static_cast<std::uint64_t>(memory_.Get16(reg::kSmWatchdog)) *
           (memory_.Get16(reg::kWatchdogDivider) + 2u) * 40u;
}

bool EscRegisters::WatchdogExpired(std::uint64_t now) {
    if (!watchdogRunning_)
        return false;
    const std::uint64_t limit = WatchdogNs();
    if (limit == 0 || now - lastTrigger_ <= limit)
        return false;
    watchdogRunning_ = false;
    memory_.Set8(reg::kSmWatchdogStatus, 0x00);
    memory_.Set8(reg::kSmWatchdogCounter,
                 static_cast<std::uint8_t>(memory_.Get8(reg::kSmWatchdogCounter) + 1));
    return true;
}

// ---- memory access with sync manager rules ----

bool EscRegisters::MailboxGate(std::uint32_t ado, std::uint32_t end, bool write,
                               int& completes) const {
    completes = -1;
    if (end <= reg::kProcessRam || mailboxSms_ == 0)
        return true;
    for (unsigned i = 0; i < smCount_; ++i) {
        if (((mailboxSms_ >> i) & 1u) == 0)
            continue;
        const SmEntry sm = Sm(i);
        const std::uint32_t smEnd = static_cast<std::uint32_t>(sm.start) + sm.length;
        if (!Overlaps(ado, end, sm.start, smEnd))
            continue;
        // The master writes only an empty master-to-slave mailbox and reads
        // only a full slave-to-master one.
        const bool full = (memory_.Get8(reg::SmStatus(i)) & SmEntry::kStatusMailboxFull) != 0;
        if (sm.masterWrites() != write || full == write)
            return false;
        if (ado < smEnd && smEnd <= end)
            completes = static_cast<int>(i);
    }
    return true;
}

bool EscRegisters::Read(std::uint16_t ado, std::span<std::uint8_t> out, std::uint64_t now,
                        EscEvents& events) {
    const std::uint32_t end = static_cast<std::uint32_t>(ado) + out.size();
    dc_.Read(ado, end, now, memory_);
    int consumed = -1;
    if (!MailboxGate(ado, end, false, consumed))
        return false;
    memory_.Read(ado, out);
    if (consumed >= 0) {
        const auto status = reg::SmStatus(static_cast<unsigned>(consumed));
        memory_.Set8(status, memory_.Get8(status) & ~SmEntry::kStatusMailboxFull);
        events.MailboxRead();
    }
    return true;
}

bool EscRegisters::Write(std::uint16_t ado, std::span<const std::uint8_t> in, std::uint64_t now,
                         EscEvents& events) {
    const std::uint32_t end = static_cast<std::uint32_t>(ado) + in.size();
    int filled = -1;
    if (!MailboxGate(ado, end, true, filled))
        return false;
    if (ado < reg::kProcessRam) {
        const std::size_t registers = std::min<std::size_t>(in.size(), reg::kProcessRam - ado);
        WriteRegisters(ado, in.first(registers));
        dc_.Write(ado, in.first(registers), now, memory_);
        if (registers < in.size())
            memory_.Write(reg::kProcessRam, in.subspan(registers));
    } else {
        memory_.Write(ado, in);
    }
    // Output SMs may sit below the process RAM too (the digital output
    // registers at 0x0F00 of a terminal without a microcontroller).
    if (outputSms_ != 0)
        OutputsWritten(ado, end, now, events);
    if (ado < reg::kProcessRam) {
        if (Overlaps(ado, end, reg::kFmmuBase, kFmmuRegistersEnd))
            FmmusWritten();
        if (Overlaps(ado, end, reg::kSmBase, kSmRegistersEnd))
            SmsWritten(ado, end, events);
        events.RegistersWritten(ado, in, now);
    }
    if (filled >= 0) {
        const auto status = reg::SmStatus(static_cast<unsigned>(filled));
        memory_.Set8(status, memory_.Get8(status) | SmEntry::kStatusMailboxFull);
        events.MailboxWritten();
    }
    return true;
}

void EscRegisters::WriteRegisters(std::uint16_t ado, std::span<const std::uint8_t> in) {
    // The DC unit takes the writes of its own block (the reference's time
    // sent round reaches every slave many thousand times in a row).
    if (ado >= reg::kDcBase && ado + in.size() <= kDcEnd)
        return;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const std::uint32_t a = ado + static_cast<std::uint32_t>(i);
        if (Writable(a))
            memory_.Set8(a, in[i]);
    }
}

void EscRegisters::FmmusWritten() {
    activeFmmus_ = 0;
    for (unsigned i = 0; i < fmmuCount_; ++i) {
        const FmmuEntry e = Fmmu(i);
        if (e.active && e.length > 0)
            activeFmmus_ = static_cast<std::uint16_t>(activeFmmus_ | (1u << i));
    }
}

void EscRegisters::SmsWritten(std::uint32_t ado, std::uint32_t end, EscEvents& events) {
    mailboxSms_ = outputSms_ = 0;
    for (unsigned i = 0; i < smCount_; ++i) {
        const SmEntry sm = Sm(i);
        if (sm.enabled() && sm.length > 0) {
            if (sm.mailbox())
                mailboxSms_ = static_cast<std::uint16_t>(mailboxSms_ | (1u << i));
            else if (sm.masterWrites())
                outputSms_ = static_cast<std::uint16_t>(outputSms_ | (1u << i));
        }
    }
    // With no output sync manager left, nothing triggers the watchdog: it
    // stops, so an expiry while the slave rests cannot be held against the
    // next start.
    if (outputSms_ == 0 && watchdogRunning_) {
        watchdogRunning_ = false;
        memory_.Set8(reg::kSmWatchdogStatus, 0x00);
    }
    for (unsigned i = 0; i < smCount_; ++i) {
        const SmEntry sm = Sm(i);
        if (!Overlaps(ado, end, reg::Sm(i), reg::Sm(i) + reg::kSmSize))
            continue;

        if (!sm.enabled()) {
            // A disabled sync manager forgets its buffer state.
            memory_.Set8(reg::SmStatus(i), 0);
            events.SmDisabled(i);
        } else if (sm.mailbox() && !sm.masterWrites() && reg::SmActivate(i) >= ado &&
                   reg::SmActivate(i) < end &&
                   ((sm.activate & SmEntry::kActivateRepeat) != 0) !=
                       ((sm.pdiControl & SmEntry::kPdiRepeatAck) != 0)) {
            events.MailboxRepeatRequested();
            const std::uint8_t pdi = memory_.Get8(reg::SmPdiControl(i));
            memory_.Set8(reg::SmPdiControl(i), pdi ^ SmEntry::kPdiRepeatAck);
        }
    }
}

void EscRegisters::OutputsWritten(std::uint32_t start, std::uint32_t end, std::uint64_t now,
                                  EscEvents& events) {
    for (unsigned i = 0; i < smCount_ && outputSms_ != 0; ++i) {
        if (((outputSms_ >> i) & 1u) == 0)
            continue;
        const SmEntry sm = Sm(i);
        if (!Overlaps(start, end, sm.start, static_cast<std::uint32_t>(sm.start) + sm.length))
            continue;
        if ((sm.control & SmEntry::kWatchdogTrigger) != 0 && WatchdogNs() > 0) {
            watchdogRunning_ = true;
            lastTrigger_ = now;
            memory_.Set8(reg::kSmWatchdogStatus, kWatchdogRunning);
        }
        events.OutputsWritten(now);
    }
}

// ---- logical addressing ----

std::uint16_t EscRegisters::Logical(ecat::Command command, std::uint32_t address,
                                    std::span<std::uint8_t> data, std::uint64_t now,
                                    EscEvents& events) {
    const bool mayWrite = ecat::WritesOutputs(command);
    const bool mayRead = ecat::ReadsInputs(command);
    const std::uint64_t qStart = static_cast<std::uint64_t>(address) * 8;
    const std::uint64_t qEnd = qStart + data.size() * 8u;
    bool wrote = false, read = false;
    // Writes take the data as it arrived, so they go before this slave's reads.
    for (const bool writing : {true, false}) {
        if (!(writing ? mayWrite : mayRead))
            continue;
        for (unsigned i = 0; i < fmmuCount_; ++i) {
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
            const std::uint64_t lo = std::max(fStart, qStart), hi = std::min(fEnd, qEnd);
            if (fEnd <= fStart || lo >= hi)
                continue;
            const std::uint64_t physBit = static_cast<std::uint64_t>(e.physicalStart) * 8 +
                                          e.physicalStartBit + (lo - fStart);
            if (writing)
                LogicalWrite(data, lo - qStart, physBit, hi - lo, now, events);
            else
                LogicalRead(data, lo - qStart, physBit, hi - lo);
            (writing ? wrote : read) = true;
        }
    }
    return ecat::WkcIncrement(command, read, wrote);
}

// Copies `count` bits of the datagram from `dataBit` into memory at `physBit`.
void EscRegisters::LogicalWrite(std::span<const std::uint8_t> data, std::uint64_t dataBit,
                                std::uint64_t physBit, std::uint64_t count, std::uint64_t now,
                                EscEvents& events) {
    const std::uint32_t physByte = static_cast<std::uint32_t>(physBit / 8);
    const bool aligned = dataBit % 8 == 0 && physBit % 8 == 0 && count % 8 == 0;
    if (aligned && physByte >= reg::kProcessRam) {
        memory_.Write(physByte, data.subspan(dataBit / 8, count / 8));
    } else {
        for (std::uint64_t k = 0; k < count; ++k) {
            const std::uint64_t from = dataBit + k, to = physBit + k;
            const std::uint32_t at = static_cast<std::uint32_t>(to / 8);
            if (at < reg::kProcessRam && !Writable(at))
                continue;
            std::uint8_t v = memory_.Get8(at);
            SetBit(v, to % 8, (data[from / 8] >> (from % 8)) & 1u);
            memory_.Set8(at, v);
        }
    }
    OutputsWritten(physByte, static_cast<std::uint32_t>((physBit + count + 7) / 8), now, events);
}

// Copies `count` bits of memory at `physBit` into the datagram at `dataBit`.
void EscRegisters::LogicalRead(std::span<std::uint8_t> data, std::uint64_t dataBit,
                               std::uint64_t physBit, std::uint64_t count) const {
    const bool aligned = dataBit % 8 == 0 && physBit % 8 == 0 && count % 8 == 0;
    if (aligned) {
        memory_.Read(static_cast<std::uint32_t>(physBit / 8), data.subspan(dataBit / 8, count / 8));
        return;
    }
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t from = physBit + k, to = dataBit + k;
        SetBit(data[to / 8], to % 8,
               (memory_.Get8(static_cast<std::uint32_t>(from / 8)) >> (from % 8)) & 1u);
    }
}

}  // namespace parvane::emulator
