// Bring-up and EEPROM reads through real frames against the emulated slaves
// in this process, for every ENI of the project's examples and of the shared
// real-world samples (identities as their .expected.tsv files give them).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ecat/byte_order.h"
#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/eeprom.h"

namespace parvane::master {
namespace {

namespace fs = std::filesystem;

struct Expected {
    std::uint32_t vendor = 0, product = 0;
    std::optional<std::uint32_t> revision;  // NA: the ENI gives none
};

std::vector<Expected> ReadExpected(const fs::path& tsv) {
    std::vector<Expected> rows;
    std::ifstream in(tsv);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string position, vendor, product, revision;
        fields >> position >> vendor >> product >> revision;
        Expected e;
        e.vendor = static_cast<std::uint32_t>(std::stoul(vendor, nullptr, 16));
        e.product = static_cast<std::uint32_t>(std::stoul(product, nullptr, 16));
        if (revision != "NA")
            e.revision = static_cast<std::uint32_t>(std::stoul(revision, nullptr, 16));
        rows.push_back(e);
    }
    return rows;
}

std::vector<fs::path> EniFiles() {
    std::vector<fs::path> files;
    for (const fs::path& dir : {fs::path(EXAMPLES_DIR), fs::path(SHARED_SAMPLES_DIR)}) {
        if (!fs::is_directory(dir))
            continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (name.ends_with(".eni.xml") ||
                (name.ends_with(".xml") &&
                 fs::exists(fs::path(entry.path()).replace_extension(".expected.tsv"))))
                files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

using EmulatedBringUp = ::testing::Test;

TEST_F(EmulatedBringUp, EveryEniGivesTheIdentitiesItDefines) {
    const std::vector<fs::path> files = EniFiles();
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        auto eni = eni::ReadEniFile(file);
        ASSERT_TRUE(eni) << eni.error().message;
        auto segment = emulator::BuildSegment(eni->config, emulator::Description{});
        emulator::InProcessLink link(*segment);
        Exchange exchange(link, ExchangeOptions{});
        auto found = BringUp(exchange, eni->config);
        ASSERT_TRUE(found);
        ASSERT_EQ(found->slaves.size(), eni->config.slaves.size());

        fs::path tsv = fs::path(file).replace_extension(".expected.tsv");
        std::vector<Expected> expected;
        if (fs::exists(tsv)) {
            expected = ReadExpected(tsv);
        } else {
            for (const auto& s : eni->slaves)
                expected.push_back({s.vendorId, s.productCode, s.revisionNo});
        }
        ASSERT_EQ(expected.size(), found->slaves.size());
        for (std::size_t p = 0; p < expected.size(); ++p) {
            const SegmentSlave& slave = found->slaves[p];
            ASSERT_TRUE(slave.identity) << "slave " << p;
            EXPECT_EQ(slave.identity->vendorId, expected[p].vendor) << "slave " << p;
            EXPECT_EQ(slave.identity->productCode, expected[p].product) << "slave " << p;
            EXPECT_EQ(slave.identity->revisionNo, expected[p].revision.value_or(0))
                << "slave " << p;
            EXPECT_EQ(segment->slave(p).stationAddress(), slave.found.stationAddress);
            if (eni->config.slaves[p].physAddr != 0) {
                EXPECT_EQ(slave.found.stationAddress, eni->config.slaves[p].physAddr);
            }

            // A single read of the vendor ID through the EEPROM interface.
            auto words = ReadEepromWords(exchange, slave.found.stationAddress, 8);
            ASSERT_TRUE(words) << ErrorText(words.error());
            EXPECT_EQ(ecat::Get32(words->bytes.data()), expected[p].vendor);
        }
        EXPECT_EQ(exchange.counters().framesLost, 0u);
    }
}

TEST_F(EmulatedBringUp, SlowAndFailingEepromsAndALossyWire) {
    auto eni = eni::ReadEniFile(fs::path(EXAMPLES_DIR) / "five-slaves.eni.xml");
    ASSERT_TRUE(eni);
    auto description = emulator::ReadDescriptionText(R"({
        "slaves": [{}, {"eeprom_busy_us": 3000}, {"eeprom_errors": 2}, {}, {}],
        "lose_every": 7})");
    ASSERT_TRUE(description) << description.error().message;
    auto segment = emulator::BuildSegment(eni->config, *description);
    emulator::InProcessLink link(*segment);
    Exchange exchange(link, ExchangeOptions{});
    auto found = BringUp(exchange, eni->config);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->slaves.size(), 5u);
    for (std::size_t p = 0; p < 5; ++p) {
        ASSERT_TRUE(found->slaves[p].identity) << p;
        EXPECT_EQ(*found->slaves[p].identity, eni->slaves[p]) << p;
    }
    EXPECT_GT(exchange.counters().framesLost, 0u);
}

TEST_F(EmulatedBringUp, ASilentSegmentIsNoReply) {
    auto eni = eni::ReadEniFile(fs::path(EXAMPLES_DIR) / "five-slaves.eni.xml");
    ASSERT_TRUE(eni);
    auto description = emulator::ReadDescriptionText(R"({"silent_after_frames": 0})");
    ASSERT_TRUE(description) << description.error().message;
    auto segment = emulator::BuildSegment(eni->config, *description);
    emulator::InProcessLink link(*segment);
    ExchangeOptions options;
    options.replyTimeout = std::chrono::microseconds(100);
    Exchange exchange(link, options);
    auto found = BringUp(exchange, eni->config);
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error(), Errc::kNoReply);
}

}  // namespace
}  // namespace parvane::master
