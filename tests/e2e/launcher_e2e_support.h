// Helpers for the launcher's end-to-end tests: the probe program, the rtnode
// utility, a driver started by hand, and a scratch folder per test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process_harness.h"

namespace launchertest {

namespace fs = std::filesystem;
namespace ts = testsupport;
using namespace std::chrono_literals;

// A scratch folder removed at the end of the test.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = (fs::temp_directory_path() / "launcher-e2e-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            dir_ = pattern;
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& dir() const { return dir_; }

  private:
    fs::path dir_;
};

inline std::string Bin(const char* name) {
    return (ts::BinDir() / name).string();
}

inline std::string Example(const char* name) {
    return (ts::SourceDir() / "examples" / name).string();
}

// The INI file path from which build/bin/lomadyn.rta is derived.
inline std::string BuiltIniFile() {
    return (ts::BinDir() / "config" / "master.ini").string();
}

inline ts::RunResult Rtnode(const ts::TempNode& node, std::vector<std::string> args) {
    args.insert(args.begin(), Bin("rtnode"));
    return ts::Run(args, node.env(), 40s);
}

// The command line of the driver catalogued as "PRCS_LOMADYN".
inline std::string DriverCommandLine(const ts::TempNode& node) {
    ts::RunResult r = Rtnode(node, {"cmdline", "PRCS_LOMADYN"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string line = r.out;
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    return line;
}

inline bool DriverRuns(const ts::TempNode& node) {
    return Rtnode(node, {"wait", "PRCS_LOMADYN/ZU?END_INIT", "0"}).exitCode == 0;
}

// Runs the probe: the launcher with the ENI path (none when empty).
inline ts::RunResult Launch(const ts::TempNode& node, const std::string& eniPath,
                            ts::Env extra = {{"ECAT_MASTER_INI_FILE", BuiltIniFile()}}) {
    std::vector<std::string> argv = {Bin("launcher_probe")};
    if (!eniPath.empty()) {
        argv.push_back(eniPath);
    }
    return ts::Run(argv, node.env(extra), 90s);
}

}  // namespace launchertest
