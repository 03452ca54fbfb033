#include "master/state_machine.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "master/coe_client.h"
#include "master/init_commands.h"
#include "master/log.h"
#include "master/process_data.h"
#include "ecat/byte_order.h"
#include "ecat/mailbox.h"
#include "ecat/registers.h"

namespace parvane::master {
namespace {

using Clock = std::chrono::steady_clock;
using ecat::AlState;

// AL status read: state and flags (2 bytes), reserved (2), status code (2).
constexpr std::size_t kAlStatusRead = 6;
constexpr unsigned kRegisterRetries = 3;
constexpr std::size_t kUploadBuffer = 4096;

// The order of the network states, BOOT below PREOP's successors.
int Rank(AlState s) {
    switch (s) {
        case AlState::kInit:
            return 0;
        case AlState::kPreOp:
        case AlState::kBoot:
            return 1;
        case AlState::kSafeOp:
            return 2;
        case AlState::kOp:
            return 3;
    }
    return 0;
}

AlState NextUp(AlState s) {
    switch (s) {
        case AlState::kInit:
        case AlState::kBoot:
            return AlState::kPreOp;
        case AlState::kPreOp:
            return AlState::kSafeOp;
        default:
            return AlState::kOp;
    }
}

AlState StateOf(std::uint8_t status) {
    return ecat::AlStateFrom(status & ecat::kAlStateMask).value_or(AlState::kInit);
}

bool Overlaps(const eni::Datagram& d, std::uint32_t lo, std::uint32_t hi) {
    if (d.logical || d.data.empty())
        return false;
    switch (d.command) {
        case ecat::Command::kApwr:
        case ecat::Command::kAprw:
        case ecat::Command::kFpwr:
        case ecat::Command::kFprw:
        case ecat::Command::kBwr:
        case ecat::Command::kBrw:
            break;
        default:
            return false;
    }
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
    return (mask & ecat::kAlStateMask) == ecat::kAlStateMask &&
           (cmd.validate->data[0] & ecat::kAlStateMask) == ecat::ToWire(state);
}

// Where a slave's process data (its Send or Recv bit range) lies in the
// logical address space: in the cyclic logical command whose part of the
// process image (from its InputOffs / OutputOffs on) covers the range. Files
// that count the range from the start of the command's data instead are
// taken as they mean it when no command covers it the first way.
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

// Lines about single slaves for one event: the first few name their slave,
// the others are counted into one closing line, so that a whole segment
// failing alike still reads in a screen.
class SlaveLines {
  public:
    bool Take() {
        if (shown_ < kShown) {
            ++shown_;
            return true;
        }
        ++more_;
        return false;
    }
    void Close(const char* what) const {
        if (more_ > 0)
            Log("... and %zu more slaves %s", more_, what);
    }

  private:
    static constexpr std::size_t kShown = 16;
    std::size_t shown_ = 0;
    std::size_t more_ = 0;
};

}  // namespace

struct StateMachine::Impl {
    struct Slave {
        const eni::Slave* eni = nullptr;
        std::uint16_t position = 0;
        std::uint16_t station = 0;
        bool present = false;  // bring-up found a slave at its position
        // Last AL status read: status byte and code; whether it answered.
        std::uint8_t status = ecat::ToWire(AlState::kInit);
        std::uint16_t code = 0;
        bool answering = true;
        bool errorLogged = false;
        std::unique_ptr<CoeClient> coe;
    };

    // How one slave's commands for a transition run.
    struct Plan {
        std::vector<const eni::InitCmd*> cmds;
        std::vector<const eni::CoeInitCmd*> coe;
        std::size_t extrasAt = 0;  // master's own writes (and CoE) run before cmds[extrasAt]
        std::size_t split = 0;     // cmds[split..] run once the state is reached
        bool masterRequests = false;
        bool mailboxSms = false;
        bool processDataSms = false;
        bool eeprom = false;
    };

    struct Waiting {
        std::size_t slave = 0;
        std::uint8_t statusBefore = 0;
        std::uint16_t codeBefore = 0;
    };

    Impl(Exchange& e, const eni::NetworkConfig& c, std::vector<FoundSlave> found,
         StateMachineOptions o)
        : exchange(e), config(c), options(o), cyclic(e, c, CyclicOptions{o.realtimeCycle, 50}) {
        slaves.resize(config.slaves.size());
        for (std::size_t i = 0; i < slaves.size(); ++i) {
            Slave& s = slaves[i];
            s.eni = &config.slaves[i];
            s.position = static_cast<std::uint16_t>(i);
            // The address bring-up gave the slave; the ENI's own for a slave
            // that was not found (its commands still run as written).
            s.station = s.eni->physAddr;
        }
        for (const FoundSlave& f : found) {
            if (f.position >= slaves.size())
                continue;
            Slave& s = slaves[f.position];
            s.present = true;
            if (f.stationAddress != 0)
                s.station = f.stationAddress;
        }
        for (Slave& s : slaves) {
            if (s.eni->mailbox && !s.eni->mailbox->coeInitCmds.empty()) {
                const eni::Mailbox& m = *s.eni->mailbox;
                s.coe = std::make_unique<CoeClient>(
                    exchange, MailboxWindows{s.station, m.sendStart, m.sendLength, m.recvStart,
                                             m.recvLength});
            }
        }
        upload.resize(kUploadBuffer);
    }

    void Loop(std::stop_token stop);
    void Walk(AlState target, std::stop_token stop);
    bool RunTransition(eni::Transition t, AlState from, AlState to, const std::stop_token& stop);
    Plan MakePlan(const Slave& slave, eni::Transition t, AlState to) const;
    bool RunSlaveCmds(Slave& slave, const Plan& plan, std::size_t first, std::size_t last,
                      eni::Transition t, AlState to, const std::stop_token& stop);
    bool RunCoe(Slave& slave, const eni::CoeInitCmd& cmd, eni::Transition t,
                const std::stop_token& stop);
    bool RunMasterCmds(eni::Transition t, bool beforeSlave, const std::stop_token& stop);
    bool MasterExtras(Slave& slave, const Plan& plan, AlState to, eni::Transition t);
    bool WaitForState(std::vector<Waiting>& waiting, AlState to, eni::Transition t,
                      std::chrono::milliseconds budget, const std::stop_token& stop);
    void ReadStatuses();
    void Monitor();
    AlState Lowest() const;
    AlState Highest() const;
    void Publish(AlState state);
    void SettleCyclic(AlState state);
    bool WriteRegister(const Slave& slave, std::uint16_t ado, std::span<std::uint8_t> data);
    void Acknowledge(Slave& slave);
    void LogRefusal(const Slave& slave, AlState wanted, SlaveLines& lines);
    std::chrono::milliseconds Budget(AlState from, AlState to) const;
    const char* Label(const Slave& slave, std::span<char> out) const;

    Exchange& exchange;
    const eni::NetworkConfig& config;
    StateMachineOptions options;
    std::vector<Slave> slaves;
    std::vector<std::uint8_t> upload;
    CyclicProcessData cyclic;

    mutable std::mutex mutex;
    mutable std::condition_variable_any changed;
    AlState requested = AlState::kInit;
    AlState reached = AlState::kInit;
    bool busy = false;
    WalkOutcome outcome = WalkOutcome::kNone;
    std::optional<AlState> pending;
    std::stop_source walkStop;

    std::jthread worker;  // last: started once everything above exists
};

const char* StateMachine::Impl::Label(const Slave& slave, std::span<char> out) const {
    std::snprintf(out.data(), out.size(), "slave %u (station %u, %s)",
                  static_cast<unsigned>(slave.position), static_cast<unsigned>(slave.station),
                  slave.eni->name.empty() ? "unnamed" : slave.eni->name.c_str());
    return out.data();
}

std::chrono::milliseconds StateMachine::Impl::Budget(AlState from, AlState to) const {
    if (to == AlState::kInit)
        return options.toInit;
    if (from == AlState::kInit && to == AlState::kPreOp)
        return options.initToPreOp;
    if (from == AlState::kPreOp && to == AlState::kSafeOp)
        return options.preOpToSafeOp;
    if (from == AlState::kSafeOp && to == AlState::kOp)
        return options.safeOpToOp;
    return options.otherDown;
}

AlState StateMachine::Impl::Lowest() const {
    std::optional<AlState> lowest;
    for (const Slave& s : slaves) {
        if (!s.present)
            continue;
        const AlState state = s.answering ? StateOf(s.status) : AlState::kInit;
        if (!lowest || Rank(state) < Rank(*lowest))
            lowest = state;
    }
    return lowest.value_or(reached);
}

AlState StateMachine::Impl::Highest() const {
    std::optional<AlState> highest;
    for (const Slave& s : slaves) {
        if (!s.present || !s.answering)
            continue;
        const AlState state = StateOf(s.status);
        if (!highest || Rank(state) > Rank(*highest))
            highest = state;
    }
    return highest.value_or(reached);
}

void StateMachine::Impl::Publish(AlState state) {
    std::lock_guard lock(mutex);
    reached = state;
}

void StateMachine::Impl::SettleCyclic(AlState state) {
    if (Rank(state) >= Rank(AlState::kSafeOp)) {
        cyclic.Start(state);
        cyclic.Check(true);  // the network is in the state: counters must match Cnt
    } else {
        cyclic.Stop();
    }
}

bool StateMachine::Impl::WriteRegister(const Slave& slave, std::uint16_t ado,
                                       std::span<std::uint8_t> data) {
    const auto wkc = exchange.Transact(ecat::Command::kFpwr, ecat::MakeAddress(slave.station, ado),
                                       data, kRegisterRetries);
    return wkc && *wkc == 1;
}

void StateMachine::Impl::ReadStatuses() {
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        if (slaves[i].present)
            which.push_back(i);
    }
    if (which.empty())
        return;
    std::vector<std::uint8_t> buffer(which.size() * kAlStatusRead, 0);
    std::vector<DatagramRequest> requests(which.size());
    for (std::size_t k = 0; k < which.size(); ++k) {
        requests[k].command = ecat::Command::kFprd;
        requests[k].address = ecat::MakeAddress(slaves[which[k]].station, ecat::reg::kAlStatus);
        requests[k].data = std::span<std::uint8_t>(&buffer[k * kAlStatusRead], kAlStatusRead);
    }
    (void)exchange.Run(requests);  // unanswered requests keep answered == false
    SlaveLines gone;
    SlaveLines back;
    for (std::size_t k = 0; k < which.size(); ++k) {
        Slave& s = slaves[which[k]];
        const bool answered = requests[k].answered && requests[k].wkc == 1;
        char label[160];
        if (!answered) {
            if (s.answering && gone.Take())
                Log("%s no longer answers", Label(s, label));
            s.answering = false;
            continue;
        }
        const std::uint8_t* b = &buffer[k * kAlStatusRead];
        s.status = b[0];
        s.code = ecat::Get16(&b[4]);
        if (!s.answering && back.Take())
            Log("%s answers again, in %s", Label(s, label), ecat::AlStateName(StateOf(s.status)));
        s.answering = true;
    }
    gone.Close("no longer answer");
    back.Close("answer again");
}

void StateMachine::Impl::Monitor() {
    ReadStatuses();
    SlaveLines errors;
    for (Slave& s : slaves) {
        if (!s.present || !s.answering)
            continue;
        const bool error = (s.status & ecat::kAlStatusError) != 0;
        if (error && !s.errorLogged && errors.Take()) {
            char label[160];
            Log("%s is in %s with AL status code 0x%04X (%s)", Label(s, label),
                ecat::AlStateName(StateOf(s.status)), static_cast<unsigned>(s.code),
                ecat::AlStatusCodeText(s.code));
        }
        s.errorLogged = error;
    }
    errors.Close("show an AL error");
    std::lock_guard lock(mutex);
    if (!busy && !pending)
        reached = Lowest();
}

void StateMachine::Impl::LogRefusal(const Slave& s, AlState wanted, SlaveLines& lines) {
    if (!lines.Take())
        return;
    char label[160];
    Log("%s refused %s: AL status code 0x%04X (%s); it stays in %s", Label(s, label),
        ecat::AlStateName(wanted), static_cast<unsigned>(s.code), ecat::AlStatusCodeText(s.code),
        ecat::AlStateName(StateOf(s.status)));
}

void StateMachine::Impl::Acknowledge(Slave& s) {
    std::array<std::uint8_t, 2> value{};
    ecat::Put16(value.data(),
                static_cast<std::uint16_t>((s.status & ecat::kAlStateMask) | ecat::kAlControlAck));
    if (!WriteRegister(s, ecat::reg::kAlControl, value)) {
        char label[160];
        Log("%s: acknowledging its AL error failed", Label(s, label));
    }
    s.errorLogged = true;
}

bool StateMachine::Impl::RunMasterCmds(eni::Transition t, bool beforeSlave,
                                       const std::stop_token& stop) {
    for (const eni::InitCmd& cmd : config.masterInitCmds) {
        if (!cmd.transitions.Has(t) || cmd.beforeSlave != beforeSlave)
            continue;
        const auto result = RunInitCmd(exchange, cmd, stop);
        if (result)
            continue;
        if (result.error().failure == InitCmdFailure::kCancelled)
            return false;
        char what[200];
        char why[200];
        Log("master init command %s for %s failed: %s",
            DescribeDatagram(cmd.datagram, cmd.comment, what), eni::TransitionText(t),
            DescribeFailure(cmd, result.error(), why));
        return false;
    }
    return true;
}

StateMachine::Impl::Plan StateMachine::Impl::MakePlan(const Slave& slave, eni::Transition t,
                                                      AlState to) const {
    Plan plan;
    for (const eni::InitCmd& cmd : slave.eni->initCmds) {
        if (cmd.transitions.Has(t))
            plan.cmds.push_back(&cmd);
    }
    if (slave.eni->mailbox) {
        for (const eni::CoeInitCmd& cmd : slave.eni->mailbox->coeInitCmds) {
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
        if (!fileRequest && value && (*value & ecat::kAlStateMask) == ecat::ToWire(to))
            fileRequest = i;
        if (!stateCheck && ChecksState(cmd, to))
            stateCheck = i;
        writesMailboxSms |= Overlaps(cmd.datagram, ecat::reg::Sm(0), ecat::reg::Sm(2));
        writesProcessData |= Overlaps(cmd.datagram, ecat::reg::Sm(2), ecat::reg::Sm(16)) ||
                             Overlaps(cmd.datagram, ecat::reg::Fmmu(0), ecat::reg::Fmmu(16));
        writesEeprom |= Overlaps(cmd.datagram, ecat::reg::kSiiConfig, ecat::reg::kSiiConfig + 1);
    }
    plan.masterRequests = !fileRequest.has_value();
    if (fileRequest) {
        plan.extrasAt = *fileRequest;
        plan.split = plan.cmds.size();
    } else {
        plan.split = stateCheck.value_or(plan.cmds.size());
        plan.extrasAt = plan.split;
    }
    plan.mailboxSms = t == eni::Transition::kIP && slave.eni->mailbox && !writesMailboxSms;
    plan.processDataSms = t == eni::Transition::kPS && slave.eni->processData && !writesProcessData;
    plan.eeprom = t == eni::Transition::kIP && !writesEeprom;
    return plan;
}

bool StateMachine::Impl::RunCoe(Slave& slave, const eni::CoeInitCmd& cmd, eni::Transition t,
                                const std::stop_token& stop) {
    if (!slave.coe)
        return true;
    const std::chrono::milliseconds timeout(cmd.timeoutMs);
    std::expected<void, CoeError> result;
    const bool isUpload = cmd.ccs == 2;
    if (isUpload) {
        const auto read =
            slave.coe->Upload(cmd.index, cmd.subIndex, cmd.completeAccess, upload, timeout, stop);
        if (!read)
            result = std::unexpected(read.error());
        else if (!cmd.data.empty() &&
                 !std::equal(cmd.data.begin(), cmd.data.end(), upload.begin(),
                             upload.begin() + static_cast<std::ptrdiff_t>(*read))) {
            char label[160];
            Log("%s: CoE upload of 0x%04X:%u (%s) for %s reads %zu bytes that differ from the "
                "file's",
                Label(slave, label), static_cast<unsigned>(cmd.index),
                static_cast<unsigned>(cmd.subIndex), cmd.comment.c_str(), eni::TransitionText(t),
                *read);
        }
    } else {
        result = slave.coe->Download(cmd.index, cmd.subIndex, cmd.completeAccess, cmd.data, timeout,
                                     stop);
    }
    if (result)
        return true;
    if (result.error().failure == CoeFailure::kCancelled)
        return false;
    char label[160];
    const char* what = cmd.ccs == 2 ? "upload" : "download";
    const CoeError& e = result.error();
    if (e.failure == CoeFailure::kAbort) {
        Log("%s: CoE %s of 0x%04X:%u (%s) for %s aborted: SDO abort code 0x%08X (%s)",
            Label(slave, label), what, static_cast<unsigned>(cmd.index),
            static_cast<unsigned>(cmd.subIndex), cmd.comment.c_str(), eni::TransitionText(t),
            static_cast<unsigned>(e.abortCode), ecat::SdoAbortText(e.abortCode));
    } else if (e.failure == CoeFailure::kMailboxError) {
        Log("%s: CoE %s of 0x%04X:%u (%s) for %s failed: mailbox error %u", Label(slave, label),
            what, static_cast<unsigned>(cmd.index), static_cast<unsigned>(cmd.subIndex),
            cmd.comment.c_str(), eni::TransitionText(t), static_cast<unsigned>(e.mailboxError));
    } else {
        Log("%s: CoE %s of 0x%04X:%u (%s) for %s failed: %s", Label(slave, label), what,
            static_cast<unsigned>(cmd.index), static_cast<unsigned>(cmd.subIndex),
            cmd.comment.c_str(), eni::TransitionText(t), CoeFailureText(e.failure));
    }
    // An upload only reads: the slave's configuration is as it was, and its
    // own checks at the state change decide. A download that failed left
    // the slave short of what the file configures.
    return isUpload;
}

bool StateMachine::Impl::RunSlaveCmds(Slave& slave, const Plan& plan, std::size_t first,
                                      std::size_t last, eni::Transition t, AlState to,
                                      const std::stop_token& stop) {
    for (std::size_t i = first; i < last; ++i) {
        const eni::InitCmd& cmd = *plan.cmds[i];
        const auto result = RunInitCmd(exchange, cmd, stop);
        if (result)
            continue;
        const InitCmdError& e = result.error();
        if (e.failure == InitCmdFailure::kCancelled)
            return false;
        char label[160];
        char what[200];
        char why[200];
        Log("%s: init command %s for %s failed: %s", Label(slave, label),
            DescribeDatagram(cmd.datagram, cmd.comment, what), eni::TransitionText(t),
            DescribeFailure(cmd, e, why));
        // A slave that refused its state says why in AL status.
        if (slave.present) {
            ReadStatuses();
            if (slave.answering && (slave.status & ecat::kAlStatusError) != 0) {
                SlaveLines lines;
                LogRefusal(slave, to, lines);
                Acknowledge(slave);
            }
        }
        return false;
    }
    return true;
}

bool StateMachine::Impl::MasterExtras(Slave& slave, const Plan& plan, AlState to,
                                      eni::Transition t) {
    char label[160];
    if (plan.mailboxSms) {
        const eni::Mailbox& m = *slave.eni->mailbox;
        std::array<std::uint8_t, 2 * ecat::reg::kSmSize> sms{};
        ecat::SmEntry{m.sendStart, m.sendLength, 0x26, 0, ecat::SmEntry::kActivateEnable, 0}.Encode(
            std::span<std::uint8_t, ecat::reg::kSmSize>(sms.data(), ecat::reg::kSmSize));
        ecat::SmEntry{m.recvStart, m.recvLength, 0x22, 0, ecat::SmEntry::kActivateEnable, 0}.Encode(
            std::span<std::uint8_t, ecat::reg::kSmSize>(sms.data() + ecat::reg::kSmSize,
                                                        ecat::reg::kSmSize));
        if (!WriteRegister(slave, ecat::reg::Sm(0), sms)) {
            Log("%s: writing its mailbox sync managers for %s failed", Label(slave, label),
                eni::TransitionText(t));
            return false;
        }
    }
    if (plan.processDataSms) {
        const eni::ProcessData& pd = *slave.eni->processData;
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
            if (!WriteRegister(slave, ecat::reg::Sm(sm.number), bytes)) {
                Log("%s: writing sync manager %u for %s failed", Label(slave, label),
                    static_cast<unsigned>(sm.number), eni::TransitionText(t));
                return false;
            }
            (sm.type == eni::SmType::kOutputs ? outputsAt : inputsAt) = sm.startAddress;
        }
        unsigned fmmu = 0;
        const auto writeFmmu = [&](const eni::BitRange& range, std::uint16_t physical,
                                   bool outputs) -> bool {
            const std::optional<std::uint32_t> logical = LogicalAddressOf(config, range, outputs);
            if (!logical) {
                Log("%s: no cyclic command carries its %s (bits %u to %u); its FMMU stays unset",
                    Label(slave, label), outputs ? "outputs" : "inputs",
                    static_cast<unsigned>(range.bitStart),
                    static_cast<unsigned>(range.bitStart + range.bitLength));
                return true;
            }
            ecat::FmmuEntry entry;
            entry.logicalStart = *logical;
            entry.logicalStartBit = static_cast<std::uint8_t>(range.bitStart % 8);
            entry.length =
                static_cast<std::uint16_t>((range.bitStart % 8 + range.bitLength + 7) / 8);
            entry.logicalStopBit =
                static_cast<std::uint8_t>((range.bitStart + range.bitLength - 1) % 8);
            entry.physicalStart = physical;
            entry.physicalStartBit = 0;
            entry.type = outputs ? ecat::FmmuEntry::kTypeWrite : ecat::FmmuEntry::kTypeRead;
            entry.active = true;
            std::array<std::uint8_t, ecat::reg::kFmmuSize> bytes{};
            entry.Encode(bytes);
            if (!WriteRegister(slave, ecat::reg::Fmmu(fmmu++), bytes)) {
                Log("%s: writing its %s FMMU for %s failed", Label(slave, label),
                    outputs ? "outputs" : "inputs", eni::TransitionText(t));
                return false;
            }
            return true;
        };
        if (pd.send && pd.send->bitLength > 0 && outputsAt &&
            !writeFmmu(*pd.send, *outputsAt, true))
            return false;
        if (pd.recv && pd.recv->bitLength > 0 && inputsAt && !writeFmmu(*pd.recv, *inputsAt, false))
            return false;
    }
    if (plan.eeprom) {
        std::array<std::uint8_t, 1> pdi{1};
        if (!WriteRegister(slave, ecat::reg::kSiiConfig, pdi)) {
            Log("%s: handing its EEPROM to the slave failed", Label(slave, label));
            return false;
        }
    }
    if (plan.masterRequests) {
        const bool error = (slave.status & ecat::kAlStatusError) != 0;
        std::array<std::uint8_t, 2> value{};
        ecat::Put16(value.data(), static_cast<std::uint16_t>(ecat::ToWire(to) |
                                                             (error ? ecat::kAlControlAck : 0)));
        if (!WriteRegister(slave, ecat::reg::kAlControl, value)) {
            Log("%s: requesting %s failed (AL control write not answered)", Label(slave, label),
                ecat::AlStateName(to));
            return false;
        }
    }
    return true;
}

bool StateMachine::Impl::WaitForState(std::vector<Waiting>& waiting, AlState to, eni::Transition t,
                                      std::chrono::milliseconds budget,
                                      const std::stop_token& stop) {
    (void)t;
    if (waiting.empty())
        return true;
    const Clock::time_point deadline = Clock::now() + budget;
    std::vector<std::uint8_t> buffer;
    std::vector<DatagramRequest> requests;
    bool refused = false;
    SlaveLines refusals;
    while (!waiting.empty()) {
        buffer.assign(waiting.size() * kAlStatusRead, 0);
        requests.assign(waiting.size(), DatagramRequest{});
        for (std::size_t k = 0; k < waiting.size(); ++k) {
            requests[k].command = ecat::Command::kFprd;
            requests[k].address =
                ecat::MakeAddress(slaves[waiting[k].slave].station, ecat::reg::kAlStatus);
            requests[k].data = std::span<std::uint8_t>(&buffer[k * kAlStatusRead], kAlStatusRead);
        }
        (void)exchange.Run(requests);
        std::vector<Waiting> still;
        for (std::size_t k = 0; k < waiting.size(); ++k) {
            Slave& s = slaves[waiting[k].slave];
            if (!requests[k].answered || requests[k].wkc != 1) {
                still.push_back(waiting[k]);
                continue;
            }
            const std::uint8_t* b = &buffer[k * kAlStatusRead];
            s.status = b[0];
            s.code = ecat::Get16(&b[4]);
            s.answering = true;
            const bool error = (s.status & ecat::kAlStatusError) != 0;
            // An error shown unchanged since before the request is the old
            // one, not yet cleared by the acknowledgement.
            const bool oldError =
                error && s.status == waiting[k].statusBefore && s.code == waiting[k].codeBefore;
            if (error && !oldError) {
                LogRefusal(s, to, refusals);
                Acknowledge(s);
                refused = true;
            } else if (!error && StateOf(s.status) == to) {
                s.errorLogged = false;
            } else {
                still.push_back(waiting[k]);
            }
        }
        waiting.swap(still);
        if (refused) {
            refusals.Close("refused it");
            return false;
        }
        if (waiting.empty())
            return true;
        if (Clock::now() >= deadline || stop.stop_requested())
            break;
        std::this_thread::sleep_for(options.statusPoll);
    }
    if (stop.stop_requested())
        return false;
    SlaveLines late;
    for (const Waiting& w : waiting) {
        const Slave& s = slaves[w.slave];
        if (!late.Take())
            continue;
        char label[160];
        Log("%s did not reach %s within %lld ms; it shows %s (AL status 0x%02X, code 0x%04X: %s)",
            Label(s, label), ecat::AlStateName(to), static_cast<long long>(budget.count()),
            ecat::AlStateName(StateOf(s.status)), static_cast<unsigned>(s.status),
            static_cast<unsigned>(s.code), ecat::AlStatusCodeText(s.code));
    }
    late.Close("did not reach it either");
    return false;
}

bool StateMachine::Impl::RunTransition(eni::Transition t, AlState from, AlState to,
                                       const std::stop_token& stop) {
    // A slave still showing an error takes no new request until it is
    // acknowledged, and the file's own AL control writes carry no
    // acknowledgement.
    for (Slave& slave : slaves) {
        if (slave.present && slave.answering && (slave.status & ecat::kAlStatusError) != 0)
            Acknowledge(slave);
    }
    if (!RunMasterCmds(t, true, stop))
        return false;

    std::vector<Plan> plans;
    plans.reserve(slaves.size());
    std::vector<Waiting> requestedByMaster;
    for (Slave& slave : slaves) {
        // A slave that already shows the state (after an earlier walk that
        // stopped half way) makes no transition: its commands for it would
        // find it in the wrong state.
        const bool there = slave.present && slave.answering &&
                           (slave.status & ecat::kAlStatusError) == 0 &&
                           StateOf(slave.status) == to;
        plans.push_back(there ? Plan{} : MakePlan(slave, t, to));
        const Plan& plan = plans.back();
        if (!RunSlaveCmds(slave, plan, 0, plan.extrasAt, t, to, stop))
            return false;
        for (const eni::CoeInitCmd* cmd : plan.coe) {
            if (!RunCoe(slave, *cmd, t, stop))
                return false;
        }
        if (slave.present) {
            if (!MasterExtras(slave, plan, to, t))
                return false;
            if (plan.masterRequests)
                requestedByMaster.push_back(
                    {static_cast<std::size_t>(&slave - slaves.data()), slave.status, slave.code});
        }
        if (!RunSlaveCmds(slave, plan, plan.extrasAt, plan.split, t, to, stop))
            return false;
    }
    if (!WaitForState(requestedByMaster, to, t, Budget(from, to), stop))
        return false;
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        if (!RunSlaveCmds(slaves[i], plans[i], plans[i].split, plans[i].cmds.size(), t, to, stop))
            return false;
    }
    if (!RunMasterCmds(t, false, stop))
        return false;

    // Every slave, whoever asked it, must now show the state.
    std::vector<Waiting> all;
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        if (slaves[i].present)
            all.push_back({i, slaves[i].status, slaves[i].code});
    }
    const bool ok = WaitForState(all, to, t, Budget(from, to), stop);

    // The EEPROM the master handed to the slaves for INIT -> PREOP comes back.
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        if (!slaves[i].present || !plans[i].eeprom)
            continue;
        std::array<std::uint8_t, 1> master{0};
        if (!WriteRegister(slaves[i], ecat::reg::kSiiConfig, master)) {
            char label[160];
            Log("%s: taking its EEPROM back failed", Label(slaves[i], label));
        }
    }
    return ok;
}

void StateMachine::Impl::Walk(AlState target, std::stop_token stop) {
    ReadStatuses();
    AlState from = Lowest();
    const AlState highest = Highest();
    std::vector<std::pair<AlState, AlState>> steps;
    if (Rank(target) > Rank(from)) {
        for (AlState s = from; Rank(s) < Rank(target); s = NextUp(s))
            steps.emplace_back(s, NextUp(s));
    } else if (Rank(target) < Rank(from)) {
        steps.emplace_back(from, target);
    } else if (Rank(highest) > Rank(target)) {
        steps.emplace_back(highest, target);  // some slaves are above: bring them down
        from = highest;
    }

    for (const auto& [a, b] : steps) {
        if (stop.stop_requested())
            break;
        const auto t = eni::TransitionBetween(a, b);
        if (!t) {
            Log("no transition leads from %s to %s", ecat::AlStateName(a), ecat::AlStateName(b));
            break;
        }
        if (Rank(b) >= Rank(AlState::kSafeOp)) {
            // From the SAFEOP request on the outputs flow, so the slaves'
            // watchdogs never starve while the rest of the walk runs.
            cyclic.Start(b);
        } else {
            cyclic.Check(false);
        }
        if (!RunTransition(*t, a, b, stop)) {
            ReadStatuses();
            const AlState now = Lowest();
            Publish(now);
            SettleCyclic(now);
            std::lock_guard lock(mutex);
            if (stop.stop_requested()) {
                outcome = WalkOutcome::kCancelled;
            } else {
                outcome = WalkOutcome::kFailed;
                Log("network cannot reach %s: %s failed; it stays in %s", ecat::AlStateName(target),
                    eni::TransitionText(*t), ecat::AlStateName(now));
            }
            return;
        }
        Publish(b);
    }
    ReadStatuses();
    const AlState now = Lowest();
    Publish(now);
    SettleCyclic(now);
    std::lock_guard lock(mutex);
    if (stop.stop_requested()) {
        outcome = WalkOutcome::kCancelled;
    } else if (now == target) {
        outcome = WalkOutcome::kReached;
        Log("network reached %s", ecat::AlStateName(target));
    } else {
        outcome = WalkOutcome::kFailed;
        Log("network cannot reach %s; it stays in %s", ecat::AlStateName(target),
            ecat::AlStateName(now));
    }
}

void StateMachine::Impl::Loop(std::stop_token stop) {
    ReadStatuses();
    Publish(Lowest());
    std::unique_lock lock(mutex);
    while (!stop.stop_requested()) {
        changed.wait_for(lock, stop, options.monitorPeriod, [&] { return pending.has_value(); });
        if (stop.stop_requested())
            break;
        if (!pending) {
            lock.unlock();
            Monitor();
            lock.lock();
            continue;
        }
        const AlState target = *pending;
        pending.reset();
        busy = true;
        walkStop = std::stop_source();
        const std::stop_token walkToken = walkStop.get_token();
        std::stop_source& source = walkStop;
        lock.unlock();
        {
            std::stop_callback forward(stop, [&source] { source.request_stop(); });
            Walk(target, walkToken);
        }
        lock.lock();
        busy = false;
        changed.notify_all();
    }
}

StateMachine::StateMachine(Exchange& exchange, const eni::NetworkConfig& config,
                           std::vector<FoundSlave> slaves, StateMachineOptions options)
    : impl_(std::make_unique<Impl>(exchange, config, std::move(slaves), options)) {
    Impl* impl = impl_.get();
    impl_->worker = std::jthread([impl](std::stop_token stop) { impl->Loop(stop); });
}

StateMachine::~StateMachine() {
    impl_->worker.request_stop();
    {
        std::lock_guard lock(impl_->mutex);
        impl_->walkStop.request_stop();
    }
    impl_->changed.notify_all();
    if (impl_->worker.joinable())
        impl_->worker.join();
    impl_->cyclic.Stop();
}

void StateMachine::Request(AlState target) {
    std::lock_guard lock(impl_->mutex);
    Impl& m = *impl_;
    if (m.pending && *m.pending == target)
        return;
    if (target == m.requested && !m.pending &&
        (m.busy || m.outcome == WalkOutcome::kFailed || m.reached == target))
        return;
    Log("state change to %s requested (network in %s)", ecat::AlStateName(target),
        ecat::AlStateName(m.reached));
    m.requested = target;
    m.pending = target;
    if (m.busy)
        m.walkStop.request_stop();
    m.changed.notify_all();
}

AlState StateMachine::requested() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requested;
}

AlState StateMachine::reached() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->reached;
}

bool StateMachine::busy() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->busy || impl_->pending.has_value();
}

WalkOutcome StateMachine::lastOutcome() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->outcome;
}

bool StateMachine::WaitIdle(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_until(lock, deadline,
                                     [&] { return !impl_->busy && !impl_->pending; });
}

}  // namespace parvane::master
