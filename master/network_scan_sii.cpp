#include <numeric>

#include "ecat/byte_order.h"
#include "ecat/sii.h"
#include "ecat/sii_categories.h"
#include "master/network_scan.h"
#include "master/network_scan_steps.h"

namespace parvane::master {

namespace sii = ecat::sii;

std::uint32_t ScannedPdo::bitLength() const {
    return std::accumulate(
        entries.begin(), entries.end(), std::uint32_t{0},
        [](std::uint32_t sum, const ScannedPdoEntry& e) { return sum + e.bitLength; });
}

namespace {

std::uint32_t SumBits(const std::vector<ScannedPdo>& pdos) {
    std::uint32_t bits = 0;
    for (const ScannedPdo& pdo : pdos)
        if (pdo.sm)
            bits += pdo.bitLength();
    return bits;
}

}  // namespace

namespace {

ScannedPdo FromSii(const sii::PdoRecord& record, const std::vector<std::string>& strings) {
    ScannedPdo pdo;
    pdo.index = record.index;
    pdo.name = sii::StringAt(strings, record.nameIndex);
    if (record.sm != 0xFF)
        pdo.sm = record.sm;
    pdo.fixed = (record.flags & sii::kPdoFixed) != 0;
    for (const sii::PdoEntryRecord& e : record.entries)
        pdo.entries.push_back(
            {e.index, e.subIndex, e.bitLength, e.dataType, sii::StringAt(strings, e.nameIndex)});
    return pdo;
}

void DecodeGeneral(ScannedSlave& slave, std::span<const std::uint8_t> data,
                   const std::vector<std::string>& strings) {
    const auto general = sii::DecodeGeneral(data);
    if (!general)
        return;
    slave.group = sii::StringAt(strings, general->groupIndex);
    slave.order = sii::StringAt(strings, general->orderIndex);
    slave.name = sii::StringAt(strings, general->nameIndex);
    slave.coeDetails = general->coeDetails;
    if (slave.name.empty())
        slave.name = slave.order;
}

void DecodeDc(ScannedSlave& slave, std::span<const std::uint8_t> data) {
    for (const sii::DcMode& mode : sii::DecodeDcModes(data)) {
        if (mode.assignActivate == 0)
            continue;
        slave.dcNeeded = true;
        slave.assignActivate = mode.assignActivate;
        slave.cycleTime0 = mode.cycleTime0;
        return;
    }
}

// The categories of an area read from word 0x40 on (offsets in words from
// its start) that lie whole inside it: a walk cut short, or a length that
// runs past what was read, keeps the categories before it.
std::vector<sii::CategoryRef> WholeCategories(std::span<const std::uint8_t> area) {
    constexpr std::size_t kMaxCategories = 256;
    std::vector<sii::CategoryRef> refs;
    const std::size_t words = area.size() / 2;
    std::size_t at = 0;
    while (at + 2 <= words && refs.size() < kMaxCategories) {
        const std::uint16_t type = ecat::Get16(&area[2 * at]);
        const std::size_t length = ecat::Get16(&area[2 * at + 2]);
        if (type == static_cast<std::uint16_t>(sii::Category::kEnd) || length > words - at - 2)
            break;
        refs.push_back({type, at + 2, length});
        at += 2 + length;
    }
    return refs;
}

}  // namespace

void DecodeCategories(ScannedSlave& slave, const std::vector<std::uint8_t>& categories,
                      std::vector<sii::PdoRecord>& siiTx, std::vector<sii::PdoRecord>& siiRx,
                      std::vector<std::string>& strings) {
    const std::vector<sii::CategoryRef> refs = WholeCategories(categories);
    const auto dataOf = [&categories](const sii::CategoryRef& ref) {
        return std::span<const std::uint8_t>(categories)
            .subspan(2 * ref.wordOffset, 2 * ref.wordLength);
    };
    for (const sii::CategoryRef& ref : refs)
        if (ref.type == static_cast<std::uint16_t>(sii::Category::kStrings) && strings.empty())
            strings = sii::DecodeStrings(dataOf(ref));
    for (const sii::CategoryRef& ref : refs) {
        const auto data = dataOf(ref);
        switch (static_cast<sii::Category>(ref.type)) {
            case sii::Category::kGeneral:
                DecodeGeneral(slave, data, strings);
                break;
            case sii::Category::kFmmu:
                slave.fmmuUsage = sii::DecodeFmmus(data);
                break;
            case sii::Category::kSyncManager:
                for (const sii::SyncManagerEntry& sm : sii::DecodeSyncManagers(data))
                    slave.sms.push_back({sm.startAddress, sm.length, sm.controlByte,
                                         (sm.enable & 1) != 0, sm.type});
                break;
            case sii::Category::kTxPdo: {
                auto pdos = sii::DecodePdos(data);
                siiTx.insert(siiTx.end(), pdos.begin(), pdos.end());
                break;
            }
            case sii::Category::kRxPdo: {
                auto pdos = sii::DecodePdos(data);
                siiRx.insert(siiRx.end(), pdos.begin(), pdos.end());
                break;
            }
            case sii::Category::kDc:
                DecodeDc(slave, data);
                break;
            default:
                break;
        }
    }
}

// The PDOs the SII assigns by default: those it gives a sync manager.
std::vector<ScannedPdo> SiiAssigned(const std::vector<sii::PdoRecord>& records,
                                    const std::vector<std::string>& strings) {
    std::vector<ScannedPdo> pdos;
    for (const sii::PdoRecord& record : records)
        if (record.sm != 0xFF)
            pdos.push_back(FromSii(record, strings));
    return pdos;
}

std::uint32_t ScannedSlave::outputBits() const {
    return SumBits(rxPdos);
}

std::uint32_t ScannedSlave::inputBits() const {
    return SumBits(txPdos);
}

}  // namespace parvane::master
