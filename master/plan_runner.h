// Runs the plan of a transition over the exchange: the master's and the
// slaves' register commands as the file writes them (Cnt, Retries,
// Validate, Timeout), the CoE, SoE and EoE commands through each slave's
// mailbox (FoE and AoE ones are logged as not run) and the master's own
// register writes. Every failure is logged with the slave and
// the command it concerns.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <stop_token>
#include <vector>

#include "eni/model.h"
#include "master/al_walk.h"
#include "master/coe_client.h"
#include "master/error.h"
#include "master/exchange.h"
#include "master/mailbox_transport.h"
#include "master/transition_plan.h"

namespace parvane::master {

class PlanRunner {
  public:
    // All must outlive the runner; `slaves` lines up with `config.slaves`.
    PlanRunner(Exchange& exchange, const eni::NetworkConfig& config,
               std::vector<SlaveState>& slaves, AlWalk& al);
    ~PlanRunner();

    // The master's own commands of `t`, before the slaves' or after them.
    std::expected<void, Error> RunMasterCmds(eni::Transition t, bool beforeSlave,
                                             const std::stop_token& stop);
    // plan.cmds[first, last) of the slave; a failure that the slave
    // explains in AL status is logged with its code.
    std::expected<void, Error> RunSlaveCmds(SlaveState& slave, const SlavePlan& plan,
                                            std::size_t first, std::size_t last, eni::Transition t,
                                            ecat::AlState to, const std::stop_token& stop);
    // The slave's CoE commands of the plan, then its SoE and EoE commands
    // of `t`. A failed upload or SoE read only logs.
    std::expected<void, Error> RunMailbox(SlaveState& slave, const SlavePlan& plan,
                                          eni::Transition t, const std::stop_token& stop);
    // Logs, once for the slave, that the plan writes FMMU entries of the
    // master's in place of FMMU data of the file's that is no entry.
    void NoteFmmus(SlaveState& slave, const SlavePlan& plan, eni::Transition t);
    // The master's own register writes of the plan.
    std::expected<void, Error> WriteRegisters(SlaveState& slave, const SlavePlan& plan,
                                              eni::Transition t);
    // The EEPROM handed to the slave for the transition comes back.
    void TakeEepromBack(SlaveState& slave);

  private:
    std::expected<void, Error> RunCoeCmd(SlaveState& slave, const eni::CoeInitCmd& cmd,
                                         eni::Transition t, const std::stop_token& stop);
    std::expected<void, Error> RunSoeEoe(SlaveState& slave, eni::Transition t,
                                         const std::stop_token& stop);

    Exchange& exchange_;
    const eni::NetworkConfig& config_;
    std::vector<SlaveState>& slaves_;
    AlWalk& al_;
    // By position; only for slaves with mailbox commands. One mailbox per
    // slave, which its CoE client shares.
    std::vector<std::unique_ptr<MailboxTransport>> mailboxes_;
    std::vector<std::unique_ptr<CoeClient>> coe_;  // by position; only for slaves with CoE commands
    std::vector<std::uint8_t> upload_;
};

}  // namespace parvane::master
