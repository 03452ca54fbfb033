// Writes the ENI a scanned network needs, in the shape of a configurator's
// export: the master's broadcast init commands; per slave its identity,
// station address (1001 on, in ring order), process data (sync managers,
// the PDOs assigned now with their entries, where its bits lie in the
// process image), mailbox (with the CoE downloads that assign those PDOs),
// the register init commands of every transition, where it hangs in the
// tree, and DC where the slave needs it; one cyclic frame (LRW, or LRD/LWR
// when one side is empty, and the BRD of AL status); the process image
// with a variable per PDO entry. Numbers are decimal, indexes "#x" hex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "master/network_scan.h"

namespace parvane::scan {

struct EniWriteOptions {
    std::uint32_t cycleUs = 1000;  // the cyclic frame's period and DC's SYNC0 cycle
    std::string masterName = "parvane-scan";
    std::uint32_t logicalStart = 0x01000000;  // the logical address of the process data
};

// Where a slave's process data lies: its first bit in both images (frame
// shaped: the cyclic datagram's data begins at byte 26), and for each sync
// manager that carries data, its logical byte address and bits.
struct SmPlacement {
    std::uint8_t number = 0;
    bool outputs = false;
    std::uint32_t bits = 0;
    std::uint32_t logicalByte = 0;
};

struct SlavePlacement {
    std::uint32_t bitStart = 0;
    std::uint32_t outputBits = 0;
    std::uint32_t inputBits = 0;
    std::vector<SmPlacement> sms;
};

struct ImagePlacement {
    std::vector<SlavePlacement> slaves;
    std::uint32_t dataBytes = 0;  // the cyclic logical datagram's length
};

// The placement WriteEni uses: slaves one after the other in ring order,
// each on whole bytes, outputs and inputs of a slave on the same bytes
// (one LRW serves both).
ImagePlacement PlaceProcessData(const master::ScannedNetwork& network,
                                const EniWriteOptions& options = {});

// The ENI as UTF-8 XML.
std::string WriteEni(const master::ScannedNetwork& network, const EniWriteOptions& options = {});

}  // namespace parvane::scan
