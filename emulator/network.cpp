#include "emulator/network.h"

#include <type_traits>

#include "emulator/topology.h"
#include "eni/eni_reader.h"

namespace parvane::emulator {
namespace {

// The reader's whole configuration when it provides one; otherwise slaves
// that carry their identities only.
template <typename Contents>
eni::NetworkConfig ConfigOf(Contents& contents) {
    if constexpr (requires { contents.config; }) {
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(contents.config)>,
                                     eni::NetworkConfig>) {
            return std::move(contents.config);
        }
    }
    eni::NetworkConfig config;
    for (const auto& identity : contents.slaves) {
        eni::Slave slave;
        slave.identity = identity;
        config.slaves.push_back(std::move(slave));
    }
    return config;
}

// What the description says of one slave's DC unit, over the seeded values.
void ApplyDc(const DescribedSlave& d, DcSettings& dc) {
    dc.driftPpm = d.dcDriftPpm.value_or(dc.driftPpm);
    dc.localStartNs = d.dcStartNs.value_or(dc.localStartNs);
    dc.forwardNs = d.dcForwardNs.value_or(dc.forwardNs);
    dc.cableNs = d.dcCableNs.value_or(dc.cableNs);
    dc.toleranceNs = d.dcToleranceNs.value_or(dc.toleranceNs);
    dc.wide64 = !d.dc32Bit;
    dc.sync0StopsAfterMs = d.sync0StopsAfterMs;
}

}  // namespace

std::unique_ptr<Segment> BuildSegment(const eni::NetworkConfig& config,
                                      const Description& description, TimeSource time) {
    ModelCache cache;
    const std::size_t count =
        description.slaves ? description.slaves->size() : config.slaves.size();
    std::vector<SlaveSpec> specs;
    specs.reserve(count);
    const eni::Slave bare;
    for (std::size_t i = 0; i < count; ++i) {
        const eni::Slave& source = i < config.slaves.size() ? config.slaves[i] : bare;
        ModelOverrides overrides;
        IdentityObject identity{source.identity, source.serialNo};
        SlaveSettings settings;
        settings.transitionMs = description.transitionMs;
        settings.eepromBusyUs = description.eepromBusyUs;
        settings.dc = SeededDcSettings(i, description.dcSeed, description.dcDriftSpreadPpm);
        settings.dc.syncChecks = description.dcSyncChecks;
        if (source.dc)
            settings.dc.eniCycleNs = source.dc->cycleTime0;
        if (description.slaves) {
            const DescribedSlave& d = (*description.slaves)[i];
            identity.identity.vendorId = d.vendorId.value_or(source.identity.vendorId);
            identity.identity.productCode = d.productCode.value_or(source.identity.productCode);
            identity.identity.revisionNo = d.revisionNo.value_or(source.identity.revisionNo);
            overrides.alias = d.alias;
            overrides.deviceEmulation = d.deviceEmulation;
            overrides.outputPdos = d.outputPdos;
            overrides.inputPdos = d.inputPdos;
            settings.maxState = d.maxState;
            settings.refusalCode = d.refusalCode;
            settings.eepromBusyUs = d.eepromBusyUs.value_or(description.eepromBusyUs);
            settings.eepromErrors = d.eepromErrors;
            ApplyDc(d, settings.dc);
        }
        specs.push_back({cache.Get(source, overrides), identity, settings, std::nullopt});
    }
    // The ENI's own slaves in the tree it describes: in the order a frame
    // passes them, with the links of their ports.
    if (!description.slaves) {
        if (auto tree = TreeOf(config.slaves)) {
            std::vector<SlaveSpec> onWire;
            onWire.reserve(specs.size());
            for (std::size_t position : tree->wireOrder) {
                onWire.push_back(std::move(specs[position]));
                onWire.back().linkedPorts = tree->linkedPorts[position];
            }
            specs = std::move(onWire);
        }
    }
    WireFaults faults;
    faults.loseEvery = description.loseEvery;
    faults.loseFrames = description.loseFrames;
    faults.silentAfterMs = description.silentAfterMs;
    faults.silentAfterFrames = description.silentAfterFrames;
    return std::make_unique<Segment>(std::move(specs), std::move(faults), std::move(time));
}

std::expected<eni::NetworkConfig, Error> LoadEniConfig(const std::filesystem::path& path) {
    auto contents = eni::ReadEniFile(path);
    if (!contents)
        return std::unexpected(Error{contents.error().message, path.string()});
    // Passive terminals have no ESC: the segment has no slave for them.
    eni::NetworkConfig config = ConfigOf(*contents);
    eni::WithoutPassiveTerminals(config);
    return config;
}

}  // namespace parvane::emulator
