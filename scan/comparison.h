// Where a scanned network differs from an ENI, position by position: the
// same device, a different one (which of vendor, product, revision, serial,
// process-data size or topology parent/port, each ENI value against the
// found one), a missing one (where the line ends) or an extra one. Passive
// terminals are never on the wire and are passed over; a HotConnect group
// may be absent as a whole. The serial is compared only where the ENI gives
// a non-zero SerialNo, the topology only where it gives PreviousPort.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "eni/model.h"
#include "master/network_scan.h"

namespace parvane::scan {

enum class Verdict : std::uint8_t { kSame, kDifferent, kMissing, kExtra };

struct FieldDifference {
    std::string field;  // "vendor", "product", "revision", "serial", "outputs", "inputs", "parent"
    std::string eni;    // the ENI's value, as printed
    std::string found;  // the found one
};

struct PositionResult {
    Verdict verdict = Verdict::kSame;
    std::uint16_t position = 0;
    std::uint16_t station = 0;  // the found slave's; the ENI's PhysAddr for a missing one
    std::string eniName;        // empty for an extra slave
    std::string foundName;      // empty for a missing slave
    std::vector<FieldDifference> differences;
    std::string note;  // a missing slave: where the line ends
};

struct Comparison {
    std::vector<PositionResult> positions;
    bool same() const;
    std::size_t count(Verdict verdict) const;
};

Comparison CompareNetwork(const eni::NetworkConfig& config, const master::ScannedNetwork& found);

// The ENI slave's process data in bits: the PDOs its sync managers assign
// (or those with an Sm attribute, or the process image's ranges).
std::uint32_t EniOutputBits(const eni::Slave& slave);
std::uint32_t EniInputBits(const eni::Slave& slave);

const char* VerdictText(Verdict verdict);  // "same", "different", "missing", "extra"

// One line per position, then the summary line; every line ends in '\n'.
std::string ComparisonText(const Comparison& comparison);

}  // namespace parvane::scan
