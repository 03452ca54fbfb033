#include "master/transition_plan.h"

#include <algorithm>
#include <array>
#include <memory>
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

RegisterWrite Fmmu(const LogicalImage& image, const eni::BitRange& range, std::uint16_t physical,
                   bool outputs, unsigned& next) {
    const std::optional<FmmuBytes> entry = ProcessDataFmmu(image, range, physical, outputs);
    if (!entry)
        return {RegisterWrite::Kind::kNoFmmu, 0, {}, 0, outputs, range};
    return {RegisterWrite::Kind::kFmmu, ecat::reg::Fmmu(next++), Bytes(*entry), 0, outputs, range};
}

// The process data sync managers, then the FMMUs of outputs and inputs.
void ProcessDataWrites(const LogicalImage& image, const eni::ProcessData& pd,
                       std::vector<RegisterWrite>& writes) {
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
    }
    const std::optional<std::uint16_t> outputsAt = ProcessSmStart(pd, true);
    const std::optional<std::uint16_t> inputsAt = ProcessSmStart(pd, false);
    unsigned fmmu = 0;
    if (pd.send && pd.send->bitLength > 0 && outputsAt)
        writes.push_back(Fmmu(image, *pd.send, *outputsAt, true, fmmu));
    if (pd.recv && pd.recv->bitLength > 0 && inputsAt)
        writes.push_back(Fmmu(image, *pd.recv, *inputsAt, false, fmmu));
}

// Puts the master's entries in place of the FMMU data of the plan's
// commands that is no entry (every entry a command writes whole counts).
void ReplaceFmmus(const LogicalImage& image, const eni::Slave& slave, SlavePlan& plan) {
    const eni::ProcessData* pd = slave.processData ? &*slave.processData : nullptr;
    for (const eni::InitCmd*& cmd : plan.cmds) {
        const eni::Datagram& d = cmd->datagram;
        if (!Overlaps(d, ecat::reg::Fmmu(0), ecat::reg::Fmmu(ecat::reg::kMaxFmmus)))
            continue;
        std::unique_ptr<eni::InitCmd> copy;
        for (unsigned n = 0; n < ecat::reg::kMaxFmmus; ++n) {
            const std::uint32_t at = ecat::reg::Fmmu(n);
            if (at < d.ado || at + ecat::reg::kFmmuSize > d.ado + d.data.size())
                continue;
            const std::size_t offset = at - d.ado;
            const std::span<const std::uint8_t, ecat::reg::kFmmuSize> bytes(&d.data[offset],
                                                                            ecat::reg::kFmmuSize);
            if (IsFmmuEntry(bytes, image, pd))
                continue;
            const auto entry = pd ? ReplacementFmmu(bytes, n, image, *pd) : std::nullopt;
            if (!entry) {
                ++plan.fmmusKept;
                continue;
            }
            if (!copy)
                copy = std::make_unique<eni::InitCmd>(*cmd);
            std::copy(entry->begin(), entry->end(),
                      copy->datagram.data.begin() + static_cast<std::ptrdiff_t>(offset));
            ++plan.fmmusReplaced;
        }
        if (copy) {
            cmd = copy.get();
            plan.rewritten.push_back(std::move(copy));
        }
    }
}

}  // namespace

SlavePlan PlanSlave(const LogicalImage& image, const eni::Slave& slave, eni::Transition t,
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
        auto ofT = [t](const auto& cmd) { return cmd.transitions.Has(t); };
        plan.soeEoe = std::ranges::any_of(slave.mailbox->soeInitCmds, ofT) ||
                      std::ranges::any_of(slave.mailbox->eoeInitCmds, ofT);
    }
    if (t == eni::Transition::kIP || t == eni::Transition::kIB)
        plan.mailboxStep = MailboxStep::kOnceReached;
    ReplaceFmmus(image, slave, plan);
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
        ProcessDataWrites(image, *slave.processData, plan.writes);
    plan.eeprom = t == eni::Transition::kIP && !writesEeprom;
    if (plan.eeprom)
        plan.writes.push_back(
            {RegisterWrite::Kind::kEepromToPdi, ecat::reg::kSiiConfig, {1}, 0, false, {}});
    return plan;
}

SlavePlan PlanSlave(const eni::NetworkConfig& config, const eni::Slave& slave, eni::Transition t,
                    AlState to) {
    return PlanSlave(LogicalImage(config), slave, t, to);
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

}  // namespace parvane::master
