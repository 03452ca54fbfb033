// The numbers that the master's call interface and the request/answer
// protocol share: the master statuses and the EEPROM selector bit. They keep
// the spelling of the call interface, outside any namespace.
//
// Master statuses. The first group is what the tool tells apart; the second is
// what this master produces on its own (documented in docs/master.md).
#pragma once

#include <cstdint>

inline constexpr std::uint16_t kMasterOk = 0;
inline constexpr std::uint16_t kMasterMaxOpenings = 5;
inline constexpr std::uint16_t kMasterDriverNotFound = 8;
inline constexpr std::uint16_t kMasterDriverNotReachable = 9;
inline constexpr std::uint16_t kMasterTimeout = 15;
inline constexpr std::uint16_t kMasterEniNoSlaves = 17;
inline constexpr std::uint16_t kMasterOpenedWithWarning = 39;
inline constexpr std::uint16_t kMasterSlaveCountFailed = 54;
inline constexpr std::uint16_t kMasterCatalogFailed = 65;
inline constexpr std::uint16_t kMasterSlaveInfoUnavailable = 0x1006;

inline constexpr std::uint16_t kMasterInvalidHandle = 0x0101;    // not an open handle
inline constexpr std::uint16_t kMasterCallTimeout = 0x0102;      // no answer within the bound
inline constexpr std::uint16_t kMasterConnectionLost = 0x0103;   // the driver's end broke
inline constexpr std::uint16_t kMasterInvalidArgument = 0x0104;  // null pointer, bad count
inline constexpr std::uint16_t kMasterEniNotLoaded = 0x0105;   // ENI missing, unreadable, malformed
inline constexpr std::uint16_t kMasterNoSuchSlave = 0x0106;    // position without a slave
inline constexpr std::uint16_t kMasterEepromRange = 0x0107;    // bytes outside the EEPROM image
inline constexpr std::uint16_t kMasterInvalidState = 0x0108;   // not 1, 2, 4 or 8
inline constexpr std::uint16_t kMasterProtocolError = 0x0109;  // malformed request or answer
inline constexpr std::uint16_t kMasterEepromBusy = 0x010A;     // EEPROM interface stayed busy
inline constexpr std::uint16_t kMasterEepromError = 0x010B;    // EEPROM did not acknowledge
inline constexpr std::uint16_t kMasterNoReply = 0x010C;        // frames lost or the link down
inline constexpr std::uint16_t kMasterNetworkDiffers = 0x010D;  // slaves found are not the ENI's

// Selector bit of MasterReadSlaveEeprom: the low bits are a position counted from 0.
inline constexpr std::uint16_t kEepromByPosition = 0x8000;
