// The cyclic process data: the ENI's cyclic frames, sent every cycle time in
// a thread of their own (SCHED_FIFO where the system allows it), with the
// commands whose State lists the master's state. Outputs are zero. Working
// counters are checked against Cnt once the network is in the state; a
// command whose counter drops is logged once, and its recovery once. No
// allocation per cycle: the datagrams and their buffers are laid out when
// the master's state changes.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
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

// The reference clock the cycle follows: the datagram that carries its
// system time every cycle (the ENI's ARMW/FRMW of 0x0910, or an FRMW the
// master adds to the fastest task), and where the frame should pass it.
struct CycleClock {
    std::uint16_t referenceStation = 0;
    std::uint32_t cycleNs = 0;        // the SYNC0 cycle
    std::int64_t phaseNs = 0;         // after the grid point
    std::uint64_t referenceTime = 0;  // a recent reading, to extend 32-bit ones
};

class PhaseLock;

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
    // From the next Start on, the cycle follows the reference clock (or,
    // with nothing, no longer does).
    void FollowClock(std::optional<CycleClock> clock);

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
    void LayoutClock();  // under mutex_
    void TakeClock(const DatagramRequest& request);

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

    // The clock the cycle follows, and the datagram of it in tasks_.
    std::optional<CycleClock> pendingClock_;  // under mutex_
    bool clockPending_ = false;               // under mutex_
    std::optional<CycleClock> clock_;
    std::unique_ptr<PhaseLock> phase_;
    std::size_t clockTask_ = 0;
    std::optional<std::size_t> clockRequest_;
    std::array<std::uint8_t, 8> clockBuffer_{};  // the master's own FRMW
    std::int64_t correction_ = 0;                // ns to move the next wake-up

    std::jthread thread_;
};

}  // namespace parvane::master
