// A master that does exactly what an ENI file says: for INIT -> PREOP ->
// SAFEOP -> OP, the master's commands marked BeforeSlave, then each slave's
// register commands (its CoE downloads for the transition go just before
// its AL control write, for INIT -> PREOP once it is in PREOP), then the
// master's other commands; the cyclic frames
// run from SAFEOP on. A configurator's export brings every emulated slave to
// OP that way, so the slaves' checks accept what a real configuration writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "ecat/registers.h"
#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

namespace fs = std::filesystem;
using eni::Transition;

Reply Send(Segment& segment, const eni::Datagram& d) {
    Bytes data = d.data;
    const std::uint32_t address = d.address();
    return Exchange(segment, static_cast<std::uint8_t>(d.command),
                    static_cast<std::uint16_t>(address), static_cast<std::uint16_t>(address >> 16),
                    data);
}

// One CoE download through the slave's mailbox, laid out by the SDO table.
void Download(Segment& segment, std::uint16_t position, const eni::Mailbox& m,
              const eni::CoeInitCmd& cmd, std::uint8_t& counter) {
    counter = counter >= 7 ? 1 : counter + 1;
    Bytes coe{0x00, 0x20};  // SDO request
    const std::uint8_t ca = cmd.completeAccess ? 0x10 : 0x00;
    if (cmd.data.size() <= 4 && !cmd.completeAccess) {
        coe.push_back(static_cast<std::uint8_t>(0x23 | ((4 - cmd.data.size()) << 2)));
    } else {
        coe.push_back(static_cast<std::uint8_t>(0x21 | ca));
    }
    coe.push_back(static_cast<std::uint8_t>(cmd.index));
    coe.push_back(static_cast<std::uint8_t>(cmd.index >> 8));
    coe.push_back(cmd.subIndex);
    if (coe[2] == 0x21 || coe[2] == 0x31) {
        const std::uint32_t n = static_cast<std::uint32_t>(cmd.data.size());
        for (int i = 0; i < 4; ++i)
            coe.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
        coe.insert(coe.end(), cmd.data.begin(), cmd.data.end());
    } else {
        Bytes value = cmd.data;
        value.resize(4, 0);
        coe.insert(coe.end(), value.begin(), value.end());
    }
    ASSERT_LE(coe.size() + 6, m.sendLength) << "needs a segmented download";
    Bytes message{static_cast<std::uint8_t>(coe.size()),
                  static_cast<std::uint8_t>(coe.size() >> 8),
                  0,
                  0,
                  0,
                  static_cast<std::uint8_t>(0x03 | (counter << 4))};
    message.insert(message.end(), coe.begin(), coe.end());
    message.resize(m.sendLength, 0);
    const auto adp = static_cast<std::uint16_t>(0u - position);
    ASSERT_EQ(Exchange(segment, 2, adp, m.sendStart, message).wkc, 1);
    const Reply reply = Exchange(segment, 1, adp, m.recvStart, Zeros(m.recvLength));
    ASSERT_EQ(reply.wkc, 1) << "no SDO reply";
    EXPECT_EQ(reply.data[8], 0x60)
        << "object " << std::hex << cmd.index << ":" << int(cmd.subIndex) << " abort code "
        << ToHex(Bytes(reply.data.begin() + 12, reply.data.begin() + 16));
}

bool IsAlControlWrite(const eni::InitCmd& c) {
    return !c.datagram.logical && c.datagram.ado == ecat::reg::kAlControl &&
           (c.datagram.command == ecat::Command::kApwr ||
            c.datagram.command == ecat::Command::kFpwr ||
            c.datagram.command == ecat::Command::kBwr);
}

// A start time of 0 for SYNC0 stands for one the master computes: here the
// slave's own system time 100 ms on, at a whole millisecond.
eni::Datagram WithStartTime(Segment& segment, const eni::Datagram& d) {
    const bool physicalWrite =
        d.command == ecat::Command::kFpwr || d.command == ecat::Command::kApwr;
    if (d.logical || !physicalWrite || d.ado != ecat::reg::kDcStartTime ||
        std::any_of(d.data.begin(), d.data.end(), [](std::uint8_t b) { return b != 0; }))
        return d;
    const auto read = static_cast<std::uint8_t>(d.command == ecat::Command::kFpwr ? 4 : 1);
    const Bytes now = Exchange(segment, read, d.adp, ecat::reg::kDcSystemTime, Zeros(8)).data;
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < 8; ++i)
        start |= static_cast<std::uint64_t>(now[i]) << (8 * i);
    start = (start / 1'000'000 + 101) * 1'000'000;
    eni::Datagram with = d;
    for (std::size_t i = 0; i < with.data.size() && i < 8; ++i)
        with.data[i] = static_cast<std::uint8_t>(start >> (8 * i));
    return with;
}

// `counters`: each slave's last mailbox counter, kept from one transition to
// the next (a slave takes a repeated counter for a resend).
void RunTransition(Segment& segment, const eni::NetworkConfig& config, Transition t,
                   std::vector<std::uint8_t>& counters) {
    for (const eni::InitCmd& c : config.masterInitCmds) {
        if (c.transitions.Has(t) && c.beforeSlave)
            Send(segment, c.datagram);
    }
    for (std::size_t i = 0; i < config.slaves.size(); ++i) {
        const eni::Slave& slave = config.slaves[i];
        std::uint8_t& counter = counters.at(i);
        bool coeDone = false;
        auto coe = [&] {
            if (coeDone || !slave.mailbox)
                return;
            coeDone = true;
            for (const eni::CoeInitCmd& cmd : slave.mailbox->coeInitCmds) {
                if (cmd.transitions.Has(t) && cmd.ccs == 1)
                    Download(segment, static_cast<std::uint16_t>(i), *slave.mailbox, cmd, counter);
            }
        };
        for (const eni::InitCmd& c : slave.initCmds) {
            if (!c.transitions.Has(t))
                continue;
            if (IsAlControlWrite(c) && t != Transition::kIP)
                coe();
            Send(segment, WithStartTime(segment, c.datagram));
        }
        coe();
    }
    for (const eni::InitCmd& c : config.masterInitCmds) {
        if (c.transitions.Has(t) && !c.beforeSlave)
            Send(segment, c.datagram);
    }
}

void RunCyclic(Segment& segment, const eni::NetworkConfig& config, ecat::AlState state) {
    for (const eni::Cyclic& cyclic : config.cyclic) {
        for (const eni::CyclicFrame& frame : cyclic.frames) {
            for (const eni::CyclicCmd& cmd : frame.cmds) {
                if (cmd.RunsIn(state))
                    Send(segment, cmd.datagram);
            }
        }
    }
}

std::vector<std::uint16_t> States(Segment& segment) {
    std::vector<std::uint16_t> states;
    for (std::size_t i = 0; i < segment.size(); ++i)
        states.push_back(AlStatus(segment, static_cast<std::uint16_t>(0u - i)));
    return states;
}

struct Export {
    const char* name;
    const char* file;
    // Until the ENI reader takes every file of the corpus, a refusal skips.
    bool refusalSkips;
};

class EniBringUp : public ::testing::TestWithParam<Export> {};

TEST_P(EniBringUp, AConfiguratorExportTakesEverySlaveToOp) {
    const fs::path file = GetParam().file;
    if (!fs::exists(file))
        GTEST_SKIP() << "no sample " << file;
    auto config = LoadEniConfig(file);
    if (!config && GetParam().refusalSkips)
        GTEST_SKIP() << "the ENI reader refuses " << file << ": " << config.error().message;
    ASSERT_TRUE(config.has_value()) << config.error().message;
    FakeClock clock;
    auto segment = BuildSegment(*config, Description{}, clock.source());
    std::vector<std::uint8_t> counters(config->slaves.size(), 0);
    struct Stage {
        Transition transition;
        ecat::AlState reached;
    };
    for (const Stage& stage : {Stage{Transition::kIP, ecat::AlState::kPreOp},
                               Stage{Transition::kPS, ecat::AlState::kSafeOp},
                               Stage{Transition::kSO, ecat::AlState::kOp}}) {
        SCOPED_TRACE(eni::TransitionText(stage.transition));
        if (stage.transition == Transition::kSO)
            RunCyclic(*segment, *config, ecat::AlState::kSafeOp);
        RunTransition(*segment, *config, stage.transition, counters);
        std::vector<std::uint16_t> expected(segment->size(), ecat::ToWire(stage.reached));
        EXPECT_EQ(States(*segment), expected);
        for (std::size_t i = 0; i < segment->size(); ++i)
            EXPECT_EQ(AlCode(*segment, static_cast<std::uint16_t>(0u - i)), 0) << "slave " << i;
    }
    // The cyclic frames keep OP; their working counters are what the ENI expects.
    for (int cycle = 0; cycle < 3; ++cycle) {
        clock.AdvanceMs(1);
        for (const eni::Cyclic& cyclic : config->cyclic) {
            for (const eni::CyclicFrame& frame : cyclic.frames) {
                for (const eni::CyclicCmd& cmd : frame.cmds) {
                    if (!cmd.RunsIn(ecat::AlState::kOp))
                        continue;
                    const Reply r = Send(*segment, cmd.datagram);
                    if (cmd.datagram.expectedWkc) {
                        EXPECT_EQ(r.wkc, *cmd.datagram.expectedWkc)
                            << ecat::CommandName(cmd.datagram.command);
                    }
                }
            }
        }
    }
    EXPECT_EQ(States(*segment), std::vector<std::uint16_t>(segment->size(), 8));
}

// A terminal with device emulation (5 of 9 in the second file: process data
// on SM0/SM1, the output SM enabled only for OP) and a microcontroller's;
// drives whose PDOs the file names without defining them (the SMs take the
// sizes the file gives); a CAN master and drives written complete-access
// records (0x1C32/0x1C33: u16, u32, u32) and objects of unknown layout.
INSTANTIATE_TEST_SUITE_P(
    Exports, EniBringUp,
    ::testing::Values(Export{"CifxImu", ENI_SAMPLES_DIR "/kpierczy-cifx-imu.xml", false},
                      Export{"MarchII", ENI_CORPUS_DIR "/eterpega_march_ii.xml", true},
                      Export{"TwoDrives", ENI_CORPUS_DIR "/leducp_kickcat_drives.xml", false},
                      Export{"VelmaBody", ENI_CORPUS_DIR "/rcprg_velma_body.xml", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace parvane::emulator::test
