#include "master/dc_setup.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

#include "ecat/registers.h"
#include "master/log.h"

namespace parvane::master {
namespace {

using ecat::Command;
namespace reg = ecat::reg;

constexpr std::size_t kFeaturesBytes = 2;
constexpr std::size_t kLatchBlock = 32;  // 0x0900..0x091F: port times, system time, local time
constexpr unsigned kDriftLossLimit = 50;
constexpr std::uint8_t kFilterDepths[2] = {0x00, 0x0C};  // 0x0934 / 0x0935 as peers write them

// The open port before `port` in the order frames pass them (0, 3, 1, 2),
// wrapping round; `port` itself when no other is open.
unsigned PreviousOpenPort(std::uint8_t open, unsigned port) {
    const auto* at = std::find(kPortOrder.begin(), kPortOrder.end(), port);
    auto index = static_cast<std::size_t>(at - kPortOrder.begin());
    for (unsigned k = 1; k < kPortCount; ++k) {
        const unsigned p = kPortOrder[(index + kPortCount - k) % kPortCount];
        if ((open & (1u << p)) != 0)
            return p;
    }
    return port;
}

// t[a] - t[b] of one slave's 32-bit port times, across a wrap.
std::int64_t Span32(const PortTimes& t, unsigned a, unsigned b) {
    return static_cast<std::int32_t>(t[a] - t[b]);
}

struct Reads {
    std::vector<std::uint8_t> buffer;
    std::vector<DatagramRequest> requests;

    void Add(Command command, std::uint32_t address, std::size_t bytes) {
        const std::size_t at = buffer.size();
        buffer.resize(at + bytes);
        requests.push_back({command, address, {}, 0, false});
        offsets.push_back(at);
    }
    // Points every request at its bytes once the buffer no longer moves.
    void Bind() {
        for (std::size_t k = 0; k < requests.size(); ++k) {
            const std::size_t end = k + 1 < offsets.size() ? offsets[k + 1] : buffer.size();
            requests[k].data =
                std::span<std::uint8_t>(buffer.data() + offsets[k], end - offsets[k]);
        }
    }
    bool Ok(std::size_t k) const { return requests[k].answered && requests[k].wkc == 1; }
    std::vector<std::size_t> offsets;
};

// 0x0008 of every slave: which have a clock, and a 64-bit one.
std::expected<void, Error> ReadFeatures(Exchange& exchange, std::vector<DcSlave>& slaves) {
    Reads r;
    for (const DcSlave& s : slaves)
        r.Add(Command::kFprd, ecat::MakeAddress(s.station, reg::kFeatures), kFeaturesBytes);
    r.Bind();
    if (auto run = exchange.Run(r.requests); !run)
        return std::unexpected(run.error());
    for (std::size_t k = 0; k < slaves.size(); ++k) {
        const std::uint16_t features = r.Ok(k) ? ecat::Get16(r.requests[k].data.data()) : 0;
        slaves[k].dc = (features & ecat::dc::kFeatureDc) != 0;
        slaves[k].dc64 = (features & ecat::dc::kFeatureDc64) != 0;
    }
    return {};
}

// Latches the receive times, then reads them with each DC slave's local
// time and every slave's DL status. Returns the master's time of the latch.
std::expected<std::uint64_t, Error> Latch(Exchange& exchange, std::vector<DcSlave>& slaves) {
    std::array<std::uint8_t, 4> zeros{};
    const std::uint64_t masterTime = MasterTimeNs();
    if (auto w = exchange.Transact(Command::kBwr, ecat::MakeAddress(0, reg::kDcReceiveTime), zeros);
        !w)
        return std::unexpected(w.error());
    Reads r;
    for (const DcSlave& s : slaves) {
        r.Add(Command::kFprd, ecat::MakeAddress(s.station, reg::kDlStatus), 2);
        if (s.dc)
            r.Add(Command::kFprd, ecat::MakeAddress(s.station, reg::kDcReceiveTime), kLatchBlock);
    }
    r.Bind();
    if (auto run = exchange.Run(r.requests); !run)
        return std::unexpected(run.error());
    std::size_t k = 0;
    for (DcSlave& s : slaves) {
        s.dlStatus = r.Ok(k) ? ecat::Get16(r.requests[k].data.data()) : 0;
        ++k;
        if (!s.dc)
            continue;
        if (r.Ok(k)) {
            const std::uint8_t* b = r.requests[k].data.data();
            for (unsigned p = 0; p < kPortCount; ++p)
                s.receiveTimes[p] = ecat::Get32(b + 4 * p);
            s.localTime = ecat::Get64(b + (reg::kDcProcessingTime - reg::kDcReceiveTime));
        } else {
            s.dc = false;  // a clock that cannot be read takes no part
        }
        ++k;
    }
    return masterTime;
}

// Writes each DC slave's delay and offset, then resets the control loops.
std::expected<void, Error> WriteDelaysAndOffsets(Exchange& exchange, const DcLine& line) {
    Reads r;
    for (const DcSlave& s : line.slaves) {
        if (!s.dc)
            continue;
        r.Add(Command::kFpwr, ecat::MakeAddress(s.station, reg::kDcSystemTimeDelay), 4);
        r.Add(Command::kFpwr, ecat::MakeAddress(s.station, reg::kDcSystemTimeOffset), 8);
    }
    r.Bind();
    std::size_t k = 0;
    for (const DcSlave& s : line.slaves) {
        if (!s.dc)
            continue;
        ecat::Put32(r.requests[k++].data.data(), static_cast<std::uint32_t>(s.delayNs));
        ecat::Put64(r.requests[k++].data.data(), s.offsetNs);
    }
    if (auto run = exchange.Run(r.requests); !run)
        return std::unexpected(run.error());
    std::array<std::uint8_t, 2> filters{kFilterDepths[0], kFilterDepths[1]};
    if (auto w = exchange.Transact(Command::kBwr, ecat::MakeAddress(0, reg::kDcTimeFilterDepth),
                                   filters);
        !w)
        return std::unexpected(w.error());
    std::array<std::uint8_t, 2> reset{};
    ecat::Put16(reset.data(), ecat::dc::kSpeedCounterReset);
    if (auto w = exchange.Transact(Command::kBwr, ecat::MakeAddress(0, reg::kDcSpeedCounterStart),
                                   reset);
        !w)
        return std::unexpected(w.error());
    return {};
}

// Sends the reference's time round the segment; the frames sent and lost.
std::pair<unsigned, unsigned> CompensateDrift(Exchange& exchange, const DcLine& line) {
    const unsigned per = std::max(1u, line.options.driftPerFrame);
    std::vector<std::uint8_t> buffer(8 * per);
    std::vector<DatagramRequest> requests(per);
    for (unsigned k = 0; k < per; ++k) {
        requests[k].command = Command::kFrmw;
        requests[k].address = ecat::MakeAddress(line.referenceStation, reg::kDcSystemTime);
        requests[k].data = std::span<std::uint8_t>(buffer.data() + 8 * k, 8);
    }
    unsigned sent = 0;
    unsigned lost = 0;
    unsigned lostInARow = 0;
    const auto until = std::chrono::steady_clock::now() + line.options.driftTime;
    for (unsigned frame = 0; frame < line.options.driftFrames; ++frame) {
        if (std::chrono::steady_clock::now() >= until)
            break;
        std::fill(buffer.begin(), buffer.end(), 0);
        ++sent;
        if (exchange.Run(requests, 0)) {
            lostInARow = 0;
            continue;
        }
        ++lost;
        // A segment that stopped answering ends it rather than waiting out
        // every frame's timeout.
        if (++lostInARow == kDriftLossLimit) {
            Log("DC: %u frames of the reference's time in a row did not come back; the rest "
                "are not sent",
                kDriftLossLimit);
            break;
        }
    }
    return {sent, lost};
}

void LogLine(const DcLine& line) {
    unsigned count = 0;
    for (const DcSlave& s : line.slaves)
        count += s.dc ? 1 : 0;
    Log("DC: %u of %zu slaves have a clock; reference clock slave %u (station %u)", count,
        line.slaves.size(), static_cast<unsigned>(line.ref().position),
        static_cast<unsigned>(line.referenceStation));
    for (const DcSlave& s : line.slaves) {
        if (!s.dc)
            continue;
        Log("DC: slave %u (station %u, %s): delay %lld ns, offset %lld ns",
            static_cast<unsigned>(s.position), static_cast<unsigned>(s.station),
            s.dc64 ? "64-bit" : "32-bit", static_cast<long long>(s.delayNs),
            static_cast<long long>(static_cast<std::int64_t>(s.offsetNs)));
    }
}

// Delays relative to the reference; a slave before it (the ENI chose a later
// reference) would need a negative delay and gets 0.
void SetDelays(DcLine& line, std::span<const std::int64_t> fromFirst) {
    const std::int64_t base = fromFirst[line.reference];
    for (std::size_t i = 0; i < line.slaves.size(); ++i)
        line.slaves[i].delayNs = std::max<std::int64_t>(0, fromFirst[i] - base);
    for (std::size_t i = 0; i < line.reference; ++i) {
        if (line.slaves[i].dc) {
            Log("DC: the reference clock (slave %u) is not the first slave with a clock (slave "
                "%u): the slaves before it take its time from the master's frame, not from it",
                static_cast<unsigned>(line.ref().position),
                static_cast<unsigned>(line.slaves[i].position));
            break;
        }
    }
}

}  // namespace

bool DcLine::any() const {
    return std::ranges::any_of(slaves, [](const DcSlave& s) { return s.dc; });
}

bool EniUsesDc(const eni::NetworkConfig& config) {
    auto dcWrite = [](const eni::InitCmd& cmd) {
        const eni::Datagram& d = cmd.datagram;
        return !d.logical && ecat::IsWrite(d.command) && d.ado >= reg::kDcReceiveTime &&
               d.ado < reg::kDcReceiveTime + 0x100;
    };
    if (std::ranges::any_of(config.masterInitCmds, dcWrite))
        return true;
    return std::ranges::any_of(config.slaves, [&](const eni::Slave& s) {
        return s.dc.has_value() || std::ranges::any_of(s.initCmds, dcWrite);
    });
}

std::optional<std::size_t> ChooseReference(const eni::NetworkConfig& config,
                                           std::span<const std::uint8_t> dc) {
    for (std::size_t i = 0; i < dc.size() && i < config.slaves.size(); ++i) {
        const auto& named = config.slaves[i].dc;
        if (dc[i] && named && named->referenceClock)
            return i;
    }
    for (std::size_t i = 0; i < dc.size(); ++i) {
        if (dc[i])
            return i;
    }
    return std::nullopt;
}

std::vector<std::int64_t> PropagationDelays(std::span<const TopologyNode> tree,
                                            std::span<const PortTimes> times,
                                            std::span<const std::uint8_t> dc) {
    std::vector<std::int64_t> delays(tree.size(), 0);
    for (std::size_t i = 0; i < tree.size() && i < times.size() && i < dc.size(); ++i) {
        if (!dc[i] || !tree[i].parent)
            continue;
        // The nearest ancestor with a clock, and its port towards this slave.
        std::optional<std::size_t> parent = tree[i].parent;
        unsigned port = tree[i].parentPort;
        while (parent && !dc[*parent]) {
            port = tree[*parent].parentPort;
            parent = tree[*parent].parent;
        }
        if (!parent)
            continue;  // the first slave with a clock: delays count from it
        const std::size_t p = *parent;
        const PortTimes& tp = times[p];
        const unsigned before = PreviousOpenPort(tree[p].openPorts, port);
        // The round trip through this slave's branch, seen from the parent.
        const std::int64_t branch = Span32(tp, port, before);
        // The round trip through this slave's own children.
        const TopologyNode& node = tree[i];
        const unsigned last = PreviousOpenPort(node.openPorts, node.entryPort);
        const std::int64_t below =
            last == node.entryPort ? 0 : Span32(times[i], last, node.entryPort);
        // The time the frame spent in the parent's earlier branches.
        const std::int64_t earlier = std::llabs(Span32(tp, before, tree[p].entryPort));
        delays[i] = (branch - below) / 2 + earlier + delays[p];
    }
    return delays;
}

std::uint64_t MasterTimeNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const auto seconds = static_cast<std::uint64_t>(ts.tv_sec) - ecat::dc::kEpochOffsetSeconds;
    return seconds * 1'000'000'000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::expected<DcLine, Error> SetUpDc(Exchange& exchange, const eni::NetworkConfig& config,
                                     std::span<const std::uint16_t> stations,
                                     const DcOptions& options) {
    const auto started = std::chrono::steady_clock::now();
    DcLine line;
    line.options = options;
    for (std::size_t i = 0; i < stations.size(); ++i)
        line.slaves.push_back(
            DcSlave{.position = static_cast<std::uint16_t>(i), .station = stations[i]});
    if (auto r = ReadFeatures(exchange, line.slaves); !r)
        return std::unexpected(r.error());
    if (!line.any()) {
        Log("DC: the ENI uses distributed clocks, but no slave has a clock");
        return line;
    }
    const auto masterTime = Latch(exchange, line.slaves);
    if (!masterTime)
        return std::unexpected(masterTime.error());
    std::vector<std::uint16_t> dl;
    std::vector<PortTimes> times;
    std::vector<std::uint8_t> dc;
    for (const DcSlave& s : line.slaves) {
        dl.push_back(s.dlStatus);
        times.push_back(s.receiveTimes);
        dc.push_back(s.dc ? 1 : 0);
    }
    const auto reference = ChooseReference(config, dc);
    if (!reference) {
        Log("DC: no clock could be read; the slaves run without distributed clocks");
        for (DcSlave& s : line.slaves)
            s.dc = false;
        return line;
    }
    line.reference = *reference;
    line.referenceStation = line.slaves[*reference].station;
    const std::vector<TopologyNode> tree = FindTopology(dl, times);
    SetDelays(line, PropagationDelays(tree, times, dc));
    for (DcSlave& s : line.slaves)
        s.offsetNs = s.dc ? ClockOffset(*masterTime, s.localTime) : 0;
    if (auto w = WriteDelaysAndOffsets(exchange, line); !w)
        return std::unexpected(w.error());
    const auto [sent, lost] = CompensateDrift(exchange, line);
    line.setUpTime = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    LogLine(line);
    Log("DC: set up in %lld ms (%u frames of the reference's time, %u lost)",
        static_cast<long long>(line.setUpTime.count() / 1000), sent, lost);
    return line;
}

std::expected<std::uint64_t, Error> ReadReferenceTime(Exchange& exchange, const DcLine& line) {
    std::array<std::uint8_t, 8> bytes{};
    auto wkc = exchange.Transact(
        Command::kFprd, ecat::MakeAddress(line.referenceStation, reg::kDcSystemTime), bytes);
    if (!wkc)
        return std::unexpected(wkc.error());
    if (*wkc != 1)
        return std::unexpected(Error{Errc::kWrongWkc, *wkc});
    return ecat::Get64(bytes.data());
}

void PrepareDifferenceReads(const DcLine& line, DifferenceReads& reads) {
    reads.slaves.clear();
    for (std::size_t i = 0; i < line.slaves.size(); ++i) {
        if (line.slaves[i].dc)
            reads.slaves.push_back(i);
    }
    reads.buffer.assign(4 * reads.slaves.size(), 0);
    reads.requests.assign(reads.slaves.size(), DatagramRequest{});
    for (std::size_t k = 0; k < reads.slaves.size(); ++k) {
        DatagramRequest& r = reads.requests[k];
        r.command = Command::kFprd;
        r.address =
            ecat::MakeAddress(line.slaves[reads.slaves[k]].station, reg::kDcSystemTimeDifference);
        r.data = std::span<std::uint8_t>(reads.buffer.data() + 4 * k, 4);
    }
}

void TakeDifferences(DcLine& line, const DifferenceReads& reads) {
    const std::int64_t limit = line.options.differenceLimit.count();
    for (std::size_t k = 0; k < reads.slaves.size() && k < reads.requests.size(); ++k) {
        DcSlave& s = line.slaves[reads.slaves[k]];
        const DatagramRequest& r = reads.requests[k];
        s.differenceRead = r.answered && r.wkc == 1;  // an unanswered slave says nothing
        if (!s.differenceRead)
            continue;
        s.differenceNs = ecat::dc::DecodeDifference(ecat::Get32(r.data.data()));
        const bool over = std::llabs(s.differenceNs) > limit;
        if (over && !s.overLimit) {
            Log("DC: slave %u (station %u) differs from the reference clock by %lld ns (more "
                "than %lld ns)",
                static_cast<unsigned>(s.position), static_cast<unsigned>(s.station),
                static_cast<long long>(s.differenceNs), static_cast<long long>(limit));
        } else if (!over && s.overLimit) {
            Log("DC: slave %u (station %u) follows the reference clock again (%lld ns)",
                static_cast<unsigned>(s.position), static_cast<unsigned>(s.station),
                static_cast<long long>(s.differenceNs));
        }
        s.overLimit = over;
    }
}

void ReadDifferences(Exchange& exchange, DcLine& line) {
    DifferenceReads reads;
    PrepareDifferenceReads(line, reads);
    (void)exchange.Run(reads.requests);
    TakeDifferences(line, reads);
}

void LogLargestDifference(const DcLine& line) {
    const DcSlave* largest = nullptr;
    for (const DcSlave& s : line.slaves) {
        if (s.dc && s.differenceRead &&
            (!largest || std::llabs(s.differenceNs) > std::llabs(largest->differenceNs)))
            largest = &s;
    }
    if (largest)
        Log("DC: largest system time difference %lld ns (slave %u)",
            static_cast<long long>(largest->differenceNs),
            static_cast<unsigned>(largest->position));
}

}  // namespace parvane::master
