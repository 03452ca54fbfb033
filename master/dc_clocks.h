// Distributed clocks in the state machine's walk: the set-up at the end of
// INIT -> PREOP (or at the start of PREOP -> SAFEOP when the walk begins in
// PREOP), the start times put into the PREOP -> SAFEOP plans, and the line
// handed to the cyclic process data (which follows the reference clock) and
// to the watcher (which reads the slaves' time differences).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>

#include "eni/model.h"
#include "master/al_walk.h"
#include "master/dc_setup.h"
#include "master/exchange.h"
#include "master/process_data.h"
#include "master/transition_plan.h"
#include "master/watcher.h"

namespace parvane::master {

class DcClocks {
  public:
    // All must outlive it.
    DcClocks(Exchange& exchange, const eni::NetworkConfig& config, const DcOptions& options,
             CyclicProcessData& cyclic, Watcher& watcher);

    bool used() const { return used_; }  // the ENI uses distributed clocks
    bool ready() const { return line_.has_value(); }
    // The clocks must be set up again (the slaves went through INIT).
    void Forget();
    // Sets the clocks of the present slaves up and hands the line on.
    void SetUp(std::span<const SlaveState> slaves);
    // A PREOP -> SAFEOP transition starts: its start time is read afresh.
    void BeginStart();
    // SAFEOP -> OP starts: waits, bounded, until every clock from the
    // reference on follows it within the limit.
    void AwaitLock(const std::stop_token& stop);
    // Puts the start time into the slave's plan of `t` where it takes one.
    void Apply(SlavePlan& plan, const SlaveState& slave, eni::Transition t);

  private:
    std::optional<std::uint64_t> StartBase();

    Exchange& exchange_;
    const eni::NetworkConfig& config_;
    DcOptions options_;
    CyclicProcessData& cyclic_;
    Watcher& watcher_;
    bool used_ = false;
    std::optional<DcLine> line_;
    // The base of this transition's start times, and when it was read.
    std::optional<std::uint64_t> base_;
    std::chrono::steady_clock::time_point baseRead_{};
    bool startLogged_ = false;
};

}  // namespace parvane::master
