#include "emulator/segment.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "ecat/registers.h"
#include "eni/model.h"

namespace parvane::emulator {

using ecat::Command;
namespace reg = ecat::reg;

namespace {

bool Overlaps(std::uint32_t a, std::uint32_t aEnd, std::uint32_t b, std::uint32_t bEnd) {
    return a < bEnd && b < aEnd;
}

// A write there can change how the slave is addressed: station address,
// alias addressing, the alias itself (EEPROM reload).
bool TouchesAddressing(std::uint32_t ado, std::uint32_t end) {
    return Overlaps(ado, end, reg::kStationAddress, reg::kStationAddress + 2u) ||
           Overlaps(ado, end, reg::kDlControlAlias, reg::kDlControlAlias + 1u) ||
           Overlaps(ado, end, reg::kSiiControl, reg::kSiiControl + 2u);
}

bool TouchesFmmus(std::uint32_t ado, std::uint32_t end) {
    return Overlaps(ado, end, reg::kFmmuBase, reg::kFmmuBase + reg::kFmmuSize * reg::kMaxFmmus);
}

}  // namespace

TimeSource SteadyTimeSource() {
    return [] {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    };
}

void Segment::AddressIndex::Init(std::size_t slaves) {
    head.assign(0x10000, kNone);
    next.assign(slaves, kNone);
    prev.assign(slaves, kNone);
    key.assign(slaves, -1);
}

void Segment::AddressIndex::Set(std::uint32_t slave, std::int32_t newKey) {
    if (key[slave] == newKey)
        return;
    if (key[slave] >= 0) {
        if (prev[slave] != kNone)
            next[prev[slave]] = next[slave];
        else
            head[static_cast<std::size_t>(key[slave])] = next[slave];
        if (next[slave] != kNone)
            prev[next[slave]] = prev[slave];
    }
    key[slave] = newKey;
    prev[slave] = next[slave] = kNone;
    if (newKey >= 0) {
        std::uint32_t& first = head[static_cast<std::size_t>(newKey)];
        next[slave] = first;
        if (first != kNone)
            prev[first] = slave;
        first = slave;
    }
}

Segment::Segment(std::vector<SlaveSpec> slaves, WireFaults faults, TimeSource time)
    : faults_(std::move(faults)), time_(std::move(time)) {
    std::sort(faults_.loseFrames.begin(), faults_.loseFrames.end());
    const std::uint64_t now = time_();
    lastNow_ = now;
    // When a frame passes each slave's ports: a line's slaves link ports A
    // and B, the last one A only.
    std::vector<std::uint8_t> linked;
    std::vector<DcSettings> dc;
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        linked.push_back(slaves[i].linkedPorts.value_or(i + 1 == slaves.size() ? 0x01 : 0x03));
        dc.push_back(slaves[i].settings.dc);
    }
    const std::vector<PortTimes> timing = FramePortTimes(linked, dc);
    BuildSlaves(slaves, timing, now);
    stations_.Init(slaves_.size());
    aliases_.Init(slaves_.size());
    for (std::uint32_t i = 0; i < slaves_.size(); ++i)
        Reindex(i);
    hits_.reserve(64);
}

// A long line is built on two threads, the second half on a helper: most
// of the time goes into the first touches of fresh memory, which two CPUs
// take in parallel. The helper's slaves are moved behind this thread's.
void Segment::BuildSlaves(const std::vector<SlaveSpec>& specs, const std::vector<PortTimes>& timing,
                          std::uint64_t now) {
    constexpr std::size_t kOnTwoThreadsFrom = 1000;
    auto build = [&](std::size_t from, std::size_t to, std::vector<Slave>& out) {
        out.reserve(out.size() + (to - from));
        eni::AdviseHugePages(out.data(), out.capacity() * sizeof(Slave));
        for (std::size_t i = from; i < to; ++i)
            out.emplace_back(specs[i].model, specs[i].identity, specs[i].settings, now,
                             EscPorts{i + 1 == specs.size(), specs[i].linkedPorts, timing[i]});
    };
    std::size_t half = specs.size() >= kOnTwoThreadsFrom ? specs.size() / 2 : specs.size();
    std::vector<Slave> second;
    std::thread helper;
    if (half < specs.size()) {
        try {
            helper = std::thread(build, half, specs.size(), std::ref(second));
        } catch (const std::system_error&) {
            half = specs.size();  // no thread to be had: all on this one
        }
    }
    slaves_.reserve(specs.size());
    build(0, half, slaves_);
    if (helper.joinable()) {
        helper.join();
        std::move(second.begin(), second.end(), std::back_inserter(slaves_));
    }
}

void Segment::Reindex(std::uint32_t i) {
    const Slave& s = slaves_[i];
    stations_.Set(i, s.stationAddress());
    aliases_.Set(i, s.aliasAddressing() ? static_cast<std::int32_t>(s.alias()) : -1);
}

void Segment::RebuildLogical() {
    logical_.clear();
    longestRange_ = 0;
    for (std::uint32_t i = 0; i < slaves_.size(); ++i) {
        slaves_[i].ForEachLogicalRange([&](std::uint64_t first, std::uint64_t last) {
            logical_.push_back({first, last, i});
            longestRange_ = std::max(longestRange_, last - first + 1);
        });
    }
    std::sort(logical_.begin(), logical_.end(),
              [](const LogicalRange& a, const LogicalRange& b) { return a.first < b.first; });
    logicalDirty_ = false;
}

bool Segment::Lost(std::uint64_t number, std::uint64_t) {
    if (faults_.loseEvery != 0 && number % faults_.loseEvery == 0)
        return true;
    return std::binary_search(faults_.loseFrames.begin(), faults_.loseFrames.end(), number);
}

FrameOutcome Segment::Process(std::span<std::uint8_t> frame) {
    return Process(frame, time_());
}

FrameOutcome Segment::Process(std::span<std::uint8_t> frame, std::uint64_t arrivedAt) {
    if (!ecat::ReadFrame(frame, parsed_))
        return FrameOutcome::kIgnored;
    ++frames_;
    lastNow_ = std::max(lastNow_, arrivedAt);
    const std::uint64_t now = lastNow_;
    if (!firstFrameAt_)
        firstFrameAt_ = now;
    if (faults_.silentAfterFrames && frames_ > *faults_.silentAfterFrames)
        return FrameOutcome::kSilent;
    if (faults_.silentAfterMs &&
        now - *firstFrameAt_ >= static_cast<std::uint64_t>(*faults_.silentAfterMs) * 1'000'000u)
        return FrameOutcome::kSilent;
    if (Lost(frames_, now))
        return FrameOutcome::kLost;

    const auto count = static_cast<std::uint32_t>(slaves_.size());
    for (ecat::DatagramView d : parsed_.list()) {
        const Command command = d.command();
        if (!ecat::IsKnown(command))
            continue;  // not a command: passes unchanged
        const std::uint16_t adp = d.adp(), ado = d.ado();
        const std::span<std::uint8_t> data = d.data();
        const std::uint32_t end = static_cast<std::uint32_t>(ado) + data.size();
        std::uint32_t wkc = d.wkc();
        bool reindexAll = false;
        switch (ecat::AddressingOf(command)) {
            case ecat::Addressing::kPosition:
                reindexAll = Position(d, now);
                wkc = d.wkc();
                break;
            case ecat::Addressing::kStation:
                Station(d, now);
                wkc = d.wkc();
                break;
            case ecat::Addressing::kBroadcast:
                for (Slave& s : slaves_) {
                    if (command == Command::kBrd)
                        wkc += s.OrRead(ado, data, now);
                    else if (command == Command::kBwr)
                        wkc += s.Write(ado, data, now);
                    else
                        wkc += s.OrReadWrite(ado, data, now);
                }
                reindexAll = true;
                d.setAdp(static_cast<std::uint16_t>(adp + count));
                break;
            case ecat::Addressing::kLogical:
                Logical(d, now);
                wkc = d.wkc();
                break;
            case ecat::Addressing::kNone:
                break;
        }
        if (ecat::IsWrite(command) && reindexAll) {
            if (TouchesAddressing(ado, end)) {
                for (std::uint32_t i = 0; i < count; ++i)
                    Reindex(i);
            }
        }
        if (ecat::IsWrite(command) && TouchesFmmus(ado, end))
            logicalDirty_ = true;
        d.setWkc(static_cast<std::uint16_t>(wkc));
    }
    frame[6] |= ecat::kMacLocallyAdministered;
    return FrameOutcome::kAnswered;
}

// An auto-increment datagram: the slave at its position, or ARMW's reader
// and everyone else; whether every slave must be indexed again.
bool Segment::Position(ecat::DatagramView d, std::uint64_t now) {
    const Command command = d.command();
    const std::uint16_t adp = d.adp(), ado = d.ado();
    const std::span<std::uint8_t> data = d.data();
    const std::uint32_t end = static_cast<std::uint32_t>(ado) + data.size();
    const auto count = static_cast<std::uint32_t>(slaves_.size());
    const std::uint32_t k = static_cast<std::uint16_t>(0u - adp);
    std::uint32_t wkc = d.wkc();
    bool reindexAll = false;
    if (command == Command::kArmw) {
        // The slave at the position reads; every other slave writes (a
        // system time write feeds each one's time control loop).
        for (std::uint32_t j = 0; j < count; ++j)
            wkc += j == k ? slaves_[j].Read(ado, data, now) : slaves_[j].Write(ado, data, now);
        reindexAll = TouchesAddressing(ado, end);
    } else if (k < count) {
        Slave& s = slaves_[k];
        if (command == Command::kAprd)
            wkc += s.Read(ado, data, now);
        else if (command == Command::kApwr)
            wkc += s.Write(ado, data, now);
        else
            wkc += s.ReadWrite(ado, data, now);
        if (ecat::IsWrite(command) && TouchesAddressing(ado, end))
            Reindex(k);
    }
    d.setAdp(static_cast<std::uint16_t>(adp + count));
    d.setWkc(static_cast<std::uint16_t>(wkc));
    return reindexAll;
}

void Segment::Station(ecat::DatagramView d, std::uint64_t now) {
    const Command command = d.command();
    const std::uint16_t adp = d.adp(), ado = d.ado();
    const std::span<std::uint8_t> data = d.data();
    hits_.clear();
    for (std::uint32_t i = stations_.head[adp]; i != kNone; i = stations_.next[i])
        hits_.push_back(i);
    for (std::uint32_t i = aliases_.head[adp]; i != kNone; i = aliases_.next[i])
        hits_.push_back(i);
    if (hits_.size() > 1) {
        std::sort(hits_.begin(), hits_.end());
        hits_.erase(std::unique(hits_.begin(), hits_.end()), hits_.end());
    }
    std::uint32_t wkc = d.wkc();
    if (command == Command::kFrmw) {
        // The first addressed slave reads; every other slave writes.
        const std::uint32_t reader = hits_.empty() ? kNone : hits_.front();
        for (std::uint32_t j = 0; j < slaves_.size(); ++j) {
            wkc += j == reader ? slaves_[j].Read(ado, data, now) : slaves_[j].Write(ado, data, now);
        }
    } else {
        for (std::uint32_t i : hits_) {
            Slave& s = slaves_[i];
            if (command == Command::kFprd)
                wkc += s.Read(ado, data, now);
            else if (command == Command::kFpwr)
                wkc += s.Write(ado, data, now);
            else
                wkc += s.ReadWrite(ado, data, now);
        }
    }
    const std::uint32_t end = static_cast<std::uint32_t>(ado) + data.size();
    if (ecat::IsWrite(command) && TouchesAddressing(ado, end)) {
        if (command == Command::kFrmw) {
            for (std::uint32_t i = 0; i < slaves_.size(); ++i)
                Reindex(i);
        } else {
            // Copy first: reindexing changes the lists the hits came from.
            for (std::uint32_t i : std::vector<std::uint32_t>(hits_))
                Reindex(i);
        }
    }
    d.setWkc(static_cast<std::uint16_t>(wkc));
}

void Segment::Logical(ecat::DatagramView d, std::uint64_t now) {
    if (logicalDirty_)
        RebuildLogical();
    const std::span<std::uint8_t> data = d.data();
    if (data.empty() || logical_.empty())
        return;
    const std::uint64_t first = d.address();
    const std::uint64_t last = first + data.size() - 1;
    const std::uint64_t from = first > longestRange_ ? first - longestRange_ : 0;
    auto it = std::lower_bound(logical_.begin(), logical_.end(), from,
                               [](const LogicalRange& r, std::uint64_t v) { return r.first < v; });
    hits_.clear();
    for (; it != logical_.end() && it->first <= last; ++it) {
        if (it->last >= first)
            hits_.push_back(it->slave);
    }
    if (!std::is_sorted(hits_.begin(), hits_.end()))
        std::sort(hits_.begin(), hits_.end());
    hits_.erase(std::unique(hits_.begin(), hits_.end()), hits_.end());
    std::uint32_t wkc = d.wkc();
    const Command command = d.command();
    for (std::uint32_t i : hits_)
        wkc += slaves_[i].Logical(command, d.address(), data, now);
    d.setWkc(static_cast<std::uint16_t>(wkc));
}

std::size_t Segment::MemoryBytes() const {
    std::size_t bytes = sizeof(*this) + slaves_.capacity() * sizeof(Slave);
    for (const Slave& s : slaves_)
        bytes += s.MemoryBytes() - sizeof(Slave);
    bytes += (stations_.head.capacity() + stations_.next.capacity() + stations_.prev.capacity() +
              aliases_.head.capacity() + aliases_.next.capacity() + aliases_.prev.capacity()) *
                 sizeof(std::uint32_t) +
             (stations_.key.capacity() + aliases_.key.capacity()) * sizeof(std::int32_t);
    bytes += logical_.capacity() * sizeof(LogicalRange);
    std::unordered_set<const void*> images;
    for (const Slave& s : slaves_) {
        if (images.insert(s.model().sii.get()).second)
            bytes += s.model().sii->size() + sizeof(SlaveModel);
    }
    return bytes;
}

}  // namespace parvane::emulator
