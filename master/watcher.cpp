#include "master/watcher.h"

#include "ecat/registers.h"
#include "master/log.h"

namespace parvane::master {

using ecat::AlState;

Watcher::Watcher(AlWalk& al, std::vector<SlaveState>& slaves, CyclicProcessData& cyclic)
    : al_(al), slaves_(slaves), cyclic_(cyclic) {}

void Watcher::Look() {
    // In SAFEOP and OP each clock's time difference goes in the frames of
    // the AL status reads.
    const bool clocked = Clocked();
    if (clocked)
        PrepareDifferenceReads(*line_, reads_);
    al_.ReadStatuses(clocked ? std::span<DatagramRequest>(reads_.requests)
                             : std::span<DatagramRequest>());
    SlaveLines errors;
    for (SlaveState& s : slaves_) {
        if (!s.present || !s.answering)
            continue;
        if (s.error() && !s.errorLogged && errors.Take()) {
            char label[160];
            Log("%s is in %s with AL status code 0x%04X (%s)", Label(s, label),
                ecat::AlStateName(s.state()), static_cast<unsigned>(s.code),
                ecat::AlStatusCodeText(s.code));
        }
        s.errorLogged = s.error();
    }
    errors.Close("show an AL error");
    if (clocked)
        TakeDifferences(*line_, reads_);
}

void Watcher::WatchClocks(Exchange* exchange, DcLine* line) {
    exchange_ = exchange;
    line_ = line;
}

bool Watcher::Clocked() const {
    return resting_ && exchange_ && line_ && line_->any() && Rank(state_) >= Rank(AlState::kSafeOp);
}

void Watcher::Starting(AlState to) {
    resting_ = false;
    if (Rank(to) >= Rank(AlState::kSafeOp))
        cyclic_.Start(to);
    else
        cyclic_.Check(false);
}

void Watcher::Settle(AlState state) {
    resting_ = true;
    state_ = state;
    if (Clocked()) {
        ReadDifferences(*exchange_, *line_);
        LogLargestDifference(*line_);
    }
    if (Rank(state) >= Rank(AlState::kSafeOp)) {
        cyclic_.Start(state);
        cyclic_.Check(true);  // the network is in the state: counters must match Cnt
    } else {
        cyclic_.Stop();
    }
}

}  // namespace parvane::master
