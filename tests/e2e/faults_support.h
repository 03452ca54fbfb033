// What the fault and load tests share: a process whose stdout is read line by
// line while it runs, generated ENI files, and a driver started by hand on any
// ENI in the test's own node.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/parvane_e2e_support.h"
#include "tests/support/process_harness.h"

namespace faults {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using parvane_e2e::NodeEnv;
using testsupport::BackgroundProcess;
using testsupport::BinDir;
using testsupport::TempNode;

// A process in a process group of its own whose stdout and stderr come
// through pipes and are collected as they arrive, so that a test can act the
// moment a given report line appears. Killed (with its group) and reaped on
// destruction if it still runs.
class StreamingProcess {
  public:
    StreamingProcess(const std::vector<std::string>& argv, const testsupport::Env& env);
    ~StreamingProcess();
    StreamingProcess(const StreamingProcess&) = delete;
    StreamingProcess& operator=(const StreamingProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Reads until stdout holds `text`; false when the process ended or the
    // bound ran out first.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // Waits for the end and reads its output to end-of-file. The exit status,
    // -signal when a signal ended it, or kStillRunning when the bound ran out.
    int Wait(std::chrono::milliseconds timeout);
    void Kill(int signal);
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    // When Wait saw the process end.
    std::chrono::steady_clock::time_point endedAt() const { return endedAt_; }

    static constexpr int kStillRunning = -1000;

  private:
    // Reads whatever is there, waiting at most `ms` for something to come.
    void Pump(int ms);
    bool Reap();

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string out_;
    std::string err_;
    std::chrono::steady_clock::time_point endedAt_{};
};

// The tool run as a streaming process without options in the node.
std::unique_ptr<StreamingProcess> StartTool(const TempNode& node,
                                            std::vector<std::string> options = {});

// Starts lomadyn.rta with these options in the node and waits (bounded) until
// it has ended its initialisation; a failed wait fails the test.
std::unique_ptr<BackgroundProcess> StartDriver(const TempNode& node,
                                               std::vector<std::string> options);

// A generated ENI file of `count` slaves (bench/eni_text.h tells the shape).
std::string EniText(std::size_t count, bool configuratorShaped);
fs::path WriteEni(const fs::path& path, std::size_t count, bool configuratorShaped);

// The report of a complete, successful run on `count` matching slaves.
std::string PassedReport(std::size_t count);

}  // namespace faults
