#include "tests/corpus/corpus_cases.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <sstream>

namespace corpustest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

std::uint32_t Field(const std::string& text) {
    return text == "NA" ? 0 : static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
}

// The name without a namespace prefix.
std::string_view Local(const pugi::xml_node& node) {
    std::string_view name = node.name();
    const auto colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node Child(const pugi::xml_node& parent, std::string_view name) {
    for (pugi::xml_node child : parent.children()) {
        if (child.type() == pugi::node_element && Local(child) == name)
            return child;
    }
    return {};
}

// Config/Slave by Config/Slave: whether each is a passive terminal.
std::vector<bool> PassiveSlaves(const fs::path& eni) {
    pugi::xml_document document;
    EXPECT_TRUE(document.load_file(eni.c_str())) << eni;
    std::vector<bool> passive;
    for (pugi::xml_node slave : Child(document.document_element(), "Config").children()) {
        if (slave.type() != pugi::node_element || Local(slave) != "Slave")
            continue;
        const pugi::xml_node info = Child(slave, "Info");
        passive.push_back(!Child(info, "PhysAddr") && !Child(info, "AutoIncAddr") &&
                          !Child(slave, "ProcessData") && !Child(slave, "Mailbox") &&
                          !Child(slave, "InitCmds"));
    }
    return passive;
}

std::string TestName(std::string stem) {
    std::replace_if(
        stem.begin(), stem.end(),
        [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return stem;
}

std::uint32_t Number(const json& value) {
    return value.is_number_unsigned() ? value.get<std::uint32_t>() : 0xDEADBEEFu;
}

Identity IdentityOf(const json& object) {
    if (!object.is_object())
        return {0xDEADBEEFu, 0xDEADBEEFu, 0xDEADBEEFu};
    return {Number(object["vendor_id"]), Number(object["product_code"]),
            Number(object["revision_no"])};
}

std::string Text(const Identity& id) {
    char text[40];
    std::snprintf(text, sizeof text, "%08x %08x %08x", id.vendorId, id.productCode, id.revisionNo);
    return text;
}

}  // namespace

void PrintTo(const CorpusFile& file, std::ostream* out) {
    *out << file.eni.string();
}

std::vector<CorpusFile> CorpusFiles() {
    std::vector<CorpusFile> files;
    for (const fs::path& folder : {fs::path(CORPUS_DIR), fs::path(SAMPLES_DIR)}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            const fs::path& path = entry.path();
            fs::path tsv = path;
            tsv.replace_extension(".expected.tsv");
            if (path.extension() == ".xml" && fs::exists(tsv))
                files.push_back({TestName(path.stem().string()), path});
        }
    }
    std::sort(files.begin(), files.end(),
              [](const CorpusFile& a, const CorpusFile& b) { return a.name < b.name; });
    return files;
}

std::vector<Identity> ExpectedOnWire(const CorpusFile& file) {
    fs::path tsvPath = file.eni;
    tsvPath.replace_extension(".expected.tsv");
    const std::vector<bool> passive = PassiveSlaves(file.eni);
    std::ifstream tsv(tsvPath);
    std::vector<Identity> identities;
    std::string line;
    std::size_t position = 0;
    while (std::getline(tsv, line)) {
        if (line.empty())
            continue;
        std::istringstream fields(line);
        std::string at, vendor, product, revision;
        fields >> at >> vendor >> product >> revision;
        EXPECT_EQ(std::stoul(at), position) << tsvPath << ": " << line;
        if (position >= passive.size() || !passive[position])
            identities.push_back({Field(vendor), Field(product), Field(revision)});
        ++position;
    }
    EXPECT_EQ(position, passive.size()) << tsvPath << " lists another number of slaves";
    return identities;
}

CorpusRun RunTool(const std::vector<std::string>& driverOptions, const CorpusFile& file) {
    testsupport::TempNode node;
    const fs::path result = node.dir() / "result.json";
    CorpusRun run;
    wiretest::Driver driver(node, driverOptions);
    run.outcome.run = testsupport::Run({(testsupport::BinDir() / "parvane").string(),
                                        "-eni=" + file.eni.string(), "-json=" + result.string()},
                                       wiretest::NodeEnv(node), 300s);
    if (!driver.ready())
        run.outcome.run.err += "\nthe driver did not end its initialisation";
    driver.Stop();
    run.outcome.driverLog = driver.Log();
    if (fs::exists(result))
        run.resultJson = testsupport::ReadFile(result);
    return run;
}

void ExpectIdentities(const CorpusRun& run, const std::vector<Identity>& expected) {
    const std::string count = std::to_string(expected.size());
    EXPECT_NE(run.outcome.run.out.find("ENI-Slaves count[" + count + "] Online-Slaves count[" +
                                       count + "]"),
              std::string::npos)
        << run.outcome.run.out;
    ASSERT_FALSE(run.resultJson.empty()) << "no JSON result";
    const json result = json::parse(run.resultJson, nullptr, false);
    ASSERT_TRUE(result.is_object()) << run.resultJson;
    const json& slaves = result["slaves"];
    ASSERT_TRUE(slaves.is_array()) << run.resultJson;
    ASSERT_EQ(slaves.size(), expected.size()) << run.resultJson;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("slave " + std::to_string(i));
        EXPECT_EQ(Text(IdentityOf(slaves[i]["eni"])), Text(expected[i]));
        EXPECT_EQ(Text(IdentityOf(slaves[i]["online"])), Text(expected[i]));
    }
}

}  // namespace corpustest
