// Watches the slaves while no change is under way (a slave that leaves the
// segment, comes back or shows an AL error is logged once), and hands the
// cyclic process data the state the network walks to or rests in.
#pragma once

#include <vector>

#include "ecat/al_state.h"
#include "master/al_walk.h"
#include "master/dc_setup.h"
#include "master/process_data.h"

namespace parvane::master {

class Watcher {
  public:
    // All must outlive the watcher.
    Watcher(AlWalk& al, std::vector<SlaveState>& slaves, CyclicProcessData& cyclic);

    // Reads every slave's AL status and logs what changed.
    void Look();

    // A transition to `to` starts: from the SAFEOP request on the outputs
    // flow, so the slaves' watchdogs never starve while the rest of the walk
    // runs; below it the working counters are not checked meanwhile.
    void Starting(ecat::AlState to);
    // The network rests in `state`: the process data of SAFEOP and OP runs
    // with its working counters checked, below SAFEOP none runs.
    void Settle(ecat::AlState state);
    // The line's clocks are watched in SAFEOP and OP (nullptr: no longer).
    void WatchClocks(Exchange* exchange, DcLine* line);

  private:
    bool Clocked() const;  // the clocks are watched now

    Exchange* exchange_ = nullptr;
    DcLine* line_ = nullptr;
    DifferenceReads reads_;  // laid out again each look, allocated once
    bool resting_ = false;
    ecat::AlState state_ = ecat::AlState::kInit;
    AlWalk& al_;
    std::vector<SlaveState>& slaves_;
    CyclicProcessData& cyclic_;
};

}  // namespace parvane::master
