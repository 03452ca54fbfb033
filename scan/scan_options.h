// The command line of parvane-scan: -name=value words in the tool's style.
// Exactly one of -nic= (a network interface) and -emulate= (emulated slaves
// built from an ENI); -compare= turns writing an ENI into comparing with one.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace parvane::scan {

struct ScanCommand {
    bool help = false;
    bool version = false;
    std::string nic;
    std::string emulate;  // the ENI the emulated slaves are built from
    std::string sim;      // the network description for -emulate=
    std::string output;   // -o=: the ENI written; empty: stdout
    std::uint32_t cycleUs = 1000;
    std::string compare;  // the ENI to compare with; empty: write an ENI
    std::string json;     // -json=: the comparison as JSON
};

// The sentence after "parvane-scan: " for a command line that cannot run.
struct UsageError {
    std::string message;
};

// Reads argv[1...]. -h/--help and --version answer before anything else is
// checked.
std::expected<ScanCommand, UsageError> ParseScanCommand(std::span<const char* const> words);

extern const char kScanUsage[];

}  // namespace parvane::scan
