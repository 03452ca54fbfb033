// The steps of a network scan (network_scan.h), shared by its two files:
// the SII read of all slaves together and its decoding, the registers and
// the tree, the CoE read of the PDO assignment, and the AL state changes
// the scan makes.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

#include "ecat/sii_categories.h"
#include "master/error.h"
#include "master/exchange.h"
#include "master/network_scan.h"

namespace parvane::master {

// Every slave to INIT (with an error acknowledged), waited for.
std::expected<void, Error> ToInit(Exchange& exchange);

// Everything after the slaves were found and addressed: SII, registers,
// tree, CoE. The error is kLinkDown or kNoReply when the wire is gone.
std::expected<void, Error> ReadSlaves(Exchange& exchange, ScannedNetwork& network,
                                      const ScanOptions& options);

// Reads the categories of each slave's SII (from word 0x40 on) into
// `images`, all slaves together; `progress` gets each slave finished.
void ReadCategoryImages(Exchange& exchange, const std::vector<std::uint16_t>& stations,
                        const std::vector<std::uint16_t>& sizeWords,
                        std::vector<std::vector<std::uint8_t>>& images,
                        const std::function<void(std::size_t)>& progress,
                        const std::atomic<bool>* stop = nullptr);

// Whether the caller asked the scan to stop.
inline bool StopAsked(const ScanOptions& options) {
    return options.stop != nullptr && options.stop->load();
}

// Fills the slave from its category bytes; the SII's PDOs and strings are
// handed back for the CoE read, which names what it uploads from them.
void DecodeCategories(ScannedSlave& slave, const std::vector<std::uint8_t>& categories,
                      std::vector<ecat::sii::PdoRecord>& siiTx,
                      std::vector<ecat::sii::PdoRecord>& siiRx, std::vector<std::string>& strings);

// The PDOs the SII assigns to a sync manager, as the slave's defaults.
std::vector<ScannedPdo> SiiAssigned(const std::vector<ecat::sii::PdoRecord>& records,
                                    const std::vector<std::string>& strings);

}  // namespace parvane::master
