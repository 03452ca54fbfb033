#include "driver/driver_setup.h"

#include <malloc.h>

#include <chrono>
#include <string_view>

#include "driver/ethercat_network.h"
#include "driver/log.h"
#include "driver/master_ini.h"
#include "driver/wires.h"
#include "emulator/description.h"
#include "eni/eni_reader.h"

namespace parvane::driver {
namespace {

// The -nic= or Adapter= value that chooses the emulated slaves.
constexpr std::string_view kEmulatedSlaves = "simulated";

// The interface the master drives: -nic=, else Adapter= of the master's INI
// file; empty for the emulated slaves. A malformed INI file is refused.
std::expected<std::string, Error> ChosenAdapter(const DriverOptions& options) {
    if (!options.nic.empty())
        return options.nic == kEmulatedSlaves ? std::string() : options.nic;
    const auto path = MasterIniPath();
    auto adapter = ReadMasterAdapter(path);
    if (!adapter)
        return std::unexpected(Error{
            "master INI " + path.string() + " refused: " + adapter.error().message, path.string()});
    if (!*adapter || **adapter == kEmulatedSlaves)
        return std::string();
    Log("master INI %s: Adapter=%s", path.string().c_str(), (*adapter)->c_str());
    return **adapter;
}

}  // namespace

ServiceSetup LoadSetup(const DriverOptions& options) {
    ServiceSetup setup;
    eni::NetworkConfig config;
    bool eniUsable = true;
    if (options.eniPath.empty()) {
        Log("no -eni= option: the master defines no slaves");
    } else {
        auto started = std::chrono::steady_clock::now();
        auto eni = parvane::eni::ReadEniFile(options.eniPath);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started)
                      .count();
        const parvane::eni::Notes& notes = eni ? eni->notes : eni.error().notes;
        for (const std::string& note : notes.lines)
            Log("ENI %s", note.c_str());
        if (notes.missingElements > notes.lines.size()) {
            Log("ENI: %zu more identity elements missing",
                notes.missingElements - notes.lines.size());
        }
        if (eni) {
            const std::size_t passive = parvane::eni::WithoutPassiveTerminals(*eni);
            Log("ENI %s read: %zu slaves (%lld ms)", options.eniPath.c_str(),
                eni->slaves.size() + passive, static_cast<long long>(ms));
            if (passive > 0) {
                Log("ENI: %zu passive terminals left out of the network (no ESC, never on the "
                    "wire)",
                    passive);
            }
            setup.eniSlaves = std::move(eni->slaves);
            config = std::move(eni->config);
        } else {
            Log("ENI %s refused: %s", options.eniPath.c_str(), eni.error().message.c_str());
            eniUsable = false;
        }
    }

    emulator::Description description;
    bool descriptionUsable = true;
    if (!options.descriptionPath.empty()) {
        const char* path = options.descriptionPath.c_str();
        auto read = emulator::ReadDescriptionFile(options.descriptionPath);
        if (read) {
            description = std::move(*read);
            Log("network description %s read: %s, %zu fault rules", path,
                description.slaves ? "its own slaves" : "the ENI's slaves",
                description.faults.size());
        } else {
            Log("network description %s refused: %s", path, read.error().message.c_str());
            descriptionUsable = false;
        }
    }

    auto adapter = ChosenAdapter(options);
    if (!adapter)
        Log("%s", adapter.error().message.c_str());
    setup.configured = eniUsable && descriptionUsable && adapter.has_value();
    if (!setup.configured) {
        setup.eniSlaves.clear();
        setup.network = std::make_unique<UnavailableNetwork>("no usable configuration");
        return setup;
    }
    setup.faults = FaultRulesOf(description.faults);
    setup.maxOpenings = description.maxOpenings;

    std::unique_ptr<Wire> wire;
    if (adapter->empty()) {
        wire = EmulatedWire(config, description);
    } else {
        auto opened = InterfaceWire(*adapter);
        if (!opened) {
            Log("%s", opened.error().message.c_str());
            setup.network = std::make_unique<UnavailableNetwork>(opened.error().message);
            return setup;
        }
        wire = std::move(*opened);
    }
    if (!options.pcapPath.empty())
        wire = Recorded(std::move(wire), options.pcapPath);
    auto network = std::make_unique<EthercatNetwork>(std::move(wire), std::move(config));
    network->Start();
    // What the ENI reader and the bring-up freed goes back to the system.
    ::malloc_trim(0);
    Log("up to %u openings", setup.maxOpenings);
    setup.network = std::move(network);
    return setup;
}

}  // namespace parvane::driver
