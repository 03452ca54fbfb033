// Answers the master operations that arrive over the driver's connections:
// openings and their limit, ENI counts and identities, the network's EEPROMs
// and states, and injected faults. It knows nothing about sockets.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/fault_rules.h"
#include "driver/network.h"
#include "eni/slave_identity.h"
#include "ipc/protocol.h"

namespace parvane::driver {

struct ServiceSetup {
    // False when the ENI or the network description was refused: every open
    // is then answered with kMasterEniNotLoaded.
    bool configured = false;
    std::vector<SlaveIdentity> eniSlaves;
    std::unique_ptr<Network> network;
    std::vector<FaultRule> faults;
    std::uint32_t maxOpenings = 16;
};

// What the service remembers about one connection.
struct ConnectionState {
    bool opened = false;
};

struct Answer {
    std::optional<parvane::ipc::Reply> reply;  // empty: nothing to send
    bool close = false;                        // close the connection after the reply
};

// The master status that answers an EEPROM read the network failed with
// `error`. An open the network fails is answered with kMasterSlaveCountFailed.
std::uint16_t EepromReadStatus(const master::Error& error);

class MasterService {
  public:
    explicit MasterService(ServiceSetup setup);

    Answer Handle(ConnectionState& connection, const parvane::ipc::DecodedRequest& decoded);
    // The connection went away; an opening it held becomes free.
    void Disconnected(ConnectionState& connection);

    std::uint32_t openings() const { return openings_; }

  private:
    Answer Open(ConnectionState& connection, parvane::ipc::Reply& reply);
    void Work(const parvane::ipc::Request& request, parvane::ipc::Reply& reply);
    // The injected status, if a rule fires; marks the reply as injected.
    std::optional<std::uint16_t> Fault(const FaultQuery& query, parvane::ipc::Reply& reply);

    ServiceSetup setup_;
    FaultRules faults_;
    std::uint32_t openings_ = 0;
};

}  // namespace parvane::driver
