// The master's datagram exchange: packs datagrams into frames, sends them on
// a link, matches replies by datagram index and resends what was lost. Every
// wait is bounded; a reply with a wrong index, command, length or a short
// frame counts as lost, never as an answer. Safe to use from several threads
// (the state machine and the cyclic process data share one link).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <span>

#include "ecat/frame.h"
#include "ecat/link.h"
#include "master/error.h"

namespace parvane::master {

// One datagram to send and, after Run, its answer: `data` holds the bytes to
// send and receives the bytes that came back; `wkc` the working counter.
struct DatagramRequest {
    ecat::Command command = ecat::Command::kNop;
    std::uint32_t address = 0;
    std::span<std::uint8_t> data;
    std::uint16_t wkc = 0;
    bool answered = false;
};

struct ExchangeOptions {
    ecat::MacAddress destination = ecat::kBroadcastMac;
    ecat::MacAddress source{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::chrono::microseconds replyTimeout{2000};  // per try
    // Resends of a lost frame: 12 ms of silence in all before a frame counts
    // as lost, longer than a loaded host keeps a peer process waiting.
    unsigned retries = 5;
};

struct ExchangeCounters {
    std::uint64_t framesSent = 0;
    std::uint64_t framesReceived = 0;
    std::uint64_t framesLost = 0;     // tries whose reply never came
    std::uint64_t framesDropped = 0;  // received but not a reply we wait for
    std::uint64_t datagrams = 0;      // datagrams sent
};

class Exchange {
  public:
    Exchange(ecat::Link& link, ExchangeOptions options);
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Sends the requests in as few frames as they fit, in order, and waits
    // for each frame's reply; a lost frame is resent (fresh index) up to
    // `retries` times. On success every request is answered; the error is
    // kNoReply, kLinkDown or kTooLarge. On kNoReply the requests answered so
    // far keep their answers.
    std::expected<void, Error> Run(std::span<DatagramRequest> requests);
    std::expected<void, Error> Run(std::span<DatagramRequest> requests, unsigned retries);

    // One datagram; its working counter.
    std::expected<std::uint16_t, Error> Transact(ecat::Command command, std::uint32_t address,
                                                 std::span<std::uint8_t> data);
    std::expected<std::uint16_t, Error> Transact(ecat::Command command, std::uint32_t address,
                                                 std::span<std::uint8_t> data, unsigned retries);

    // Keeps the link clear for the calling thread's next call, due at `at`:
    // until Release, other threads start no window that the slowest recent
    // window says could still be on the wire then (looking at most `most`
    // ahead). They wait, at most until `at` plus the reply timeout.
    void Reserve(ecat::Link::Clock::time_point at, std::chrono::nanoseconds most);
    void Release();

    ExchangeCounters counters() const;

    const ExchangeOptions& options() const { return options_; }

  private:
    struct State;
    // Waits, with the lock held, while another thread's reservation is
    // close.
    void KeepClear(std::unique_lock<std::mutex>& lock);
    // Cuts requests[next...] into up to a window of frames; returns how many
    // frames and advances `next`.
    std::size_t CutWindow(std::span<DatagramRequest> requests, std::size_t& next);
    // Sends every frame of the window still waiting for its reply.
    std::expected<void, Error> SendPending(std::span<const DatagramRequest> requests,
                                           std::size_t used);
    // Takes replies until every frame is answered or the reply timeout
    // passes; the number of frames still waiting.
    std::expected<std::size_t, Error> CollectReplies(std::span<DatagramRequest> requests,
                                                     std::size_t used);

    ecat::Link& link_;
    ExchangeOptions options_;
    std::unique_ptr<State> state_;  // buffers, next index, counters, the lock
};

}  // namespace parvane::master
