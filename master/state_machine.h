// The network's AL state machine. A request returns at once; the master's own
// thread walks the network there one transition at a time (INIT -> OP goes
// through IP, PS and SO; OP -> INIT is the one transition OI). Each
// transition runs the ENI's commands for it: the master's BeforeSlave
// commands, then each slave's register commands in file order and its
// mailbox commands, then the remaining master commands. A slave's mailbox
// commands of INIT -> PREOP (and BOOT) run once it shows the new state, after
// its register commands; those of every other transition run while it is
// still in the old state, before the write to AL control that requests the
// new one. The master writes AL control itself only for a slave whose
// commands do not, and confirms the state every slave reached by reading AL
// status. The cyclic process data runs from the SAFEOP request on.
//
// The parts: transition_plan.h plans each slave's transition from the ENI,
// plan_runner.h runs the plans' commands, al_walk.h requests the states and
// waits for them, watcher.h watches the resting network and hands the
// process data its state. This class walks them one transition at a time
// in a thread of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "ecat/al_state.h"
#include "eni/model.h"
#include "master/dc_setup.h"
#include "master/exchange.h"

namespace parvane::master {

// A slave as bring-up found it, in ring order. The ENI slave at the same
// position is the one the master configures it as.
struct FoundSlave {
    std::uint16_t position = 0;
    std::uint16_t stationAddress = 0;  // the address bring-up gave it
};

struct StateMachineOptions {
    // Between AL status reads while the master waits for a state.
    std::chrono::milliseconds statusPoll{1};
    // Between AL status reads while no change is under way (a slave falling
    // back or leaving the segment shows in reached() within this time).
    std::chrono::milliseconds monitorPeriod{100};
    // Ask for SCHED_FIFO for the cyclic process data thread.
    bool realtimeCycle = true;
    // Budgets for a slave to reach a state after it was requested.
    std::chrono::milliseconds initToPreOp{3000};
    std::chrono::milliseconds preOpToSafeOp{10000};
    std::chrono::milliseconds safeOpToOp{10000};
    std::chrono::milliseconds toInit{5000};
    std::chrono::milliseconds otherDown{5000};  // SP, OP (OP -> PREOP), OS
    // Distributed clocks, for an ENI that uses them: set up at the end of
    // INIT -> PREOP (after the file's own DC commands of it), started in
    // PREOP -> SAFEOP, followed by the cycle and watched from SAFEOP on.
    DcOptions dc;
};

// What the last finished walk did.
enum class WalkOutcome : std::uint8_t {
    kNone,       // no walk yet
    kReached,    // the requested state was reached
    kFailed,     // a command failed or a slave refused; reached() tells where it stopped
    kCancelled,  // a newer request or the shutdown ended it
};

class StateMachine {
  public:
    // `exchange` and `config` must outlive the state machine. The walk and
    // the monitoring run in a thread of its own, started here.
    StateMachine(Exchange& exchange, const eni::NetworkConfig& config,
                 std::vector<FoundSlave> slaves, StateMachineOptions options = {});
    // Ends any walk at its next wait, stops the cyclic process data and joins
    // both threads.
    ~StateMachine();

    StateMachine(const StateMachine&) = delete;
    StateMachine& operator=(const StateMachine&) = delete;

    // Starts a change of the whole network to `target` and returns at once.
    // A request for the state already requested is ignored while its walk
    // runs, after it failed (so a caller that repeats its request does not
    // repeat the failure), and once it is reached and every slave still
    // shows it. A different target ends the running walk at its next step
    // and walks from where the network is.
    void Request(ecat::AlState target);

    ecat::AlState requested() const;
    // The state the network is in: the lowest state its slaves show in AL
    // status. While a walk runs this stays at the last state every slave
    // confirmed, so a caller never sees the target before all slaves are in
    // it.
    ecat::AlState reached() const;

    bool busy() const;  // a walk is under way
    WalkOutcome lastOutcome() const;

    // Waits until no walk is under way; false when the deadline passed first.
    bool WaitIdle(std::chrono::steady_clock::time_point deadline) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace parvane::master
