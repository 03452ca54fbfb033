// What the tool's end-to-end tests share: the report's fixed lines and a
// driver started by hand in the test's own node.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/support/process_harness.h"
#include "tests/support/report_lines.h"

namespace parvane_e2e {

using namespace std::chrono_literals;
using testsupport::BackgroundProcess;
using testsupport::BinDir;
using testsupport::RunResult;
using testsupport::SourceDir;
using testsupport::TempNode;

using testsupport::kAllStates;
using testsupport::kBanner;
using testsupport::kFailedVerdict;
using testsupport::kOpened;
using testsupport::kPassed;
using testsupport::kStep1;
using testsupport::kStep2;
using testsupport::kStep3;
using testsupport::kStep4;
inline const std::string kFiveAndFive =
    "*         SUCCESS. ENI-Slaves count[5] Online-Slaves count[5] \n";

inline std::string Example(const std::string& name) {
    return (SourceDir() / "examples" / name).string();
}

// The environment of every process in the test: the node, and the INI file
// next to the built driver so that the launcher would find it there.
inline testsupport::Env NodeEnv(const TempNode& node) {
    return node.env({{"ECAT_MASTER_INI_FILE", (BinDir() / "config" / "master.ini").string()}});
}

// Starts the driver on an example ENI (the five-slave one unless told) and a
// network description, and waits until it has ended its initialisation.
inline std::unique_ptr<BackgroundProcess> StartDriver(
    const TempNode& node, const std::string& description,
    const std::string& eni = "five-slaves.eni.xml") {
    auto driver = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{(BinDir() / "lomadyn.rta").string(), "-eni=" + Example(eni),
                                 "-sim=" + Example(description)},
        NodeEnv(node));
    const RunResult waited = testsupport::Run(
        {(BinDir() / "rtnode").string(), "wait", "PRCS_LOMADYN/ZU?END_INIT", "10000"},
        NodeEnv(node), 15s);
    EXPECT_EQ(waited.exitCode, 0) << waited.out << waited.err << driver->Err();
    return driver;
}

inline RunResult RunTool(const TempNode& node, std::chrono::milliseconds timeout = 60s) {
    return testsupport::Run({(BinDir() / "parvane").string()}, NodeEnv(node), timeout);
}

}  // namespace parvane_e2e
