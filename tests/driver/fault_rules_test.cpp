// The network description's faults as the request handling matches them:
// each operation's name reaches the operation requests carry, with its
// position, offset, state, status and firings.
#include "driver/fault_rules.h"

#include <gtest/gtest.h>

namespace parvane::driver {
namespace {

TEST(FaultRules, TheDescriptionsFaultsBecomeRulesOnTheirOperations) {
    auto d = emulator::ReadDescriptionText(R"({"faults": [
        { "op": "MasterOpen", "status": 39 },
        { "op": "MasterGetEniSlaveCount", "status": 1 },
        { "op": "MasterGetOnlineSlaveCount", "status": 258, "times": 1 },
        { "op": "MasterGetSlaveInfo", "position": 1, "status": "0x1006" },
        { "op": "MasterReadSlaveEeprom", "position": 2, "offset": 16, "status": "0x0301" },
        { "op": "MasterRequestState", "state": 4, "status": 258 },
        { "op": "MasterGetState", "status": 15 }]})");
    ASSERT_TRUE(d.has_value()) << d.error().message;
    const std::vector<FaultRule> rules = FaultRulesOf(d->faults);
    const MasterExport ops[] = {MasterExport::Open,
                                MasterExport::GetEniSlaveCount,
                                MasterExport::GetOnlineSlaveCount,
                                MasterExport::GetSlaveInfo,
                                MasterExport::ReadSlaveEeprom,
                                MasterExport::RequestState,
                                MasterExport::GetState};
    ASSERT_EQ(rules.size(), std::size(ops));
    for (std::size_t i = 0; i < rules.size(); ++i)
        EXPECT_EQ(rules[i].op, ops[i]) << i;
    EXPECT_EQ(rules[0].status, 39);
    EXPECT_FALSE(rules[0].times || rules[0].position || rules[0].offset || rules[0].state);
    EXPECT_EQ(rules[2].times, 1u);
    EXPECT_EQ(rules[3].position, 1);
    EXPECT_EQ(rules[3].status, 0x1006);
    EXPECT_EQ(rules[4].position, 2);
    EXPECT_EQ(rules[4].offset, 16);
    EXPECT_EQ(rules[5].state, 4);
    EXPECT_EQ(rules[6].status, 15);
}

}  // namespace
}  // namespace parvane::driver
