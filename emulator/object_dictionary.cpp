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
    // What the PDO objects hold is known by their index.
    if (index == 0x1C12 || index == 0x1C13)
        object.entrySize = 2;
    else if ((index >= 0x1600 && index <= 0x17FF) || (index >= 0x1A00 && index <= 0x1BFF))
        object.entrySize = 4;
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
    }
    if (count == 0) {
        if (at != data.size())
            return abort::kTooLong;
    }
    std::size_t size = object.entrySize;
    if (count > 0 && size == 0) {
        if (object.entries.size() > 1 && !object.entries[1].value.empty())
            size = object.entries[1].value.size();
        else if ((data.size() - at) % count == 0)
            size = (data.size() - at) / count;
    }
    if (count > 0 && (size == 0 || data.size() - at != count * size))
        return data.size() - at > count * size ? abort::kTooLong : abort::kLengthMismatch;
    if (count + 1 > object.entries.size()) {
        if (!object.open)
            return abort::kValueRange;
        object.entries.resize(count + 1, OdEntry{std::vector<std::uint8_t>(size, 0), true});
    }
    for (std::size_t s = 1; s <= count; ++s) {
        if (!object.entries[s].writable)
            return abort::kReadOnly;
    }
    if (subIndex == 0)
        object.entries[0].value.assign(1, static_cast<std::uint8_t>(count));
    for (std::size_t s = 1; s <= count; ++s) {
        object.entries[s].value.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                                       data.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
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
