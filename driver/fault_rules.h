// Injected faults: statuses that operations answer instead of doing their
// work, as the network description's "faults" give them. A rule matches by op
// and by its optional position, offset and state; the first matching rule
// that still has firings left wins.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "emulator/description.h"
#include "ipc/protocol.h"

namespace parvane::driver {

using ipc::MasterExport;

struct FaultRule {
    MasterExport op = MasterExport::Open;
    std::optional<std::uint16_t> position;  // GetSlaveInfo, ReadSlaveEeprom
    std::optional<std::uint16_t> offset;    // ReadSlaveEeprom
    std::optional<std::uint16_t> state;     // RequestState
    std::uint16_t status = 0;
    std::optional<std::uint32_t> times;  // firings left; empty: always
};

// The description's faults as rules on the operations the requests name.
std::vector<FaultRule> FaultRulesOf(const std::vector<emulator::DriverFault>& faults);

// What a call offers for matching; a field the op does not have stays empty.
struct FaultQuery {
    MasterExport op = MasterExport::Open;
    std::optional<std::uint32_t> position;
    std::optional<std::uint32_t> offset;
    std::optional<std::uint32_t> state;
};

class FaultRules {
  public:
    FaultRules() = default;
    explicit FaultRules(std::vector<FaultRule> rules) : rules_(std::move(rules)) {}

    // The status to answer instead of the work, counting the firing.
    std::optional<std::uint16_t> Fire(const FaultQuery& query);

  private:
    std::vector<FaultRule> rules_;
};

}  // namespace parvane::driver
