// The plan of one transition for one slave, made from the ENI alone: which
// of its register and CoE commands run, where the master's own writes go
// among them (the sync managers and FMMUs the file does not write itself,
// the EEPROM handed to the slave's PDI), whether the master requests the
// state in AL control or the file's own write does, and which commands wait
// until the state is reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ecat/al_state.h"
#include "eni/model.h"

namespace parvane::master {

// A register write of the master's own, with what the log says about it.
struct RegisterWrite {
    enum class Kind : std::uint8_t {
        kMailboxSms,   // SM0 and SM1 as the mailbox
        kSyncManager,  // one process data sync manager (`number`)
        kFmmu,         // the FMMU of the outputs or inputs (`outputs`)
        kNoFmmu,       // no cyclic command carries `range`: nothing is written, only logged
        kEepromToPdi,  // the EEPROM handed to the slave
    };
    Kind kind = Kind::kMailboxSms;
    std::uint16_t ado = 0;
    std::vector<std::uint8_t> bytes;
    std::uint8_t number = 0;
    bool outputs = false;
    eni::BitRange range;
};

struct SlavePlan {
    std::vector<const eni::InitCmd*> cmds;
    std::vector<const eni::CoeInitCmd*> coe;
    std::size_t extrasAt = 0;  // CoE, the master's writes and request run before cmds[extrasAt]
    std::size_t split = 0;     // cmds[split..] run once the state is reached
    bool masterRequests = false;
    bool eeprom = false;  // the EEPROM goes to the slave for the transition and comes back after
    std::vector<RegisterWrite> writes;
};

// The plan for `slave` of `config` in transition `t` to `to`.
SlavePlan PlanSlave(const eni::NetworkConfig& config, const eni::Slave& slave, eni::Transition t,
                    ecat::AlState to);

// The master's own commands of `t`, before the slaves' or after them.
std::vector<const eni::InitCmd*> MasterCmds(const eni::NetworkConfig& config, eni::Transition t,
                                            bool beforeSlave);

// Where a slave's process data (its Send or Recv bit range) lies in the
// logical address space, from the cyclic commands that carry it.
std::optional<std::uint32_t> LogicalAddressOf(const eni::NetworkConfig& config,
                                              const eni::BitRange& range, bool outputs);

}  // namespace parvane::master
