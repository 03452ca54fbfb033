// A network that exists only in memory: the slaves of the description (or the
// ENI's), each with an SII EEPROM image, and one state for the whole network
// that follows requests after a fixed transition time.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "driver/network.h"
#include "driver/sim_description.h"

namespace parvane::driver {

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

struct SimulatedSlave {
    SlaveIdentity identity;
    AlState maxState = AlState::kOp;
};

// The slaves that answer: the description's (missing identity values taken
// from the ENI slave at the same position), or the ENI's when it has none.
std::vector<SimulatedSlave> OnlineSlaves(const SimDescription& description,
                                         const std::vector<SlaveIdentity>& eniSlaves);

// Station address of the slave at a position, for EEPROM selectors without
// the position bit (the addresses configurators usually assign).
inline constexpr std::uint16_t kFirstStationAddress = 1001;

class SimulatedNetwork : public Network {
  public:
    SimulatedNetwork(std::vector<SimulatedSlave> slaves, std::chrono::milliseconds transition,
                     SteadyClock clock = std::chrono::steady_clock::now);

    std::uint16_t OnlineCount() const override;
    std::uint16_t ReadEeprom(std::uint16_t position, std::uint16_t offset, std::uint16_t count,
                             std::uint32_t& value) const override;
    void RequestState(AlState state) override;
    AlState RequestedState() const override { return requested_; }
    AlState CurrentState() override;

  private:
    bool Reachable(AlState state) const;

    std::vector<SimulatedSlave> slaves_;
    std::vector<std::vector<std::uint8_t>> eeproms_;
    std::chrono::milliseconds transition_;
    SteadyClock clock_;
    AlState requested_ = AlState::kInit;
    AlState current_ = AlState::kInit;
    bool settled_ = true;  // the last request has been decided
    std::chrono::steady_clock::time_point requestedAt_;
};

}  // namespace parvane::driver
