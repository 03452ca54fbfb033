#include "driver/fault_rules.h"

namespace parvane::driver {
namespace {

bool Matches(const std::optional<std::uint16_t>& wanted, const std::optional<std::uint32_t>& got) {
    return !wanted || (got && *got == *wanted);
}

}  // namespace

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
