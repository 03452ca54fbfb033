#include "scan/comparison.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

namespace parvane::scan {
namespace {

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string PortText(std::uint16_t position, unsigned port) {
    return std::to_string(position) + "/" + static_cast<char>('A' + port);
}

std::uint32_t SumOf(const std::vector<eni::Pdo>& pdos, const eni::ProcessData& pd,
                    eni::SmType type) {
    std::uint32_t bits = 0;
    bool assigned = false;
    for (const eni::SyncManager& sm : pd.sms) {
        if (sm.type != type)
            continue;
        for (std::uint16_t index : sm.pdos) {
            assigned = true;
            const auto pdo = std::ranges::find(pdos, index, &eni::Pdo::index);
            if (pdo != pdos.end())
                bits += pdo->bitLength();
        }
    }
    if (assigned)
        return bits;
    for (const eni::Pdo& pdo : pdos)
        if (pdo.sm)
            bits += pdo.bitLength();
    return bits;
}

// The ENI's slaves expected on the wire, in ring order: no passive
// terminals, no HotConnect group that is not there.
std::vector<const eni::Slave*> ExpectedSlaves(const eni::NetworkConfig& config,
                                              const master::ScannedNetwork& found) {
    std::vector<const eni::Slave*> out;
    const auto& slaves = config.slaves;
    for (std::size_t e = 0; e < slaves.size();) {
        const eni::Slave& slave = slaves[e];
        if (slave.passive) {
            ++e;
            continue;
        }
        if (slave.hotConnectGroupSize > 0) {
            const std::size_t next = out.size();
            const bool present =
                next < found.slaves.size() &&
                found.slaves[next].identity.vendorId == slave.identity.vendorId &&
                found.slaves[next].identity.productCode == slave.identity.productCode;
            if (!present) {
                e += slave.hotConnectGroupSize;
                continue;
            }
        }
        out.push_back(&slave);
        ++e;
    }
    return out;
}

class Walk {
  public:
    Walk(const eni::NetworkConfig& config, const master::ScannedNetwork& found)
        : expected_(ExpectedSlaves(config, found)), found_(found.slaves) {
        for (std::size_t p = 0; p < expected_.size(); ++p)
            positionOf_.emplace(expected_[p]->physAddr, static_cast<std::uint16_t>(p));
    }

    Comparison Run() {
        Comparison out;
        const std::size_t n = std::max(expected_.size(), found_.size());
        for (std::size_t p = 0; p < n; ++p) {
            if (p >= found_.size())
                out.positions.push_back(Missing(*expected_[p], p));
            else if (p >= expected_.size())
                out.positions.push_back(Extra(found_[p]));
            else
                out.positions.push_back(Compare(*expected_[p], found_[p]));
        }
        return out;
    }

  private:
    // The ENI's parent of a slave, as ring position and port; nothing where
    // it gives no PreviousPort (or names a slave not on the wire).
    std::optional<std::pair<std::uint16_t, unsigned>> EniParent(const eni::Slave& slave) const {
        if (!slave.previousPort)
            return std::nullopt;
        const auto at = positionOf_.find(slave.previousPort->physAddr);
        if (at == positionOf_.end())
            return std::nullopt;
        const char letter = slave.previousPort->port;
        const unsigned port =
            letter >= 'A' && letter <= 'D' ? static_cast<unsigned>(letter - 'A') : 0u;
        return std::pair{at->second, port};
    }

    PositionResult Compare(const eni::Slave& eni, const master::ScannedSlave& f) const {
        PositionResult r;
        r.position = f.position;
        r.station = f.stationAddress;
        r.eniName = eni.name;
        r.foundName = f.name;
        if (f.eepromError) {
            // Nothing of the slave is known but that it is there.
            r.verdict = Verdict::kDifferent;
            r.note = "EEPROM unreadable (" + *f.eepromError + ")";
            return r;
        }
        auto differs = [&](const char* field, std::uint32_t want, std::uint32_t have, bool hex) {
            if (want != have)
                r.differences.push_back({field, hex ? Hex32(want) : std::to_string(want),
                                         hex ? Hex32(have) : std::to_string(have)});
        };
        differs("vendor", eni.identity.vendorId, f.identity.vendorId, true);
        differs("product", eni.identity.productCode, f.identity.productCode, true);
        differs("revision", eni.identity.revisionNo, f.identity.revisionNo, true);
        if (eni.serialNo != 0)
            differs("serial", eni.serialNo, f.serialNo, true);
        differs("outputs", EniOutputBits(eni), f.outputBits(), false);
        differs("inputs", EniInputBits(eni), f.inputBits(), false);
        if (const auto parent = EniParent(eni)) {
            const std::string want = PortText(parent->first, parent->second);
            const std::string have = f.parent ? PortText(*f.parent, f.parentPort) : "-";
            if (want != have)
                r.differences.push_back({"parent", want, have});
        }
        r.verdict = r.differences.empty() ? Verdict::kSame : Verdict::kDifferent;
        return r;
    }

    PositionResult Missing(const eni::Slave& eni, std::size_t p) const {
        PositionResult r;
        r.verdict = Verdict::kMissing;
        r.position = static_cast<std::uint16_t>(p);
        r.station = eni.physAddr;
        r.eniName = eni.name;
        if (found_.empty()) {
            r.note = "no slave answers";
        } else if (const auto parent = EniParent(eni); parent && parent->first < found_.size()) {
            r.note = "nothing on port " + std::string(1, static_cast<char>('A' + parent->second)) +
                     " of position " + std::to_string(parent->first);
        } else {
            r.note = "the line ends after position " + std::to_string(found_.size() - 1);
        }
        return r;
    }

    static PositionResult Extra(const master::ScannedSlave& f) {
        PositionResult r;
        r.verdict = Verdict::kExtra;
        r.position = f.position;
        r.station = f.stationAddress;
        r.foundName = f.name;
        r.note = "vendor " + Hex32(f.identity.vendorId) + " product " +
                 Hex32(f.identity.productCode) + " revision " + Hex32(f.identity.revisionNo);
        if (f.parent)
            r.note += " on port " + std::string(1, static_cast<char>('A' + f.parentPort)) +
                      " of position " + std::to_string(*f.parent);
        return r;
    }

    std::vector<const eni::Slave*> expected_;
    const std::vector<master::ScannedSlave>& found_;
    std::map<std::uint16_t, std::uint16_t> positionOf_;  // PhysAddr -> ring position
};

std::string Quoted(const std::string& name) {
    return name.empty() ? std::string("-") : "\"" + name + "\"";
}

}  // namespace

bool Comparison::same() const {
    return std::ranges::all_of(positions,
                               [](const PositionResult& p) { return p.verdict == Verdict::kSame; });
}

std::size_t Comparison::count(Verdict verdict) const {
    return static_cast<std::size_t>(
        std::ranges::count(positions, verdict, &PositionResult::verdict));
}

Comparison CompareNetwork(const eni::NetworkConfig& config, const master::ScannedNetwork& found) {
    return Walk(config, found).Run();
}

std::uint32_t EniOutputBits(const eni::Slave& slave) {
    if (!slave.processData)
        return 0;
    const eni::ProcessData& pd = *slave.processData;
    const std::uint32_t bits = SumOf(pd.rxPdos, pd, eni::SmType::kOutputs);
    return bits != 0 || !pd.send ? bits : pd.send->bitLength;
}

std::uint32_t EniInputBits(const eni::Slave& slave) {
    if (!slave.processData)
        return 0;
    const eni::ProcessData& pd = *slave.processData;
    const std::uint32_t bits = SumOf(pd.txPdos, pd, eni::SmType::kInputs);
    return bits != 0 || !pd.recv ? bits : pd.recv->bitLength;
}

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::kSame:
            return "same";
        case Verdict::kDifferent:
            return "different";
        case Verdict::kMissing:
            return "missing";
        case Verdict::kExtra:
            return "extra";
    }
    return "?";
}

std::string ComparisonText(const Comparison& comparison) {
    std::string out;
    char head[64];
    for (const PositionResult& p : comparison.positions) {
        std::snprintf(head, sizeof head, "%4u %-9s station 0x%04X eni ", p.position,
                      VerdictText(p.verdict), p.station);
        out += head + Quoted(p.eniName) + " found " + Quoted(p.foundName);
        for (const FieldDifference& d : p.differences)
            out += "; " + d.field + " eni " + d.eni + " found " + d.found;
        if (!p.note.empty())
            out += "; " + p.note;
        out += '\n';
    }
    char summary[160];
    std::snprintf(summary, sizeof summary,
                  "%s: %zu positions, %zu same, %zu different, %zu missing, %zu extra\n",
                  comparison.same() ? "same" : "different", comparison.positions.size(),
                  comparison.count(Verdict::kSame), comparison.count(Verdict::kDifferent),
                  comparison.count(Verdict::kMissing), comparison.count(Verdict::kExtra));
    return out + summary;
}

}  // namespace parvane::scan
