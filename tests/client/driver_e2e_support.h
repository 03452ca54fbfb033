// Helpers for the end-to-end tests of the master driver and client library:
// a driver started in a node of its own, and the probe client that runs
// master operations and prints one line per step.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process_harness.h"

namespace mastere2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline fs::path Example(const char* name) {
    return testsupport::SourceDir() / "examples" / name;
}

// The probe's output lines without their timing, and the timings.
struct ProbeRun {
    testsupport::RunResult run;
    std::vector<std::string> steps;
    std::vector<long long> ms;
};

inline ProbeRun Probe(const testsupport::TempNode& node, std::vector<std::string> steps,
                      std::chrono::milliseconds timeout = 30s) {
    steps.insert(steps.begin(), (testsupport::BinDir() / "master_probe").string());
    ProbeRun probe;
    probe.run = testsupport::Run(steps, node.env(), timeout);
    std::istringstream lines(probe.run.out);
    std::string line;
    while (std::getline(lines, line)) {
        auto at = line.rfind(" ms=");
        probe.steps.push_back(line.substr(0, at));
        probe.ms.push_back(at == std::string::npos ? -1 : std::stoll(line.substr(at + 4)));
    }
    return probe;
}

// A driver process in the node, started with the options and waited for
// until it has ended its initialisation.
inline std::unique_ptr<testsupport::BackgroundProcess> StartDriver(
    const testsupport::TempNode& node, std::vector<std::string> options) {
    options.insert(options.begin(), (testsupport::BinDir() / "lomadyn.rta").string());
    auto driver = std::make_unique<testsupport::BackgroundProcess>(options, node.env());
    ProbeRun ready = Probe(node, {"wait-init", "15000"});
    EXPECT_EQ(ready.steps, std::vector<std::string>{"wait-init 0"})
        << ready.run.out << ready.run.err << "\ndriver: " << driver->Err();
    return driver;
}

inline fs::path WriteTestFile(const testsupport::TempNode& node, const std::string& name,
                              const std::string& text) {
    fs::path folder = node.dir() / "files";  // removed with the node
    fs::create_directories(folder);
    testsupport::WriteFile(folder / name, text);
    return folder / name;
}

}  // namespace mastere2e
