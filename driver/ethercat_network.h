// The network on EtherCAT frames: the master in master/ driving a
// wire (a network interface, or emulated slaves in this process). It brings
// the segment up when the driver starts and again at each open while the
// network rests in INIT, compares the slaves found with the ENI's, reads
// EEPROMs on demand and hands state requests to the master's state machine.
// A network that differs from its ENI gets no state machine: it stays in
// INIT until an open finds the ENI's slaves.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/network.h"
#include "ecat/link.h"
#include "eni/model.h"
#include "master/bring_up.h"
#include "master/exchange.h"
#include "master/network_comparison.h"
#include "master/state_machine.h"

namespace parvane::driver {

// What carries the frames, with everything that must live as long as it.
class Wire {
  public:
    virtual ~Wire() = default;
    virtual ecat::Link& link() = 0;
    // "interface eth1", "emulated segment of 5 slaves", ... for the log.
    virtual const char* description() const = 0;
};

struct EthercatNetworkOptions {
    master::ExchangeOptions exchange;  // addresses are taken from the ENI
    master::BringUpOptions bringUp;
    master::StateMachineOptions stateMachine;
};

class EthercatNetwork : public Network {
  public:
    EthercatNetwork(std::unique_ptr<Wire> wire, eni::NetworkConfig config,
                    EthercatNetworkOptions options = {});
    ~EthercatNetwork() override;

    // Brings the segment up (at driver start); the outcome is logged and an
    // open later tries again.
    void Start();

    std::expected<void, master::Error> Open() override;
    std::uint16_t OnlineCount() const override;
    std::optional<std::uint16_t> PositionOfStation(std::uint16_t station) const override;
    std::expected<std::uint32_t, master::Error> ReadEeprom(std::uint16_t position,
                                                           std::uint16_t offset,
                                                           std::uint16_t count) const override;
    bool DiffersFromEni() const override { return !differences_.empty(); }
    void RequestState(AlState state) override;
    AlState RequestedState() const override;
    AlState CurrentState() override;

  private:
    // Counts, addresses and identifies the slaves again and starts a state
    // machine for them; the error when nothing answered.
    std::expected<void, master::Error> BringUpSegment();
    // Compares the segment with the ENI and logs every difference; true
    // when the network is the ENI's. `quiet`: nothing logged for a match.
    bool CompareWithEni(const master::Segment& segment, bool quiet);
    // Forgets the slaves of the last bring-up.
    void Forget();
    void LogCounters() const;

    std::unique_ptr<Wire> wire_;
    eni::NetworkConfig config_;
    EthercatNetworkOptions options_;
    std::unique_ptr<master::Exchange> exchange_;
    std::vector<master::FoundSlave> slaves_;
    // What the last bring-up read from each slave's EEPROM.
    std::vector<std::optional<eni::SlaveIdentity>> identities_;
    // How the last bring-up differs from the ENI (empty: not at all).
    std::vector<master::Difference> differences_;
    // EEPROM sizes in bytes by position, read once (0: not read yet).
    mutable std::vector<std::uint32_t> eepromBytes_;
    std::unique_ptr<master::StateMachine> stateMachine_;
};

// A network whose wire cannot be used (no such interface, no permission):
// every open is refused as if nothing answered, and says why in the log.
class UnavailableNetwork : public Network {
  public:
    explicit UnavailableNetwork(std::string reason) : reason_(std::move(reason)) {}

    std::expected<void, master::Error> Open() override;
    std::uint16_t OnlineCount() const override { return 0; }
    std::expected<std::uint32_t, master::Error> ReadEeprom(std::uint16_t, std::uint16_t,
                                                           std::uint16_t) const override {
        return std::unexpected(master::Error{master::Errc::kNoSlave});
    }
    void RequestState(AlState) override {}
    AlState RequestedState() const override { return AlState::kInit; }
    AlState CurrentState() override { return AlState::kInit; }

  private:
    std::string reason_;
};

}  // namespace parvane::driver
