#include "master/topology.h"

#include <algorithm>

namespace parvane::master {

bool PortOpen(std::uint16_t dlStatus, unsigned port) {
    const unsigned loop = 8 + 2 * port;
    const bool loopClosed = ((dlStatus >> loop) & 1u) != 0;
    const bool communication = ((dlStatus >> (loop + 1)) & 1u) != 0;
    return !loopClosed && communication;
}

std::uint8_t OpenPorts(std::uint16_t dlStatus) {
    std::uint8_t ports = 0;
    for (unsigned p = 0; p < kPortCount; ++p)
        ports = static_cast<std::uint8_t>(ports | (PortOpen(dlStatus, p) ? 1u << p : 0u));
    return ports;
}

unsigned NextPort(unsigned port) {
    const auto* it = std::find(kPortOrder.begin(), kPortOrder.end(), port);
    const auto index = static_cast<std::size_t>(it - kPortOrder.begin());
    return kPortOrder[(index + 1) % kPortCount];
}

namespace {

unsigned CountPorts(std::uint8_t ports) {
    return static_cast<unsigned>(__builtin_popcount(ports));
}

unsigned EntryPort(std::uint8_t open, std::span<const PortTimes> times, std::size_t i) {
    if (i >= times.size() || open == 0)
        return 0;
    std::optional<unsigned> entry;
    for (unsigned p = 0; p < kPortCount; ++p) {
        // Earlier across a wrap of the 32-bit times too.
        if ((open & (1u << p)) != 0 &&
            (!entry || static_cast<std::int32_t>(times[i][p] - times[i][*entry]) < 0))
            entry = p;
    }
    return entry.value_or(0);
}

// The nearest earlier slave with a branch still open: walking back, each
// end seen closes one branch, each split (three ports) opens one more, each
// cross (four) two more.
std::size_t FindParent(std::span<const TopologyNode> nodes, std::size_t i) {
    int branches = 0;
    for (std::size_t j = i; j-- > 0;) {
        const unsigned ports = CountPorts(nodes[j].openPorts);
        if (ports == 1)
            --branches;
        else if (ports == 3)
            ++branches;
        else if (ports == 4)
            branches += 2;
        if ((branches >= 0 && ports > 1) || j == 0)
            return j;
    }
    return 0;
}

// The parent's ports are taken in the order 3, 1, 2, 0: the branch that
// comes back last to the parent is the one whose slaves come first.
unsigned TakeParentPort(std::uint8_t& free) {
    for (unsigned p : {3u, 1u, 2u, 0u}) {
        if ((free & (1u << p)) != 0) {
            free = static_cast<std::uint8_t>(free & ~(1u << p));
            return p;
        }
    }
    return 0;
}

}  // namespace

std::vector<TopologyNode> FindTopology(std::span<const std::uint16_t> dlStatus,
                                       std::span<const PortTimes> receiveTimes) {
    std::vector<TopologyNode> nodes(dlStatus.size());
    std::vector<std::uint8_t> free(dlStatus.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        nodes[i].openPorts = OpenPorts(dlStatus[i]);
        nodes[i].entryPort = EntryPort(nodes[i].openPorts, receiveTimes, i);
        free[i] = static_cast<std::uint8_t>(nodes[i].openPorts & ~(1u << nodes[i].entryPort));
    }
    for (std::size_t i = 1; i < nodes.size(); ++i) {
        const std::size_t parent = FindParent(nodes, i);
        nodes[i].parent = parent;
        nodes[i].parentPort = TakeParentPort(free[parent]);
        nodes[parent].children.push_back(i);
    }
    return nodes;
}

}  // namespace parvane::master
