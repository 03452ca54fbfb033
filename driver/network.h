// The network as the driver's request handling sees it: the master operations
// on the EtherCAT master, whatever wire it drives (the emulated slaves in the
// driver's own process or a network interface); tests put a table behind it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "ecat/al_state.h"
#include "eni/slave_identity.h"
#include "master/error.h"

namespace parvane::driver {

using ecat::AlState;
using eni::SlaveIdentity;

class Network {
  public:
    virtual ~Network() = default;

    // Called for each open before it is granted: a master brings the segment
    // up again here. An error when nothing answers on the wire.
    virtual std::expected<void, master::Error> Open() { return {}; }

    // Slaves that answer, in ring order.
    virtual std::uint16_t OnlineCount() const = 0;

    // The position of the slave with this station address. Without a master
    // that assigns them, the slaves have 1001, 1002, ... in ring order.
    virtual std::optional<std::uint16_t> PositionOfStation(std::uint16_t station) const {
        if (station < 1001)
            return std::nullopt;
        return static_cast<std::uint16_t>(station - 1001);
    }

    // Reads 1 to 4 bytes of the slave's EEPROM as a little-endian number.
    // The error is kInvalidArgument (count), kNoSlave, kOutsideEeprom, or
    // what the read on the wire met (kBusyTimeout, kAckError, kNoReply, ...).
    virtual std::expected<std::uint32_t, master::Error> ReadEeprom(std::uint16_t position,
                                                                   std::uint16_t offset,
                                                                   std::uint16_t count) const = 0;

    // True when the slaves of the last bring-up are not the ENI's (count,
    // identities): the network then stays in INIT and state requests are
    // refused until an open finds the ENI's slaves.
    virtual bool DiffersFromEni() const { return false; }

    // Starts a change of the whole network to the state (INIT, PREOP,
    // SAFEOP or OP).
    virtual void RequestState(AlState state) = 0;
    // The state last requested and the state reached.
    virtual AlState RequestedState() const = 0;
    virtual AlState CurrentState() = 0;
};

}  // namespace parvane::driver
