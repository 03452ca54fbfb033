// The AL side of the slaves: their AL status as the master last read it,
// the request of a state through AL control, the wait until the slaves show
// it (or refuse it with an AL status code) and the acknowledgement of an
// error a slave shows.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <stop_token>
#include <vector>

#include "ecat/al_state.h"
#include "eni/model.h"
#include "master/error.h"
#include "master/exchange.h"

namespace parvane::master {

// One slave of the ENI, in ring order, as the master last saw it.
struct SlaveState {
    const eni::Slave* eni = nullptr;
    std::uint16_t position = 0;
    std::uint16_t station = 0;
    bool present = false;  // bring-up found a slave at its position
    // Last AL status read: status byte and code; whether it answered.
    std::uint8_t status = ecat::ToWire(ecat::AlState::kInit);
    std::uint16_t code = 0;
    bool answering = true;
    bool errorLogged = false;
    bool fmmusNoted = false;  // the log said that the master computes its FMMUs

    ecat::AlState state() const;
    bool error() const;  // the AL status error flag
};

// "slave 2 (station 1003, EL2004)" for the log; writes into `out`.
const char* Label(const SlaveState& slave, std::span<char> out);

// The order of the network states, BOOT beside PREOP.
int Rank(ecat::AlState state);

// Lines about single slaves for one event: the first few name their slave,
// the others are counted into one closing line, so that a whole segment
// failing alike still reads in a screen.
class SlaveLines {
  public:
    bool Take();
    void Close(const char* what) const;

  private:
    static constexpr std::size_t kShown = 16;
    std::size_t shown_ = 0;
    std::size_t more_ = 0;
};

// Writes a register of the slave at `station`; false unless exactly one
// slave took it.
bool WriteRegister(Exchange& exchange, std::uint16_t station, std::uint16_t ado,
                   std::span<std::uint8_t> data);

class AlWalk {
  public:
    // A slave being waited for, with what it showed before the request.
    struct Waiting {
        std::size_t slave = 0;
        std::uint8_t statusBefore = 0;
        std::uint16_t codeBefore = 0;
    };

    // `exchange` and `slaves` must outlive the walk.
    AlWalk(Exchange& exchange, std::vector<SlaveState>& slaves, std::chrono::milliseconds poll);

    // Reads the AL status of every present slave; logs the slaves that stop
    // or start answering.
    // `alongside`: other reads to go in the same frames (their answers land
    // in their own buffers).
    void ReadStatuses(std::span<DatagramRequest> alongside = {});
    // The lowest and highest state the present slaves show (one that does
    // not answer counts as INIT for the lowest); `none` without slaves.
    ecat::AlState Lowest(ecat::AlState none) const;
    ecat::AlState Highest(ecat::AlState none) const;

    // Writes `to` into the slave's AL control, with the acknowledgement
    // when it shows an error; kNoReply when the write is not answered.
    std::expected<void, Error> Request(SlaveState& slave, ecat::AlState to);
    // Acknowledges the error the slave shows, and every present slave's.
    void Acknowledge(SlaveState& slave);
    void AcknowledgeErrors();
    // After a command of the slave failed: a slave that refused its state
    // says why in AL status, which is logged and acknowledged.
    void ExplainFailure(SlaveState& slave, ecat::AlState to);

    // Waits until every slave in `waiting` shows `to`: kRefused when one
    // shows a new error (logged and acknowledged), kTimeout when `budget`
    // passes first (logged), kCancelled on a stop.
    std::expected<void, Error> WaitFor(std::vector<Waiting>& waiting, ecat::AlState to,
                                       std::chrono::milliseconds budget,
                                       const std::stop_token& stop);

  private:
    // Reads the AL status of slaves[which[k]] into them; false where not answered.
    void ReadSome(std::span<const std::size_t> which, std::vector<bool>& answered,
                  std::span<DatagramRequest> alongside = {});
    void LogRefusal(const SlaveState& slave, ecat::AlState wanted, SlaveLines& lines);
    void LogLate(std::span<const Waiting> waiting, ecat::AlState to,
                 std::chrono::milliseconds budget);

    Exchange& exchange_;
    std::vector<SlaveState>& slaves_;
    std::chrono::milliseconds poll_;
    std::vector<std::uint8_t> buffer_;
    std::vector<DatagramRequest> requests_;
};

}  // namespace parvane::master
