// A slave's SoE and EoE init commands of one transition, run through its
// mailbox, and its FoE and AoE ones, which the master does not run: each of
// those is logged as not run and holds nothing up.
#pragma once

#include <expected>
#include <stop_token>

#include "eni/model.h"
#include "master/al_walk.h"
#include "master/error.h"
#include "master/mailbox_transport.h"

namespace parvane::master {

// The SoE commands of `t` in file order, then the EoE commands. An SoE
// write (op code 3) or an EoE frame that fails is logged with the slave's
// code and ends the run with its error; an SoE read (op code 1) only logs
// when it fails or reads other bytes than the file's; other op codes are
// logged as not run.
std::expected<void, Error> RunSoeEoeCmds(MailboxTransport& mailbox, const SlaveState& slave,
                                         const eni::Mailbox& commands, eni::Transition t,
                                         const std::stop_token& stop);

// One log line for each FoE or AoE command of `t`.
void LogSkippedCmds(const SlaveState& slave, const eni::Mailbox& commands, eni::Transition t);

}  // namespace parvane::master
