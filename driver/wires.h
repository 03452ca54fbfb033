// The wires the driver's master can drive: emulated slaves in this process
// (built from the ENI and the network description exactly as the emulator
// program builds them), a network interface, and a pcap recording around
// either.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "driver/error.h"
#include "driver/ethercat_network.h"
#include "emulator/description.h"
#include "eni/model.h"

namespace parvane::driver {

std::unique_ptr<Wire> EmulatedWire(const eni::NetworkConfig& config,
                                   const emulator::Description& description);

// The message says why the interface cannot be used, in one line.
std::expected<std::unique_ptr<Wire>, Error> InterfaceWire(const std::string& interface);

// Records every frame on `inner` into `path`; when the file cannot be
// written, says so in the log and leaves the wire as it was.
std::unique_ptr<Wire> Recorded(std::unique_ptr<Wire> inner, const std::string& path);

}  // namespace parvane::driver
