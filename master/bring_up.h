// Bringing a segment up: count the slaves (BRD working counter), clear every
// station address (so stale ones cannot collide), give each slave its
// station address from the ENI by position (APWR; slaves beyond the ENI get
// addresses after the highest), take the EEPROMs back from the slaves' PDIs
// and read every slave's identity from its SII, all slaves together. What
// was found is logged against the ENI. Nothing is enforced here: the
// caller compares the segment with the ENI (network_comparison.h).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "eni/model.h"
#include "master/eeprom.h"
#include "master/exchange.h"
#include "master/network_comparison.h"
#include "master/state_machine.h"

namespace parvane::master {

struct SegmentSlave {
    FoundSlave found;
    // Nothing when the EEPROM could not be read; `eepromError` says why.
    std::optional<eni::SlaveIdentity> identity;
    std::optional<Error> eepromError;
};

struct Segment {
    std::vector<SegmentSlave> slaves;  // in ring order

    std::vector<FoundSlave> found() const;
    // What the boot-up comparison with the ENI takes.
    std::vector<SlaveOnWire> onWire() const;
};

struct BringUpOptions {
    EepromOptions eeprom;
    // Clear every station address before assigning them. Off only for a
    // segment brought up before with the same slave count, whose addresses
    // are then written again unchanged while others watch the slaves.
    bool clearAddresses = true;
    // Log each slave found against the ENI (LogSegment); off when the caller
    // logs only what changed since the last bring-up.
    bool logSlaves = true;
    // Slaves logged one by one; beyond these only differences from the ENI
    // are, and a summary line.
    std::size_t slavesLogged = 64;
};

// The error is kNoReply (nothing answers on the wire) or kLinkDown.
std::expected<Segment, Error> BringUp(Exchange& exchange, const eni::NetworkConfig& config,
                                      const BringUpOptions& options = {});

// Logs the slaves found against the ENI: position, station address and
// identity, and whether the ENI expects that identity there.
void LogSegment(const Segment& segment, const eni::NetworkConfig& config,
                const BringUpOptions& options = {});

// The station address each position gets: the ENI's PhysAddr where it gives
// one that is not taken yet, otherwise the next free address after the
// highest the ENI gives (at least 1001).
std::vector<std::uint16_t> StationAddresses(const eni::NetworkConfig& config, std::size_t count);

}  // namespace parvane::master
