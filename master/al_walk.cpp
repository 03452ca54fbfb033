#include "master/al_walk.h"

#include <array>
#include <cstdio>
#include <optional>
#include <thread>

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "master/log.h"

namespace parvane::master {
namespace {

using Clock = std::chrono::steady_clock;
using ecat::AlState;

// AL status read: state and flags (2 bytes), reserved (2), status code (2).
constexpr std::size_t kAlStatusRead = 6;
constexpr unsigned kRegisterRetries = 3;

}  // namespace

AlState SlaveState::state() const {
    return ecat::AlStatus::Decode(status).Known().value_or(AlState::kInit);
}

bool SlaveState::error() const {
    return ecat::AlStatus::Decode(status).error;
}

const char* Label(const SlaveState& slave, std::span<char> out) {
    std::snprintf(out.data(), out.size(), "slave %u (station %u, %s)",
                  static_cast<unsigned>(slave.position), static_cast<unsigned>(slave.station),
                  slave.eni->name.empty() ? "unnamed" : slave.eni->name.c_str());
    return out.data();
}

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

bool SlaveLines::Take() {
    if (shown_ < kShown) {
        ++shown_;
        return true;
    }
    ++more_;
    return false;
}

void SlaveLines::Close(const char* what) const {
    if (more_ > 0)
        Log("... and %zu more slaves %s", more_, what);
}

bool WriteRegister(Exchange& exchange, std::uint16_t station, std::uint16_t ado,
                   std::span<std::uint8_t> data) {
    const auto wkc = exchange.Transact(ecat::Command::kFpwr, ecat::MakeAddress(station, ado), data,
                                       kRegisterRetries);
    return wkc && *wkc == 1;
}

AlWalk::AlWalk(Exchange& exchange, std::vector<SlaveState>& slaves, std::chrono::milliseconds poll)
    : exchange_(exchange), slaves_(slaves), poll_(poll) {}

void AlWalk::ReadSome(std::span<const std::size_t> which, std::vector<bool>& answered,
                      std::span<DatagramRequest> alongside) {
    buffer_.assign(which.size() * kAlStatusRead, 0);
    requests_.assign(which.size(), DatagramRequest{});
    for (std::size_t k = 0; k < which.size(); ++k) {
        requests_[k].command = ecat::Command::kFprd;
        requests_[k].address = ecat::MakeAddress(slaves_[which[k]].station, ecat::reg::kAlStatus);
        requests_[k].data = std::span<std::uint8_t>(&buffer_[k * kAlStatusRead], kAlStatusRead);
    }
    requests_.insert(requests_.end(), alongside.begin(), alongside.end());
    (void)exchange_.Run(requests_);  // unanswered requests keep answered == false
    std::copy(requests_.begin() + static_cast<std::ptrdiff_t>(which.size()), requests_.end(),
              alongside.begin());
    answered.assign(which.size(), false);
    for (std::size_t k = 0; k < which.size(); ++k) {
        if (!requests_[k].answered || requests_[k].wkc != 1)
            continue;
        SlaveState& s = slaves_[which[k]];
        const std::uint8_t* b = &buffer_[k * kAlStatusRead];
        s.status = b[0];
        s.code = ecat::Get16(&b[4]);
        answered[k] = true;
    }
}

void AlWalk::ReadStatuses(std::span<DatagramRequest> alongside) {
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < slaves_.size(); ++i) {
        if (slaves_[i].present)
            which.push_back(i);
    }
    if (which.empty())
        return;
    std::vector<bool> answered;
    ReadSome(which, answered, alongside);
    SlaveLines gone;
    SlaveLines back;
    for (std::size_t k = 0; k < which.size(); ++k) {
        SlaveState& s = slaves_[which[k]];
        char label[160];
        if (!answered[k]) {
            if (s.answering && gone.Take())
                Log("%s no longer answers", Label(s, label));
            s.answering = false;
            continue;
        }
        if (!s.answering && back.Take())
            Log("%s answers again, in %s", Label(s, label), ecat::AlStateName(s.state()));
        s.answering = true;
    }
    gone.Close("no longer answer");
    back.Close("answer again");
}

AlState AlWalk::Lowest(AlState none) const {
    std::optional<AlState> lowest;
    for (const SlaveState& s : slaves_) {
        if (!s.present)
            continue;
        const AlState state = s.answering ? s.state() : AlState::kInit;
        if (!lowest || Rank(state) < Rank(*lowest))
            lowest = state;
    }
    return lowest.value_or(none);
}

AlState AlWalk::Highest(AlState none) const {
    std::optional<AlState> highest;
    for (const SlaveState& s : slaves_) {
        if (!s.present || !s.answering)
            continue;
        if (!highest || Rank(s.state()) > Rank(*highest))
            highest = s.state();
    }
    return highest.value_or(none);
}

std::expected<void, Error> AlWalk::Request(SlaveState& slave, AlState to) {
    std::array<std::uint8_t, 2> value{};
    ecat::Put16(value.data(), ecat::AlControl::Request(to, slave.error()).Encode());
    if (!WriteRegister(exchange_, slave.station, ecat::reg::kAlControl, value)) {
        char label[160];
        Log("%s: requesting %s failed (AL control write not answered)", Label(slave, label),
            ecat::AlStateName(to));
        return std::unexpected(Error{Errc::kNoReply});
    }
    return {};
}

void AlWalk::Acknowledge(SlaveState& s) {
    std::array<std::uint8_t, 2> value{};
    // The state bits as the slave shows them, whatever they name.
    ecat::Put16(value.data(),
                ecat::AlControl{ecat::AlStatus::Decode(s.status).state, true, false}.Encode());
    if (!WriteRegister(exchange_, s.station, ecat::reg::kAlControl, value)) {
        char label[160];
        Log("%s: acknowledging its AL error failed", Label(s, label));
    }
    s.errorLogged = true;
}

void AlWalk::AcknowledgeErrors() {
    for (SlaveState& slave : slaves_) {
        if (slave.present && slave.answering && slave.error())
            Acknowledge(slave);
    }
}

void AlWalk::ExplainFailure(SlaveState& slave, AlState to) {
    if (!slave.present)
        return;
    ReadStatuses();
    if (slave.answering && slave.error()) {
        SlaveLines lines;
        LogRefusal(slave, to, lines);
        Acknowledge(slave);
    }
}

void AlWalk::LogRefusal(const SlaveState& s, AlState wanted, SlaveLines& lines) {
    if (!lines.Take())
        return;
    char label[160];
    Log("%s refused %s: AL status code 0x%04X (%s); it stays in %s", Label(s, label),
        ecat::AlStateName(wanted), static_cast<unsigned>(s.code), ecat::AlStatusCodeText(s.code),
        ecat::AlStateName(s.state()));
}

void AlWalk::LogLate(std::span<const Waiting> waiting, AlState to,
                     std::chrono::milliseconds budget) {
    SlaveLines late;
    for (const Waiting& w : waiting) {
        const SlaveState& s = slaves_[w.slave];
        if (!late.Take())
            continue;
        char label[160];
        Log("%s did not reach %s within %lld ms; it shows %s (AL status 0x%02X, code 0x%04X: %s)",
            Label(s, label), ecat::AlStateName(to), static_cast<long long>(budget.count()),
            ecat::AlStateName(s.state()), static_cast<unsigned>(s.status),
            static_cast<unsigned>(s.code), ecat::AlStatusCodeText(s.code));
    }
    late.Close("did not reach it either");
}

std::expected<void, Error> AlWalk::WaitFor(std::vector<Waiting>& waiting, AlState to,
                                           std::chrono::milliseconds budget,
                                           const std::stop_token& stop) {
    const Clock::time_point deadline = Clock::now() + budget;
    SlaveLines refusals;
    std::vector<std::size_t> which;
    std::vector<bool> answered;
    while (!waiting.empty()) {
        which.clear();
        for (const Waiting& w : waiting)
            which.push_back(w.slave);
        ReadSome(which, answered);
        bool refused = false;
        std::vector<Waiting> still;
        for (std::size_t k = 0; k < waiting.size(); ++k) {
            SlaveState& s = slaves_[waiting[k].slave];
            if (!answered[k]) {
                still.push_back(waiting[k]);
                continue;
            }
            s.answering = true;
            // An error shown unchanged since before the request is the old
            // one, not yet cleared by the acknowledgement.
            const bool oldError =
                s.error() && s.status == waiting[k].statusBefore && s.code == waiting[k].codeBefore;
            if (s.error() && !oldError) {
                LogRefusal(s, to, refusals);
                Acknowledge(s);
                refused = true;
            } else if (!s.error() && s.state() == to) {
                s.errorLogged = false;
            } else {
                still.push_back(waiting[k]);
            }
        }
        waiting.swap(still);
        if (refused) {
            refusals.Close("refused it");
            return std::unexpected(Error{Errc::kRefused});
        }
        if (waiting.empty() || Clock::now() >= deadline || stop.stop_requested())
            break;
        std::this_thread::sleep_for(poll_);
    }
    if (waiting.empty())
        return {};
    if (stop.stop_requested())
        return std::unexpected(Error{Errc::kCancelled});
    LogLate(waiting, to, budget);
    return std::unexpected(Error{Errc::kTimeout});
}

}  // namespace parvane::master
