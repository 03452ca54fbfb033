// Every ENI file in the shared sample folder loads and yields the identities
// of its NAME.expected.tsv (position, vendor, product, revision in hex; NA for
// an element the file does not have, which reads as 0).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "eni/eni_reader.h"

namespace parvane::eni {
namespace {

namespace fs = std::filesystem;

std::uint32_t Field(const std::string& text) {
    return text == "NA" ? 0 : static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
}

std::vector<SlaveIdentity> Expected(const fs::path& tsv) {
    std::vector<SlaveIdentity> slaves;
    std::ifstream file(tsv);
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty())
            continue;
        std::istringstream fields(line);
        std::string position, vendor, product, revision;
        fields >> position >> vendor >> product >> revision;
        EXPECT_EQ(std::stoul(position), slaves.size()) << tsv << ": " << line;
        slaves.push_back({Field(vendor), Field(product), Field(revision)});
    }
    return slaves;
}

TEST(EniSamples, EverySampleYieldsItsExpectedIdentities) {
    fs::path folder = ENI_SAMPLES_DIR;
    if (!fs::is_directory(folder))
        GTEST_SKIP() << "no sample folder at " << folder;
    int samples = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".xml")
            continue;
        SCOPED_TRACE(entry.path().filename().string());
        fs::path tsv = entry.path();
        tsv.replace_extension(".expected.tsv");
        ASSERT_TRUE(fs::exists(tsv));
        auto eni = ReadEniFile(entry.path());
        ASSERT_TRUE(eni.has_value()) << eni.error().message;
        EXPECT_EQ(eni->slaves, Expected(tsv));
        ++samples;
    }
    EXPECT_GT(samples, 0);
}

TEST(EniSamples, MissingRevisionIsNoted) {
    fs::path file = fs::path(ENI_SAMPLES_DIR) / "jnec-compliant-handwritten.xml";
    if (!fs::exists(file))
        GTEST_SKIP() << "no sample " << file;
    auto eni = ReadEniFile(file);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    EXPECT_EQ(eni->notes.missingElements, 1u);
    ASSERT_EQ(eni->notes.lines.size(), 1u);
    EXPECT_NE(eni->notes.lines[0].find("slave 1"), std::string::npos) << eni->notes.lines[0];
    EXPECT_NE(eni->notes.lines[0].find("RevisionNo"), std::string::npos) << eni->notes.lines[0];
}

TEST(EniSamples, TheFiveSlaveExampleLoads) {
    auto eni = ReadEniFile(fs::path(EXAMPLES_DIR) / "five-slaves.eni.xml");
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    ASSERT_EQ(eni->slaves.size(), 5u);
    EXPECT_EQ(eni->slaves[0], (SlaveIdentity{2, 0x0C1E2C52, 0x00120000}));
    EXPECT_EQ(eni->slaves[4], (SlaveIdentity{2, 0x0FA03052, 0x00140000}));
    EXPECT_EQ(eni->notes.missingElements, 0u);
}

}  // namespace
}  // namespace parvane::eni
