#include "driver/fault_rules.h"

namespace parvane::driver {
namespace {

bool Matches(const std::optional<std::uint16_t>& wanted, const std::optional<std::uint32_t>& got) {
    return !wanted || (got && *got == *wanted);
}

MasterExport ExportOf(emulator::DriverOperation op) {
    using enum emulator::DriverOperation;
    switch (op) {
        case kOpen:
            return MasterExport::Open;
        case kGetEniSlaveCount:
            return MasterExport::GetEniSlaveCount;
        case kGetOnlineSlaveCount:
            return MasterExport::GetOnlineSlaveCount;
        case kGetSlaveInfo:
            return MasterExport::GetSlaveInfo;
        case kReadSlaveEeprom:
            return MasterExport::ReadSlaveEeprom;
        case kRequestState:
            return MasterExport::RequestState;
        case kGetState:
            return MasterExport::GetState;
    }
    return MasterExport::Open;
}

}  // namespace

std::vector<FaultRule> FaultRulesOf(const std::vector<emulator::DriverFault>& faults) {
    std::vector<FaultRule> rules;
    rules.reserve(faults.size());
    for (const emulator::DriverFault& fault : faults) {
        FaultRule& rule = rules.emplace_back();
        rule.op = ExportOf(fault.op);
        rule.position = fault.position;
        rule.offset = fault.offset;
        if (fault.state)
            rule.state = ecat::ToWire(*fault.state);
        rule.status = fault.status;
        rule.times = fault.times;
    }
    return rules;
}

std::optional<std::uint16_t> FaultRules::Fire(const FaultQuery& query) {
    for (FaultRule& rule : rules_) {
        if (rule.op != query.op || !Matches(rule.position, query.position) ||
            !Matches(rule.offset, query.offset) || !Matches(rule.state, query.state)) {
            continue;
        }
        if (rule.times) {
            if (*rule.times == 0)
                continue;
            --*rule.times;
        }
        return rule.status;
    }
    return std::nullopt;
}

}  // namespace parvane::driver
