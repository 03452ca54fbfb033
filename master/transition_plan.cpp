#include "master/transition_plan.h"

#include <array>
#include <span>

#include "ecat/registers.h"
#include "master/init_commands.h"

namespace parvane::master {
namespace {

using ecat::AlState;

// Whether the command writes any register in [lo, hi).
bool Overlaps(const eni::Datagram& d, std::uint32_t lo, std::uint32_t hi) {
    if (d.logical || d.data.empty() || !ecat::IsWrite(d.command))
        return false;
    const std::uint32_t start = d.ado;
    const std::uint32_t end = start + static_cast<std::uint32_t>(d.data.size());
    return start < hi && lo < end;
}

// A read of AL status with a Validate that waits for `state`.
bool ChecksState(const eni::InitCmd& cmd, AlState state) {
    const eni::Datagram& d = cmd.datagram;
    if (!cmd.validate || d.logical || cmd.validate->data.empty() || d.ado != ecat::reg::kAlStatus)
        return false;
    if (d.command != ecat::Command::kAprd && d.command != ecat::Command::kFprd)
        return false;
    const std::uint8_t mask = cmd.validate->mask.empty() ? 0xFF : cmd.validate->mask[0];
    return ecat::AlStatus::Decode(mask).state == ecat::kAlStateBits &&
           ecat::AlStatus::Decode(cmd.validate->data[0]).Is(state);
}

template <std::size_t N>
std::vector<std::uint8_t> Bytes(const std::array<std::uint8_t, N>& a) {
    return {a.begin(), a.end()};
}

RegisterWrite MailboxSms(const eni::Mailbox& m) {
    std::array<std::uint8_t, 2 * ecat::reg::kSmSize> sms{};
    ecat::SmEntry{m.sendStart, m.sendLength, 0x26, 0, ecat::SmEntry::kActivateEnable, 0}.Encode(
        std::span<std::uint8_t, ecat::reg::kSmSize>(sms.data(), ecat::reg::kSmSize));
    ecat::SmEntry{m.recvStart, m.recvLength, 0x22, 0, ecat::SmEntry::kActivateEnable, 0}.Encode(
        std::span<std::uint8_t, ecat::reg::kSmSize>(sms.data() + ecat::reg::kSmSize,
                                                    ecat::reg::kSmSize));
    return {RegisterWrite::Kind::kMailboxSms, ecat::reg::Sm(0), Bytes(sms), 0, false, {}};
}

RegisterWrite Fmmu(const eni::NetworkConfig& config, const eni::BitRange& range,
                   std::uint16_t physical, bool outputs, unsigned& next) {
    const std::optional<std::uint32_t> logical = LogicalAddressOf(config, range, outputs);
    if (!logical)
        return {RegisterWrite::Kind::kNoFmmu, 0, {}, 0, outputs, range};
    ecat::FmmuEntry entry;
    entry.logicalStart = *logical;
    entry.logicalStartBit = static_cast<std::uint8_t>(range.bitStart % 8);
    entry.length = static_cast<std::uint16_t>((range.bitStart % 8 + range.bitLength + 7) / 8);
    entry.logicalStopBit = static_cast<std::uint8_t>((range.bitStart + range.bitLength - 1) % 8);
    entry.physicalStart = physical;
    entry.physicalStartBit = 0;
    entry.type = outputs ? ecat::FmmuEntry::kTypeWrite : ecat::FmmuEntry::kTypeRead;
    entry.active = true;
    std::array<std::uint8_t, ecat::reg::kFmmuSize> bytes{};
    entry.Encode(bytes);
    return {RegisterWrite::Kind::kFmmu, ecat::reg::Fmmu(next++), Bytes(bytes), 0, outputs, range};
}

// The process data sync managers, then the FMMUs of outputs and inputs.
void ProcessDataWrites(const eni::NetworkConfig& config, const eni::ProcessData& pd,
                       std::vector<RegisterWrite>& writes) {
    std::optional<std::uint16_t> outputsAt;
    std::optional<std::uint16_t> inputsAt;
    for (const eni::SyncManager& sm : pd.sms) {
        if (sm.type != eni::SmType::kOutputs && sm.type != eni::SmType::kInputs)
            continue;
        if (sm.number >= ecat::reg::kMaxSms)
            continue;
        std::array<std::uint8_t, ecat::reg::kSmSize> bytes{};
        const bool enable = sm.enable && sm.defaultSize > 0;
        ecat::SmEntry{sm.startAddress,
                      sm.defaultSize,
                      sm.controlByte,
                      0,
                      static_cast<std::uint8_t>(enable ? ecat::SmEntry::kActivateEnable : 0),
                      0}
            .Encode(bytes);
        writes.push_back({RegisterWrite::Kind::kSyncManager,
                          ecat::reg::Sm(sm.number),
                          Bytes(bytes),
                          sm.number,
                          false,
                          {}});
        (sm.type == eni::SmType::kOutputs ? outputsAt : inputsAt) = sm.startAddress;
    }
    unsigned fmmu = 0;
    if (pd.send && pd.send->bitLength > 0 && outputsAt)
        writes.push_back(Fmmu(config, *pd.send, *outputsAt, true, fmmu));
    if (pd.recv && pd.recv->bitLength > 0 && inputsAt)
        writes.push_back(Fmmu(config, *pd.recv, *inputsAt, false, fmmu));
}

}  // namespace

SlavePlan PlanSlave(const eni::NetworkConfig& config, const eni::Slave& slave, eni::Transition t,
                    AlState to) {
    SlavePlan plan;
    for (const eni::InitCmd& cmd : slave.initCmds) {
        if (cmd.transitions.Has(t))
            plan.cmds.push_back(&cmd);
    }
    if (slave.mailbox) {
        for (const eni::CoeInitCmd& cmd : slave.mailbox->coeInitCmds) {
            if (cmd.transitions.Has(t))
                plan.coe.push_back(&cmd);
        }
    }
    std::optional<std::size_t> fileRequest;  // the file's own write of the target to AL control
    std::optional<std::size_t> stateCheck;   // the file's own check that the target is reached
    bool writesMailboxSms = false;
    bool writesProcessData = false;
    bool writesEeprom = false;
    for (std::size_t i = 0; i < plan.cmds.size(); ++i) {
        const eni::InitCmd& cmd = *plan.cmds[i];
        const auto value = WrittenValue(cmd.datagram, ecat::reg::kAlControl);
        if (!fileRequest && value && ecat::AlControl::Decode(*value).Is(to))
            fileRequest = i;
        if (!stateCheck && ChecksState(cmd, to))
            stateCheck = i;
        writesMailboxSms |= Overlaps(cmd.datagram, ecat::reg::Sm(0), ecat::reg::Sm(2));
        writesProcessData |= Overlaps(cmd.datagram, ecat::reg::Sm(2), ecat::reg::Sm(16)) ||
                             Overlaps(cmd.datagram, ecat::reg::Fmmu(0), ecat::reg::Fmmu(16));
        writesEeprom |= Overlaps(cmd.datagram, ecat::reg::kSiiConfig, ecat::reg::kSiiConfig + 1);
    }
    plan.masterRequests = !fileRequest.has_value();
    plan.split = fileRequest ? plan.cmds.size() : stateCheck.value_or(plan.cmds.size());
    plan.extrasAt = fileRequest ? *fileRequest : plan.split;
    if (t == eni::Transition::kIP && slave.mailbox && !writesMailboxSms)
        plan.writes.push_back(MailboxSms(*slave.mailbox));
    if (t == eni::Transition::kPS && slave.processData && !writesProcessData)
        ProcessDataWrites(config, *slave.processData, plan.writes);
    plan.eeprom = t == eni::Transition::kIP && !writesEeprom;
    if (plan.eeprom)
        plan.writes.push_back(
            {RegisterWrite::Kind::kEepromToPdi, ecat::reg::kSiiConfig, {1}, 0, false, {}});
    return plan;
}

std::vector<const eni::InitCmd*> MasterCmds(const eni::NetworkConfig& config, eni::Transition t,
                                            bool beforeSlave) {
    std::vector<const eni::InitCmd*> cmds;
    for (const eni::InitCmd& cmd : config.masterInitCmds) {
        if (cmd.transitions.Has(t) && cmd.beforeSlave == beforeSlave)
            cmds.push_back(&cmd);
    }
    return cmds;
}

// From the cyclic logical command whose part of the process image (from its
// InputOffs / OutputOffs on) covers the range. Files that count the range
// from the start of the command's data instead are taken as they mean it
// when no command covers it the first way.
std::optional<std::uint32_t> LogicalAddressOf(const eni::NetworkConfig& config,
                                              const eni::BitRange& range, bool outputs) {
    for (const bool fromImage : {true, false}) {
        for (const eni::Cyclic& cyclic : config.cyclic) {
            for (const eni::CyclicFrame& frame : cyclic.frames) {
                for (const eni::CyclicCmd& cmd : frame.cmds) {
                    const ecat::Command c = cmd.datagram.command;
                    const bool carries =
                        outputs ? (c == ecat::Command::kLwr || c == ecat::Command::kLrw)
                                : (c == ecat::Command::kLrd || c == ecat::Command::kLrw);
                    const auto offs = outputs ? cmd.outputOffs : cmd.inputOffs;
                    if (!cmd.datagram.logical || !carries)
                        continue;
                    const std::uint64_t base =
                        fromImage ? (offs ? static_cast<std::uint64_t>(*offs) * 8 : ~0ull) : 0;
                    const std::uint64_t end = base + cmd.datagram.data.size() * 8;
                    if (base == ~0ull || range.bitStart < base ||
                        range.bitStart + static_cast<std::uint64_t>(range.bitLength) > end)
                        continue;
                    return static_cast<std::uint32_t>(cmd.datagram.logicalAddress +
                                                      (range.bitStart - base) / 8);
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace parvane::master
