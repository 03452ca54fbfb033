#include "driver/master_service.h"

#include "driver/log.h"
#include "ipc/master_codes.h"

namespace parvane::driver {
namespace {

using parvane::ipc::Reply;
using parvane::ipc::Request;

// The slave position an EEPROM selector names: a position when bit 0x8000 is
// set, otherwise a station address the network knows.
std::optional<std::uint32_t> SelectedPosition(std::uint32_t selector, const Network& network) {
    if (selector & kEepromByPosition)
        return selector & 0x7FFFu;
    if (selector > 0xFFFF)
        return selector - 1001;  // refused as an invalid argument after the fault rules
    return network.PositionOfStation(static_cast<std::uint16_t>(selector));
}

}  // namespace

std::uint16_t EepromReadStatus(const master::Error& error) {
    switch (error.code) {
        case master::Errc::kInvalidArgument:
            return kMasterInvalidArgument;
        case master::Errc::kNoSlave:
            return kMasterNoSuchSlave;
        case master::Errc::kOutsideEeprom:
            return kMasterEepromRange;
        case master::Errc::kBusyTimeout:
            return kMasterEepromBusy;
        case master::Errc::kAckError:
            return kMasterEepromError;
        default:
            return kMasterNoReply;
    }
}

MasterService::MasterService(ServiceSetup setup)
    : setup_(std::move(setup)), faults_(setup_.faults) {}

Answer MasterService::Handle(ConnectionState& connection,
                             const parvane::ipc::DecodedRequest& decoded) {
    Reply reply;
    reply.op = decoded.rawOp;
    reply.seq = decoded.seq;
    if (!decoded.request) {
        Log("malformed request (op %u) answered with status 0x%04X", decoded.rawOp,
            kMasterProtocolError);
        reply.status = kMasterProtocolError;
        return {reply, false};
    }
    const Request& request = *decoded.request;
    if (request.op == MasterExport::Close)
        return {std::nullopt, true};
    if (request.op == MasterExport::Open)
        return Open(connection, reply);
    if (!connection.opened) {
        reply.status = kMasterProtocolError;
        return {reply, false};
    }
    if (!setup_.configured) {
        reply.status = kMasterEniNotLoaded;
        return {reply, false};
    }
    Work(request, reply);
    return {reply, false};
}

void MasterService::Disconnected(ConnectionState& connection) {
    if (connection.opened)
        --openings_;
    connection.opened = false;
}

Answer MasterService::Open(ConnectionState& connection, Reply& reply) {
    if (connection.opened) {
        reply.status = kMasterProtocolError;
        return {reply, false};
    }
    if (openings_ >= setup_.maxOpenings) {
        reply.status = kMasterMaxOpenings;
        Log("open refused: %u openings already (status %u)", openings_, reply.status);
    } else if (auto fault = Fault({MasterExport::Open, {}, {}, {}}, reply)) {
        reply.status = *fault;
    } else if (!setup_.configured) {
        reply.status = kMasterEniNotLoaded;
        Log("open refused: no usable ENI or network description (status 0x%04X)", reply.status);
    } else if (setup_.eniSlaves.empty()) {
        reply.status = kMasterEniNoSlaves;
        Log("open refused: the ENI defines no slaves (status %u)", reply.status);
    } else {
        // A master brings the segment up again here; no answer on the wire
        // refuses the open, and the network logs why.
        reply.status = setup_.network->Open() ? kMasterOk : kMasterSlaveCountFailed;
        if (reply.status != kMasterOk)
            Log("open refused (status %u)", reply.status);
    }
    bool usable = reply.status == kMasterOk || reply.status == kMasterOpenedWithWarning;
    if (usable) {
        connection.opened = true;
        ++openings_;
        Log("connection opened (%u open now)", openings_);
    }
    return {reply, !usable};
}

void MasterService::Work(const Request& request, Reply& reply) {
    Network& network = *setup_.network;
    switch (request.op) {
        case MasterExport::GetEniSlaveCount:
            if (auto fault = Fault({request.op, {}, {}, {}}, reply)) {
                reply.status = *fault;
            } else {
                reply.value0 = static_cast<std::uint32_t>(setup_.eniSlaves.size());
            }
            break;
        case MasterExport::GetOnlineSlaveCount:
            if (auto fault = Fault({request.op, {}, {}, {}}, reply)) {
                reply.status = *fault;
            } else {
                reply.value0 = network.OnlineCount();
            }
            break;
        case MasterExport::GetSlaveInfo:
            if (auto fault = Fault({request.op, request.arg0, {}, {}}, reply)) {
                reply.status = *fault;
            } else if (request.arg0 >= setup_.eniSlaves.size()) {
                reply.status = kMasterNoSuchSlave;
            } else {
                const SlaveIdentity& identity = setup_.eniSlaves[request.arg0];
                reply.value0 = identity.vendorId;
                reply.value1 = identity.productCode;
                reply.value2 = identity.revisionNo;
            }
            break;
        case MasterExport::ReadSlaveEeprom: {
            auto position = SelectedPosition(request.arg0, network);
            if (auto fault = Fault({request.op, position, request.arg1, {}}, reply)) {
                reply.status = *fault;
            } else if (request.arg0 > 0xFFFF || request.arg1 > 0xFFFF || request.arg2 > 0xFFFF) {
                reply.status = kMasterInvalidArgument;
            } else if (!position || *position > 0xFFFF) {
                reply.status = kMasterNoSuchSlave;
            } else {
                const auto value = network.ReadEeprom(static_cast<std::uint16_t>(*position),
                                                      static_cast<std::uint16_t>(request.arg1),
                                                      static_cast<std::uint16_t>(request.arg2));
                if (value)
                    reply.value0 = *value;
                else
                    reply.status = EepromReadStatus(value.error());
            }
            break;
        }
        case MasterExport::RequestState:
            if (auto fault = Fault({request.op, {}, {}, request.arg0}, reply)) {
                reply.status = *fault;
            } else if (!ecat::IsNetworkState(request.arg0)) {
                reply.status = kMasterInvalidState;
            } else if (network.DiffersFromEni()) {
                // Not started: the driver log lists how it differs.
                reply.status = kMasterNetworkDiffers;
            } else {
                network.RequestState(static_cast<AlState>(request.arg0));
            }
            break;
        case MasterExport::GetState:
            if (auto fault = Fault({request.op, {}, {}, {}}, reply)) {
                reply.status = *fault;
            } else {
                reply.value1 = ecat::ToWire(network.CurrentState());
                reply.value0 = ecat::ToWire(network.RequestedState());
            }
            break;
        default:
            reply.status = kMasterProtocolError;
            break;
    }
    if (reply.status != kMasterOk) {
        Log("op %u (%u, %u, %u) answered with status 0x%04X", reply.op, request.arg0, request.arg1,
            request.arg2, reply.status);
    }
}

std::optional<std::uint16_t> MasterService::Fault(const FaultQuery& query, Reply& reply) {
    auto status = faults_.Fire(query);
    if (status) {
        reply.flags |= parvane::ipc::kReplyInjected;
        Log("injected fault: op %u answers status 0x%04X", static_cast<unsigned>(query.op),
            *status);
    }
    return status;
}

}  // namespace parvane::driver
