#include "master/dc_clocks.h"

#include <cstdlib>
#include <thread>
#include <vector>

#include "master/dc_start_time.h"
#include "master/log.h"

namespace parvane::master {

DcClocks::DcClocks(Exchange& exchange, const eni::NetworkConfig& config, const DcOptions& options,
                   CyclicProcessData& cyclic, Watcher& watcher)
    : exchange_(exchange),
      config_(config),
      options_(options),
      cyclic_(cyclic),
      watcher_(watcher),
      used_(EniUsesDc(config)) {}

void DcClocks::Forget() {
    watcher_.WatchClocks(nullptr, nullptr);
    cyclic_.FollowClock(std::nullopt);
    line_.reset();
}

void DcClocks::SetUp(std::span<const SlaveState> slaves) {
    Forget();
    std::vector<std::uint16_t> stations;
    for (const SlaveState& s : slaves) {
        if (s.present)
            stations.push_back(s.station);
    }
    auto line = SetUpDc(exchange_, config_, stations, options_);
    if (!line) {
        Log("DC: the set-up of the clocks failed (%s); the slaves run without them",
            ErrorText(line.error()));
        return;
    }
    line_ = std::move(*line);
    if (!line_->any())
        return;
    const std::size_t ref = line_->reference;
    std::uint32_t cycle = ref < config_.slaves.size() ? SyncCycle(config_.slaves[ref]) : 0;
    if (cycle == 0)
        cycle = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(cyclic_.cycleTime()).count());
    CycleClock clock;
    clock.referenceStation = line_->referenceStation;
    clock.cycleNs = cycle;
    clock.phaseNs = options_.framePhase ? options_.framePhase->count() : cycle / 2;
    clock.referenceTime = ReadReferenceTime(exchange_, *line_).value_or(MasterTimeNs());
    cyclic_.FollowClock(clock);
    watcher_.WatchClocks(&exchange_, &*line_);
}

void DcClocks::AwaitLock(const std::stop_token& stop) {
    if (!line_ || !line_->any())
        return;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    // A copy, so the watcher's own reads of the line stay its own.
    DcLine line = *line_;
    const auto limit = options_.differenceLimit.count();
    for (;;) {
        ReadDifferences(exchange_, line);
        bool locked = true;
        for (std::size_t i = line.reference; i < line.slaves.size(); ++i) {
            const DcSlave& s = line.slaves[i];
            if (s.dc && (!s.differenceRead || std::llabs(s.differenceNs) > limit))
                locked = false;
        }
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        if (locked) {
            Log("DC: every clock follows the reference within %lld ns after %lld ms",
                static_cast<long long>(limit), static_cast<long long>(waited.count()));
            return;
        }
        if (waited >= options_.lockTimeout || stop.stop_requested()) {
            Log("DC: not every clock follows the reference within %lld ns after %lld ms; OP is "
                "asked all the same",
                static_cast<long long>(limit), static_cast<long long>(waited.count()));
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void DcClocks::BeginStart() {
    base_.reset();
    startLogged_ = false;
}

// The reference's time plus the margin, read once per transition; read
// again only when the transition has used up half the margin, so that a
// long transition still starts every slave in the future (on the same grid).
std::optional<std::uint64_t> DcClocks::StartBase() {
    const auto now = std::chrono::steady_clock::now();
    if (base_ && now - baseRead_ < options_.startMargin / 2)
        return base_;
    auto ref = ReadReferenceTime(exchange_, *line_);
    if (!ref) {
        Log("DC: the reference clock's time could not be read (%s)", ErrorText(ref.error()));
        return std::nullopt;
    }
    base_ = *ref +
            static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(options_.startMargin).count());
    baseRead_ = now;
    return base_;
}

void DcClocks::Apply(SlavePlan& plan, const SlaveState& slave, eni::Transition t) {
    if (!line_ || !line_->any() || !slave.present || !PlanTakesStartTime(plan, *slave.eni, t))
        return;
    const auto base = options_.startTimeAsFile ? std::optional<std::uint64_t>(0) : StartBase();
    if (!base)
        return;
    const std::uint64_t start = ApplyStartTime(plan, *slave.eni, *base, options_.startTimeAsFile);
    char label[160];
    if (options_.startTimeAsFile) {
        if (!startLogged_)
            Log("DC: start times written as the file gives them (zeros), as asked");
    } else {
        Log("DC: %s: first SYNC0 at %llu ns%s", Label(slave, label),
            static_cast<unsigned long long>(start),
            NeedsMasterDcWrites(*slave.eni) ? " (sync unit written by the master)" : "");
    }
    startLogged_ = true;
}

}  // namespace parvane::master
