// How the slaves of a segment hang together, found from what each slave's
// ESC shows: which of its ports have a link (DL status 0x0110), and, where
// the receive times of a latch frame were read, which port the frame came
// in on. A frame enters a slave on its entry port and leaves through the
// other open ports in the order 0, 3, 1, 2; so in ring order a slave's
// parent is the nearest earlier slave with a port still free, walking back
// over the branches that ended on the way. Slaves with one open port end a
// branch, with three they split it, with four they split it twice.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace parvane::master {

inline constexpr unsigned kPortCount = 4;

// Port n of a DL status word has a link: its loop is open (bit 8 + 2n clear)
// and it has communication (bit 9 + 2n set).
bool PortOpen(std::uint16_t dlStatus, unsigned port);
std::uint8_t OpenPorts(std::uint16_t dlStatus);  // bit n: port n is open

struct TopologyNode {
    std::uint8_t openPorts = 0;  // bit n: port n
    unsigned entryPort = 0;      // the port frames from the master come in on
    // The slave before this one, by ring position, and the port of that
    // slave this one hangs on; nothing for the first slave (the master).
    std::optional<std::size_t> parent;
    unsigned parentPort = 0;
    std::vector<std::size_t> children;  // in the order frames visit them
};

// Receive times (0x0900 to 0x090C) of one slave for one latch frame.
using PortTimes = std::array<std::uint32_t, kPortCount>;

// The tree of the segment, in ring order. With receive times, a slave's
// entry port is its open port that saw the frame first; without, port 0.
std::vector<TopologyNode> FindTopology(std::span<const std::uint16_t> dlStatus,
                                       std::span<const PortTimes> receiveTimes = {});

// The order ports pass a frame on, after the entry port: 0, 3, 1, 2.
inline constexpr std::array<unsigned, kPortCount> kPortOrder{0, 3, 1, 2};
// The port after `port` in that order, wrapping round.
unsigned NextPort(unsigned port);

}  // namespace parvane::master
