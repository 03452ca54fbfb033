#include "master/bring_up.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "ecat/sii.h"
#include "master/log.h"

namespace parvane::master {
namespace {

using Clock = std::chrono::steady_clock;

// The position a slave answers to in an auto-increment (APxx) command.
std::uint16_t PositionAddress(std::size_t position) {
    return static_cast<std::uint16_t>(0x10000 - position);
}

Error FromExchange(const Error& error) {
    return Error{error == Errc::kLinkDown ? Errc::kLinkDown : Errc::kNoReply};
}

// Why nothing was brought up, as the log says it.
const char* Why(const Error& error) {
    if (error == Errc::kNoReply)
        return "no frame came back: no slave on the wire, or the cable is not connected";
    return ErrorText(error);
}

// Reads one 32-bit value of every slave's SII at `word` into `values`
// (slaves already failed are left out; a failure is recorded per slave).
// With `alsoNext`, slaves whose ESC reads 8 bytes give the following value
// too, and `next` receives it.
void ReadAll(Exchange& exchange, Segment& segment, std::uint32_t word,
             std::vector<std::optional<std::uint32_t>>& values,
             std::vector<std::optional<std::uint32_t>>* next, const EepromOptions& options) {
    std::vector<std::uint16_t> stations;
    std::vector<std::size_t> positions;
    for (std::size_t p = 0; p < segment.slaves.size(); ++p) {
        if (!segment.slaves[p].eepromError && !values[p]) {
            stations.push_back(segment.slaves[p].found.stationAddress);
            positions.push_back(p);
        }
    }
    std::vector<std::expected<EepromWords, Error>> results;
    ReadEepromWordsOfAll(exchange, stations, word, results, options);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        SegmentSlave& slave = segment.slaves[positions[i]];
        if (!results[i]) {
            slave.eepromError = results[i].error();
            continue;
        }
        values[positions[i]] = ecat::Get32(results[i]->bytes.data());
        if (next != nullptr && results[i]->size == 8)
            (*next)[positions[i]] = ecat::Get32(results[i]->bytes.data() + 4);
    }
}

}  // namespace

void LogSegment(const Segment& segment, const eni::NetworkConfig& config,
                const BringUpOptions& options) {
    const std::size_t eniCount = config.slaves.size();
    std::size_t matching = 0;
    std::size_t silent = 0;
    for (std::size_t p = 0; p < segment.slaves.size(); ++p) {
        const SegmentSlave& slave = segment.slaves[p];
        const unsigned station = slave.found.stationAddress;
        const bool detail = p < options.slavesLogged;
        if (!slave.identity) {
            Log("slave %zu at station %u: EEPROM unreadable (%s)", p, station,
                ErrorText(slave.eepromError.value_or(Error{Errc::kNoReply})));
            continue;
        }
        const eni::SlaveIdentity& id = *slave.identity;
        if (p >= eniCount) {
            Log("slave %zu at station %u: vendor 0x%08X product 0x%08X revision 0x%08X, beyond "
                "the ENI's %zu slaves",
                p, station, id.vendorId, id.productCode, id.revisionNo, eniCount);
            continue;
        }
        const eni::SlaveIdentity& want = config.slaves[p].identity;
        if (id.vendorId == want.vendorId && id.productCode == want.productCode &&
            id.revisionNo == want.revisionNo) {
            ++matching;
            if (detail) {
                Log("slave %zu at station %u: vendor 0x%08X product 0x%08X revision 0x%08X (%s), "
                    "as the ENI expects",
                    p, station, id.vendorId, id.productCode, id.revisionNo,
                    config.slaves[p].name.c_str());
            } else {
                ++silent;
            }
            continue;
        }
        Log("slave %zu at station %u: vendor 0x%08X product 0x%08X revision 0x%08X; the ENI "
            "expects vendor 0x%08X product 0x%08X revision 0x%08X (%s)",
            p, station, id.vendorId, id.productCode, id.revisionNo, want.vendorId, want.productCode,
            want.revisionNo, config.slaves[p].name.c_str());
    }
    if (silent > 0)
        Log("%zu more slaves as the ENI expects them", silent);
    if (segment.slaves.size() < eniCount) {
        Log("the ENI's slaves from position %zu on (%zu of them) do not answer",
            segment.slaves.size(), eniCount - segment.slaves.size());
    }
    (void)matching;
}

std::vector<FoundSlave> Segment::found() const {
    std::vector<FoundSlave> out;
    out.reserve(slaves.size());
    for (const SegmentSlave& slave : slaves)
        out.push_back(slave.found);
    return out;
}

std::vector<SlaveOnWire> Segment::onWire() const {
    std::vector<SlaveOnWire> out;
    out.reserve(slaves.size());
    for (const SegmentSlave& slave : slaves)
        out.push_back({slave.found.position, slave.found.stationAddress, slave.identity});
    return out;
}

std::vector<std::uint16_t> StationAddresses(const eni::NetworkConfig& config, std::size_t count) {
    std::vector<bool> used(0x10000, false);
    used[0] = true;  // 0 is what a cleared slave answers to
    std::uint32_t highest = 1000;
    for (const eni::Slave& slave : config.slaves)
        highest = std::max<std::uint32_t>(highest, slave.physAddr);
    std::uint32_t next = highest + 1;
    std::vector<std::uint16_t> addresses;
    addresses.reserve(count);
    for (std::size_t p = 0; p < count; ++p) {
        std::uint32_t address = p < config.slaves.size() ? config.slaves[p].physAddr : 0;
        if (used[address]) {
            // Past 0xFFFF the search wraps to the lowest free address.
            for (std::uint32_t tries = 0; tries < 0x10000 && used[next & 0xFFFF]; ++tries)
                next = (next + 1) & 0xFFFF;
            address = next & 0xFFFF;
            next = (next + 1) & 0xFFFF;
        }
        used[address] = true;
        addresses.push_back(static_cast<std::uint16_t>(address));
    }
    return addresses;
}

std::expected<Segment, Error> BringUp(Exchange& exchange, const eni::NetworkConfig& config,
                                      const BringUpOptions& options) {
    const auto started = Clock::now();
    // Frames of other threads on the same exchange count too.
    const ExchangeCounters before = exchange.counters();

    // Count: every slave adds one to a broadcast read's working counter.
    std::array<std::uint8_t, 2> type{};
    auto counted =
        exchange.Transact(ecat::Command::kBrd, ecat::MakeAddress(0, ecat::reg::kType), type);
    if (!counted) {
        Log("bring-up: %s", Why(FromExchange(counted.error())));
        return std::unexpected(FromExchange(counted.error()));
    }
    const std::size_t count = *counted;
    if (options.logSlaves)
        Log("bring-up: %zu slaves answer (the ENI defines %zu)", count, config.slaves.size());

    // Clear every station address, then give each position its own.
    if (options.clearAddresses) {
        std::array<std::uint8_t, 2> zero{};
        auto cleared = exchange.Transact(ecat::Command::kBwr,
                                         ecat::MakeAddress(0, ecat::reg::kStationAddress), zero);
        if (!cleared)
            return std::unexpected(FromExchange(cleared.error()));
    }

    Segment segment;
    segment.slaves.resize(count);
    const std::vector<std::uint16_t> addresses = StationAddresses(config, count);
    std::vector<std::array<std::uint8_t, 2>> data(count);
    std::vector<DatagramRequest> requests;
    requests.reserve(count);
    for (std::size_t p = 0; p < count; ++p) {
        segment.slaves[p].found = {static_cast<std::uint16_t>(p), addresses[p]};
        ecat::Put16(data[p].data(), addresses[p]);
        requests.push_back({ecat::Command::kApwr,
                            ecat::MakeAddress(PositionAddress(p), ecat::reg::kStationAddress),
                            data[p]});
    }
    if (auto assigned = exchange.Run(requests); !assigned)
        return std::unexpected(FromExchange(assigned.error()));
    for (std::size_t p = 0; p < count; ++p) {
        if (requests[p].wkc != 1) {
            Log("slave %zu: setting station address %u got working counter %u, expected 1", p,
                addresses[p], requests[p].wkc);
        }
    }

    // The EEPROMs to the master, then the identities of all slaves at once.
    std::array<std::uint8_t, 1> toMaster{0};
    if (auto taken = exchange.Transact(ecat::Command::kBwr,
                                       ecat::MakeAddress(0, ecat::reg::kSiiConfig), toMaster);
        !taken)
        return std::unexpected(FromExchange(taken.error()));

    std::vector<std::optional<std::uint32_t>> vendor(count), product(count), revision(count);
    ReadAll(exchange, segment, ecat::sii::kWordVendorId, vendor, &product, options.eeprom);
    ReadAll(exchange, segment, ecat::sii::kWordProductCode, product, nullptr, options.eeprom);
    ReadAll(exchange, segment, ecat::sii::kWordRevisionNo, revision, nullptr, options.eeprom);
    for (std::size_t p = 0; p < count; ++p) {
        SegmentSlave& slave = segment.slaves[p];
        if (!slave.eepromError && vendor[p] && product[p] && revision[p])
            slave.identity = eni::SlaveIdentity{*vendor[p], *product[p], *revision[p]};
    }

    if (!options.logSlaves)
        return segment;
    LogSegment(segment, config, options);
    const ExchangeCounters after = exchange.counters();
    const auto ms =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count() /
        1000.0;
    Log("bring-up done: %llu frames, %llu lost, %.1f ms",
        static_cast<unsigned long long>(after.framesSent - before.framesSent),
        static_cast<unsigned long long>(after.framesLost - before.framesLost), ms);
    return segment;
}

}  // namespace parvane::master
