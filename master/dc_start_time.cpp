#include "master/dc_start_time.h"

#include <algorithm>
#include <memory>

#include "ecat/registers.h"

namespace parvane::master {
namespace {

namespace reg = ecat::reg;

constexpr std::uint16_t kSyncUnitEnd = 0x09B0;  // 0x0980..0x09AF: activation, start, cycles, latch

bool WritesFrom(const eni::Datagram& d, std::uint16_t ado) {
    return !d.logical && ecat::IsWrite(d.command) && d.ado == ado && !d.data.empty();
}

std::unique_ptr<eni::InitCmd> MasterWrite(const eni::Slave& slave, std::uint16_t ado,
                                          std::vector<std::uint8_t> bytes, const char* comment) {
    auto cmd = std::make_unique<eni::InitCmd>();
    cmd->transitions.Add(eni::Transition::kPS);
    cmd->comment = comment;
    cmd->retries = 3;
    cmd->datagram.command = ecat::Command::kFpwr;
    cmd->datagram.adp = slave.physAddr;
    cmd->datagram.ado = ado;
    cmd->datagram.data = std::move(bytes);
    cmd->datagram.expectedWkc = 1;
    return cmd;
}

std::vector<std::uint8_t> Le(std::uint64_t value, std::size_t bytes) {
    std::vector<std::uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return out;
}

// The writes of a slave whose file has none: activation off, cycle(s),
// start time, activation on (SYNC0, and SYNC1 with a second cycle).
std::vector<std::unique_ptr<eni::InitCmd>> SyncUnitWrites(const eni::Slave& slave,
                                                          std::uint64_t start) {
    const eni::DcConfig& dc = *slave.dc;
    std::vector<std::unique_ptr<eni::InitCmd>> cmds;
    cmds.push_back(MasterWrite(slave, reg::kDcActivation, {0}, "clear DC activation (master)"));
    cmds.push_back(
        MasterWrite(slave, reg::kDcSync0Cycle, Le(dc.cycleTime0, 4), "set DC cycle time (master)"));
    if (dc.cycleTime1 != 0)
        cmds.push_back(MasterWrite(slave, reg::kDcSync1Cycle, Le(dc.cycleTime1, 4),
                                   "set DC SYNC1 cycle time (master)"));
    cmds.push_back(
        MasterWrite(slave, reg::kDcStartTime, Le(start, 8), "set DC start time (master)"));
    std::uint8_t on = ecat::dc::kActivateCyclic | ecat::dc::kActivateSync0;
    if (dc.cycleTime1 != 0)
        on |= ecat::dc::kActivateSync1;
    cmds.push_back(MasterWrite(slave, reg::kDcActivation, {on}, "set DC activation (master)"));
    return cmds;
}

}  // namespace

bool IsStartTimeWrite(const eni::InitCmd& cmd) {
    const eni::Datagram& d = cmd.datagram;
    if (!WritesFrom(d, reg::kDcStartTime) || d.data.size() < 4)
        return false;
    return cmd.requirement == "cycle" || std::ranges::all_of(d.data, [](auto b) { return b == 0; });
}

std::uint32_t SyncCycle(const eni::Slave& slave) {
    if (slave.dc && slave.dc->cycleTime0 != 0)
        return slave.dc->cycleTime0;
    for (const eni::InitCmd& cmd : slave.initCmds) {
        const eni::Datagram& d = cmd.datagram;
        if (WritesFrom(d, reg::kDcSync0Cycle) && d.data.size() >= 4)
            return ecat::Get32(d.data.data());
    }
    return 0;
}

bool NeedsMasterDcWrites(const eni::Slave& slave) {
    if (!slave.dc || slave.dc->cycleTime0 == 0)
        return false;
    return std::ranges::none_of(slave.initCmds, [](const eni::InitCmd& cmd) {
        const eni::Datagram& d = cmd.datagram;
        if (d.logical || !ecat::IsWrite(d.command) || d.data.empty())
            return false;
        const std::uint32_t end = d.ado + static_cast<std::uint32_t>(d.data.size());
        return d.ado < kSyncUnitEnd && reg::kDcCyclicUnitControl < end;
    });
}

bool PlanTakesStartTime(const SlavePlan& plan, const eni::Slave& slave, eni::Transition t) {
    if (t != eni::Transition::kPS)
        return false;
    return NeedsMasterDcWrites(slave) || std::ranges::any_of(plan.cmds, [](const eni::InitCmd* c) {
               return IsStartTimeWrite(*c);
           });
}

std::uint64_t ApplyStartTime(SlavePlan& plan, const eni::Slave& slave, std::uint64_t base,
                             bool asFile) {
    const std::int32_t shift = slave.dc ? slave.dc->shiftTime : 0;
    const std::uint64_t start = asFile ? 0 : AlignedStartTime(base, SyncCycle(slave), shift);
    if (!asFile) {
        for (const eni::InitCmd*& cmd : plan.cmds) {
            if (!IsStartTimeWrite(*cmd))
                continue;
            auto copy = std::make_unique<eni::InitCmd>(*cmd);
            // A 32-bit slave takes the low half of the 64-bit time.
            copy->datagram.data = Le(start, std::min<std::size_t>(8, cmd->datagram.data.size()));
            copy->datagram.data.resize(cmd->datagram.data.size(), 0);
            cmd = copy.get();
            plan.rewritten.push_back(std::move(copy));
        }
    }
    if (NeedsMasterDcWrites(slave)) {
        auto writes = SyncUnitWrites(slave, start);
        const auto at = static_cast<std::ptrdiff_t>(plan.extrasAt);
        std::vector<const eni::InitCmd*> added;
        for (auto& w : writes) {
            added.push_back(w.get());
            plan.rewritten.push_back(std::move(w));
        }
        plan.cmds.insert(plan.cmds.begin() + at, added.begin(), added.end());
        plan.extrasAt += added.size();
        plan.split += added.size();
    }
    return start;
}

}  // namespace parvane::master
