// The scan of a segment with no ENI, against emulated slaves built from
// every ENI of the examples, the shared samples and the real exports: what it
// finds (identities, station addresses, process data sizes, the tree the
// PreviousPort elements describe) is what the file defines, and it leaves
// every slave in INIT.
#include "master/network_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/state_machine.h"
#include "tests/support/eni_files.h"

namespace parvane::master {
namespace {

namespace fs = std::filesystem;

TEST(NetworkScan, EveryEniFileIsFoundAsItDefinesItsSlaves) {
    const std::vector<fs::path> files =
        testsupport::XmlFiles({EXAMPLES_DIR, SHARED_SAMPLES_DIR, SHARED_CORPUS_DIR});
    ASSERT_GE(files.size(), 10u);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        auto eni = eni::ReadEniFile(file);
        ASSERT_TRUE(eni) << eni.error().message;
        eni::WithoutPassiveTerminals(eni->config);
        const eni::NetworkConfig& config = eni->config;
        auto segment = emulator::BuildSegment(config, emulator::Description{});
        emulator::InProcessLink link(*segment);
        Exchange exchange(link, ExchangeOptions{});
        std::vector<ScanProgress> steps;
        auto scanned = ScanNetwork(exchange, {[&](const ScanProgress& p) { steps.push_back(p); }});
        ASSERT_TRUE(scanned) << ErrorText(scanned.error());
        ASSERT_EQ(scanned->slaves.size(), config.slaves.size());
        const std::vector<std::size_t> order = testsupport::WireOrder(config);
        std::vector<std::size_t> positionOf(order.size());
        for (std::size_t p = 0; p < order.size(); ++p)
            positionOf[order[p]] = p;

        for (std::size_t p = 0; p < order.size(); ++p) {
            SCOPED_TRACE("position " + std::to_string(p));
            const ScannedSlave& got = scanned->slaves[p];
            const eni::Slave& want = config.slaves[order[p]];
            EXPECT_EQ(got.stationAddress, 1001 + p);
            EXPECT_EQ(got.identity.vendorId, want.identity.vendorId);
            EXPECT_EQ(got.identity.productCode, want.identity.productCode);
            EXPECT_EQ(got.identity.revisionNo, want.identity.revisionNo);
            EXPECT_FALSE(got.name.empty());
            const auto bits = [](const std::optional<eni::ProcessData>& pd, bool out) {
                if (!pd)
                    return 0u;
                const auto& range = out ? pd->send : pd->recv;
                return range ? range->bitLength : 0u;
            };
            EXPECT_EQ(got.outputBits(), bits(want.processData, true));
            EXPECT_EQ(got.inputBits(), bits(want.processData, false));
            EXPECT_EQ(got.mailboxOutSize, want.mailbox ? want.mailbox->sendLength : 0);
            // A file without process data may assign PDOs its slave does
            // not define: the scan says it fell back to the SII.
            if (want.processData) {
                EXPECT_EQ(got.pdoNote, std::nullopt);
            }
            EXPECT_EQ(segment->slave(p).state(), ecat::AlState::kInit);
            // The tree: where the file names a previous port, the scan hangs
            // the slave on that port of that slave.
            if (want.previousPort && p > 0) {
                ASSERT_TRUE(got.parent);
                const eni::Slave& parent = config.slaves[order[*got.parent]];
                EXPECT_EQ(parent.physAddr, want.previousPort->physAddr);
                EXPECT_EQ('A' + got.parentPort, want.previousPort->port);
            }
        }
        ASSERT_FALSE(steps.empty());
        EXPECT_EQ(steps.front().stage, ScanProgress::Stage::kFound);
        EXPECT_EQ(steps.front().total, config.slaves.size());
    }
}

// What the scan makes of slaves that misbehave: slow or failing EEPROMs,
// a wire that loses frames, a CoE slave that never reaches PREOP, a
// network a previous run left in OP. It always ends with every slave in
// INIT.
TEST(NetworkScan, SlavesThatMisbehaveAreStillFoundAndLeftInInit) {
    const struct {
        const char* name;
        const char* description;
        bool startInOp;
        std::optional<std::size_t> noted;  // the slave whose PDOs come from its SII
    } cases[] = {
        {"as they are", R"({})", false, std::nullopt},
        {"slow and failing EEPROMs, a lossy wire",
         R"({"slaves": [{}, {"eeprom_busy_us": 3000}, {"eeprom_errors": 2}, {}, {}],
             "lose_every": 7})",
         false, std::nullopt},
        {"a CoE slave that stays in INIT", R"({"slaves": [{}, {}, {}, {"max_state": 1}, {}]})",
         false, 3},
        {"a network left in OP", R"({})", true, std::nullopt},
    };
    auto eni = eni::ReadEniFile(fs::path(EXAMPLES_DIR) / "five-slaves.eni.xml");
    ASSERT_TRUE(eni);
    const eni::NetworkConfig& config = eni->config;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto description = emulator::ReadDescriptionText(c.description);
        ASSERT_TRUE(description) << description.error().message;
        auto segment = emulator::BuildSegment(config, *description);
        emulator::InProcessLink link(*segment);
        Exchange exchange(link, ExchangeOptions{});
        std::unique_ptr<StateMachine> machine;
        if (c.startInOp) {
            auto found = BringUp(exchange, config);
            ASSERT_TRUE(found);
            StateMachineOptions options;
            options.realtimeCycle = false;
            machine = std::make_unique<StateMachine>(exchange, config, found->found(), options);
            machine->Request(ecat::AlState::kOp);
            ASSERT_TRUE(
                machine->WaitIdle(std::chrono::steady_clock::now() + std::chrono::seconds(30)));
            ASSERT_EQ(machine->reached(), ecat::AlState::kOp);
            machine.reset();  // its process data stops; the slaves stay in OP
            ASSERT_EQ(segment->slave(0).state(), ecat::AlState::kOp);
        }
        auto scanned = ScanNetwork(exchange);
        ASSERT_TRUE(scanned) << ErrorText(scanned.error());
        ASSERT_EQ(scanned->slaves.size(), config.slaves.size());
        for (std::size_t p = 0; p < config.slaves.size(); ++p) {
            SCOPED_TRACE("slave " + std::to_string(p));
            EXPECT_EQ(scanned->slaves[p].identity.productCode,
                      config.slaves[p].identity.productCode);
            EXPECT_EQ(segment->slave(p).state(), ecat::AlState::kInit);
            EXPECT_EQ(scanned->slaves[p].pdoNote.has_value(), c.noted == p)
                << scanned->slaves[p].pdoNote.value_or("");
            // Where the CoE read failed, the SII's default PDOs stand in.
            EXPECT_EQ(scanned->slaves[p].inputBits(),
                      config.slaves[p].processData && config.slaves[p].processData->recv
                          ? config.slaves[p].processData->recv->bitLength
                          : 0u);
        }
    }
}

TEST(NetworkScan, AnEmptyWireIsNoReply) {
    eni::NetworkConfig none;
    auto segment = emulator::BuildSegment(none, emulator::Description{});
    emulator::InProcessLink link(*segment);
    Exchange exchange(link, ExchangeOptions{});
    auto scanned = ScanNetwork(exchange);
    ASSERT_FALSE(scanned);
    EXPECT_EQ(scanned.error(), Errc::kNoReply);
}

}  // namespace
}  // namespace parvane::master
