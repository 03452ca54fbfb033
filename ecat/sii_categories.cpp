#include "ecat/sii_categories.h"

#include "ecat/byte_order.h"
#include "ecat/sii.h"

namespace parvane::ecat::sii {

std::vector<std::string> DecodeStrings(std::span<const std::uint8_t> data) {
    std::vector<std::string> strings;
    if (data.empty())
        return strings;
    const std::size_t count = data[0];
    std::size_t at = 1;
    strings.reserve(count);
    for (std::size_t i = 0; i < count && at < data.size(); ++i) {
        const std::size_t length = data[at++];
        if (length > data.size() - at)
            break;
        strings.emplace_back(reinterpret_cast<const char*>(data.data() + at), length);
        at += length;
    }
    return strings;
}

std::string StringAt(const std::vector<std::string>& strings, std::uint8_t index) {
    if (index == 0 || index > strings.size())
        return {};
    return strings[index - 1u];
}

std::optional<General> DecodeGeneral(std::span<const std::uint8_t> data) {
    constexpr std::size_t kFixedPart = 16;
    if (data.size() < kFixedPart)
        return std::nullopt;
    General g;
    g.groupIndex = data[0];
    g.imageIndex = data[1];
    g.orderIndex = data[2];
    g.nameIndex = data[3];
    g.coeDetails = data[5];
    g.foeDetails = data[6];
    g.eoeDetails = data[7];
    g.soeChannels = data[8];
    g.ds402Channels = data[9];
    g.flags = data[11];
    g.currentOnEbus = static_cast<std::int16_t>(Get16(&data[12]));
    if (data.size() >= 18)
        g.physicalPorts = Get16(&data[16]);
    return g;
}

std::vector<std::uint8_t> DecodeFmmus(std::span<const std::uint8_t> data) {
    return {data.begin(), data.end()};
}

std::vector<SyncManagerEntry> DecodeSyncManagers(std::span<const std::uint8_t> data) {
    std::vector<SyncManagerEntry> sms;
    sms.reserve(data.size() / kSmEntrySize);
    for (std::size_t at = 0; at + kSmEntrySize <= data.size(); at += kSmEntrySize) {
        const std::uint8_t* e = &data[at];
        sms.push_back({Get16(e), Get16(e + 2), e[4], e[6], e[7]});
    }
    return sms;
}

std::vector<PdoRecord> DecodePdos(std::span<const std::uint8_t> data) {
    std::vector<PdoRecord> pdos;
    std::size_t at = 0;
    while (at + kPdoHeaderSize <= data.size()) {
        const std::uint8_t* h = &data[at];
        const std::size_t entries = h[2];
        if (entries * kPdoEntrySize > data.size() - at - kPdoHeaderSize)
            break;
        PdoRecord& pdo = pdos.emplace_back();
        pdo.index = Get16(h);
        pdo.sm = h[3];
        pdo.dcSync = h[4];
        pdo.nameIndex = h[5];
        pdo.flags = Get16(h + 6);
        pdo.entries.reserve(entries);
        at += kPdoHeaderSize;
        for (std::size_t i = 0; i < entries; ++i, at += kPdoEntrySize) {
            const std::uint8_t* e = &data[at];
            pdo.entries.push_back({Get16(e), e[2], e[3], e[4], e[5]});
        }
    }
    return pdos;
}

std::vector<DcMode> DecodeDcModes(std::span<const std::uint8_t> data) {
    std::vector<DcMode> modes;
    for (std::size_t at = 0; at + kDcModeSize <= data.size(); at += kDcModeSize) {
        const std::uint8_t* d = &data[at];
        DcMode& m = modes.emplace_back();
        m.cycleTime0 = Get32(d);
        m.shiftTime0 = Get32(d + 4);
        m.shiftTime1 = Get32(d + 8);
        m.sync1CycleFactor = static_cast<std::int16_t>(Get16(d + 12));
        m.assignActivate = Get16(d + 14);
        m.sync0CycleFactor = static_cast<std::int16_t>(Get16(d + 16));
        m.nameIndex = d[18];
        m.descIndex = d[19];
    }
    return modes;
}

}  // namespace parvane::ecat::sii
