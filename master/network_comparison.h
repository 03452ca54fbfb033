// The boot-up comparison: the slaves found on the wire against the ENI's, by
// position. The count, every slave's vendor ID and product code, and its
// revision number where the ENI's own init commands check it (an SII read of
// the revision words through 0x0502/0x0508 with a Validate). Passive
// terminals are never on the wire and are passed over; a HotConnect group
// may be absent as a whole. A found slave whose EEPROM could not be read is
// not compared (nothing is known to differ). Pure: the bring-up and a
// network scan use it alike.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "eni/model.h"

namespace parvane::master {

// A slave found on the wire, in ring order.
struct SlaveOnWire {
    std::uint16_t position = 0;
    std::uint16_t stationAddress = 0;
    std::optional<eni::SlaveIdentity> identity;  // nothing: the EEPROM was unreadable
};

enum class DifferenceKind : std::uint8_t {
    kMissing,   // the ENI's slave is not on the wire
    kExtra,     // a slave on the wire beyond the ENI's
    kVendor,    // another vendor ID at the position
    kProduct,   // another product code
    kRevision,  // another revision number where the file checks it
};

struct Difference {
    DifferenceKind kind = DifferenceKind::kMissing;
    // The ring position: where the slave is, or for a missing one, where the
    // ENI expects it.
    std::uint16_t position = 0;
    // The address the found slave has; for a missing one the ENI's PhysAddr.
    std::uint16_t stationAddress = 0;
    std::string name;  // the ENI slave's; empty for an extra slave
    // Vendor, product or revision: what the ENI expects and what was found.
    std::uint32_t expected = 0;
    std::uint32_t found = 0;
    // Revision: the bits the file's check compares (the others are left out).
    std::uint32_t mask = 0xFFFFFFFF;
    // Extra: what the found slave is, when its EEPROM could be read.
    std::optional<eni::SlaveIdentity> identity;

    friend bool operator==(const Difference&, const Difference&) = default;
};

// The revision bits the slave's init commands check in its SII, and the
// value they expect there; nothing when no command reads the revision words.
struct RevisionCheck {
    std::uint32_t mask = 0;
    std::uint32_t value = 0;
};
std::optional<RevisionCheck> RevisionCheckOf(const eni::Slave& slave);

// Every difference, ordered by position; empty when the network is the ENI's.
std::vector<Difference> CompareWithEni(const eni::NetworkConfig& config,
                                       std::span<const SlaveOnWire> found);

// One line for the log: position, station address, name, what differs.
std::string DifferenceText(const Difference& difference);

}  // namespace parvane::master
