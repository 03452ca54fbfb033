// The ENI written from a scan, read back by the project's own ENI reader and
// run by its own master, against emulated slaves built from every real ENI
// file: the slaves, their identities, process data sizes and tree are the
// source file's, and the written file takes the same slaves to OP.
#include "scan/eni_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/network_scan.h"
#include "master/state_machine.h"
#include "tests/support/eni_files.h"

namespace parvane::scan {
namespace {

namespace fs = std::filesystem;
using ecat::AlState;

eni::NetworkConfig Source(const fs::path& file) {
    auto eni = eni::ReadEniFile(file);
    EXPECT_TRUE(eni) << eni.error().message;
    if (!eni)
        return {};
    eni::WithoutPassiveTerminals(eni->config);
    return eni->config;
}

std::uint32_t Bits(const eni::Slave& slave, bool outputs) {
    if (!slave.processData)
        return 0;
    const auto& range = outputs ? slave.processData->send : slave.processData->recv;
    return range ? range->bitLength : 0;
}

// Scans emulated slaves built from `source` and writes their ENI.
std::string ScanAndWrite(const eni::NetworkConfig& source) {
    auto segment = emulator::BuildSegment(source, emulator::Description{});
    emulator::InProcessLink link(*segment);
    master::Exchange exchange(link, master::ExchangeOptions{});
    auto scanned = master::ScanNetwork(exchange);
    EXPECT_TRUE(scanned) << master::ErrorText(scanned.error());
    // The cycle the source runs at: its drives expect their SYNC0 at it.
    EniWriteOptions options;
    if (!source.cyclic.empty())
        options.cycleUs = source.cyclic[0].cycleTimeUs;
    return scanned ? WriteEni(*scanned, options) : std::string();
}

TEST(EniWriter, TheWrittenFileDefinesTheScannedSlavesAsTheSourceDoes) {
    const std::vector<fs::path> files =
        testsupport::XmlFiles({EXAMPLES_DIR, SHARED_SAMPLES_DIR, SHARED_CORPUS_DIR});
    ASSERT_GE(files.size(), 10u);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const eni::NetworkConfig source = Source(file);
        const std::string text = ScanAndWrite(source);
        auto written = eni::ReadEniText(text);
        ASSERT_TRUE(written) << written.error().message << "\n" << text.substr(0, 2000);
        const eni::NetworkConfig& got = written->config;
        ASSERT_EQ(got.slaves.size(), source.slaves.size());
        const std::vector<std::size_t> order = testsupport::WireOrder(source);
        std::uint32_t outputBytes = 0, inputBytes = 0;
        for (std::size_t p = 0; p < order.size(); ++p) {
            SCOPED_TRACE("position " + std::to_string(p));
            const eni::Slave& want = source.slaves[order[p]];
            const eni::Slave& slave = got.slaves[p];
            EXPECT_EQ(slave.identity.vendorId, want.identity.vendorId);
            EXPECT_EQ(slave.identity.productCode, want.identity.productCode);
            EXPECT_EQ(slave.identity.revisionNo, want.identity.revisionNo);
            EXPECT_EQ(slave.physAddr, 1001 + p);
            EXPECT_EQ(Bits(slave, true), Bits(want, true));
            EXPECT_EQ(Bits(slave, false), Bits(want, false));
            outputBytes = std::max(outputBytes, (slave.processData && slave.processData->send)
                                                    ? (slave.processData->send->bitStart +
                                                       slave.processData->send->bitLength + 7) /
                                                          8
                                                    : 0);
            inputBytes = std::max(inputBytes, (slave.processData && slave.processData->recv)
                                                  ? (slave.processData->recv->bitStart +
                                                     slave.processData->recv->bitLength + 7) /
                                                        8
                                                  : 0);
            // The tree: the same port of the same slave as the source names.
            if (want.previousPort && p > 0) {
                ASSERT_TRUE(slave.previousPort);
                const auto parent =
                    std::find_if(got.slaves.begin(), got.slaves.end(), [&](const eni::Slave& s) {
                        return s.physAddr == slave.previousPort->physAddr;
                    });
                ASSERT_NE(parent, got.slaves.end());
                const auto at = static_cast<std::size_t>(parent - got.slaves.begin());
                EXPECT_EQ(source.slaves[order[at]].physAddr, want.previousPort->physAddr);
                EXPECT_EQ(slave.previousPort->port, want.previousPort->port);
            }
        }
        // The images hold every slave's bits, and the inputs the AL status read.
        EXPECT_GE(got.processImage.outputBytes, outputBytes);
        EXPECT_GE(got.processImage.inputBytes, inputBytes + 12);
        ASSERT_EQ(got.cyclic.size(), 1u);
        EXPECT_EQ(got.cyclic[0].cycleTimeUs,
                  source.cyclic.empty() ? 1000u : source.cyclic[0].cycleTimeUs);
    }
}

TEST(EniWriter, TheWrittenFileTakesTheSameSlavesToOp) {
    master::StateMachineOptions options;
    options.monitorPeriod = std::chrono::milliseconds(20);
    options.realtimeCycle = false;
    for (const fs::path& file :
         testsupport::XmlFiles({EXAMPLES_DIR, SHARED_SAMPLES_DIR, SHARED_CORPUS_DIR})) {
        SCOPED_TRACE(file.string());
        const eni::NetworkConfig source = Source(file);
        auto written = eni::ReadEniText(ScanAndWrite(source));
        ASSERT_TRUE(written);
        const eni::NetworkConfig& config = written->config;
        auto segment = emulator::BuildSegment(source, emulator::Description{});
        emulator::InProcessLink link(*segment);
        master::Exchange exchange(link, master::ExchangeOptions{});
        auto found = master::BringUp(exchange, config);
        ASSERT_TRUE(found);
        master::StateMachine machine(exchange, config, found->found(), options);
        for (const AlState target : {AlState::kOp, AlState::kInit}) {
            machine.Request(target);
            ASSERT_TRUE(
                machine.WaitIdle(std::chrono::steady_clock::now() + std::chrono::seconds(30)));
            EXPECT_EQ(machine.reached(), target);
        }
    }
}

// The sync manager and FMMU bytes real exports write for PREOP -> SAFEOP,
// byte for byte, for the exports that lay the process image out as the
// written file does (slaves one after the other in ring order, outputs and
// inputs of a slave on the same logical bytes).
TEST(EniWriter, ProcessDataCommandsAreTheExportsBytes) {
    for (const char* name :
         {"eterpega_march_ii.xml", "eterpega_march_inputdevice.xml", "bigcjv_6axis_servo.xml"}) {
        const fs::path file = fs::path(SHARED_CORPUS_DIR) / name;
        SCOPED_TRACE(file.string());
        ASSERT_TRUE(fs::exists(file));
        const eni::NetworkConfig source = Source(file);
        auto written = eni::ReadEniText(ScanAndWrite(source));
        ASSERT_TRUE(written);
        const auto commands = [](const eni::Slave& slave) {
            std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> out;
            for (const eni::InitCmd& cmd : slave.initCmds) {
                const std::uint16_t ado = cmd.datagram.ado;
                const bool smOrFmmu =
                    ado >= 0x0600 && ado < 0x0900 && !cmd.datagram.data.empty() &&
                    std::any_of(cmd.datagram.data.begin(), cmd.datagram.data.end(),
                                [](std::uint8_t b) { return b != 0; });
                if (cmd.transitions.Has(eni::Transition::kPS) && smOrFmmu &&
                    (ado < 0x0800 || ado >= 0x0810))
                    out.emplace_back(ado, cmd.datagram.data);
            }
            return out;
        };
        ASSERT_EQ(written->config.slaves.size(), source.slaves.size());
        for (std::size_t p = 0; p < source.slaves.size(); ++p) {
            SCOPED_TRACE("slave " + std::to_string(p));
            const auto want = commands(source.slaves[p]);
            EXPECT_EQ(want.empty(), !source.slaves[p].processData);
            EXPECT_EQ(commands(written->config.slaves[p]), want);
        }
    }
}

// DC where the SII asks for it: the first such slave is the reference
// clock, SYNC0 runs at the cycle, the activation is the SII's; the master
// clears the DC registers first. A slave whose PDOs came from the SII
// because CoE failed gets no PDO downloads, and the file says why.
TEST(EniWriter, DcAndTheSiisDefaultsAreWrittenAsTheScanFoundThem) {
    master::ScannedNetwork network;
    for (std::uint16_t p = 0; p < 3; ++p) {
        master::ScannedSlave& s = network.slaves.emplace_back();
        s.position = p;
        s.stationAddress = static_cast<std::uint16_t>(1001 + p);
        s.identity = {2, 0x100u + p, 1};
        s.dcCapable = true;
        s.mailboxOutStart = 0x1000, s.mailboxOutSize = 128;
        s.mailboxInStart = 0x1080, s.mailboxInSize = 128;
        s.mailboxProtocols = 0x04;
        s.coeDetails = 0x0D;
    }
    network.slaves[1].dcNeeded = network.slaves[2].dcNeeded = true;
    network.slaves[1].assignActivate = 0x0300;
    network.slaves[2].assignActivate = 0x0700;
    network.slaves[2].pdoNote = "0x1C12:00 not read by CoE";
    // Slave 0 maps and assigns otherwise than its SII: downloads; slave 1
    // is at its SII's PDOs: none.
    for (master::ScannedSlave& s : network.slaves) {
        s.sms.push_back({0x1000, 128, 0x26, true, 1});
        s.sms.push_back({0x1080, 128, 0x22, true, 2});
        s.sms.push_back({0x1100, 0, 0x64, true, 3});
        master::ScannedPdo& pdo = s.rxPdos.emplace_back();
        pdo.index = 0x1600;
        pdo.sm = 2;
        pdo.entries.push_back({0x7000, 1, 16, 6, "Output"});
    }
    network.slaves[0].assignmentChanged = true;
    network.slaves[0].rxPdos[0].mappingChanged = true;
    const std::string text = WriteEni(network, {.cycleUs = 2000});
    auto written = eni::ReadEniText(text);
    ASSERT_TRUE(written) << written.error().message;
    const auto& slaves = written->config.slaves;
    ASSERT_EQ(slaves.size(), 3u);
    EXPECT_FALSE(slaves[0].dc);
    ASSERT_TRUE(slaves[1].dc && slaves[2].dc);
    EXPECT_TRUE(slaves[1].dc->referenceClock);
    EXPECT_FALSE(slaves[2].dc->referenceClock);
    EXPECT_EQ(slaves[2].dc->cycleTime0, 2000000u);
    const auto activation = [](const eni::Slave& slave) {
        for (const eni::InitCmd& cmd : slave.initCmds)
            if (cmd.datagram.ado == 0x0980 && cmd.transitions.Has(eni::Transition::kPS))
                return cmd.datagram.data;
        return std::vector<std::uint8_t>{};
    };
    EXPECT_EQ(activation(slaves[1]), (std::vector<std::uint8_t>{0x00, 0x03}));
    EXPECT_EQ(activation(slaves[2]), (std::vector<std::uint8_t>{0x00, 0x07}));
    EXPECT_TRUE(std::any_of(written->config.masterInitCmds.begin(),
                            written->config.masterInitCmds.end(),
                            [](const eni::InitCmd& c) { return c.datagram.ado == 0x0910; }));
    EXPECT_EQ(written->config.cyclic.at(0).cycleTimeUs, 2000u);
    // 0x1C12 and 0x1C13 cleared, 0x1600 cleared, mapped and counted, 0x1C12
    // assigned, both counted.
    ASSERT_TRUE(slaves[0].mailbox && slaves[1].mailbox && slaves[2].mailbox);
    std::vector<std::pair<std::uint16_t, std::uint8_t>> sdos;
    for (const eni::CoeInitCmd& cmd : slaves[0].mailbox->coeInitCmds)
        sdos.emplace_back(cmd.index, cmd.subIndex);
    const std::vector<std::pair<std::uint16_t, std::uint8_t>> want{
        {0x1C12, 0}, {0x1600, 0}, {0x1600, 1}, {0x1600, 0},
        {0x1C12, 1}, {0x1C12, 0}, {0x1C13, 0}, {0x1C13, 0}};
    EXPECT_EQ(sdos, want);
    EXPECT_EQ(slaves[0].mailbox->coeInitCmds[2].data,
              (std::vector<std::uint8_t>{0x10, 0x01, 0x00, 0x70}));
    EXPECT_TRUE(slaves[1].mailbox->coeInitCmds.empty());
    EXPECT_TRUE(slaves[2].mailbox->coeInitCmds.empty());
    ASSERT_TRUE(slaves[0].processData && slaves[0].processData->send);
    EXPECT_EQ(slaves[0].processData->send->bitLength, 16u);
    EXPECT_NE(text.find("0x1C12:00 not read by CoE"), std::string::npos);
}

}  // namespace
}  // namespace parvane::scan
