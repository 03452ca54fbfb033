// The ENI files tests run over, and the order in which emulated slaves built
// from an ENI stand on the wire.
#pragma once

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <numeric>
#include <vector>

#include "emulator/topology.h"
#include "eni/model.h"

namespace testsupport {

// Every .xml file in those of `dirs` that exist, sorted.
inline std::vector<std::filesystem::path> XmlFiles(
    std::initializer_list<std::filesystem::path> dirs) {
    std::vector<std::filesystem::path> files;
    for (const std::filesystem::path& dir : dirs) {
        if (!std::filesystem::is_directory(dir))
            continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.path().extension() == ".xml")
                files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The ENI positions in the order the emulated wire has them.
inline std::vector<std::size_t> WireOrder(const parvane::eni::NetworkConfig& config) {
    if (auto tree = parvane::emulator::TreeOf(config.slaves))
        return tree->wireOrder;
    std::vector<std::size_t> order(config.slaves.size());
    std::iota(order.begin(), order.end(), 0);
    return order;
}

}  // namespace testsupport
