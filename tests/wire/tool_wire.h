// The tool through the driver on the master end of the veth pair, against the
// emulator program on the slave end, and the same run with the slaves
// emulated in the driver's own process: what the wire tests compare.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process_harness.h"

namespace wiretest {

inline constexpr char kSuccessVerdict[] = "* SUCCESS. All steps have been completed.\n";
inline constexpr char kFailedVerdict[] = "* FAILED.. Step aborted due to error.\n";
inline const std::string kFive = "five-slaves.eni.xml";
inline const std::string kMatching = "five-slaves.matching.sim.json";

std::string Example(const std::string& name);

// The file a test case names: an example ("five-slaves.eni.xml"), a sample
// ENI of the shared folder beside the sources ("samples/NAME"), a generated
// network ("generated:N") or a description given as JSON text ("{...}"),
// the last two written into `dir`. Empty stays empty.
std::string CaseFile(const std::string& name, const std::filesystem::path& dir);

// The ecat-emulator program serving the slave end with an ENI and a network
// description (empty: none). Start() waits until it serves.
class Emulator {
  public:
    Emulator(std::string eni, std::string description);
    bool Start();
    void Kill();
    std::string Err() const;

  private:
    std::string eni_, description_;
    std::unique_ptr<testsupport::BackgroundProcess> process_;
};

// A driver started with options and waited on until its initialisation ends;
// stopped (rtnode stop) when destroyed, which makes it log its counters.
// Started here, it logs to a file of the test's; a driver the tool starts
// in its place logs into the node's log folder.
class Driver {
  public:
    Driver(const testsupport::TempNode& node, std::vector<std::string> options);
    ~Driver();
    bool ready() const { return ready_; }
    pid_t pid() const { return process_->pid(); }
    void Stop();
    // What this driver and those started in its place have logged so far.
    std::string Log() const;

  private:
    const testsupport::TempNode& node_;
    std::unique_ptr<testsupport::BackgroundProcess> process_;
    bool ready_ = false;
    bool stopped_ = false;
};

// Driver options for one ENI: on the master end (with a recording when
// `pcap` is not empty), or in process with the description.
std::vector<std::string> OnWire(const std::string& eni, const std::string& pcap = "");
std::vector<std::string> InProcess(const std::string& eni, const std::string& description);

testsupport::Env NodeEnv(const testsupport::TempNode& node);

// Everything the node's driver processes have logged.
std::string DriverLogs(const testsupport::TempNode& node);

// The tool's argument list for an ENI.
std::vector<std::string> ToolArgs(const std::string& eni);

struct ToolOutcome {
    testsupport::RunResult run;
    std::string driverLog;  // complete: the driver has stopped
};

// Starts the driver with `options`, runs the tool once with the ENI (bounded
// by `bound`) and stops the driver.
ToolOutcome ToolRun(const testsupport::TempNode& node, const std::vector<std::string>& options,
                    const std::string& eni, std::chrono::seconds bound);

// The run over the veth pair against the emulator with the same ENI and
// description, and the run in process: the tool's report, exit status and the
// over-the-wire driver log.
struct Compared {
    ToolOutcome inProcess;
    ToolOutcome onWire;
    std::string emulatorErr;
};
Compared CompareRuns(const std::string& eni, const std::string& description,
                     std::chrono::seconds bound, const std::string& pcap = "");

// The number after `key` in the last line of `text` that holds it ("frames: "
// counters); -1 when there is none.
long long LastNumberAfter(const std::string& text, const std::string& key);
// The sum of the numbers after every occurrence of `key` (one counters line
// per driver process).
long long SumOfNumbersAfter(const std::string& text, const std::string& key);

}  // namespace wiretest
