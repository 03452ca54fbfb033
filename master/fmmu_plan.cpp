#include "master/fmmu_plan.h"

#include <algorithm>
#include <vector>

#include "ecat/byte_order.h"

namespace parvane::master {
namespace {

// The bytes of an FMMU entry: logical start (4), length (2), logical start
// and stop bit, physical start (2), physical start bit, type, activate.
constexpr std::size_t kLength = 4, kStartBit = 6, kStopBit = 7, kPhysical = 8, kPhysicalBit = 10,
                      kType = 11, kActivate = 12;

constexpr WindowStart kWays[] = {WindowStart::kFrame, WindowStart::kData, WindowStart::kCommand};

// The bytes a datagram header takes before its data, in a frame-shaped image.
constexpr std::uint64_t kDatagramHeader = 10;

bool Carries(ecat::Command c, bool outputs) {
    return outputs ? (c == ecat::Command::kLwr || c == ecat::Command::kLrw)
                   : (c == ecat::Command::kLrd || c == ecat::Command::kLrw);
}

// Whether `physical` lies in one of the slave's process data sync managers.
bool OnProcessSm(std::uint16_t physical, const eni::ProcessData& pd) {
    return std::any_of(pd.sms.begin(), pd.sms.end(), [&](const eni::SyncManager& sm) {
        if (sm.type != eni::SmType::kOutputs && sm.type != eni::SmType::kInputs)
            return false;
        const std::uint32_t end = sm.startAddress + std::max<std::uint32_t>(sm.defaultSize, 1);
        return sm.startAddress <= physical && physical < end;
    });
}

}  // namespace

LogicalImage::LogicalImage(const eni::NetworkConfig& config) : config_(config) {
    for (const eni::Cyclic& cyclic : config.cyclic) {
        for (const eni::CyclicFrame& frame : cyclic.frames) {
            hasWindows_ = hasWindows_ || std::any_of(frame.cmds.begin(), frame.cmds.end(),
                                                     [](const eni::CyclicCmd& cmd) {
                                                         return cmd.datagram.logical;
                                                     });
        }
    }
    for (const WindowStart way : kWays) {
        bool any = false;
        bool all = true;
        for (const eni::Slave& slave : config.slaves) {
            if (!slave.processData)
                continue;
            for (const bool outputs : {true, false}) {
                const auto& range = outputs ? slave.processData->send : slave.processData->recv;
                if (!range || range->bitLength == 0)
                    continue;
                any = true;
                all = all && Find(*range, outputs, way).has_value();
            }
        }
        if (any && all) {
            windowStart_ = way;
            return;
        }
    }
}

std::optional<std::uint64_t> LogicalImage::Find(const eni::BitRange& range, bool outputs,
                                                WindowStart from) const {
    for (const eni::Cyclic& cyclic : config_.cyclic) {
        for (const eni::CyclicFrame& frame : cyclic.frames) {
            for (const eni::CyclicCmd& cmd : frame.cmds) {
                if (!cmd.datagram.logical || !Carries(cmd.datagram.command, outputs))
                    continue;
                const auto offs = outputs ? cmd.outputOffs : cmd.inputOffs;
                if (from != WindowStart::kCommand && !offs)
                    continue;
                std::uint64_t base = 0;  // in bits
                if (from == WindowStart::kFrame)
                    base = (*offs + kDatagramHeader) * 8;
                else if (from == WindowStart::kData)
                    base = static_cast<std::uint64_t>(*offs) * 8;
                const std::uint64_t end = base + cmd.datagram.data.size() * 8;
                if (range.bitStart < base ||
                    range.bitStart + static_cast<std::uint64_t>(range.bitLength) > end)
                    continue;
                return static_cast<std::uint64_t>(cmd.datagram.logicalAddress) * 8 +
                       (range.bitStart - base);
            }
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> LogicalImage::BitAddressOf(const eni::BitRange& range,
                                                        bool outputs) const {
    if (windowStart_) {
        if (const auto bit = Find(range, outputs, *windowStart_))
            return bit;
    }
    for (const WindowStart way : kWays) {
        if (const auto bit = Find(range, outputs, way))
            return bit;
    }
    return std::nullopt;
}

bool LogicalImage::Covers(std::uint32_t start, std::uint32_t length) const {
    for (const eni::Cyclic& cyclic : config_.cyclic) {
        for (const eni::CyclicFrame& frame : cyclic.frames) {
            for (const eni::CyclicCmd& cmd : frame.cmds) {
                const eni::Datagram& d = cmd.datagram;
                if (d.logical && d.logicalAddress <= start &&
                    static_cast<std::uint64_t>(start) + length <=
                        static_cast<std::uint64_t>(d.logicalAddress) + d.data.size())
                    return true;
            }
        }
    }
    return false;
}

std::optional<std::uint16_t> ProcessSmStart(const eni::ProcessData& pd, bool outputs) {
    const eni::SmType type = outputs ? eni::SmType::kOutputs : eni::SmType::kInputs;
    for (const eni::SyncManager& sm : pd.sms) {
        if (sm.type == type && sm.number < ecat::reg::kMaxSms)
            return sm.startAddress;
    }
    return std::nullopt;
}

std::optional<FmmuBytes> ProcessDataFmmu(const LogicalImage& image, const eni::BitRange& range,
                                         std::uint16_t physical, bool outputs) {
    const std::optional<std::uint64_t> bit = image.BitAddressOf(range, outputs);
    // The entry's bytes end within the 32-bit logical address space.
    if (!bit || (*bit + range.bitLength + 7) / 8 > (std::uint64_t{1} << 32))
        return std::nullopt;
    ecat::FmmuEntry entry;
    entry.logicalStart = static_cast<std::uint32_t>(*bit / 8);
    entry.logicalStartBit = static_cast<std::uint8_t>(*bit % 8);
    entry.length = static_cast<std::uint16_t>((*bit % 8 + range.bitLength + 7) / 8);
    entry.logicalStopBit = static_cast<std::uint8_t>((*bit + range.bitLength - 1) % 8);
    entry.physicalStart = physical;
    entry.physicalStartBit = 0;
    entry.type = outputs ? ecat::FmmuEntry::kTypeWrite : ecat::FmmuEntry::kTypeRead;
    entry.active = true;
    FmmuBytes bytes{};
    entry.Encode(bytes);
    return bytes;
}

bool IsFmmuEntry(std::span<const std::uint8_t, ecat::reg::kFmmuSize> bytes,
                 const LogicalImage& image, const eni::ProcessData* pd) {
    if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; }))
        return true;
    const std::uint8_t type = bytes[kType];
    const std::uint8_t activate = bytes[kActivate];
    if (bytes[kStartBit] > 7 || bytes[kStopBit] > 7 || bytes[kPhysicalBit] > 7 || activate > 1 ||
        type > 3 || (type == 0 && activate != 0))
        return false;
    if (activate == 0 || pd == nullptr || !image.HasWindows() ||
        !OnProcessSm(ecat::Get16(&bytes[kPhysical]), *pd))
        return true;
    return image.Covers(ecat::Get32(&bytes[0]), ecat::Get16(&bytes[kLength]));
}

std::optional<FmmuBytes> ReplacementFmmu(std::span<const std::uint8_t, ecat::reg::kFmmuSize> bytes,
                                         unsigned number, const LogicalImage& image,
                                         const eni::ProcessData& pd) {
    std::optional<bool> outputs;
    if (bytes[kType] == ecat::FmmuEntry::kTypeWrite || bytes[kType] == ecat::FmmuEntry::kTypeRead) {
        outputs = bytes[kType] == ecat::FmmuEntry::kTypeWrite;
    } else {
        std::vector<bool> numbered;  // the direction of FMMU 0, 1
        for (const bool out : {true, false}) {
            if (ProcessSmStart(pd, out))
                numbered.push_back(out);
        }
        if (number < numbered.size())
            outputs = numbered[number];
    }
    if (!outputs)
        return std::nullopt;
    const std::optional<std::uint16_t> physical = ProcessSmStart(pd, *outputs);
    if (!physical)
        return std::nullopt;
    const std::optional<eni::BitRange>& range = *outputs ? pd.send : pd.recv;
    if (!range || range->bitLength == 0) {
        FmmuBytes unused{};
        unused[kType] = *outputs ? ecat::FmmuEntry::kTypeWrite : ecat::FmmuEntry::kTypeRead;
        return unused;
    }
    return ProcessDataFmmu(image, *range, *physical, *outputs);
}

}  // namespace parvane::master
