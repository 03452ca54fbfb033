#include "master/network_comparison.h"

#include <cstdio>

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "ecat/sii.h"

namespace parvane::master {
namespace {

// The revision number's bytes in the SII image.
constexpr std::uint32_t kRevisionByte = ecat::sii::kWordRevisionNo * 2u;

bool Writes(ecat::Command c) {
    return c == ecat::Command::kApwr || c == ecat::Command::kFpwr;
}
bool Reads(ecat::Command c) {
    return c == ecat::Command::kAprd || c == ecat::Command::kFprd;
}

// The SII word that a write to 0x0502 asks the ESC to read, if it is a read
// command: control word, then the word address (16 or 32 bits).
std::optional<std::uint32_t> SiiReadWord(const eni::InitCmd& cmd) {
    const eni::Datagram& d = cmd.datagram;
    if (d.logical || !Writes(d.command) || d.ado != ecat::reg::kSiiControl || d.data.size() < 4)
        return std::nullopt;
    const std::uint16_t control = ecat::Get16(d.data.data());
    if ((control & ecat::sii_control::kCommandMask) != ecat::sii_control::kRead)
        return std::nullopt;
    return d.data.size() >= 6 ? ecat::Get32(d.data.data() + 2) : ecat::Get16(d.data.data() + 2);
}

// Adds to `check` the revision bytes that the Validate of a 0x0508 read
// after an SII read of `word` compares.
void AddValidatedBytes(const eni::InitCmd& read, std::uint32_t word, RevisionCheck& check) {
    const eni::Datagram& d = read.datagram;
    if (d.logical || !Reads(d.command) || d.ado != ecat::reg::kSiiData || !read.validate)
        return;
    const eni::Validate& v = *read.validate;
    for (std::size_t i = 0; i < v.data.size(); ++i) {
        const std::uint64_t at = static_cast<std::uint64_t>(word) * 2u + i;
        if (at < kRevisionByte || at >= kRevisionByte + 4)
            continue;
        const unsigned shift = 8u * static_cast<unsigned>(at - kRevisionByte);
        const std::uint32_t mask = i < v.mask.size() ? v.mask[i] : 0xFFu;
        check.mask |= mask << shift;
        check.value |= static_cast<std::uint32_t>(v.data[i] & mask) << shift;
    }
}

// What the comparison walks: the ENI's slaves and the found ones.
class Walk {
  public:
    Walk(const eni::NetworkConfig& config, std::span<const SlaveOnWire> found)
        : eni_(config.slaves), found_(found) {}

    std::vector<Difference> Run() {
        std::size_t e = 0;
        while (e < eni_.size()) {
            const eni::Slave& slave = eni_[e];
            if (slave.passive) {
                ++e;
                continue;
            }
            if (slave.hotConnectGroupSize > 0 && !GroupPresent(slave)) {
                e += slave.hotConnectGroupSize;
                continue;
            }
            Compare(slave);
            ++e;
        }
        for (; next_ < found_.size(); ++next_) {
            const SlaveOnWire& f = found_[next_];
            Difference& d = Add(DifferenceKind::kExtra, f.position, f.stationAddress);
            d.identity = f.identity;
        }
        return std::move(out_);
    }

  private:
    // A group is there when the next slave on the wire is its head's kind
    // (or cannot be told apart, its EEPROM being unreadable).
    bool GroupPresent(const eni::Slave& head) const {
        if (next_ >= found_.size())
            return false;
        const auto& id = found_[next_].identity;
        return !id || (id->vendorId == head.identity.vendorId &&
                       id->productCode == head.identity.productCode);
    }

    void Compare(const eni::Slave& slave) {
        if (next_ >= found_.size()) {
            Add(DifferenceKind::kMissing, static_cast<std::uint16_t>(missingAt_++), slave.physAddr)
                .name = slave.name;
            return;
        }
        const SlaveOnWire& f = found_[next_++];
        missingAt_ = f.position + 1u;
        if (!f.identity)
            return;
        auto add = [&](DifferenceKind kind, std::uint32_t want, std::uint32_t have,
                       std::uint32_t mask) {
            Difference& d = Add(kind, f.position, f.stationAddress);
            d.name = slave.name;
            d.expected = want;
            d.found = have;
            d.mask = mask;
        };
        const eni::SlaveIdentity& want = slave.identity;
        if (f.identity->vendorId != want.vendorId)
            add(DifferenceKind::kVendor, want.vendorId, f.identity->vendorId, 0xFFFFFFFF);
        if (f.identity->productCode != want.productCode)
            add(DifferenceKind::kProduct, want.productCode, f.identity->productCode, 0xFFFFFFFF);
        if (auto check = RevisionCheckOf(slave);
            check && ((f.identity->revisionNo ^ check->value) & check->mask) != 0) {
            const std::uint32_t expected = (want.revisionNo & ~check->mask) | check->value;
            add(DifferenceKind::kRevision, expected, f.identity->revisionNo, check->mask);
        }
    }

    Difference& Add(DifferenceKind kind, std::uint16_t position, std::uint16_t station) {
        Difference& d = out_.emplace_back();
        d.kind = kind;
        d.position = position;
        d.stationAddress = station;
        return d;
    }

    const std::vector<eni::Slave>& eni_;
    std::span<const SlaveOnWire> found_;
    std::size_t next_ = 0;       // the next found slave to compare
    std::size_t missingAt_ = 0;  // the position a missing slave is reported at
    std::vector<Difference> out_;
};

}  // namespace

std::optional<RevisionCheck> RevisionCheckOf(const eni::Slave& slave) {
    RevisionCheck check;
    const std::vector<eni::InitCmd>& cmds = slave.initCmds;
    for (std::size_t i = 0; i + 1 < cmds.size(); ++i) {
        if (auto word = SiiReadWord(cmds[i]))
            AddValidatedBytes(cmds[i + 1], *word, check);
    }
    if (check.mask == 0)
        return std::nullopt;
    return check;
}

std::vector<Difference> CompareWithEni(const eni::NetworkConfig& config,
                                       std::span<const SlaveOnWire> found) {
    return Walk(config, found).Run();
}

std::string DifferenceText(const Difference& d) {
    char where[64];
    std::snprintf(where, sizeof where, "slave %u at station %u", d.position, d.stationAddress);
    std::string out = where;
    if (!d.name.empty())
        out += " (" + d.name + ")";
    char what[160];
    switch (d.kind) {
        case DifferenceKind::kMissing:
            std::snprintf(what, sizeof what, ": missing, the ENI expects it here");
            break;
        case DifferenceKind::kExtra:
            if (d.identity) {
                std::snprintf(what, sizeof what,
                              ": extra, vendor 0x%08X product 0x%08X revision 0x%08X, not in the "
                              "ENI",
                              d.identity->vendorId, d.identity->productCode,
                              d.identity->revisionNo);
            } else {
                std::snprintf(what, sizeof what, ": extra, EEPROM unreadable, not in the ENI");
            }
            break;
        case DifferenceKind::kVendor:
            std::snprintf(what, sizeof what, ": vendor expected 0x%08X, found 0x%08X", d.expected,
                          d.found);
            break;
        case DifferenceKind::kProduct:
            std::snprintf(what, sizeof what, ": product expected 0x%08X, found 0x%08X", d.expected,
                          d.found);
            break;
        case DifferenceKind::kRevision:
            if (d.mask == 0xFFFFFFFF) {
                std::snprintf(what, sizeof what, ": revision expected 0x%08X, found 0x%08X",
                              d.expected, d.found);
            } else {
                std::snprintf(what, sizeof what,
                              ": revision expected 0x%08X, found 0x%08X (bits 0x%08X checked)",
                              d.expected, d.found, d.mask);
            }
            break;
    }
    return out + what;
}

}  // namespace parvane::master
