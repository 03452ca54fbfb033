// Reads of slave EEPROMs through the ESC's SII interface (0x0500-0x050F):
// one slave at a time, or the same word of many slaves at once in a handful
// of frames. Every wait is bounded; the master takes the EEPROM back from
// the slave's PDI before it reads.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "master/exchange.h"

namespace parvane::master {

// What one read returns: 4 or 8 bytes, as the ESC's read size says.
struct EepromWords {
    std::array<std::uint8_t, 8> bytes{};
    std::uint8_t size = 0;
};

struct EepromOptions {
    // How long one read may take from its command to its data; the parallel
    // read adds kPerSlave for each slave it reads.
    std::chrono::milliseconds timeout{20};
    std::chrono::microseconds perSlave{10};
    unsigned tries = 3;  // commands sent per read when the EEPROM does not acknowledge
    // How long a single read waits for the interface to finish an earlier
    // read that ran past its own bound, before it starts.
    std::chrono::milliseconds idleTimeout{100};
};

// Reads at word `word` of the slave at `station`. The error is kNoSlave,
// kBusyTimeout, kAckError, kNoReply or kLinkDown.
std::expected<EepromWords, Error> ReadEepromWords(Exchange& exchange, std::uint16_t station,
                                                  std::uint32_t word,
                                                  const EepromOptions& options = {});

// Reads at word `word` of every slave in `stations` together: one broadcast
// command, then polls of status and data for the slaves still busy, so a
// few frames serve any number of slaves. `results[i]` answers
// `stations[i]`. The EEPROMs must already be with the master.
void ReadEepromWordsOfAll(Exchange& exchange, std::span<const std::uint16_t> stations,
                          std::uint32_t word,
                          std::vector<std::expected<EepromWords, Error>>& results,
                          const EepromOptions& options = {});

}  // namespace parvane::master
