// The contents of an SII's categories as a master reads them: the strings,
// the general category (names by string index, mailbox protocol details),
// the FMMU and SyncM categories, the TxPDO and RxPDO categories and the DC
// category. Every decoder takes the category's data as found in the image
// and reads nothing past it; what does not fit is left out, never guessed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ecat/sii.h"

namespace parvane::ecat::sii {

// The strings category: a count, then each string as a length byte and its
// bytes. String index n (from 1) is strings[n - 1]; 0 names no string.
std::vector<std::string> DecodeStrings(std::span<const std::uint8_t> data);
// The string an index names, empty for 0 or an index past the list.
std::string StringAt(const std::vector<std::string>& strings, std::uint8_t index);

struct General {
    std::uint8_t groupIndex = 0;
    std::uint8_t imageIndex = 0;
    std::uint8_t orderIndex = 0;
    std::uint8_t nameIndex = 0;
    std::uint8_t coeDetails = 0;  // kCoeSdo, kCoePdoAssign, ...
    std::uint8_t foeDetails = 0;
    std::uint8_t eoeDetails = 0;
    std::uint8_t soeChannels = 0;
    std::uint8_t ds402Channels = 0;
    std::uint8_t flags = 0;
    std::int16_t currentOnEbus = 0;   // mA; negative: the slave feeds the E-bus
    std::uint16_t physicalPorts = 0;  // 4 bits per port, port 0 lowest
};
// Nothing when the category is shorter than its fixed part (16 bytes).
std::optional<General> DecodeGeneral(std::span<const std::uint8_t> data);

// The FMMU category: one usage byte per FMMU (kFmmuOutputs, ...).
std::vector<std::uint8_t> DecodeFmmus(std::span<const std::uint8_t> data);

struct SyncManagerEntry {
    std::uint16_t startAddress = 0;
    std::uint16_t length = 0;
    std::uint8_t controlByte = 0;
    std::uint8_t enable = 0;  // bit 0: enabled
    std::uint8_t type = kSmTypeUnused;
};
// The SyncM category: 8 bytes per SM, numbered from 0; a tail shorter than
// one entry is left out.
std::vector<SyncManagerEntry> DecodeSyncManagers(std::span<const std::uint8_t> data);

struct PdoEntryRecord {
    std::uint16_t index = 0;
    std::uint8_t subIndex = 0;
    std::uint8_t nameIndex = 0;
    std::uint8_t dataType = 0;
    std::uint8_t bitLength = 0;
};

struct PdoRecord {
    std::uint16_t index = 0;
    std::uint8_t sm = 0xFF;  // 0xFF: assigned to no SM
    std::uint8_t dcSync = 0;
    std::uint8_t nameIndex = 0;
    std::uint16_t flags = 0;  // kPdoFixed, ...
    std::vector<PdoEntryRecord> entries;
};
inline constexpr std::uint16_t kPdoMandatory = 0x0001;
inline constexpr std::uint16_t kPdoDefault = 0x0002;
inline constexpr std::uint16_t kPdoFixed = 0x0010;

// A TxPDO or RxPDO category: PDOs back to back, each an 8-byte header and
// 8 bytes per entry. A PDO whose entries run past the category ends the
// list (the PDOs before it are kept).
std::vector<PdoRecord> DecodePdos(std::span<const std::uint8_t> data);

struct DcMode {
    std::uint32_t cycleTime0 = 0;  // ns
    std::uint32_t shiftTime0 = 0;
    std::uint32_t shiftTime1 = 0;
    std::int16_t sync1CycleFactor = 0;
    std::uint16_t assignActivate = 0;
    std::int16_t sync0CycleFactor = 0;
    std::uint8_t nameIndex = 0;
    std::uint8_t descIndex = 0;
};
inline constexpr std::size_t kDcModeSize = 24;
// The DC category: one 24-byte record per operation mode.
std::vector<DcMode> DecodeDcModes(std::span<const std::uint8_t> data);

}  // namespace parvane::ecat::sii
