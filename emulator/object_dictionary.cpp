#include "emulator/object_dictionary.h"

#include <algorithm>

#include "ecat/byte_order.h"
#include "ecat/mailbox.h"

namespace parvane::emulator {

namespace abort = ecat::sdo_abort;

void ObjectDictionary::AddVariable(std::uint16_t index, std::span<const std::uint8_t> value,
                                   bool writable) {
    OdObject object;
    object.entries.push_back({{value.begin(), value.end()}, writable});
    objects_[index] = std::move(object);
}

void ObjectDictionary::AddString(std::uint16_t index, std::string_view text) {
    AddVariable(index, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, false);
}

void ObjectDictionary::AddU32(std::uint16_t index, std::uint32_t value, bool writable) {
    std::uint8_t bytes[4];
    ecat::Put32(bytes, value);
    AddVariable(index, bytes, writable);
}

void ObjectDictionary::AddArray(std::uint16_t index, const std::vector<std::uint32_t>& values,
                                std::uint8_t entrySize, bool writable, bool preOpOnly) {
    OdObject object;
    object.array = true;
    object.entrySize = entrySize;
    object.preOpOnly = preOpOnly;
    object.open = writable;
    object.entries.push_back({{static_cast<std::uint8_t>(values.size())}, writable});
    for (std::uint32_t v : values) {
        std::vector<std::uint8_t> bytes(entrySize);
        for (std::size_t i = 0; i < entrySize; ++i)
            bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
        object.entries.push_back({std::move(bytes), writable});
    }
    objects_[index] = std::move(object);
}

void ObjectDictionary::AddOpen(std::uint16_t index) {
    if (objects_.contains(index))
        return;
    OdObject object;
    object.open = true;
    object.array = true;
    object.entries.push_back({{0}, true});
    // What the PDO objects hold is known by their index, and so is the
    // layout of the sync manager parameter records (0x1C30 + SM number).
    if (index == 0x1C12 || index == 0x1C13) {
        object.entrySize = 2;
    } else if ((index >= 0x1600 && index <= 0x17FF) || (index >= 0x1A00 && index <= 0x1BFF)) {
        object.entrySize = 4;
    } else if (index >= 0x1C30 && index <= 0x1C4F) {
        // Sync mode, cycle time, shift time, supported modes, minimum cycle,
        // calc and copy time, minimum delay, get cycle time, delay time,
        // SYNC0 cycle, SM events missed, cycle time too small, shift time
        // too short, RxPDO toggle failed, min./max. cycle distance,
        // min./max. SM-SYNC distance.
        constexpr std::uint8_t kSizes[] = {2, 4, 4, 2, 4, 4, 4, 2, 4, 4, 2, 2, 2, 2, 4, 4, 4, 4};
        object.entries[0].value[0] = static_cast<std::uint8_t>(std::size(kSizes));
        for (const std::uint8_t size : kSizes)
            object.entries.push_back({std::vector<std::uint8_t>(size, 0), true});
    }
    objects_[index] = std::move(object);
}

AbortCode ObjectDictionary::Download(std::uint16_t index, std::uint8_t subIndex,
                                     bool completeAccess, std::span<const std::uint8_t> data,
                                     ecat::AlState state) {
    auto it = objects_.find(index);
    if (it == objects_.end())
        return abort::kNoObject;
    OdObject& object = it->second;
    if (object.preOpOnly && state != ecat::AlState::kPreOp)
        return abort::kDeviceState;
    if (completeAccess)
        return CompleteDownload(index, object, subIndex, data);
    if (subIndex >= object.entries.size()) {
        if (!object.open)
            return abort::kNoSubindex;
        object.entries.resize(subIndex + 1u, OdEntry{{}, true});
    }
    OdEntry& entry = object.entries[subIndex];
    if (!entry.writable)
        return abort::kReadOnly;
    if (data.empty())
        return abort::kTooShort;
    // An open object nothing describes yet that subindex 0 gets a value no
    // count can be (bits above the first byte) is a variable.
    const bool countable = data.size() <= 4 && std::all_of(data.begin() + 1, data.end(),
                                                           [](std::uint8_t b) { return b == 0; });
    if (subIndex == 0 && !countable && object.open && object.entrySize == 0 &&
        object.entries.size() == 1)
        object.array = false;
    if (subIndex == 0 && object.array) {
        // Subindex 0 counts the entries (one byte; a wider write must carry
        // zeros above it); a count past them needs an open object.
        if (data.size() > 4)
            return abort::kTooLong;
        for (std::size_t i = 1; i < data.size(); ++i) {
            if (data[i] != 0)
                return abort::kValueRange;
        }
        const std::uint8_t count = data[0];
        if (count + 1u > object.entries.size()) {
            if (!object.open)
                return abort::kValueRange;
            // Growing the entries moves them: `entry` is not used past here.
            object.entries.resize(count + 1u,
                                  OdEntry{std::vector<std::uint8_t>(object.entrySize, 0), true});
        }
        object.entries[0].value.assign(1, count);
    } else if (!object.open && !entry.value.empty() && data.size() != entry.value.size()) {
        return data.size() > entry.value.size() ? abort::kTooLong : abort::kTooShort;
    } else {
        entry.value.assign(data.begin(), data.end());
    }
    written_.insert(Key(index, subIndex));
    return 0;
}

// The size of each of entries 1..count in a complete access of `bytes`:
// each entry's own, else the object's entry size. Entries of an open object
// whose size nothing tells share the bytes left equally when they can, else
// the first takes them all (the bytes stay as written either way).
std::expected<std::vector<std::size_t>, AbortCode> ObjectDictionary::EntrySizes(
    const OdObject& object, std::size_t count, std::size_t bytes) {
    std::vector<std::size_t> sizes(count + 1, 0);
    std::size_t known = 0, unknown = 0;
    for (std::size_t s = 1; s <= count; ++s) {
        const bool has = s < object.entries.size() && !object.entries[s].value.empty();
        sizes[s] = has ? object.entries[s].value.size() : object.entrySize;
        known += sizes[s];
        unknown += sizes[s] == 0 ? 1 : 0;
    }
    if (known > bytes)
        return std::unexpected(abort::kLengthMismatch);
    const std::size_t rest = bytes - known;
    if (unknown == 0)
        return rest == 0 ? std::expected<std::vector<std::size_t>, AbortCode>(std::move(sizes))
                         : std::unexpected(abort::kTooLong);
    const bool shared = rest % unknown == 0;
    bool first = true;
    for (std::size_t s = 1; s <= count; ++s) {
        if (sizes[s] != 0 || !(shared || first))
            continue;
        sizes[s] = shared ? rest / unknown : rest;
        first = false;
    }
    return sizes;
}

AbortCode ObjectDictionary::CompleteDownload(std::uint16_t index, OdObject& object,
                                             std::uint8_t subIndex,
                                             std::span<const std::uint8_t> data) {
    if (!object.array)
        return abort::kUnsupportedAccess;
    if (subIndex > 1)
        return abort::kSubindexZeroForComplete;
    std::size_t at = 0;
    std::size_t count = object.entries.size() - 1;
    if (subIndex == 0) {
        // Subindex 0 travels as one byte and one byte of padding.
        if (data.size() < 2)
            return abort::kTooShort;
        count = data[0];
        at = 2;
    } else if (count == 0 && object.open && !data.empty()) {
        count = 1;  // nothing tells the entries apart: the first keeps the bytes
    }
    if (count + 1 > object.entries.size() && !object.open)
        return abort::kValueRange;
    const auto sizes = EntrySizes(object, count, data.size() - at);
    if (!sizes)
        return sizes.error();
    for (std::size_t s = 1; s <= count && s < object.entries.size(); ++s) {
        if (!object.entries[s].writable)
            return abort::kReadOnly;
    }
    if (count + 1 > object.entries.size())
        object.entries.resize(count + 1, OdEntry{{}, true});
    if (subIndex == 0 || object.entries[0].value.empty() || object.entries[0].value[0] < count)
        object.entries[0].value.assign(1, static_cast<std::uint8_t>(count));
    for (std::size_t s = 1; s <= count; ++s) {
        const auto from = data.begin() + static_cast<std::ptrdiff_t>(at);
        object.entries[s].value.assign(from, from + static_cast<std::ptrdiff_t>((*sizes)[s]));
        at += (*sizes)[s];
    }
    written_.insert(Key(index, kWhole));
    return 0;
}

std::expected<std::vector<std::uint8_t>, AbortCode> ObjectDictionary::Upload(
    std::uint16_t index, std::uint8_t subIndex, bool completeAccess) const {
    auto it = objects_.find(index);
    if (it == objects_.end())
        return std::unexpected(abort::kNoObject);
    const OdObject& object = it->second;
    if (!completeAccess) {
        if (subIndex >= object.entries.size())
            return std::unexpected(abort::kNoSubindex);
        return object.entries[subIndex].value;
    }
    if (!object.array)
        return std::unexpected(abort::kUnsupportedAccess);
    if (subIndex > 1)
        return std::unexpected(abort::kSubindexZeroForComplete);
    std::vector<std::uint8_t> out;
    const std::size_t count =
        std::min<std::size_t>(object.entries[0].value.empty() ? 0 : object.entries[0].value[0],
                              object.entries.size() - 1);
    if (subIndex == 0) {
        out.push_back(static_cast<std::uint8_t>(count));
        out.push_back(0);
    }
    for (std::size_t s = 1; s <= count; ++s)
        out.insert(out.end(), object.entries[s].value.begin(), object.entries[s].value.end());
    return out;
}

std::optional<std::uint32_t> ObjectDictionary::AssignedBits(std::uint16_t assignment) const {
    auto it = objects_.find(assignment);
    if (it == objects_.end())
        return std::nullopt;
    auto countOf = [](const OdObject& o) {
        const std::size_t declared = o.entries[0].value.empty() ? 0 : o.entries[0].value[0];
        return std::min(declared, o.entries.size() - 1);
    };
    std::uint32_t bits = 0;
    const OdObject& assign = it->second;
    for (std::size_t s = 1; s <= countOf(assign); ++s) {
        const auto& v = assign.entries[s].value;
        if (v.size() < 2)
            return std::nullopt;
        auto pdo = objects_.find(ecat::Get16(v.data()));
        if (pdo == objects_.end())
            return std::nullopt;
        for (std::size_t e = 1; e <= countOf(pdo->second); ++e) {
            const auto& entry = pdo->second.entries[e].value;
            if (!entry.empty())
                bits += entry[0];  // the low byte of an entry is its bit length
        }
    }
    return bits;
}

bool ObjectDictionary::Written(std::uint16_t index, std::uint8_t subIndex,
                               bool completeAccess) const {
    if (written_.contains(Key(index, kWhole)))
        return true;
    if (completeAccess)
        return written_.contains(Key(index, 0));
    return written_.contains(Key(index, subIndex));
}

}  // namespace parvane::emulator
