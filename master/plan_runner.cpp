#include "master/plan_runner.h"

#include <algorithm>
#include <array>

#include "ecat/mailbox.h"
#include "ecat/registers.h"
#include "master/init_commands.h"
#include "master/log.h"
#include "master/mailbox_commands.h"

namespace parvane::master {
namespace {

constexpr std::size_t kUploadBuffer = 4096;

void LogCoeFailure(const SlaveState& slave, const eni::CoeInitCmd& cmd, eni::Transition t,
                   const Error& e) {
    char label[160];
    const char* what = cmd.ccs == 2 ? "upload" : "download";
    if (e == Errc::kAbort) {
        Log("%s: CoE %s of 0x%04X:%u (%s) for %s aborted: SDO abort code 0x%08X (%s)",
            Label(slave, label), what, static_cast<unsigned>(cmd.index),
            static_cast<unsigned>(cmd.subIndex), cmd.comment.c_str(), eni::TransitionText(t),
            static_cast<unsigned>(e.detail), ecat::SdoAbortText(e.detail));
    } else if (e == Errc::kMailboxError) {
        Log("%s: CoE %s of 0x%04X:%u (%s) for %s failed: mailbox error %u", Label(slave, label),
            what, static_cast<unsigned>(cmd.index), static_cast<unsigned>(cmd.subIndex),
            cmd.comment.c_str(), eni::TransitionText(t), static_cast<unsigned>(e.detail));
    } else {
        Log("%s: CoE %s of 0x%04X:%u (%s) for %s failed: %s", Label(slave, label), what,
            static_cast<unsigned>(cmd.index), static_cast<unsigned>(cmd.subIndex),
            cmd.comment.c_str(), eni::TransitionText(t), ErrorText(e));
    }
}

void LogWriteFailure(const SlaveState& slave, const RegisterWrite& w, eni::Transition t) {
    char label[160];
    switch (w.kind) {
        case RegisterWrite::Kind::kMailboxSms:
            Log("%s: writing its mailbox sync managers for %s failed", Label(slave, label),
                eni::TransitionText(t));
            break;
        case RegisterWrite::Kind::kSyncManager:
            Log("%s: writing sync manager %u for %s failed", Label(slave, label),
                static_cast<unsigned>(w.number), eni::TransitionText(t));
            break;
        case RegisterWrite::Kind::kFmmu:
            Log("%s: writing its %s FMMU for %s failed", Label(slave, label),
                w.outputs ? "outputs" : "inputs", eni::TransitionText(t));
            break;
        case RegisterWrite::Kind::kEepromToPdi:
            Log("%s: handing its EEPROM to the slave failed", Label(slave, label));
            break;
        case RegisterWrite::Kind::kNoFmmu:
            break;
    }
}

}  // namespace

PlanRunner::PlanRunner(Exchange& exchange, const eni::NetworkConfig& config,
                       std::vector<SlaveState>& slaves, AlWalk& al)
    : exchange_(exchange), config_(config), slaves_(slaves), al_(al), upload_(kUploadBuffer) {
    coe_.resize(slaves_.size());
    mailboxes_.resize(slaves_.size());
    for (std::size_t i = 0; i < slaves_.size(); ++i) {
        const eni::Slave& eni = *slaves_[i].eni;
        if (!eni.mailbox || (eni.mailbox->coeInitCmds.empty() && eni.mailbox->soeInitCmds.empty() &&
                             eni.mailbox->eoeInitCmds.empty()))
            continue;
        const eni::Mailbox& m = *eni.mailbox;
        mailboxes_[i] = std::make_unique<MailboxTransport>(
            exchange_, MailboxWindows{slaves_[i].station, m.sendStart, m.sendLength, m.recvStart,
                                      m.recvLength});
        char label[160];
        mailboxes_[i]->SetLabel(Label(slaves_[i], label));
        if (!m.coeInitCmds.empty())
            coe_[i] = std::make_unique<CoeClient>(*mailboxes_[i]);
    }
}

PlanRunner::~PlanRunner() = default;

std::expected<void, Error> PlanRunner::RunMasterCmds(eni::Transition t, bool beforeSlave,
                                                     const std::stop_token& stop) {
    for (const eni::InitCmd* cmd : MasterCmds(config_, t, beforeSlave)) {
        InitCmdTrace trace;
        const auto result = RunInitCmd(exchange_, *cmd, stop, {}, {}, &trace);
        if (result)
            continue;
        if (result.error() != Errc::kCancelled) {
            char what[200];
            char why[200];
            Log("master init command %s for %s failed: %s",
                DescribeDatagram(cmd->datagram, cmd->comment, what), eni::TransitionText(t),
                DescribeFailure(*cmd, result.error(), trace, why));
        }
        return result;
    }
    return {};
}

std::expected<void, Error> PlanRunner::RunSlaveCmds(SlaveState& slave, const SlavePlan& plan,
                                                    std::size_t first, std::size_t last,
                                                    eni::Transition t, ecat::AlState to,
                                                    const std::stop_token& stop) {
    for (std::size_t i = first; i < last; ++i) {
        const eni::InitCmd& cmd = *plan.cmds[i];
        InitCmdTrace trace;
        const auto result = RunInitCmd(exchange_, cmd, stop, {}, {}, &trace);
        if (result)
            continue;
        if (result.error() == Errc::kCancelled)
            return result;
        char label[160];
        char what[200];
        char why[200];
        Log("%s: init command %s for %s failed: %s", Label(slave, label),
            DescribeDatagram(cmd.datagram, cmd.comment, what), eni::TransitionText(t),
            DescribeFailure(cmd, result.error(), trace, why));
        al_.ExplainFailure(slave, to);
        return result;
    }
    return {};
}

std::expected<void, Error> PlanRunner::RunMailbox(SlaveState& slave, const SlavePlan& plan,
                                                  eni::Transition t, const std::stop_token& stop) {
    for (const eni::CoeInitCmd* cmd : plan.coe) {
        if (auto done = RunCoeCmd(slave, *cmd, t, stop); !done)
            return done;
    }
    return RunSoeEoe(slave, t, stop);
}

void PlanRunner::NoteFmmus(SlaveState& slave, const SlavePlan& plan, eni::Transition t) {
    if (slave.fmmusNoted || plan.fmmusReplaced + plan.fmmusKept == 0)
        return;
    slave.fmmusNoted = true;
    char label[160];
    if (plan.fmmusReplaced > 0)
        Log("%s: the FMMU data of its init commands for %s is no valid FMMU entry (%u entries); "
            "the master writes FMMUs computed from its process data instead",
            Label(slave, label), eni::TransitionText(t), plan.fmmusReplaced);
    if (plan.fmmusKept > 0)
        Log("%s: the FMMU data of its init commands for %s is no valid FMMU entry (%u entries), "
            "and its process data gives none to write instead; written as the file gives it",
            Label(slave, label), eni::TransitionText(t), plan.fmmusKept);
}

std::expected<void, Error> PlanRunner::RunCoeCmd(SlaveState& slave, const eni::CoeInitCmd& cmd,
                                                 eni::Transition t, const std::stop_token& stop) {
    CoeClient* coe = coe_[slave.position].get();
    if (coe == nullptr)
        return {};
    const std::chrono::milliseconds timeout(cmd.timeoutMs);
    std::expected<void, Error> result;
    const bool isUpload = cmd.ccs == 2;
    if (isUpload) {
        const auto read =
            coe->Upload(cmd.index, cmd.subIndex, cmd.completeAccess, upload_, timeout, stop);
        if (!read) {
            result = std::unexpected(read.error());
        } else if (!cmd.data.empty() &&
                   !std::equal(cmd.data.begin(), cmd.data.end(), upload_.begin(),
                               upload_.begin() + static_cast<std::ptrdiff_t>(*read))) {
            char label[160];
            Log("%s: CoE upload of 0x%04X:%u (%s) for %s reads %zu bytes that differ from the "
                "file's",
                Label(slave, label), static_cast<unsigned>(cmd.index),
                static_cast<unsigned>(cmd.subIndex), cmd.comment.c_str(), eni::TransitionText(t),
                *read);
        }
    } else {
        result =
            coe->Download(cmd.index, cmd.subIndex, cmd.completeAccess, cmd.data, timeout, stop);
    }
    if (result || result.error() == Errc::kCancelled)
        return result;
    LogCoeFailure(slave, cmd, t, result.error());
    // An upload only reads: the slave's configuration is as it was, and its
    // own checks at the state change decide. A download that failed left
    // the slave short of what the file configures.
    if (isUpload)
        return {};
    return result;
}

std::expected<void, Error> PlanRunner::RunSoeEoe(SlaveState& slave, eni::Transition t,
                                                 const std::stop_token& stop) {
    MailboxTransport* mailbox = mailboxes_[slave.position].get();
    if (slave.eni->mailbox)
        LogSkippedCmds(slave, *slave.eni->mailbox, t);
    if (mailbox == nullptr)
        return {};
    return RunSoeEoeCmds(*mailbox, slave, *slave.eni->mailbox, t, stop);
}

std::expected<void, Error> PlanRunner::WriteRegisters(SlaveState& slave, const SlavePlan& plan,
                                                      eni::Transition t) {
    for (const RegisterWrite& w : plan.writes) {
        if (w.kind == RegisterWrite::Kind::kNoFmmu) {
            char label[160];
            Log("%s: no cyclic command carries its %s (bits %u to %u); its FMMU stays unset",
                Label(slave, label), w.outputs ? "outputs" : "inputs",
                static_cast<unsigned>(w.range.bitStart),
                static_cast<unsigned>(w.range.bitStart + w.range.bitLength));
            continue;
        }
        std::vector<std::uint8_t> bytes = w.bytes;  // the reply lands here
        if (!WriteRegister(exchange_, slave.station, w.ado, bytes)) {
            LogWriteFailure(slave, w, t);
            return std::unexpected(Error{Errc::kNoReply});
        }
    }
    return {};
}

void PlanRunner::TakeEepromBack(SlaveState& slave) {
    std::array<std::uint8_t, 1> master{0};
    if (!WriteRegister(exchange_, slave.station, ecat::reg::kSiiConfig, master)) {
        char label[160];
        Log("%s: taking its EEPROM back failed", Label(slave, label));
    }
}

}  // namespace parvane::master
