// The EtherCAT master's client operations. The tool reaches the master only
// through these eight calls; each is bound to the master's export number
// (ipc/protocol.h numbers the requests by it).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "ipc/master_codes.h"

using MasterHandle = std::uint32_t;

// EtherCAT application-layer states.
inline constexpr std::uint16_t kEcStateInit = 1;
inline constexpr std::uint16_t kEcStatePreOp = 2;
inline constexpr std::uint16_t kEcStateSafeOp = 4;
inline constexpr std::uint16_t kEcStateOp = 8;

// Slave information, 88 bytes, little-endian. The caller zero-fills it and sets
// size and position.
struct SlaveInfoRecord {
    std::uint32_t size;  // in: 88
    std::uint8_t reserved1[32];
    std::uint32_t vendorId;     // out: as the ENI defines it
    std::uint32_t productCode;  // out
    std::uint32_t revisionNo;   // out
    std::uint32_t position;     // in: counted from 0
    std::uint8_t reserved2[36];
};
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(SlaveInfoRecord) == 88);
static_assert(offsetof(SlaveInfoRecord, vendorId) == 36);
static_assert(offsetof(SlaveInfoRecord, productCode) == 40);
static_assert(offsetof(SlaveInfoRecord, revisionNo) == 44);
static_assert(offsetof(SlaveInfoRecord, position) == 48);
static_assert(offsetof(SlaveInfoRecord, reserved2) == 52);

MasterHandle MasterOpen(const char* target, std::uint16_t* status);
void MasterClose(MasterHandle handle);
std::uint16_t MasterGetEniSlaveCount(MasterHandle handle, std::uint16_t* count);
std::uint16_t MasterGetOnlineSlaveCount(MasterHandle handle, std::uint16_t* count);
std::uint16_t MasterGetSlaveInfo(MasterHandle handle, SlaveInfoRecord* record);
std::uint16_t MasterReadSlaveEeprom(MasterHandle handle, std::uint16_t selector,
                                    std::uint16_t byteOffset, std::uint16_t byteCount,
                                    std::uint32_t* value);
std::uint16_t MasterRequestState(MasterHandle handle, std::uint16_t state);
std::uint16_t MasterGetState(MasterHandle handle, std::uint16_t* requested, std::uint16_t* current);
