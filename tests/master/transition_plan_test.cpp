// The plan of a transition from the ENI alone: whether the master requests
// the state or the file's own write does, which commands wait until the
// state is reached, which registers the master writes itself, and the FMMU
// entries it computes where the file's FMMU data is none.
#include "master/transition_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "eni/eni_reader.h"

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

// A real export. Its identity plays no part here, and some exports write
// revision numbers as negative decimals: they are left out.
eni::NetworkConfig Export(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string plain =
        std::regex_replace(text.str(), std::regex("<RevisionNo>-[0-9]+</RevisionNo>"), "");
    auto eni = eni::ReadEniText(plain);
    EXPECT_TRUE(eni) << file;
    return eni ? eni->config : eni::NetworkConfig{};
}

enum class Outcome : std::uint8_t {
    kAsWritten,  // the file's command is run as it is
    kComputed,   // replaced; the entry equals the export's own
    kKept,       // none to compute: the changed bytes are written, and counted
};

struct FmmuCase {
    const char* name;
    bool mailboxState;  // changes the "mailbox state" FMMU of IP, else those of the process data
    bool noCyclic;      // the file's cyclic commands are taken away
    std::function<void(std::span<std::uint8_t, ecat::reg::kFmmuSize>)> change;
    Outcome active, inactive;  // for an entry that is active in the export, and one that is not
};

// Every FMMU entry of real exports, changed as an encrypted export writes
// it or moved out of every cyclic window, is computed again byte for byte
// as the export's configurator wrote it in plain.
TEST(TransitionPlan, FmmuDataThatIsNoEntryIsComputedFromTheProcessData) {
    using Entry = std::span<std::uint8_t, ecat::reg::kFmmuSize>;
    constexpr std::uint16_t kSm1Status = ecat::reg::Sm(1) + 5;  // the "mailbox state" FMMU's
    const auto outside = [](Entry e) { ecat::Put32(&e[0], 0x7F000000); };
    const FmmuCase cases[] = {
        {"plain", false, false, [](Entry) {}, Outcome::kAsWritten, Outcome::kAsWritten},
        {"encrypted", false, false,
         [](Entry e) {
             e[11] = 0xF9;
             e[7] = 0xFC;
             e[12] = 0x63;
         },
         Outcome::kComputed, Outcome::kComputed},
        {"type only", false, false, [](Entry e) { e[11] = 0xF9; }, Outcome::kComputed,
         Outcome::kComputed},
        {"start bit only", false, false, [](Entry e) { e[6] = 0x08; }, Outcome::kComputed,
         Outcome::kComputed},
        {"activate only", false, false, [](Entry e) { e[12] = 0x63; }, Outcome::kComputed,
         Outcome::kComputed},
        {"outside every cyclic window", false, false, outside, Outcome::kComputed,
         Outcome::kAsWritten},
        {"no cyclic window at all", false, true, outside, Outcome::kAsWritten, Outcome::kAsWritten},
        {"encrypted without a cyclic window", false, true, [](Entry e) { e[11] = 0xF9; },
         Outcome::kKept, Outcome::kComputed},
        {"mailbox state outside every cyclic window", true, false, outside, Outcome::kAsWritten,
         Outcome::kAsWritten},
        {"mailbox state encrypted", true, false, [](Entry e) { e[11] = 0xF9; }, Outcome::kKept,
         Outcome::kKept},
    };
    const std::string samples = SHARED_SAMPLES_DIR, corpus = SHARED_CORPUS_DIR;
    const std::string files[] = {
        samples + "/kpierczy-cifx-imu.xml",    corpus + "/bigcjv_6axis_servo.xml",
        corpus + "/eterpega_march_ii.xml",     corpus + "/eterpega_march_inputdevice.xml",
        corpus + "/leducp_kickcat_drives.xml", corpus + "/rcprg_velma_body.xml",
    };
    std::size_t entries = 0;  // entries changed and checked, over all files and cases
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const eni::NetworkConfig plain = Export(file);
        for (const FmmuCase& c : cases) {
            SCOPED_TRACE(c.name);
            eni::NetworkConfig config = plain;
            if (c.noCyclic)
                config.cyclic.clear();
            const Transition t = c.mailboxState ? Transition::kIP : Transition::kPS;
            for (std::size_t s = 0; s < config.slaves.size(); ++s) {
                eni::Slave& slave = config.slaves[s];
                std::vector<std::pair<std::size_t, Outcome>> changed;  // command, outcome
                for (std::size_t i = 0; i < slave.initCmds.size(); ++i) {
                    eni::Datagram& d = slave.initCmds[i].datagram;
                    const bool fmmu = d.ado >= ecat::reg::Fmmu(0) &&
                                      d.ado < ecat::reg::Fmmu(ecat::reg::kMaxFmmus) &&
                                      d.data.size() == ecat::reg::kFmmuSize;
                    if (!fmmu || !slave.initCmds[i].transitions.Has(t) ||
                        std::all_of(d.data.begin(), d.data.end(), [](auto b) { return b == 0; }))
                        continue;
                    if ((ecat::Get16(&d.data[8]) == kSm1Status) != c.mailboxState)
                        continue;
                    changed.emplace_back(i, d.data[12] == 1 ? c.active : c.inactive);
                    c.change(Entry(d.data.data(), ecat::reg::kFmmuSize));
                }
                const AlState to = t == Transition::kIP ? AlState::kPreOp : AlState::kSafeOp;
                const SlavePlan plan = PlanSlave(config, slave, t, to);
                unsigned computed = 0, kept = 0;
                for (const auto& [i, outcome] : changed) {
                    SCOPED_TRACE("slave " + std::to_string(s) + ", init command " +
                                 std::to_string(i));
                    const auto in =
                        std::find(plan.cmds.begin(), plan.cmds.end(), &slave.initCmds[i]);
                    if (outcome != Outcome::kComputed) {
                        EXPECT_NE(in, plan.cmds.end());
                        kept += outcome == Outcome::kKept;
                        continue;
                    }
                    ++computed;
                    EXPECT_EQ(in, plan.cmds.end());
                    const auto rewritten = std::find_if(
                        plan.rewritten.begin(), plan.rewritten.end(),
                        [&](const auto& cmd) { return cmd->comment == slave.initCmds[i].comment; });
                    ASSERT_NE(rewritten, plan.rewritten.end());
                    EXPECT_EQ((*rewritten)->datagram.data,
                              plain.slaves[s].initCmds[i].datagram.data);
                }
                EXPECT_EQ(plan.fmmusReplaced, computed);
                EXPECT_EQ(plan.fmmusKept, kept);
                entries += changed.size();
            }
        }
    }
    // 60 process data entries in 8 cases, 11 mailbox state entries in 2.
    EXPECT_EQ(entries, 8u * 60 + 2u * 11);
}

}  // namespace
}  // namespace parvane::master
