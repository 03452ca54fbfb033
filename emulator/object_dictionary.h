// The CoE object dictionary of an emulated slave: objects by index, each a
// list of subindex entries holding their value in wire order. Objects the
// network configuration names but the slave does not otherwise define are
// "open": their entries take the size of what is written.
//
// Downloads are remembered per (index, subindex) so the slave can tell at
// PREOP -> SAFEOP whether the configuration it requires has been written.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "ecat/al_state.h"

namespace parvane::emulator {

struct OdEntry {
    std::vector<std::uint8_t> value;
    bool writable = false;
};

struct OdObject {
    std::vector<OdEntry> entries;  // [0] = subindex 0
    bool open = false;             // entries are created and resized by writes
    bool array = false;            // subindex 0 counts the entries (record or array)
    bool preOpOnly = false;        // writable in PREOP only (PDO assignment and mapping)
    std::uint8_t entrySize = 0;    // size of entries 1..n when known (complete access)
};

// SDO abort code, 0 for success.
using AbortCode = std::uint32_t;

class ObjectDictionary {
  public:
    void AddVariable(std::uint16_t index, std::span<const std::uint8_t> value, bool writable);
    void AddString(std::uint16_t index, std::string_view text);
    void AddU32(std::uint16_t index, std::uint32_t value, bool writable);
    // An array or record: subindex 0 = count (u8), entries of `entrySize` bytes.
    void AddArray(std::uint16_t index, const std::vector<std::uint32_t>& values,
                  std::uint8_t entrySize, bool writable, bool preOpOnly);
    // An object the configuration writes; nothing happens if it exists.
    void AddOpen(std::uint16_t index);

    bool Has(std::uint16_t index) const { return objects_.contains(index); }

    // Bits of process data the PDOs assigned in `assignment` (0x1C12, 0x1C13,
    // ...) map, from the assignment and mapping objects as they stand;
    // nothing when a PDO it names has no mapping object.
    std::optional<std::uint32_t> AssignedBits(std::uint16_t assignment) const;

    AbortCode Download(std::uint16_t index, std::uint8_t subIndex, bool completeAccess,
                       std::span<const std::uint8_t> data, ecat::AlState state);
    std::expected<std::vector<std::uint8_t>, AbortCode> Upload(std::uint16_t index,
                                                               std::uint8_t subIndex,
                                                               bool completeAccess) const;

    // Whether a download reached this entry (a complete access or a write of
    // subindex 0 counts for the whole object when `completeAccess`).
    bool Written(std::uint16_t index, std::uint8_t subIndex, bool completeAccess) const;
    void ForgetWrites() { written_.clear(); }

  private:
    static std::uint32_t Key(std::uint16_t index, std::uint16_t sub) {
        return (static_cast<std::uint32_t>(index) << 16) | sub;
    }
    static constexpr std::uint16_t kWhole = 0x100;  // marks a complete-access write

    static std::expected<std::vector<std::size_t>, AbortCode> EntrySizes(const OdObject& object,
                                                                         std::size_t count,
                                                                         std::size_t bytes);
    AbortCode CompleteDownload(std::uint16_t index, OdObject& object, std::uint8_t subIndex,
                               std::span<const std::uint8_t> data);

    std::map<std::uint16_t, OdObject> objects_;
    std::set<std::uint32_t> written_;
};

}  // namespace parvane::emulator
