#include "emulator/topology.h"

#include <array>
#include <unordered_map>

namespace parvane::emulator {
namespace {

constexpr std::size_t kNoSlave = static_cast<std::size_t>(-1);
constexpr unsigned kPortB = 1;
// The order an ESC forwards a frame to its ports after it came in on A.
constexpr std::array<unsigned, 3> kForwardOrder = {3, 1, 2};  // D, B, C

unsigned PortNumber(char letter) {
    return static_cast<unsigned>(letter - 'A');
}

}  // namespace

std::optional<Tree> TreeOf(const std::vector<eni::Slave>& slaves) {
    bool anyPort = false;
    std::unordered_map<std::uint16_t, std::size_t> byStation;
    for (std::size_t i = 0; i < slaves.size(); ++i) {
        anyPort = anyPort || slaves[i].previousPort.has_value();
        byStation.emplace(slaves[i].physAddr, i);
    }
    if (!anyPort || slaves.empty())
        return std::nullopt;

    // children[i][port]: the slave on that port of slave i.
    std::vector<std::array<std::size_t, 4>> children(slaves.size());
    for (auto& ports : children)
        ports.fill(kNoSlave);
    Tree tree;
    tree.linkedPorts.assign(slaves.size(), 1);  // port A: towards the master
    for (std::size_t i = 1; i < slaves.size(); ++i) {
        std::size_t parent = i - 1;
        unsigned port = kPortB;
        if (const auto& previous = slaves[i].previousPort) {
            const auto found = byStation.find(previous->physAddr);
            if (found == byStation.end() || found->second >= i)
                return std::nullopt;
            parent = found->second;
            port = PortNumber(previous->port);
        }
        if (port == 0 || port > 3 || children[parent][port] != kNoSlave)
            return std::nullopt;
        children[parent][port] = i;
        tree.linkedPorts[parent] |= static_cast<std::uint8_t>(1u << port);
    }

    // Depth first from the first slave, each slave's ports in forwarding order.
    std::vector<std::size_t> stack{0};
    while (!stack.empty()) {
        const std::size_t slave = stack.back();
        stack.pop_back();
        tree.wireOrder.push_back(slave);
        for (auto port = kForwardOrder.rbegin(); port != kForwardOrder.rend(); ++port) {
            if (children[slave][*port] != kNoSlave)
                stack.push_back(children[slave][*port]);
        }
    }
    return tree;
}

}  // namespace parvane::emulator
