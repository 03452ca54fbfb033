// What the interop tests share: where the independent peers were built, the
// slaves an ENI puts on the wire as read by the test itself (pugixml, not our
// reader), and SOEM's slaveinfo report taken apart.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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
std::filesystem::path KickcatSlaveConfigs();

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

// Sends a broadcast read on `interface` until the working counter says
// `count` slaves answer, within `timeout`.
bool WaitForSlaves(const std::string& interface, int count, std::chrono::milliseconds timeout);

}  // namespace interop
