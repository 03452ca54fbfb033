#include "master/process_data.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

#include "common/unique_fd.h"
#include "ecat/registers.h"
#include "master/dc_phase.h"
#include "master/init_commands.h"
#include "master/log.h"

namespace parvane::master {
namespace {

constexpr std::chrono::microseconds kDefaultCycle{1000};

bool CarriesOutputs(ecat::Command command) {
    return command == ecat::Command::kLwr || command == ecat::Command::kLrw;
}

timespec ToTimespec(std::chrono::nanoseconds t) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t.count() / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(t.count() % 1'000'000'000);
    return ts;
}

std::chrono::nanoseconds Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// Keeps every CPU out of idle states that take time to leave, for as long as
// the descriptor stays open: the kernel's CPU latency request, at 0 µs. A
// cycle that wakes a CPU from halt wakes late, and on a virtual machine a
// halted vCPU may wait for its host for a millisecond or more. Idle CPUs
// poll instead, which costs power (a VM's host: CPU time), not latency.
// Root only (the file is 0600): else the cycle runs as before, logged once.
common::UniqueFd HoldCpusAwake() {
    common::UniqueFd fd(::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC));
    const std::int32_t latencyUs = 0;
    int error = errno;
    if (fd.valid()) {
        if (::write(fd.get(), &latencyUs, sizeof latencyUs) == sizeof latencyUs)
            return fd;
        error = errno;
        fd.reset();
    }
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
        Log("process data lets the CPUs idle deeply: /dev/cpu_dma_latency %s (%s)",
            error == EACCES || error == EPERM ? "is not permitted" : "failed",
            std::strerror(error));
    }
    return fd;
}

bool WritesSystemTime(const eni::Datagram& d) {
    return !d.logical && d.ado == ecat::reg::kDcSystemTime &&
           (d.command == ecat::Command::kApwr || d.command == ecat::Command::kFpwr ||
            d.command == ecat::Command::kBwr);
}

}  // namespace

// One Cyclic element of the ENI: how many base cycles make its period, and
// for the current state its commands with a buffer each, laid out once.
struct CyclicProcessData::Task {
    // What was logged about one command; kept while the thread runs, so a
    // change of state does not repeat it.
    struct Watch {
        bool off = false;        // its working counter is off Cnt (logged)
        bool seenRight = false;  // it has matched Cnt
    };
    struct Entry {
        const eni::CyclicCmd* cmd = nullptr;
        bool outputs = false;  // its data is the outputs (sent as zeros)
        Watch* watch = nullptr;
    };

    const eni::Cyclic* cyclic = nullptr;
    std::uint64_t every = 1;     // base cycles per period
    std::vector<Watch> watches;  // one per command of the task, in file order
    std::vector<Entry> entries;
    std::vector<std::uint8_t> buffer;  // every entry's data, back to back
    std::vector<DatagramRequest> requests;
    bool lost = false;  // the last cycle's frames did not all come back (logged)
};

CyclicProcessData::CyclicProcessData(Exchange& exchange, const eni::NetworkConfig& config,
                                     CyclicOptions options)
    : exchange_(exchange), config_(config), options_(options) {
    std::chrono::microseconds fastest{0};
    for (const eni::Cyclic& cyclic : config_.cyclic) {
        const std::chrono::microseconds period =
            cyclic.cycleTimeUs > 0 ? std::chrono::microseconds(cyclic.cycleTimeUs) : kDefaultCycle;
        if (fastest.count() == 0 || period < fastest)
            fastest = period;
    }
    cycle_ = fastest.count() > 0 ? fastest : kDefaultCycle;
    for (const eni::Cyclic& cyclic : config_.cyclic) {
        Task task;
        task.cyclic = &cyclic;
        const std::chrono::microseconds period =
            cyclic.cycleTimeUs > 0 ? std::chrono::microseconds(cyclic.cycleTimeUs) : kDefaultCycle;
        task.every = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(period / cycle_));
        std::size_t commands = 0;
        for (const eni::CyclicFrame& frame : cyclic.frames)
            commands += frame.cmds.size();
        task.watches.resize(commands);
        tasks_.push_back(std::move(task));
    }
}

CyclicProcessData::~CyclicProcessData() {
    Stop();
}

void CyclicProcessData::Start(ecat::AlState masterState) {
    std::lock_guard lock(mutex_);
    pendingState_ = masterState;
    relayout_ = true;
    check_ = false;
    if (!thread_.joinable())
        thread_ = std::jthread([this](std::stop_token stop) { Loop(stop); });
}

void CyclicProcessData::Check(bool on) {
    check_ = on;
}

void CyclicProcessData::Stop() {
    std::jthread thread;
    {
        std::lock_guard lock(mutex_);
        thread = std::move(thread_);
    }
    if (thread.joinable()) {
        thread.request_stop();
        thread.join();
    }
    // Whatever was said about the last run may be said again on the next.
    for (Task& task : tasks_)
        std::fill(task.watches.begin(), task.watches.end(), Task::Watch{});
    check_ = false;
}

void CyclicProcessData::FollowClock(std::optional<CycleClock> clock) {
    std::lock_guard lock(mutex_);
    pendingClock_ = clock;
    clockPending_ = true;
}

bool CyclicProcessData::running() const {
    std::lock_guard lock(mutex_);
    return thread_.joinable();
}

CyclicCounters CyclicProcessData::counters() const {
    return CyclicCounters{cycles_.load(), framesLost_.load(), wkcMismatches_.load()};
}

void CyclicProcessData::Layout(ecat::AlState state) {
    state_ = state;
    if (clockPending_) {
        clock_ = pendingClock_;
        clockPending_ = false;
        phase_ = clock_ ? std::make_unique<PhaseLock>(clock_->cycleNs, clock_->phaseNs) : nullptr;
    }
    for (Task& task : tasks_) {
        task.entries.clear();
        task.requests.clear();
        task.lost = false;
        std::size_t bytes = 0;
        std::size_t index = 0;
        for (const eni::CyclicFrame& frame : task.cyclic->frames) {
            for (const eni::CyclicCmd& cmd : frame.cmds) {
                Task::Watch* watch = &task.watches[index++];
                // A command that names no state runs in all of them.
                if (cmd.states != 0 && !cmd.RunsIn(state))
                    continue;
                if (cmd.datagram.data.size() > ecat::kMaxDatagramData)
                    continue;
                // The master follows the reference clock: the file's write of
                // the master's time to it (bus shift) would pull it away.
                if (clock_ && WritesSystemTime(cmd.datagram))
                    continue;
                task.entries.push_back({&cmd, CarriesOutputs(cmd.datagram.command), watch});
                bytes += cmd.datagram.data.size();
            }
        }
        task.buffer.assign(bytes, 0);
        std::size_t at = 0;
        for (const Task::Entry& entry : task.entries) {
            const std::size_t n = entry.cmd->datagram.data.size();
            DatagramRequest request;
            request.command = entry.cmd->datagram.command;
            request.address = entry.cmd->datagram.address();
            request.data = std::span<std::uint8_t>(task.buffer.data() + at, n);
            task.requests.push_back(request);
            at += n;
        }
    }
    LayoutClock();
}

// The file's own distribution of the reference's time when its frames carry
// one, else an FRMW of the master's at the end of the fastest task.
void CyclicProcessData::LayoutClock() {
    clockRequest_.reset();
    if (!clock_)
        return;
    for (std::size_t t = 0; t < tasks_.size(); ++t) {
        for (std::size_t i = 0; i < tasks_[t].entries.size(); ++i) {
            const eni::Datagram& d = tasks_[t].entries[i].cmd->datagram;
            if (!d.logical && d.ado == ecat::reg::kDcSystemTime && d.data.size() >= 4 &&
                (d.command == ecat::Command::kArmw || d.command == ecat::Command::kFrmw)) {
                clockTask_ = t;
                clockRequest_ = i;
                return;
            }
        }
    }
    for (std::size_t t = 0; t < tasks_.size(); ++t) {
        Task& task = tasks_[t];
        if (task.every != 1 || task.requests.empty())
            continue;
        DatagramRequest request;
        request.command = ecat::Command::kFrmw;
        request.address = ecat::MakeAddress(clock_->referenceStation, ecat::reg::kDcSystemTime);
        request.data = clockBuffer_;
        task.requests.push_back(request);
        clockTask_ = t;
        clockRequest_ = task.requests.size() - 1;
        return;
    }
}

// A lost or unanswered distribution never feeds the loop a stale time.
void CyclicProcessData::TakeClock(const DatagramRequest& request) {
    if (!request.answered || request.wkc == 0 || !phase_)
        return;
    const std::uint8_t* b = request.data.data();
    const std::uint64_t t = request.data.size() >= 8
                                ? ecat::Get64(b)
                                : ExtendTime(clock_->referenceTime, ecat::Get32(b));
    clock_->referenceTime = t;
    correction_ += phase_->Update(t);
    if (const auto f = phase_->TakeFigures()) {
        Log("DC: the cyclic frame keeps its phase to SYNC0: %lld ns off the target %lld ns on "
            "average, spread %lld ns, worst %lld ns over %u cycles, 99%% within %lld ns of the "
            "average",
            static_cast<long long>(f->meanNs), static_cast<long long>(clock_->phaseNs),
            static_cast<long long>(f->spreadNs), static_cast<long long>(f->worstNs), f->samples,
            static_cast<long long>(f->p99Ns));
    }
}

void CyclicProcessData::Loop(std::stop_token stop) {
    common::UniqueFd awake;
    if (options_.realtime) {
        awake = HoldCpusAwake();
        sched_param param{};
        param.sched_priority = options_.priority;
        const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        // Said once per process: the answer does not change between starts.
        static std::atomic<bool> said{false};
        if (error != 0 && !said.exchange(true)) {
            Log("process data runs without real-time priority: SCHED_FIFO %s (%s)",
                error == EPERM ? "is not permitted" : "failed", std::strerror(error));
        }
    }
    const std::chrono::nanoseconds cycle = cycle_;
    std::chrono::nanoseconds next = Now();
    std::uint64_t cycle_number = 0;
    bool reserved = false;  // the link is kept clear for the next cycle
    while (!stop.stop_requested()) {
        if (relayout_.exchange(false)) {
            std::lock_guard lock(mutex_);
            Layout(pendingState_);
        }
        RunCycle(cycle_number++);
        ++cycles_;
        if (reserved)
            exchange_.Release();

        // A correction moves the wake-up by half a cycle at most, so no
        // cycle is ever stretched long enough for the slaves' watchdogs.
        const auto half = cycle.count() / 2;
        next +=
            cycle + std::chrono::nanoseconds(std::clamp<std::int64_t>(correction_, -half, half));
        correction_ = 0;
        const std::chrono::nanoseconds now = Now();
        // Overran by more than a cycle: the cycles missed are skipped, no
        // burst, and the wake-ups stay on their grid (its phase to SYNC0).
        if (now > next + cycle)
            next += (now - next) / cycle * cycle;
        // A cycle that follows the reference's clock keeps the link clear
        // for its frame, so that no other frame on the wire delays it.
        reserved = phase_ != nullptr;
        if (reserved)
            exchange_.Reserve(ecat::Link::Clock::time_point(next), cycle / 2);
        const timespec until = ToTimespec(next);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }
    if (reserved)
        exchange_.Release();
}

void CyclicProcessData::RunCycle(std::uint64_t cycle) {
    for (Task& task : tasks_) {
        if (task.requests.empty() || cycle % task.every != 0)
            continue;
        std::size_t at = 0;
        for (std::size_t i = 0; i < task.entries.size(); ++i) {
            const eni::Datagram& d = task.entries[i].cmd->datagram;
            std::uint8_t* data = task.buffer.data() + at;
            if (task.entries[i].outputs)
                std::memset(data, 0, d.data.size());
            else
                std::copy(d.data.begin(), d.data.end(), data);
            task.requests[i].wkc = 0;
            task.requests[i].answered = false;
            at += d.data.size();
        }
        for (std::size_t i = task.entries.size(); i < task.requests.size(); ++i) {
            std::fill(task.requests[i].data.begin(), task.requests[i].data.end(), 0);
            task.requests[i].wkc = 0;
            task.requests[i].answered = false;
        }
        const auto result = exchange_.Run(task.requests, 0);
        if (clockRequest_ && &task == &tasks_[clockTask_])
            TakeClock(task.requests[*clockRequest_]);
        if (!result) {
            ++framesLost_;
            if (check_ && !task.lost) {
                Log("process data: the cyclic frames of the %u us task did not come back (%s)",
                    static_cast<unsigned>(task.cyclic->cycleTimeUs), ErrorText(result.error()));
                task.lost = true;
            }
            continue;
        }
        if (task.lost) {
            Log("process data: the cyclic frames of the %u us task come back again",
                static_cast<unsigned>(task.cyclic->cycleTimeUs));
            task.lost = false;
        }
        CheckCounters(task);
    }
}

void CyclicProcessData::CheckCounters(Task& task) {
    const bool checking = check_;
    bool mismatch = false;
    for (std::size_t i = 0; i < task.entries.size(); ++i) {
        Task::Entry& entry = task.entries[i];
        const eni::Datagram& d = entry.cmd->datagram;
        if (!d.expectedWkc)
            continue;
        const std::uint16_t wkc = task.requests[i].wkc;
        const bool ok = wkc == *d.expectedWkc;
        if (!ok && checking)
            mismatch = true;
        if (ok && checking)
            entry.watch->seenRight = true;
        if (!ok && checking && !entry.watch->off) {
            char what[160];
            Log("process data: %s answered with working counter %u, expected %u: %s (state %s)",
                DescribeDatagram(d, entry.cmd->comment, what), static_cast<unsigned>(wkc),
                static_cast<unsigned>(*d.expectedWkc),
                entry.watch->seenRight ? "a slave stopped exchanging process data"
                                       : "the slaves do not exchange this data as the ENI counts",
                ecat::AlStateName(state_));
            entry.watch->off = true;
        } else if (ok && entry.watch->off) {
            char what[160];
            Log("process data: %s answers with working counter %u again",
                DescribeDatagram(d, entry.cmd->comment, what), static_cast<unsigned>(wkc));
            entry.watch->off = false;
        }
    }
    if (mismatch)
        ++wkcMismatches_;
}

}  // namespace parvane::master
