// Every ENI file in the shared sample folder loads and yields the identities
// of its NAME.expected.tsv (position, vendor, product, revision in hex; NA for
// an element the file does not have, which reads as 0). The stream reader
// reads the shared files and variants of them exactly as the whole-document
// reader does, or gives them up.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

#include "eni/eni_reader.h"
#include "tests/support/eni_files.h"
#include "tests/support/eni_model_text.h"

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

// The real exports of the corpus too: one writes revision numbers as signed
// decimals.
TEST(EniSamples, EverySampleYieldsItsExpectedIdentities) {
    if (!fs::is_directory(ENI_SAMPLES_DIR))
        GTEST_SKIP() << "no sample folder at " << ENI_SAMPLES_DIR;
    int samples = 0;
    for (const fs::path& file : testsupport::XmlFiles({ENI_SAMPLES_DIR, ENI_CORPUS_DIR})) {
        SCOPED_TRACE(file.filename().string());
        fs::path tsv = file;
        tsv.replace_extension(".expected.tsv");
        ASSERT_TRUE(fs::exists(tsv));
        auto eni = ReadEniFile(file);
        ASSERT_TRUE(eni.has_value()) << eni.error().message;
        EXPECT_EQ(eni->slaves, Expected(tsv));
        ++samples;
    }
    EXPECT_GT(samples, 0);
}

std::string Replaced(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Every element name with the prefix p.
std::string Prefixed(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] != '<')
            continue;
        if (text[i + 1] == '/')
            out += text[++i];
        if (std::isalpha(static_cast<unsigned char>(text[i + 1])))
            out += "p:";
    }
    return Replaced(out, "<p:EtherCATConfig", "<p:EtherCATConfig xmlns:p=\"urn:p\"");
}

// An XML declaration past the bytes searched for the encoding, naming Latin-1.
std::string LongDeclaration(std::string text) {
    const std::size_t end = text.starts_with("<?xml") ? text.find("?>") + 2 : 0;
    return "<?xml version=\"1.0\"" + std::string(300, ' ') + "encoding=\"latin1\"?>" +
           Replaced(text.substr(end), "<Name>", "<Name>\xE9");
}

TEST(EniSamples, TheStreamReadsWhatTheWholeDocumentReads) {
    struct Variant {
        const char* name;
        std::string (*of)(std::string);
        bool streams;  // when the whole-document reader reads it without notes
    };
    const Variant variants[] = {
        {"as is", [](std::string t) { return t; }, true},
        {"CRLF", [](std::string t) { return Replaced(Replaced(t, "\r\n", "\n"), "\n", "\r\n"); },
         true},
        {"asides",
         [](std::string t) { return Replaced(t, "<Slave>", "<!--<Slave>--><?p?>\n<Slave>"); },
         true},
        {"escapes",
         [](std::string t) {
             return Replaced(t, "<Name>", "<Name>\xC3\xA9<![CDATA[<a>]]>&amp;&#x41;");
         },
         true},
        {"prefixed", Prefixed, true},
        {"zero byte",
         [](std::string t) {
             return Replaced(t, "</Master>", std::string_view("</Master\0>", 10));
         },
         false},
        {"long declaration", LongDeclaration, false},
    };
    int streamed = 0;
    for (const fs::path& file : testsupport::XmlFiles({ENI_SAMPLES_DIR, ENI_CORPUS_DIR})) {
        std::ifstream in(file, std::ios::binary);
        const std::string original{std::istreambuf_iterator<char>(in), {}};
        for (const Variant& variant : variants) {
            SCOPED_TRACE(file.filename().string() + ", " + variant.name);
            const std::string text = variant.of(original);
            const auto whole = ReadWholeDocument(text);
            for (std::size_t chunk : {7, 4096}) {
                const auto stream = StreamText(text, chunk);
                EXPECT_EQ(stream.has_value(),
                          variant.streams && whole && whole->notes.missingElements == 0);
                if (!stream)
                    continue;
                ++streamed;
                EXPECT_EQ(ModelText(*stream), whole ? ModelText(*whole) : whole.error().message);
            }
        }
    }
    if (streamed == 0)
        GTEST_SKIP() << "no shared ENI files";
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
