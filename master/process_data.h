// The cyclic process data: the ENI's cyclic frames, sent every cycle time in
// a thread of their own (SCHED_FIFO where the system allows it), with the
// commands whose State lists the master's state. Outputs are zero. Working
// counters are checked against Cnt once the network is in the state; a
// command whose counter drops is logged once, and its recovery once. No
// allocation per cycle: the datagrams and their buffers are laid out when
// the master's state changes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "ecat/al_state.h"
#include "eni/model.h"
#include "master/exchange.h"

namespace parvane::master {

struct CyclicCounters {
    std::uint64_t cycles = 0;
    std::uint64_t framesLost = 0;     // cycles whose frames did not all come back
    std::uint64_t wkcMismatches = 0;  // cycles with a checked working counter off
};

struct CyclicOptions {
    bool realtime = true;  // ask for SCHED_FIFO
    int priority = 50;
};

class CyclicProcessData {
  public:
    // `exchange` and `config` must outlive it. Nothing runs until Start.
    CyclicProcessData(Exchange& exchange, const eni::NetworkConfig& config,
                      CyclicOptions options = {});
    ~CyclicProcessData();  // stops and joins

    CyclicProcessData(const CyclicProcessData&) = delete;
    CyclicProcessData& operator=(const CyclicProcessData&) = delete;

    // Sends the commands of `masterState` from now on (starting the thread
    // the first time). Working counters are not checked until Check(true).
    void Start(ecat::AlState masterState);
    // Checks working counters against Cnt (the network is in the state) or
    // stops checking (a change is under way).
    void Check(bool on);
    // Stops sending and joins the thread.
    void Stop();

    bool running() const;
    CyclicCounters counters() const;
    // The cycle time of the fastest task (1 ms when the ENI gives none).
    std::chrono::microseconds cycleTime() const { return cycle_; }

  private:
    struct Task;  // one Cyclic element: its period and its commands' buffers
    void Loop(std::stop_token stop);
    void Layout(ecat::AlState state);  // under mutex_
    void RunCycle(std::uint64_t cycle);
    void CheckCounters(Task& task);

    Exchange& exchange_;
    const eni::NetworkConfig& config_;
    CyclicOptions options_;
    std::chrono::microseconds cycle_{1000};

    mutable std::mutex mutex_;  // guards the layout against Start from another thread
    std::vector<Task> tasks_;
    ecat::AlState state_ = ecat::AlState::kInit;
    std::atomic<bool> check_{false};
    std::atomic<bool> relayout_{false};
    ecat::AlState pendingState_ = ecat::AlState::kInit;

    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> framesLost_{0};
    std::atomic<std::uint64_t> wkcMismatches_{0};

    std::jthread thread_;
};

}  // namespace parvane::master
