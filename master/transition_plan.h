// The plan of one transition for one slave, made from the ENI alone: which
// of its register and CoE commands run, where the master's own writes go
// among them (the sync managers and FMMUs the file does not write itself,
// the EEPROM handed to the slave's PDI), whether the master requests the
// state in AL control or the file's own write does, which commands wait
// until the state is reached, when the mailbox commands run, and the FMMU
// entries the master computes where the file's FMMU data is no entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ecat/al_state.h"
#include "eni/model.h"
#include "master/fmmu_plan.h"

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

// When a slave's mailbox commands of a transition run.
enum class MailboxStep : std::uint8_t {
    // Before the AL control write of the new state, the file's or the
    // master's (PREOP -> SAFEOP needs the PDO assignment first, and every
    // transition down leaves the mailbox working until the write).
    kBeforeRequest,
    // Once the slave shows the new state, after its register commands of
    // the transition (INIT -> PREOP and INIT -> BOOT: in INIT the slave has
    // no mailbox to answer through).
    kOnceReached,
};

struct SlavePlan {
    std::vector<const eni::InitCmd*> cmds;
    std::vector<const eni::CoeInitCmd*> coe;
    MailboxStep mailboxStep = MailboxStep::kBeforeRequest;
    // The master's writes and request, and the mailbox commands run before
    // kOnceReached, run before cmds[extrasAt].
    std::size_t extrasAt = 0;
    std::size_t split = 0;  // cmds[split..] run once the state is reached
    bool masterRequests = false;
    bool eeprom = false;  // the EEPROM goes to the slave for the transition and comes back after
    std::vector<RegisterWrite> writes;
    // Copies of file commands whose FMMU data holds no entry, with the
    // master's entries in its place; cmds points at them.
    std::vector<std::unique_ptr<const eni::InitCmd>> rewritten;
    unsigned fmmusReplaced = 0;  // entries the master computed in place of the file's
    unsigned fmmusKept = 0;      // no entries either, but none to compute: written as given

    bool soeEoe = false;  // the slave has SoE or EoE commands of the transition

    bool HasMailboxCmds() const { return !coe.empty() || soeEoe; }
};

// The plan for `slave` in transition `t` to `to`; `image` reads the
// logical windows of the slave's network.
SlavePlan PlanSlave(const LogicalImage& image, const eni::Slave& slave, eni::Transition t,
                    ecat::AlState to);
// The same, reading `config`'s windows for this one plan.
SlavePlan PlanSlave(const eni::NetworkConfig& config, const eni::Slave& slave, eni::Transition t,
                    ecat::AlState to);

// The master's own commands of `t`, before the slaves' or after them.
std::vector<const eni::InitCmd*> MasterCmds(const eni::NetworkConfig& config, eni::Transition t,
                                            bool beforeSlave);

}  // namespace parvane::master
