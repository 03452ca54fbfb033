// A segment as the ENI configures it and the network description changes
// it: each Config/Slave becomes an emulated slave, in order, or in the order
// of the tree that its PreviousPort elements give (see topology.h); the description
// can replace identities, have more or fewer slaves than the ENI, limit
// states, slow state changes and the EEPROM, and make the wire lose frames.
#pragma once

#include <expected>
#include <filesystem>
#include <memory>

#include "emulator/description.h"
#include "emulator/error.h"
#include "emulator/segment.h"
#include "eni/model.h"

namespace parvane::emulator {

std::unique_ptr<Segment> BuildSegment(const eni::NetworkConfig& config,
                                      const Description& description,
                                      TimeSource time = SteadyTimeSource());

// The configuration an ENI file holds, through the ENI reader; a refusal
// names the file.
std::expected<eni::NetworkConfig, Error> LoadEniConfig(const std::filesystem::path& path);

}  // namespace parvane::emulator
