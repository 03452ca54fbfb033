// Distributed clocks: the master's set-up of the slaves' clocks after the
// segment is up. It finds the DC-capable slaves (0x0008 bit 2), latches the
// receive times of one broadcast frame on every port (write to 0x0900),
// finds the tree from those times and the DL status words, and from them
// each slave's propagation delay from the reference clock (0x0928) and the
// offset (0x0920) that puts its system time on the master's real time since
// 2000-01-01. It then resets the time control loops and sends the
// reference's time round the segment many times over (static drift
// compensation), so the loops have settled before SYNC0 starts.
//
// The reference clock is the slave the ENI names, else the first DC-capable
// one. An ARMW/FRMW of the reference's system time is written by every other
// slave, those before it too, so a reference that is not the first DC slave
// is logged.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "eni/model.h"
#include "master/error.h"
#include "master/exchange.h"
#include "master/topology.h"

namespace parvane::master {

struct DcOptions {
    // Frames of the reference's time sent round before SYNC0 starts (the
    // recommendation is about 15000), and how many distributions each frame
    // carries (each one a read at the reference, then writes at the others).
    unsigned driftFrames = 15000;
    unsigned driftPerFrame = 1;
    // ... and for this long at most: the frames hold the segment's one
    // exchange, which the cyclic frame shares, and a slow host or a long
    // line must not keep it from the slaves past their watchdogs.
    std::chrono::milliseconds driftTime{50};
    // How far ahead of the reference's time the first SYNC0 is placed: long
    // enough for the rest of the transition to reach every slave before it.
    std::chrono::milliseconds startMargin{100};
    // Test seam: write the start time as the file gives it (zeros), as a
    // master without DC would, so a test can show a drive then refuses.
    bool startTimeAsFile = false;
    // Where in the cycle the cyclic frame should pass the reference, after
    // the SYNC0 grid (k * cycle); nothing: half a cycle.
    std::optional<std::chrono::nanoseconds> framePhase;
    // A slave whose system time difference (0x092C) exceeds this is logged.
    std::chrono::nanoseconds differenceLimit{1000};
    // How long SAFEOP -> OP waits for every clock from the reference on to
    // come within that limit before it asks for OP (drives refuse OP with a
    // PLL error while their clock is still pulled in).
    std::chrono::milliseconds lockTimeout{3000};
};

// One slave of the segment as the set-up saw it, in ring order.
struct DcSlave {
    std::uint16_t position = 0;
    std::uint16_t station = 0;
    bool dc = false;    // has a clock (0x0008 bit 2)
    bool dc64 = false;  // 64-bit system time (0x0008 bit 3)
    std::uint16_t dlStatus = 0;
    PortTimes receiveTimes{};
    std::uint64_t localTime = 0;  // 0x0918 for the latch frame
    std::int64_t delayNs = 0;     // from the reference clock (written to 0x0928)
    std::uint64_t offsetNs = 0;   // written to 0x0920 (two's complement)
    // Watching: the last system time difference read and whether it is
    // logged as over the limit.
    std::int64_t differenceNs = 0;
    bool differenceRead = false;
    bool overLimit = false;
};

struct DcLine {
    std::vector<DcSlave> slaves;  // every slave of the segment
    std::size_t reference = 0;    // index into slaves
    std::uint16_t referenceStation = 0;
    std::chrono::microseconds setUpTime{0};
    DcOptions options;

    const DcSlave& ref() const { return slaves[reference]; }
    bool any() const;  // at least one DC slave
};

// Whether the ENI asks for distributed clocks: a slave with a DC element,
// or an init command writing into 0x0900..0x09FF.
bool EniUsesDc(const eni::NetworkConfig& config);

// The reference clock's index among `dc` (per slave in ring order, 1: it
// has a clock):
// the slave the ENI names when it is DC-capable, else the first DC slave;
// nothing without DC slaves.
std::optional<std::size_t> ChooseReference(const eni::NetworkConfig& config,
                                           std::span<const std::uint8_t> dc);

// Each slave's delay from the first DC slave along the tree, from the
// receive times of one latch frame; 0 for slaves without a clock. The
// port times are 32-bit and may wrap between ports.
std::vector<std::int64_t> PropagationDelays(std::span<const TopologyNode> tree,
                                            std::span<const PortTimes> times,
                                            std::span<const std::uint8_t> dc);

// The offset that makes local time `local` read as `masterTime`.
constexpr std::uint64_t ClockOffset(std::uint64_t masterTime, std::uint64_t local) {
    return masterTime - local;  // modulo 2^64: a negative offset in two's complement
}

// The master's real time in ns since 2000-01-01.
std::uint64_t MasterTimeNs();

// The whole set-up over `exchange`; `stations` gives each position's
// station address (ring order). Without DC-capable slaves the line has none
// (any() false) and nothing is written. The error is the exchange's.
std::expected<DcLine, Error> SetUpDc(Exchange& exchange, const eni::NetworkConfig& config,
                                     std::span<const std::uint16_t> stations,
                                     const DcOptions& options = {});

// The reference's system time, read once (FPRD 0x0910, 8 bytes).
std::expected<std::uint64_t, Error> ReadReferenceTime(Exchange& exchange, const DcLine& line);

// The reads of every DC slave's system time difference (0x092C), to send
// on their own or with other datagrams; kept to be laid out again without
// allocating.
struct DifferenceReads {
    std::vector<std::uint8_t> buffer;
    std::vector<DatagramRequest> requests;
    std::vector<std::size_t> slaves;  // index into the line's slaves, per request
};
void PrepareDifferenceReads(const DcLine& line, DifferenceReads& reads);
// Takes the answers into the line and logs a slave that goes over the limit
// or comes back under it, once each.
void TakeDifferences(DcLine& line, const DifferenceReads& reads);
// Both, over the exchange.
void ReadDifferences(Exchange& exchange, DcLine& line);
// Logs the largest difference last read ("DC: largest system time
// difference 37 ns (slave 3)").
void LogLargestDifference(const DcLine& line);

}  // namespace parvane::master
