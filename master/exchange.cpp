#include "master/exchange.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "master/reply_match.h"

namespace parvane::master {
namespace {

// Frames of one call in flight at once: enough to keep a wire busy while
// replies come back, few enough that indexes never repeat among them.
constexpr std::size_t kWindow = 8;
// Replies longer than any frame we send are cut, and then fail to match.
constexpr std::size_t kReceiveBufferSize = 2048;
// What a window is taken to last before one has been timed.
constexpr std::chrono::microseconds kFirstWindowGuess{100};

}  // namespace

// Everything a call needs, allocated once: the frames of a window as sent
// (kept so that replies can be checked against them), the receive buffer,
// the next index and the counters. One call at a time holds the lock while
// its window is on the wire; other threads' calls interleave between
// windows.
struct Exchange::State {
    struct Slot {
        std::array<std::uint8_t, ecat::kMaxFrameSize> bytes{};
        ecat::ParsedFrame sent;
        std::size_t first = 0;  // requests [first, last)
        std::size_t last = 0;
        std::uint8_t index = 0;
        bool pending = false;
    };

    std::mutex mutex;
    std::condition_variable released;  // a reservation moved or ended
    std::optional<ecat::Link::Clock::time_point> reservedAt;
    std::thread::id owner;
    std::chrono::nanoseconds most{0};
    // The slowest recent window, from send to its last reply; it decays by
    // a sixteenth a window, so one slow moment is forgotten.
    std::chrono::nanoseconds slowest = kFirstWindowGuess;
    std::uint8_t nextIndex = 0;
    ExchangeCounters counters;
    std::array<Slot, kWindow> slots;
    std::array<std::uint8_t, kReceiveBufferSize> receive{};
    ecat::ParsedFrame reply;
};

Exchange::Exchange(ecat::Link& link, ExchangeOptions options)
    : link_(link), options_(options), state_(std::make_unique<State>()) {}

Exchange::~Exchange() = default;

ExchangeCounters Exchange::counters() const {
    std::lock_guard lock(state_->mutex);
    return state_->counters;
}

std::expected<void, Error> Exchange::Run(std::span<DatagramRequest> requests) {
    return Run(requests, options_.retries);
}

std::expected<std::uint16_t, Error> Exchange::Transact(ecat::Command command, std::uint32_t address,
                                                       std::span<std::uint8_t> data) {
    return Transact(command, address, data, options_.retries);
}

std::expected<std::uint16_t, Error> Exchange::Transact(ecat::Command command, std::uint32_t address,
                                                       std::span<std::uint8_t> data,
                                                       unsigned retries) {
    DatagramRequest request{command, address, data, 0, false};
    auto result = Run(std::span(&request, 1), retries);
    if (!result)
        return std::unexpected(result.error());
    return request.wkc;
}

std::expected<void, Error> Exchange::Run(std::span<DatagramRequest> requests, unsigned retries) {
    for (DatagramRequest& request : requests) {
        request.answered = false;
        request.wkc = 0;
        if (request.data.size() > ecat::kMaxDatagramData)
            return std::unexpected(Error{Errc::kTooLarge});
    }
    std::size_t next = 0;
    State& st = *state_;
    while (next < requests.size()) {
        std::unique_lock lock(st.mutex);
        KeepClear(lock);
        const auto started = ecat::Link::Clock::now();
        const std::size_t used = CutWindow(requests, next);
        for (unsigned attempt = 0;; ++attempt) {
            if (auto sent = SendPending(requests, used); !sent)
                return sent;
            const auto pending = CollectReplies(requests, used);
            if (!pending)
                return std::unexpected(pending.error());
            if (*pending == 0 && attempt == 0) {
                const std::chrono::nanoseconds took = ecat::Link::Clock::now() - started;
                st.slowest = std::max(took, st.slowest - st.slowest / 16);
            }
            if (*pending == 0)
                break;
            if (attempt >= retries)
                return std::unexpected(Error{Errc::kNoReply});
        }
    }
    return {};
}

void Exchange::Reserve(ecat::Link::Clock::time_point at, std::chrono::nanoseconds most) {
    {
        std::lock_guard lock(state_->mutex);
        state_->reservedAt = at;
        state_->owner = std::this_thread::get_id();
        state_->most = most;
    }
    state_->released.notify_all();
}

void Exchange::Release() {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->reservedAt || state_->owner != std::this_thread::get_id())
            return;
        state_->reservedAt.reset();
    }
    state_->released.notify_all();
}

void Exchange::KeepClear(std::unique_lock<std::mutex>& lock) {
    State& st = *state_;
    while (st.reservedAt && st.owner != std::this_thread::get_id()) {
        const auto at = *st.reservedAt;
        const auto guard = std::min(st.slowest + st.slowest / 2, st.most);
        const auto now = ecat::Link::Clock::now();
        // Room before the reserved call, or its owner is late beyond a
        // reply's time: go.
        if (now + guard < at || now >= at + options_.replyTimeout)
            return;
        st.released.wait_until(lock, at + options_.replyTimeout);
    }
}

std::size_t Exchange::CutWindow(std::span<DatagramRequest> requests, std::size_t& next) {
    std::size_t used = 0;
    while (used < kWindow && next < requests.size()) {
        State::Slot& slot = state_->slots[used++];
        slot.first = next;
        std::size_t bytes = 0;
        while (next < requests.size() && next - slot.first < ecat::ParsedFrame::kMaxDatagrams) {
            const std::size_t need = ecat::kDatagramOverhead + requests[next].data.size();
            if (bytes + need > ecat::kMaxDatagramsBytes)
                break;
            bytes += need;
            ++next;
        }
        slot.last = next;
        slot.pending = true;
    }
    return used;
}

std::expected<void, Error> Exchange::SendPending(std::span<const DatagramRequest> requests,
                                                 std::size_t used) {
    State& st = *state_;
    // Every pending frame goes out again under a fresh index, so a late
    // reply to an earlier try can never be taken for this one.
    for (std::size_t s = 0; s < used; ++s) {
        State::Slot& slot = st.slots[s];
        if (!slot.pending)
            continue;
        slot.index = st.nextIndex++;
        ecat::FrameBuilder builder(slot.bytes);
        builder.Reset(options_.destination, options_.source);
        for (std::size_t r = slot.first; r < slot.last; ++r) {
            const DatagramRequest& request = requests[r];
            builder.Add(request.command, slot.index, request.address,
                        std::span<const std::uint8_t>(request.data));
        }
        std::span<const std::uint8_t> frame = builder.Finish();
        // Our own frame always parses; its views are what replies are
        // checked against.
        (void)ecat::ReadFrame(std::span(slot.bytes.data(), frame.size()), slot.sent);
        auto sent = link_.Send(frame);
        if (!sent && sent.error() == ecat::LinkError::kDown)
            return std::unexpected(Error{Errc::kLinkDown});
        // A frame the system refused is simply lost; its reply never comes
        // and the try is repeated.
        ++st.counters.framesSent;
        st.counters.datagrams += slot.last - slot.first;
    }
    return {};
}

std::expected<std::size_t, Error> Exchange::CollectReplies(std::span<DatagramRequest> requests,
                                                           std::size_t used) {
    State& st = *state_;
    std::size_t pending = 0;
    for (std::size_t s = 0; s < used; ++s)
        pending += st.slots[s].pending ? 1 : 0;
    const auto deadline = ecat::Link::Clock::now() + options_.replyTimeout;
    while (pending > 0) {
        auto got = link_.Receive(st.receive, deadline);
        if (!got) {
            if (got.error() == ecat::LinkError::kDown)
                return std::unexpected(Error{Errc::kLinkDown});
            break;  // deadline passed (or the system failed): the rest is lost
        }
        ++st.counters.framesReceived;
        std::span<std::uint8_t> received(st.receive.data(), std::min(*got, st.receive.size()));
        // The index sits in the first datagram header; a frame too short to
        // hold one matches nothing.
        constexpr std::size_t kIndexAt = ecat::kEthernetHeaderSize + ecat::kEcatHeaderSize + 1;
        State::Slot* match = nullptr;
        for (std::size_t s = 0; s < used && received.size() > kIndexAt; ++s) {
            State::Slot& slot = st.slots[s];
            if (slot.pending && slot.index == received[kIndexAt]) {
                match = &slot;
                break;
            }
        }
        if (match == nullptr || !MatchReply(match->sent, received, st.reply)) {
            ++st.counters.framesDropped;
            continue;
        }
        for (std::size_t r = match->first; r < match->last; ++r) {
            const ecat::DatagramView& view = st.reply.views[r - match->first];
            DatagramRequest& request = requests[r];
            if (!request.data.empty())
                std::memcpy(request.data.data(), view.data().data(), request.data.size());
            request.wkc = view.wkc();
            request.answered = true;
        }
        match->pending = false;
        --pending;
    }
    st.counters.framesLost += pending;
    return pending;
}

}  // namespace parvane::master
