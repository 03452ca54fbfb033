// The plan of a transition from the ENI alone: whether the master requests
// the state or the file's own write does, which commands wait until the
// state is reached, and which registers the master writes itself.
#include "master/transition_plan.h"

#include <gtest/gtest.h>

#include "ecat/byte_order.h"
#include "ecat/registers.h"

namespace parvane::master {
namespace {

using ecat::AlState;
using eni::Transition;
using Kind = RegisterWrite::Kind;

eni::InitCmd Write(Transition t, std::uint16_t ado, std::vector<std::uint8_t> data,
                   ecat::Command command = ecat::Command::kFpwr) {
    eni::InitCmd cmd;
    cmd.transitions.Add(t);
    cmd.datagram = {command, 1001, ado, 0, false, std::move(data), 1};
    return cmd;
}

eni::InitCmd CheckState(Transition t, std::uint8_t state) {
    eni::InitCmd cmd = Write(t, ecat::reg::kAlStatus, {0, 0}, ecat::Command::kFprd);
    cmd.validate = eni::Validate{{state, 0}, {0x1F, 0}, 100};
    return cmd;
}

struct PlanCase {
    const char* name;
    std::vector<eni::InitCmd> cmds;  // the slave's
    Transition t;
    bool masterRequests;
    std::size_t extrasAt, split;
    std::vector<Kind> writes;
};

TEST(TransitionPlan, WhoRequestsTheStateAndWhatTheMasterWrites) {
    constexpr Transition kIP = Transition::kIP, kPS = Transition::kPS;
    constexpr Kind kMbx = Kind::kMailboxSms, kEep = Kind::kEepromToPdi, kSm = Kind::kSyncManager;
    const auto sm0 = Write(kIP, ecat::reg::Sm(0), std::vector<std::uint8_t>(8));
    const auto fmmu0 = Write(kPS, ecat::reg::Fmmu(0), std::vector<std::uint8_t>(16));
    const auto request = Write(kIP, ecat::reg::kAlControl, {2, 0});
    const auto eeprom = Write(kIP, ecat::reg::kSiiConfig, {1});
    const PlanCase cases[] = {
        {"nothing in the file", {}, kIP, true, 0, 0, {kMbx, kEep}},
        {"the file requests PREOP after its SM0",
         {sm0, request, CheckState(kIP, 2)},
         kIP,
         false,
         1,
         3,
         {kEep}},
        {"the file checks PREOP after the master's request",
         {eeprom, CheckState(kIP, 2)},
         kIP,
         true,
         1,
         1,
         {kMbx}},
        {"a check of another state waits for nothing",
         {CheckState(kIP, 4)},
         kIP,
         true,
         1,
         1,
         {kMbx, kEep}},
        {"process data", {}, kPS, true, 0, 0, {kSm, kSm, Kind::kFmmu, Kind::kFmmu}},
        {"the file writes an FMMU itself", {fmmu0}, kPS, true, 1, 1, {}},
    };
    eni::NetworkConfig config;
    eni::Slave& slave = config.slaves.emplace_back();
    slave.mailbox = eni::Mailbox{0x1000, 128, 0x1080, 128, {}, {}, 0, {}, {}, {}, {}};
    slave.processData.emplace();
    slave.processData->sms = {{2, eni::SmType::kOutputs, 0x1100, 0x64, true, 2, {}},
                              {3, eni::SmType::kInputs, 0x1180, 0x20, true, 4, {}}};
    slave.processData->send = eni::BitRange{8, 16};
    slave.processData->recv = eni::BitRange{0, 32};
    eni::CyclicCmd lrw;
    lrw.datagram = {ecat::Command::kLrw, 0, 0, 0x10000, true, std::vector<std::uint8_t>(8), 3};
    lrw.inputOffs = lrw.outputOffs = 0;
    config.cyclic.push_back({1000, {{{lrw}}}});
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.name);
        slave.initCmds = c.cmds;
        const AlState to = c.t == Transition::kIP ? AlState::kPreOp : AlState::kSafeOp;
        const SlavePlan plan = PlanSlave(config, slave, c.t, to);
        EXPECT_EQ(plan.cmds.size(), c.cmds.size());
        EXPECT_EQ(plan.masterRequests, c.masterRequests);
        EXPECT_EQ(plan.extrasAt, c.extrasAt);
        EXPECT_EQ(plan.split, c.split);
        std::vector<Kind> kinds;
        for (const RegisterWrite& w : plan.writes)
            kinds.push_back(w.kind);
        EXPECT_EQ(kinds, c.writes);
    }
    // The outputs' FMMU maps bit 8 of the command's image, the inputs' bit 0.
    slave.initCmds.clear();
    SlavePlan plan = PlanSlave(config, slave, Transition::kPS, AlState::kSafeOp);
    ASSERT_EQ(plan.writes.size(), 4u);
    EXPECT_EQ(ecat::Get32(plan.writes[2].bytes.data()), 0x10001u);
    EXPECT_EQ(ecat::Get32(plan.writes[3].bytes.data()), 0x10000u);
    // Without a cyclic command to carry them, the FMMUs stay unset.
    config.cyclic.clear();
    plan = PlanSlave(config, slave, Transition::kPS, AlState::kSafeOp);
    ASSERT_EQ(plan.writes.size(), 4u);
    EXPECT_EQ(plan.writes[3].kind, Kind::kNoFmmu);
}

}  // namespace
}  // namespace parvane::master
