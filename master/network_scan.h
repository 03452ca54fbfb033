// Reading a live segment as it is, with no ENI: every slave's identity and
// SII (names, mailbox, sync managers, FMMUs, PDOs, DC), how the slaves hang
// together, and for CoE slaves the PDO assignment and mapping they hold now
// (read by SDO upload in PREOP; the SII's defaults where that fails). The
// scan leaves every slave in INIT. What it found is what an ENI for the
// segment is written from, and what a network is compared with.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "eni/slave_identity.h"
#include "master/error.h"
#include "master/exchange.h"

namespace parvane::master {

struct ScannedPdoEntry {
    std::uint16_t index = 0;  // 0: padding
    std::uint8_t subIndex = 0;
    std::uint8_t bitLength = 0;
    std::uint16_t dataType = 0;  // CoE data type; 0 where unknown
    std::string name;
};

struct ScannedPdo {
    std::uint16_t index = 0;  // 0x16xx outputs, 0x1Axx inputs
    std::string name;
    std::optional<std::uint8_t> sm;  // the sync manager it is assigned to
    bool fixed = false;
    // Read by CoE, and mapped otherwise than the SII describes this PDO.
    bool mappingChanged = false;
    std::vector<ScannedPdoEntry> entries;

    std::uint32_t bitLength() const;
};

struct ScannedSm {
    std::uint16_t startAddress = 0;
    std::uint16_t defaultSize = 0;
    std::uint8_t controlByte = 0;
    bool enable = false;
    std::uint8_t type = 0;  // SII SyncM type: 1 mailbox out, 2 mailbox in, 3 outputs, 4 inputs
};

struct ScannedSlave {
    std::uint16_t position = 0;  // ring position, from 0
    std::uint16_t stationAddress = 0;
    eni::SlaveIdentity identity;
    std::uint32_t serialNo = 0;
    // Why the identity could not be read from the EEPROM; the identity and
    // everything else from the SII are then unknown (zero, empty).
    std::optional<std::string> eepromError;
    std::string name;  // the SII's device name (or order string where that is empty)
    std::string group;
    std::string order;
    // Topology: the slave before it and the port of that slave it hangs on
    // (0 = A ... 3 = D); nothing for the first slave.
    std::optional<std::uint16_t> parent;
    std::uint8_t parentPort = 0;
    std::uint8_t openPorts = 0;  // bit n: port n has a link
    // Mailbox: SII words 0x18-0x1C; protocols as the SII gives them (CoE 0x04...).
    std::uint16_t mailboxOutStart = 0, mailboxOutSize = 0;
    std::uint16_t mailboxInStart = 0, mailboxInSize = 0;
    std::uint16_t mailboxProtocols = 0;
    std::uint8_t coeDetails = 0;  // SII general category: SDO, PDO assignment, PDO configuration...
    std::uint8_t fmmuCount = 0;
    std::vector<std::uint8_t> fmmuUsage;  // SII FMMU category: 1 outputs, 2 inputs, 3 mailbox state
    std::vector<ScannedSm> sms;
    std::vector<ScannedPdo> rxPdos;  // outputs, as assigned now
    std::vector<ScannedPdo> txPdos;  // inputs
    // Where the PDOs came from the SII because the CoE read failed: why.
    std::optional<std::string> pdoNote;
    // The PDOs assigned now (read by CoE) are not the ones the SII assigns.
    bool assignmentChanged = false;
    // DC: the ESC has a DC unit (0x0008 bit 2), 64 bits wide (bit 3); the
    // SII marks it as needing DC (its DC category, or SYNC0 in 0x1C32:01).
    bool dcCapable = false;
    bool dc64 = false;
    bool dcNeeded = false;
    std::uint16_t assignActivate = 0;  // for 0x0980 when DC is used
    std::uint32_t cycleTime0 = 0;      // ns; 0 where the SII gives none

    std::uint32_t outputBits() const;  // the sum of the assigned RxPDOs
    std::uint32_t inputBits() const;
};

struct ScannedNetwork {
    std::vector<ScannedSlave> slaves;  // in ring order
};

// What the scan is doing, for a progress line: slaves found, SII read of
// how many, CoE read of how many.
struct ScanProgress {
    enum class Stage : std::uint8_t { kFound, kSii, kCoe } stage = Stage::kFound;
    std::size_t done = 0;
    std::size_t total = 0;
};

struct ScanOptions {
    std::function<void(const ScanProgress&)> progress;  // may be empty
    bool readCoe = true;  // upload the PDO assignment of CoE slaves in PREOP
    // Set (by a signal handler, say) to stop early: the scan then puts the
    // slaves back to INIT and ends with kCancelled. May be null.
    std::atomic<bool>* stop = nullptr;
};

// Scans the segment behind `exchange`. The error is kNoReply when no slave
// answers, kLinkDown when the link is gone. Leaves every slave in INIT.
std::expected<ScannedNetwork, Error> ScanNetwork(Exchange& exchange,
                                                 const ScanOptions& options = {});

}  // namespace parvane::master
