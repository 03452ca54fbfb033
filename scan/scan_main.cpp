// parvane-scan: reads the EtherCAT segment on a network interface (or
// emulated slaves built from an ENI), writes the ENI it needs, or says where
// it differs from a given ENI.
#include <csignal>
#include <cstdio>
#include <span>

#include "scan/eni_writer.h"
#include "scan/scan_options.h"
#include "scan/scan_run.h"

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int) {
    stopRequested.store(true);
}

// SIGINT and SIGTERM ask the scan to stop; it then puts the slaves back to
// INIT and ends on its own, so that the network is left as it was found.
void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace parvane::scan;
    const auto words =
        std::span<const char* const>(argv, static_cast<std::size_t>(argc)).subspan(1);
    auto command = ParseScanCommand(words);
    if (!command) {
        std::fprintf(stderr, "parvane-scan: %s\n", command.error().message.c_str());
        return kExitUsage;
    }
    if (command->help) {
        std::fputs(kScanUsage, stdout);
        return kExitDone;
    }
    if (command->version) {
        std::printf("parvane-scan %s\n", PARVANE_VERSION_TEXT);
        return kExitDone;
    }
    CatchStopSignals();
    return RunScan(*command, stopRequested,
                   [](const parvane::master::ScannedNetwork& network, std::uint32_t cycleUs) {
                       return WriteEni(network, EniWriteOptions{.cycleUs = cycleUs});
                   });
}
