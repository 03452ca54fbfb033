// Generated ENI files for the fault tests and the benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace benchdata {

// An ENI of `count` slaves. Slave i has vendor ID 2, product code 0x1000 + i
// and revision number 0x00100000 + (i % 16). A configurator-shaped slave also
// carries its mailbox, init commands and process data (some 2 kB per slave);
// a plain one only its identity.
std::string EniText(std::size_t count, bool configuratorShaped);

// The plain ENI of `count` slaves with a DC element on each (SYNC0 every
// `cycleNs`, no shift, no DC init commands: the master sets the clocks and
// the sync units up itself, as for a hand-written file).
std::string DcEniText(std::size_t count, std::uint32_t cycleNs);

// A long line of devices as a configurator exports it: slave i is of product
// code 0x2000 + i % productCodes and revision 0x00100000 + i % revisions
// (vendor ID 2), named after its type, with `initCmds` register init
// commands (its AL control requests, the sync manager and FMMU of its
// outputs, a watchdog) and one RxPDO of `rxPdoEntries` 16-bit entries at its
// own place in the process image. Some 2.8 kB per slave as given below. It
// has no cyclic frames, so its slaves stop at SAFEOP (their outputs never
// come): it is for reading and starting, not for whole runs.
struct ExportShape {
    std::size_t productCodes = 97;
    std::size_t revisions = 5;
    std::size_t initCmds = 8;
    std::size_t rxPdoEntries = 8;
};
std::string ExportEniText(std::size_t count, const ExportShape& shape = {});

}  // namespace benchdata
