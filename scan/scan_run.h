// What parvane-scan does once its command line is read: opens the wire (a
// network interface, or emulated slaves built from an ENI), scans it, and
// writes an ENI for it or compares it with one. Every failure is one line
// on stderr ("parvane-scan: ...") and an exit status of its own; nothing is
// left behind (no half-written file, no lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "master/network_scan.h"
#include "scan/scan_options.h"

namespace parvane::scan {

enum ExitStatus : int {
    kExitDone = 0,           // the ENI was written, or the network is the ENI's
    kExitDifferent = 1,      // the network differs from the ENI
    kExitUsage = 2,          // the command line cannot run
    kExitNoInterface = 3,    // no network interface of that name
    kExitNoPermission = 4,   // no CAP_NET_RAW (not root)
    kExitBusy = 5,           // another master (a driver) holds the interface
    kExitNoSlave = 6,        // no slave answers
    kExitUnreadable = 7,     // the ENI (or the network description) cannot be read
    kExitNotWritable = 8,    // the output (-o=, -json=) cannot be written
    kExitScanFailed = 9,     // the scan failed on the way (link down, system error)
    kExitInterrupted = 130,  // SIGINT or SIGTERM: the slaves were put back to INIT
};

// Writes the ENI for a scanned network with the given cycle time (us).
using EniWriter = std::function<std::string(const master::ScannedNetwork&, std::uint32_t)>;

int RunScan(const ScanCommand& command, std::atomic<bool>& stop, const EniWriter& writeEni);

}  // namespace parvane::scan
