#include "master/state_machine.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

#include "master/al_walk.h"
#include "master/dc_clocks.h"
#include "master/log.h"
#include "master/plan_runner.h"
#include "master/process_data.h"
#include "master/transition_plan.h"
#include "master/watcher.h"

namespace parvane::master {
namespace {

using ecat::AlState;

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

// The transitions from where the network is to `target`: up one state at a
// time, down in one step; at the target already, down for the slaves above.
std::vector<std::pair<AlState, AlState>> Steps(AlState target, AlState lowest, AlState highest) {
    std::vector<std::pair<AlState, AlState>> steps;
    if (Rank(target) > Rank(lowest)) {
        for (AlState s = lowest; Rank(s) < Rank(target); s = NextUp(s))
            steps.emplace_back(s, NextUp(s));
    } else if (Rank(target) < Rank(lowest)) {
        steps.emplace_back(lowest, target);
    } else if (Rank(highest) > Rank(target)) {
        steps.emplace_back(highest, target);
    }
    return steps;
}

std::vector<SlaveState> SlavesOf(const eni::NetworkConfig& config,
                                 const std::vector<FoundSlave>& found) {
    std::vector<SlaveState> slaves(config.slaves.size());
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        slaves[i].eni = &config.slaves[i];
        slaves[i].position = static_cast<std::uint16_t>(i);
        // The address bring-up gave the slave; the ENI's own for a slave
        // that was not found (its commands still run as written).
        slaves[i].station = config.slaves[i].physAddr;
    }
    for (const FoundSlave& f : found) {
        if (f.position >= slaves.size())
            continue;
        slaves[f.position].present = true;
        if (f.stationAddress != 0)
            slaves[f.position].station = f.stationAddress;
    }
    return slaves;
}

}  // namespace

struct StateMachine::Impl {
    Impl(Exchange& e, const eni::NetworkConfig& c, const std::vector<FoundSlave>& found,
         StateMachineOptions o)
        : config(c),
          options(o),
          image(c),
          slaves(SlavesOf(c, found)),
          al(e, slaves, o.statusPoll),
          runner(e, c, slaves, al),
          cyclic(e, c, CyclicOptions{o.realtimeCycle, 50}),
          watcher(al, slaves, cyclic),
          clocks(e, c, o.dc, cyclic, watcher) {}

    void Loop(std::stop_token stop);
    void Walk(AlState target, std::stop_token stop);
    void Finish(AlState target, const std::stop_token& stop, std::optional<eni::Transition> failed);
    std::expected<void, Error> RunTransition(eni::Transition t, AlState from, AlState to,
                                             const std::stop_token& stop);
    std::expected<void, Error> RunSlaves(eni::Transition t, AlState to,
                                         std::vector<SlavePlan>& plans,
                                         std::vector<AlWalk::Waiting>& awaited,
                                         const std::stop_token& stop);
    std::expected<void, Error> RunReached(eni::Transition t, AlState to,
                                          const std::vector<SlavePlan>& plans,
                                          const std::stop_token& stop);
    void Monitor();
    void Publish(AlState state);
    std::chrono::milliseconds Budget(AlState from, AlState to) const;

    const eni::NetworkConfig& config;
    StateMachineOptions options;
    LogicalImage image;
    std::vector<SlaveState> slaves;
    AlWalk al;
    PlanRunner runner;
    CyclicProcessData cyclic;
    Watcher watcher;
    DcClocks clocks;

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

void StateMachine::Impl::Publish(AlState state) {
    std::lock_guard lock(mutex);
    reached = state;
}

void StateMachine::Impl::Monitor() {
    watcher.Look();
    std::lock_guard lock(mutex);
    if (!busy && !pending)
        reached = al.Lowest(reached);
}

// Each slave's commands up to the state change: its register commands, its
// mailbox commands that go before the request, the master's own writes and
// request. `awaited` receives the slaves to wait for before the rest: those
// the master requested, and those that requested the state themselves but
// run mailbox commands once it is reached.
std::expected<void, Error> StateMachine::Impl::RunSlaves(eni::Transition t, AlState to,
                                                         std::vector<SlavePlan>& plans,
                                                         std::vector<AlWalk::Waiting>& awaited,
                                                         const std::stop_token& stop) {
    plans.reserve(slaves.size());
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        SlaveState& slave = slaves[i];
        // A slave that already shows the state (after an earlier walk that
        // stopped half way) makes no transition: its commands for it would
        // find it in the wrong state.
        const bool there =
            slave.present && slave.answering && !slave.error() && slave.state() == to;
        plans.push_back(there ? SlavePlan{} : PlanSlave(image, *slave.eni, t, to));
        if (!there)
            clocks.Apply(plans.back(), slave, t);
        const SlavePlan& plan = plans.back();
        runner.NoteFmmus(slave, plan, t);
        if (auto r = runner.RunSlaveCmds(slave, plan, 0, plan.extrasAt, t, to, stop); !r)
            return r;
        if (plan.mailboxStep == MailboxStep::kBeforeRequest) {
            if (auto r = runner.RunMailbox(slave, plan, t, stop); !r)
                return r;
        }
        if (slave.present) {
            if (auto r = runner.WriteRegisters(slave, plan, t); !r)
                return r;
            if (plan.masterRequests) {
                if (auto r = al.Request(slave, to); !r)
                    return r;
                awaited.push_back({i, slave.status, slave.code});
            }
        }
        if (auto r = runner.RunSlaveCmds(slave, plan, plan.extrasAt, plan.split, t, to, stop); !r)
            return r;
        if (slave.present && !plan.masterRequests &&
            plan.mailboxStep == MailboxStep::kOnceReached && plan.HasMailboxCmds())
            awaited.push_back({i, slave.status, slave.code});
    }
    return {};
}

// Each slave's commands once it shows the state: the rest of its register
// commands, then its mailbox commands that wait for the state.
std::expected<void, Error> StateMachine::Impl::RunReached(eni::Transition t, AlState to,
                                                          const std::vector<SlavePlan>& plans,
                                                          const std::stop_token& stop) {
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        const SlavePlan& plan = plans[i];
        if (auto r =
                runner.RunSlaveCmds(slaves[i], plan, plan.split, plan.cmds.size(), t, to, stop);
            !r)
            return r;
        if (plan.mailboxStep == MailboxStep::kOnceReached) {
            if (auto r = runner.RunMailbox(slaves[i], plan, t, stop); !r)
                return r;
        }
    }
    return {};
}

std::expected<void, Error> StateMachine::Impl::RunTransition(eni::Transition t, AlState from,
                                                             AlState to,
                                                             const std::stop_token& stop) {
    // A slave still showing an error takes no new request until it is
    // acknowledged, and the file's own AL control writes carry no
    // acknowledgement.
    al.AcknowledgeErrors();
    if (clocks.used()) {
        if (to == AlState::kInit || to == AlState::kBoot || t == eni::Transition::kIP)
            clocks.Forget();
        if (t == eni::Transition::kPS) {
            if (!clocks.ready())
                clocks.SetUp(slaves);
            clocks.BeginStart();
        }
        if (t == eni::Transition::kSO)
            clocks.AwaitLock(stop);
    }
    if (auto r = runner.RunMasterCmds(t, true, stop); !r)
        return r;
    std::vector<SlavePlan> plans;
    std::vector<AlWalk::Waiting> awaited;
    if (auto r = RunSlaves(t, to, plans, awaited, stop); !r)
        return r;
    if (auto r = al.WaitFor(awaited, to, Budget(from, to), stop); !r)
        return r;
    if (auto r = RunReached(t, to, plans, stop); !r)
        return r;
    if (auto r = runner.RunMasterCmds(t, false, stop); !r)
        return r;

    // Every slave, whoever asked it, must now show the state.
    std::vector<AlWalk::Waiting> all;
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        if (slaves[i].present)
            all.push_back({i, slaves[i].status, slaves[i].code});
    }
    const auto reachedAll = al.WaitFor(all, to, Budget(from, to), stop);

    // The EEPROM the master handed to the slaves for INIT -> PREOP comes back.
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        if (slaves[i].present && plans[i].eeprom)
            runner.TakeEepromBack(slaves[i]);
    }
    // The clocks are set up once the file's own DC commands of INIT ->
    // PREOP (which clear them) have run.
    if (reachedAll && clocks.used() && t == eni::Transition::kIP)
        clocks.SetUp(slaves);
    return reachedAll;
}

void StateMachine::Impl::Walk(AlState target, std::stop_token stop) {
    al.ReadStatuses();
    const auto steps = Steps(target, al.Lowest(reached), al.Highest(reached));
    for (const auto& [a, b] : steps) {
        if (stop.stop_requested())
            break;
        const auto t = eni::TransitionBetween(a, b);
        if (!t) {
            Log("no transition leads from %s to %s", ecat::AlStateName(a), ecat::AlStateName(b));
            break;
        }
        watcher.Starting(b);
        if (!RunTransition(*t, a, b, stop)) {
            Finish(target, stop, *t);
            return;
        }
        Publish(b);
    }
    Finish(target, stop, std::nullopt);
}

void StateMachine::Impl::Finish(AlState target, const std::stop_token& stop,
                                std::optional<eni::Transition> failed) {
    al.ReadStatuses();
    const AlState now = al.Lowest(reached);
    Publish(now);
    watcher.Settle(now);
    std::lock_guard lock(mutex);
    if (stop.stop_requested()) {
        outcome = WalkOutcome::kCancelled;
    } else if (failed) {
        outcome = WalkOutcome::kFailed;
        Log("network cannot reach %s: %s failed; it stays in %s", ecat::AlStateName(target),
            eni::TransitionText(*failed), ecat::AlStateName(now));
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
    al.ReadStatuses();
    Publish(al.Lowest(reached));
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
    : impl_(std::make_unique<Impl>(exchange, config, slaves, options)) {
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
