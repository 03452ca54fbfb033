// The tree that the ENI's PreviousPort elements describe, as the emulated
// segment lays it out: the order in which a frame passes the slaves (each
// slave forwards it from port A to D, then B, then C, as an ESC does, so a
// slave on a junction's port D comes before one on its port B), and the
// ports of each slave that have a link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "eni/model.h"

namespace parvane::emulator {

struct Tree {
    std::vector<std::size_t> wireOrder;     // ENI positions in the order a frame passes them
    std::vector<std::uint8_t> linkedPorts;  // per ENI position: bit 0 port A ... bit 3 port D
};

// Nothing when no slave names a previous port, or when the ports named do not
// form a tree (an unknown or later station address, two slaves on one port):
// the slaves then stay a line in the file's order. A slave without a
// PreviousPort hangs on port B of the slave listed before it.
std::optional<Tree> TreeOf(const std::vector<eni::Slave>& slaves);

}  // namespace parvane::emulator
