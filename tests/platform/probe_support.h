// Shared pieces of the platform's process tests: a node of the test's own
// that the test process itself joins, and the probe program's paths.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/rt_services.h"
#include "tests/support/process_harness.h"

namespace platformtest {

std::filesystem::path ProbePath();
std::filesystem::path RtnodePath();

// Each test gets a node of its own and joins it; on tear-down the test
// process leaves it and every process still running in it is killed.
class NodeTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const std::filesystem::path& dir() const { return node_->dir(); }
    testsupport::Env env() const { return node_->env(); }
    RTHANDLE Root() const { return GetRtThreadHandles(kRtRootProcess); }

    // Runs rtnode with the words given, bounded.
    testsupport::RunResult Rtnode(const std::vector<std::string>& words,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // A probe started from the "shell" (the harness), with these words.
    std::unique_ptr<testsupport::BackgroundProcess> StartProbe(
        const std::vector<std::string>& words);
    // The log file of a process that CreateRtProcess started.
    std::string LogOf(const char* program, pid_t pid) const;
    // Waits (bounded) until the text appears in what read() returns.
    template <typename Read>
    bool WaitForText(Read read, const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return testsupport::WaitUntil([&] { return read().find(text) != std::string::npos; },
                                      timeout);
    }

  private:
    std::unique_ptr<testsupport::TempNode> node_;
};

}  // namespace platformtest
