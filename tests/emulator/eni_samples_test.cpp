// The segment built from every ENI in examples/ and in the shared sample
// folder reports the expected identities through its EEPROMs, read the way a
// master reads them: raw datagrams to the SII interface, busy polled.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "emulator_test_support.h"
#include "eni/eni_reader.h"
#include "tests/support/eni_files.h"

namespace parvane::emulator::test {
namespace {

namespace fs = std::filesystem;

std::vector<eni::SlaveIdentity> FromTsv(const fs::path& tsv) {
    std::vector<eni::SlaveIdentity> slaves;
    std::ifstream file(tsv);
    std::string line;
    auto field = [](const std::string& t) {
        return t == "NA" ? 0u : static_cast<std::uint32_t>(std::stoul(t, nullptr, 16));
    };
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string position, vendor, product, revision;
        if (fields >> position >> vendor >> product >> revision)
            slaves.push_back({field(vendor), field(product), field(revision)});
    }
    return slaves;
}

// One EEPROM location through the interface, as a master reads it.
std::uint32_t ReadEeprom(Segment& segment, std::uint16_t position, std::uint16_t word) {
    const std::uint16_t adp = static_cast<std::uint16_t>(0u - position);
    EXPECT_EQ(Exchange(segment, 2, adp, 0x0500, Zeros(1)).wkc, 1);
    const Reply command = Exchange(segment, 2, adp, 0x0502,
                                   Bytes{0x00, 0x01, static_cast<std::uint8_t>(word),
                                         static_cast<std::uint8_t>(word >> 8), 0, 0});
    EXPECT_EQ(command.wkc, 1);
    for (int poll = 0;; ++poll) {
        const Bytes status = Exchange(segment, 1, adp, 0x0502, Zeros(2)).data;
        if ((status[1] & 0x87) == 0)  // neither busy nor a command pending
            break;
        if (poll == 100) {
            ADD_FAILURE() << "EEPROM stays busy";
            return 0;
        }
    }
    const Bytes d = Exchange(segment, 1, adp, 0x0508, Zeros(4)).data;
    return static_cast<std::uint32_t>(d[0] | (d[1] << 8) | (d[2] << 16) | (d[3] << 24));
}

void CheckIdentities(const fs::path& eni, const std::vector<eni::SlaveIdentity>& expected,
                     const std::string& description = "{}") {
    auto config = LoadEniConfig(eni);
    ASSERT_TRUE(config.has_value()) << config.error().message;
    auto d = ReadDescriptionText(description);
    ASSERT_TRUE(d.has_value());
    FakeClock clock;
    auto segment = BuildSegment(*config, *d, clock.source());
    ASSERT_EQ(segment->size(), expected.size());
    EXPECT_EQ(Exchange(*segment, 7, 0, 0x0000, Zeros(1)).wkc, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("slave " + std::to_string(i));
        const auto position = static_cast<std::uint16_t>(i);
        EXPECT_EQ(ReadEeprom(*segment, position, 8), expected[i].vendorId);
        EXPECT_EQ(ReadEeprom(*segment, position, 0x0A), expected[i].productCode);
        EXPECT_EQ(ReadEeprom(*segment, position, 0x0C), expected[i].revisionNo);
    }
}

TEST(EniSamples, SharedSamplesReportTheirExpectedIdentities) {
    const fs::path folder = ENI_SAMPLES_DIR;
    if (!fs::is_directory(folder))
        GTEST_SKIP() << "no sample folder at " << folder;
    int samples = 0;
    for (const fs::path& file : testsupport::XmlFiles({folder})) {
        SCOPED_TRACE(file.filename().string());
        fs::path tsv = file;
        tsv.replace_extension(".expected.tsv");
        ASSERT_TRUE(fs::exists(tsv));
        CheckIdentities(file, FromTsv(tsv));
        ++samples;
    }
    EXPECT_GT(samples, 0);
}

TEST(EniSamples, ExamplesReportTheIdentitiesTheirEniNames) {
    int examples = 0;
    for (const auto& entry : fs::directory_iterator(EXAMPLES_DIR)) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".eni.xml"))
            continue;
        SCOPED_TRACE(name);
        auto eni = eni::ReadEniFile(entry.path());
        ASSERT_TRUE(eni.has_value()) << eni.error().message;
        CheckIdentities(entry.path(), eni->slaves);
        ++examples;
    }
    EXPECT_GT(examples, 0);
}

TEST(EniSamples, TheRevisionMismatchExampleChangesOneRevision) {
    const fs::path folder = EXAMPLES_DIR;
    std::ifstream file(folder / "five-slaves.revision-mismatch.sim.json");
    std::stringstream text;
    text << file.rdbuf();
    auto eni = eni::ReadEniFile(folder / "five-slaves.eni.xml");
    ASSERT_TRUE(eni.has_value());
    auto expected = eni->slaves;
    expected[2].revisionNo = 0x00100000;
    CheckIdentities(folder / "five-slaves.eni.xml", expected, text.str());
}

}  // namespace
}  // namespace parvane::emulator::test
