// The slave information interface (SII) EEPROM: 16-bit words, a
// configuration area of 8 words protected by a CRC-8 in word 7, the identity
// at words 8 to 0x0F, mailbox settings at 0x14 to 0x1C, the size at 0x3E and
// categories from word 0x40 on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

namespace parvane::ecat::sii {

// Word addresses.
inline constexpr std::uint16_t kWordPdiControl = 0x00;
inline constexpr std::uint16_t kWordPdiConfig = 0x01;
inline constexpr std::uint16_t kWordAlias = 0x04;
inline constexpr std::uint16_t kWordChecksum = 0x07;
inline constexpr std::uint16_t kWordVendorId = 0x08;
inline constexpr std::uint16_t kWordProductCode = 0x0A;
inline constexpr std::uint16_t kWordRevisionNo = 0x0C;
inline constexpr std::uint16_t kWordSerialNo = 0x0E;
inline constexpr std::uint16_t kWordBootRxMailbox = 0x14;  // offset, size
inline constexpr std::uint16_t kWordBootTxMailbox = 0x16;
inline constexpr std::uint16_t kWordRxMailbox = 0x18;  // SM0: master -> slave (offset, size)
inline constexpr std::uint16_t kWordTxMailbox = 0x1A;  // SM1: slave -> master (offset, size)
inline constexpr std::uint16_t kWordMailboxProtocols = 0x1C;
inline constexpr std::uint16_t kWordSize = 0x3E;  // size in Kibit minus 1
inline constexpr std::uint16_t kWordVersion = 0x3F;
inline constexpr std::uint16_t kWordFirstCategory = 0x40;

// Bytes 0 to 13 are covered by the checksum in the low byte of word 7.
inline constexpr std::size_t kChecksummedBytes = 14;

// Mailbox protocols (word 0x1C).
inline constexpr std::uint16_t kProtocolAoe = 0x01;
inline constexpr std::uint16_t kProtocolEoe = 0x02;
inline constexpr std::uint16_t kProtocolCoe = 0x04;
inline constexpr std::uint16_t kProtocolFoe = 0x08;
inline constexpr std::uint16_t kProtocolSoe = 0x10;
inline constexpr std::uint16_t kProtocolVoe = 0x20;

enum class Category : std::uint16_t {
    kStrings = 10,
    kGeneral = 30,
    kFmmu = 40,
    kSyncManager = 41,
    kTxPdo = 50,
    kRxPdo = 51,
    kDc = 60,
    kEnd = 0xFFFF,
};

// FMMU category: one byte per FMMU.
inline constexpr std::uint8_t kFmmuUnused = 0x00;
inline constexpr std::uint8_t kFmmuOutputs = 0x01;
inline constexpr std::uint8_t kFmmuInputs = 0x02;
inline constexpr std::uint8_t kFmmuSmStatus = 0x03;

// SyncManager category: 8 bytes per SM; the type byte.
inline constexpr std::uint8_t kSmTypeUnused = 0;
inline constexpr std::uint8_t kSmTypeMailboxOut = 1;  // master -> slave
inline constexpr std::uint8_t kSmTypeMailboxIn = 2;   // slave -> master
inline constexpr std::uint8_t kSmTypeOutputs = 3;
inline constexpr std::uint8_t kSmTypeInputs = 4;
inline constexpr std::size_t kSmEntrySize = 8;

// General category: CoE details in byte 5.
inline constexpr std::size_t kGeneralSize = 32;
inline constexpr std::uint8_t kCoeSdo = 0x01;
inline constexpr std::uint8_t kCoePdoAssign = 0x04;
inline constexpr std::uint8_t kCoePdoConfig = 0x08;
inline constexpr std::uint8_t kCoeCompleteAccess = 0x20;

// PDO categories: an 8-byte header then 8 bytes per entry.
inline constexpr std::size_t kPdoHeaderSize = 8;
inline constexpr std::size_t kPdoEntrySize = 8;

// CRC-8, polynomial 0x07, initial value 0xFF, MSB first, no final XOR.
std::uint8_t Crc8(std::span<const std::uint8_t> bytes);

// The word at `word` of an image given as bytes (0xFFFF past its end, as a
// blank EEPROM reads).
std::uint16_t WordAt(std::span<const std::uint8_t> image, std::size_t word);

// One category found in an image: its type and where its data lies, in words.
struct CategoryRef {
    std::uint16_t type = 0;
    std::size_t wordOffset = 0;  // first data word
    std::size_t wordLength = 0;
};

enum class WalkError { kPastEnd, kTooMany };

// The categories of an image, in order, up to the end marker. The walk never
// leaves the image nor the size the image's size word declares, and gives up
// after `maxCategories` (blank EEPROMs read as all 0 or all 0xFFFF).
std::expected<std::vector<CategoryRef>, WalkError> Categories(std::span<const std::uint8_t> image,
                                                              std::size_t maxCategories = 256);

// Writes an image: the configuration area with its checksum, the identity
// and mailbox words, then categories; the size word covers what was
// written, rounded up to whole Kibit.
class ImageWriter {
  public:
    ImageWriter();

    void SetWord(std::uint16_t word, std::uint16_t value);
    void SetLong(std::uint16_t word, std::uint32_t value);
    // Appends a category; an odd byte count is padded with one zero byte.
    void AddCategory(Category type, std::span<const std::uint8_t> data);
    // The finished image: checksum in word 7, end marker, size word.
    std::vector<std::uint8_t> Finish();

  private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace parvane::ecat::sii
