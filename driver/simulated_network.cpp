#include "driver/simulated_network.h"

#include "driver/log.h"
#include "driver/sii_image.h"
#include "ipc/master_codes.h"

namespace parvane::driver {

std::vector<SimulatedSlave> OnlineSlaves(const SimDescription& description,
                                         const std::vector<SlaveIdentity>& eniSlaves) {
    std::vector<SimulatedSlave> online;
    if (!description.slaves) {
        for (const SlaveIdentity& identity : eniSlaves)
            online.push_back({identity, AlState::kOp});
        return online;
    }
    for (std::size_t i = 0; i < description.slaves->size(); ++i) {
        const SimSlave& slave = (*description.slaves)[i];
        SlaveIdentity eni = i < eniSlaves.size() ? eniSlaves[i] : SlaveIdentity{};
        online.push_back(
            {{slave.vendorId.value_or(eni.vendorId), slave.productCode.value_or(eni.productCode),
              slave.revisionNo.value_or(eni.revisionNo)},
             slave.maxState});
    }
    return online;
}

SimulatedNetwork::SimulatedNetwork(std::vector<SimulatedSlave> slaves,
                                   std::chrono::milliseconds transition, SteadyClock clock)
    : slaves_(std::move(slaves)), transition_(transition), clock_(std::move(clock)) {
    eeproms_.reserve(slaves_.size());
    for (std::size_t i = 0; i < slaves_.size(); ++i) {
        eeproms_.push_back(MakeSiiImage(slaves_[i].identity, static_cast<std::uint32_t>(i + 1)));
    }
    requestedAt_ = clock_();
}

std::uint16_t SimulatedNetwork::OnlineCount() const {
    return static_cast<std::uint16_t>(slaves_.size());
}

std::uint16_t SimulatedNetwork::ReadEeprom(std::uint16_t position, std::uint16_t offset,
                                           std::uint16_t count, std::uint32_t& value) const {
    if (count < 1 || count > 4)
        return kMasterInvalidArgument;
    if (position >= eeproms_.size())
        return kMasterNoSuchSlave;
    const auto& image = eeproms_[position];
    if (static_cast<std::size_t>(offset) + count > image.size())
        return kMasterEepromRange;
    value = 0;
    for (std::uint16_t i = 0; i < count; ++i) {
        value |= static_cast<std::uint32_t>(image[offset + i]) << (8 * i);
    }
    return kMasterOk;
}

void SimulatedNetwork::RequestState(AlState state) {
    if (state == requested_)
        return;  // already under way (or reached): keep the clock
    requested_ = state;
    requestedAt_ = clock_();
    settled_ = false;
    Log("state change to %u requested (network in %u)", ecat::ToWire(state),
        ecat::ToWire(current_));
}

AlState SimulatedNetwork::CurrentState() {
    if (!settled_ && clock_() - requestedAt_ >= transition_) {
        settled_ = true;
        if (Reachable(requested_)) {
            current_ = requested_;
            Log("network reached state %u", ecat::ToWire(current_));
        } else {
            Log("network cannot reach state %u: a slave stops below it; it stays in %u",
                ecat::ToWire(requested_), ecat::ToWire(current_));
        }
    }
    return current_;
}

bool SimulatedNetwork::Reachable(AlState state) const {
    if (state == AlState::kInit)
        return true;
    for (const SimulatedSlave& slave : slaves_) {
        if (slave.maxState < state)
            return false;
    }
    return true;
}

}  // namespace parvane::driver
