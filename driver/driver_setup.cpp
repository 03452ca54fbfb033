#include "driver/driver_setup.h"

#include <malloc.h>

#include <chrono>

#include "driver/log.h"
#include "driver/sim_description.h"
#include "driver/simulated_network.h"
#include "eni/eni_reader.h"

namespace parvane::driver {

ServiceSetup LoadSetup(const DriverOptions& options) {
    ServiceSetup setup;
    bool eniUsable = true;
    if (options.eniPath.empty()) {
        Log("no -eni= option: the master defines no slaves");
    } else {
        auto started = std::chrono::steady_clock::now();
        auto eni = parvane::eni::ReadEniFile(options.eniPath);
        // The parsed document is gone; give its pages back to the system.
        ::malloc_trim(0);
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
            Log("ENI %s read: %zu slaves (%lld ms)", options.eniPath.c_str(), eni->slaves.size(),
                static_cast<long long>(ms));
            setup.eniSlaves = std::move(eni->slaves);
        } else {
            Log("ENI %s refused: %s", options.eniPath.c_str(), eni.error().message.c_str());
            eniUsable = false;
        }
    }

    SimDescription description;
    bool descriptionUsable = true;
    if (!options.simPath.empty()) {
        auto read = ReadSimFile(options.simPath);
        if (read) {
            description = std::move(*read);
            Log("network description %s read: %s, %zu fault rules", options.simPath.c_str(),
                description.slaves ? "its own slaves" : "the ENI's slaves",
                description.faults.size());
        } else {
            Log("network description %s refused: %s", options.simPath.c_str(),
                read.error().message.c_str());
            descriptionUsable = false;
        }
    }

    setup.configured = eniUsable && descriptionUsable;
    if (!setup.configured) {
        setup.eniSlaves.clear();
        description = SimDescription{};
    }
    auto online = OnlineSlaves(description, setup.eniSlaves);
    Log("simulated network: %zu slaves online, transition %u ms, up to %u openings", online.size(),
        description.transitionMs, description.maxOpenings);
    setup.network = std::make_unique<SimulatedNetwork>(
        std::move(online), std::chrono::milliseconds(description.transitionMs));
    setup.faults = std::move(description.faults);
    setup.maxOpenings = description.maxOpenings;
    return setup;
}

}  // namespace parvane::driver
