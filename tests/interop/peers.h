// What the interop tests share: where the independent peers were built, the
// slaves an ENI puts on the wire as read by the test itself (pugixml, not our
// reader), SOEM's slaveinfo report taken apart, and KickCAT's example line.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process_harness.h"
#include "tests/wire/tool_wire.h"

// A missing peer skips the test, or fails it where the peers are required.
#define REQUIRE_PEER(file)                                                  \
    do {                                                                    \
        if (const std::string why = interop::Missing(file); !why.empty()) { \
            if (interop::Required())                                        \
                FAIL() << why;                                              \
            GTEST_SKIP() << why;                                            \
        }                                                                   \
    } while (false)

namespace interop {

std::filesystem::path PeersDir();
// The folder beside the sources that holds the ENI corpus and samples.
std::filesystem::path SharedDir();
// Why the peer file is not usable ("" when it is).
std::string Missing(const std::filesystem::path& file);
// PARVANE_WIRE_REQUIRED=1: a missing peer fails instead of skipping.
bool Required();

std::filesystem::path Slaveinfo();
std::filesystem::path SoemProbe();
std::filesystem::path SoemDcProbe();
std::filesystem::path NetworkSimulator();

// One slave as an independent master reports it.
struct SlaveReport {
    std::string name;
    std::uint32_t vendor = 0, product = 0, revision = 0;
    long outputBits = -1, inputBits = -1;
    int state = -1;
};

// One slave the ENI puts on the wire: identity (revision absent where the
// file has none), the name its SII carries and its process-data sizes.
struct WireSlave {
    std::string name;
    std::uint32_t vendor = 0, product = 0;
    std::optional<std::uint32_t> revision;
    long outputBits = 0, inputBits = 0;
};

// The slaves of an ENI that are on the wire, in line order: passive
// terminals (no PhysAddr, AutoIncAddr, init commands, process data or mailbox) have
// no ESC. Identities come from NAME.expected.tsv beside the file when there
// is one. Empty with `error` set when the file cannot be read.
std::vector<WireSlave> WireSlaves(const std::filesystem::path& eni, std::string& error);

// The slaves of slaveinfo's report, in line order.
std::vector<SlaveReport> ParseSlaveinfo(const std::string& out);

// KickCAT's simulator serving its example line of three slaves on the slave
// end of the veth pair (`options` go before the slaves: "--topology FILE");
// stopped by Stop() or on destruction.
class KickcatLine {
  public:
    explicit KickcatLine(std::vector<std::string> options = {});
    ~KickcatLine() { Stop(); }
    // True once every slave of the line answers, within 30 s.
    bool Serves();
    std::string Output() const { return process_.Out() + process_.Err(); }
    // SIGTERM, then SIGKILL when it has not ended within 10 s.
    void Stop();

  private:
    testsupport::BackgroundProcess process_;
};

// The tool with `eni` through a driver on the master end. The simulator
// loses the first replies after a pause now and then (it is idle while a
// network that differs from its ENI is not started): an open that got no
// reply at all is tried again, at most twice.
wiretest::ToolOutcome ToolRunRetried(const std::string& eni);

}  // namespace interop
