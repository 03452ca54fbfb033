// The result files read back: the JSON's fields as the README documents them,
// the JUnit XML parsed with pugixml.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "tests/e2e/faults_support.h"

namespace faults {
namespace {

using nlohmann::json;
using parvane_e2e::Example;
using testsupport::RunResult;

RunResult RunTool(const TempNode& node, std::vector<std::string> options) {
    options.insert(options.begin(), (BinDir() / "parvane").string());
    return testsupport::Run(options, NodeEnv(node), 120s);
}

json ReadJson(const fs::path& path) {
    return json::parse(testsupport::ReadFile(path));
}

// Test case name -> its failure message ("" when it passed, "skipped" when
// skipped).
std::map<std::string, std::string> TestCases(const pugi::xml_document& document) {
    std::map<std::string, std::string> cases;
    for (pugi::xml_node testCase :
         document.child("testsuites").child("testsuite").children("testcase")) {
        std::string outcome;
        if (testCase.child("failure"))
            outcome = testCase.child("failure").attribute("message").value();
        else if (testCase.child("skipped"))
            outcome = "skipped";
        cases[testCase.attribute("name").value()] = outcome;
    }
    return cases;
}

// Names in a folder, to see that no temporary file is left behind.
std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ResultFiles, APassedRunWithAMismatchedSlave) {
    TempNode node;
    const std::string eni = Example("five-slaves.eni.xml");
    auto driver = StartDriver(
        node, {"-eni=" + eni, "-sim=" + Example("five-slaves.revision-mismatch.sim.json")});
    const fs::path out = node.dir() / "results";
    fs::create_directory(out);
    const RunResult run = RunTool(node, {"-eni=" + eni, "-json=" + (out / "r.json").string(),
                                         "-junit=" + (out / "r.xml").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Names(out), (std::vector<std::string>{"r.json", "r.xml"}));

    const json result = ReadJson(out / "r.json");
    EXPECT_EQ(result["tool"], "parvane");
    EXPECT_EQ(result["version"], "1.0.0.2");
    EXPECT_EQ(result["eni_given"], eni);
    EXPECT_EQ(result["eni_driver"], eni);
    EXPECT_EQ(result["counts"], json({{"eni", 5}, {"online", 5}}));
    ASSERT_EQ(result["slaves"].size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        const json& slave = result["slaves"][i];
        SCOPED_TRACE(i);
        EXPECT_EQ(slave["position"], i);
        EXPECT_EQ(slave["info_acquired"], true);
        EXPECT_EQ(slave["eni"]["vendor_id"], 2);
        EXPECT_EQ(slave["online"]["vendor_id"], 2);
        EXPECT_EQ(slave["unreadable"], json::object());
        EXPECT_EQ(slave["differs"], i == 2 ? json({"revision_no"}) : json::array());
    }
    EXPECT_NE(result["slaves"][2]["eni"]["revision_no"],
              result["slaves"][2]["online"]["revision_no"]);
    const std::vector<std::string> states = {"Pre-Operational", "Safe-Operational", "Operational",
                                             "Init"};
    ASSERT_EQ(result["state_changes"].size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(result["state_changes"][i]["state"], states[i]);
        EXPECT_EQ(result["state_changes"][i]["outcome"], "reached");
        EXPECT_EQ(result["state_changes"][i]["status"], 0);
        EXPECT_TRUE(result["state_changes"][i]["ms"].is_number_unsigned());
    }
    for (const json& step : result["steps"])
        EXPECT_EQ(step["outcome"], "passed") << step;
    EXPECT_EQ(result["status"], 0);
    EXPECT_EQ(result["exit_status"], 0);
    EXPECT_EQ(result["failed_at"], nullptr);
    EXPECT_EQ(result["verdict"], "passed");

    pugi::xml_document junit;
    ASSERT_TRUE(junit.load_file((out / "r.xml").c_str()));
    const auto cases = TestCases(junit);
    EXPECT_EQ(cases.size(), 1u + 4u + 5u);
    EXPECT_EQ(cases.at("STEP 3: Comparison of slave information"), "");
    EXPECT_EQ(cases.at("Slave 1"), "");
    EXPECT_NE(cases.at("Slave 2").find("RevisionNo mismatch."), std::string::npos);
    EXPECT_EQ(junit.child("testsuites").attribute("failures").as_int(), 1);
}

TEST(ResultFiles, AFailedRunIsWrittenToo) {
    TempNode node;
    const std::string eni = Example("five-slaves.eni.xml");
    auto driver = StartDriver(
        node, {"-eni=" + eni, "-sim=" + Example("five-slaves.stops-at-safeop.sim.json")});
    const fs::path json = node.dir() / "r.json";
    const fs::path xml = node.dir() / "r.xml";
    const RunResult run = RunTool(node, {"-json=" + json.string(), "-junit=" + xml.string()});
    ASSERT_EQ(run.exitCode, 15) << run.err;

    const auto result = ReadJson(json);
    EXPECT_EQ(result["eni_given"], nullptr);
    EXPECT_EQ(result["eni_driver"], eni);
    EXPECT_EQ(result["status"], 15);
    EXPECT_EQ(result["exit_status"], 15);
    EXPECT_EQ(result["verdict"], "failed");
    EXPECT_EQ(result["failed_at"], "STEP 4: Confirmation of state-change");
    EXPECT_EQ(result["steps"][3]["outcome"], "failed");
    ASSERT_EQ(result["state_changes"].size(), 3u);
    EXPECT_EQ(result["state_changes"][2]["state"], "Operational");
    EXPECT_EQ(result["state_changes"][2]["outcome"], "timed out");

    pugi::xml_document junit;
    ASSERT_TRUE(junit.load_file(xml.c_str()));
    EXPECT_EQ(TestCases(junit).at("STEP 4: Confirmation of state-change"), "status 000FH");
}

TEST(ResultFiles, TheDriverStartFailingLeavesTheStepsNotRun) {
    TempNode node;
    const fs::path json = node.dir() / "r.json";
    const fs::path xml = node.dir() / "r.xml";
    RunResult run = testsupport::Run(
        {(BinDir() / "parvane").string(), "-json=" + json.string(), "-junit=" + xml.string()},
        node.env({{"ECAT_MASTER_INI_FILE", (node.dir() / "a" / "b" / "master.ini").string()}}),
        60s);
    ASSERT_NE(run.exitCode, 0);
    const auto result = ReadJson(json);
    EXPECT_EQ(result["failed_at"], "driver start");
    EXPECT_EQ(result["counts"], json::parse(R"({"eni": null, "online": null})"));
    for (const auto& step : result["steps"])
        EXPECT_EQ(step["outcome"], "not run");
    pugi::xml_document junit;
    ASSERT_TRUE(junit.load_file(xml.c_str()));
    const auto cases = TestCases(junit);
    EXPECT_EQ(cases.at("STEP 1: EtherCAT network open check"), "skipped");
    EXPECT_NE(cases.at("Master driver runs with the ENI"), "");
}

// A file that cannot be written fails the run with its own status; the
// report stays as it is and the other file is still written.
TEST(ResultFiles, AFileThatCannotBeWrittenFailsTheRun) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    const fs::path xml = node.dir() / "r.xml";
    const RunResult run = RunTool(
        node, {"-json=" + (node.dir() / "missing" / "r.json").string(), "-junit=" + xml.string()});
    EXPECT_EQ(run.exitCode, 0x22) << run.err;
    EXPECT_EQ(run.out, PassedReport(5));
    EXPECT_NE(run.err.find("parvane: cannot write the JSON result file "), std::string::npos)
        << run.err;
    pugi::xml_document junit;
    EXPECT_TRUE(junit.load_file(xml.c_str()));
}

}  // namespace
}  // namespace faults
