// A slave's EEPROM contents in the slave information interface (SII) layout:
// a 16-byte configuration area protected by a CRC-8 in word 7, then vendor
// ID, product code, revision number and serial number at bytes 16, 20, 24
// and 28, least significant byte first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "eni/slave_identity.h"

namespace parvane::driver {

using parvane::eni::SlaveIdentity;

inline constexpr std::size_t kSiiImageSize = 128;

// CRC-8 with polynomial 0x07 and initial value 0xFF, as the configuration
// area's checksum uses it.
std::uint8_t SiiChecksum(std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> MakeSiiImage(const SlaveIdentity& identity, std::uint32_t serialNo);

}  // namespace parvane::driver
