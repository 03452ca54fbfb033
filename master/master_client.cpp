// The eight master operations on top of the driver connection.
//
// Time bounds: MasterOpen gives up after kOpenBound (connect and answer
// together) with status 15; every other call gives up after kCallBound with
// kMasterCallTimeout. A connection that broke answers kMasterConnectionLost
// from then on. The library is meant to be used from one thread.
#include <chrono>
#include <cstring>
#include <map>

#include "master/client_connection.h"
#include "master/master_api.h"
#include "master/master_status.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

namespace {

using masterclient::Clock;
using masterclient::Connection;
using masterclient::Outcome;
using masterproto::Reply;
using masterproto::Request;

constexpr std::chrono::milliseconds kOpenBound{5000};
constexpr std::chrono::milliseconds kCallBound{5000};

struct HandleTable {
    std::map<MasterHandle, Connection> connections;
    MasterHandle next = 1;

    MasterHandle Add(Connection connection) {
        while (next == 0 || connections.count(next) != 0)
            ++next;
        MasterHandle handle = next++;
        connections.emplace(handle, std::move(connection));
        return handle;
    }
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

std::uint16_t StatusOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::kOk:
            return kMasterOk;
        case Outcome::kTimeout:
            return kMasterCallTimeout;
        case Outcome::kLost:
        case Outcome::kRefused:
            return kMasterConnectionLost;
        case Outcome::kProtocol:
            return kMasterProtocolError;
    }
    return kMasterProtocolError;
}

// One request/reply on an open handle. `valid` tells whether the reply's
// values go to the caller: only for a real success, not an injected one.
std::uint16_t Call(MasterHandle handle, const Request& request, Reply& reply, bool& valid) {
    valid = false;
    auto found = Table().connections.find(handle);
    if (found == Table().connections.end())
        return kMasterInvalidHandle;
    Outcome outcome = found->second.Call(request, Clock::now() + kCallBound, reply);
    if (outcome != Outcome::kOk)
        return StatusOf(outcome);
    valid = reply.status == kMasterOk && (reply.flags & masterproto::kReplyInjected) == 0;
    return reply.status;
}

// Finds the catalogued driver and connects to its socket. 8: nothing
// catalogued; 9: the entry is stale or nobody accepts connections.
std::uint16_t ConnectToDriver(Connection& connection, Clock::time_point deadline) {
    RTHANDLE root = GetRtThreadHandles(kRtRootProcess);
    if (root == BAD_RTHANDLE)
        return kMasterDriverNotFound;
    RTHANDLE driver = LookupRtHandle(root, "PRCS_LOMADYN", 0);
    if (driver == BAD_RTHANDLE)
        return kMasterDriverNotFound;
    if (GetRtHandleType(driver) == kRtTypeNone)
        return kMasterDriverNotReachable;
    std::filesystem::path folder = rt::ProcessFolder(driver);
    if (folder.empty())
        return kMasterDriverNotReachable;
    auto address = masterproto::SocketAddress::In(folder, masterproto::kSocketName);
    if (!address)
        return kMasterDriverNotReachable;
    switch (connection.Connect(*address, deadline)) {
        case Outcome::kOk:
            return kMasterOk;
        case Outcome::kTimeout:
            return kMasterTimeout;
        default:
            return kMasterDriverNotReachable;
    }
}

}  // namespace

MasterHandle MasterOpen(const char* target, std::uint16_t* status) {
    std::uint16_t result = kMasterDriverNotFound;
    MasterHandle handle = 0;
    if (target != nullptr && std::strcmp(target, "local") == 0) {
        Clock::time_point deadline = Clock::now() + kOpenBound;
        Connection connection;
        result = ConnectToDriver(connection, deadline);
        if (result == kMasterOk) {
            Request request;
            request.op = MasterExport::Open;
            Reply reply;
            switch (connection.Call(request, deadline, reply)) {
                case Outcome::kOk:
                    result = reply.status;
                    break;
                case Outcome::kTimeout:
                    result = kMasterTimeout;
                    break;
                case Outcome::kProtocol:
                    result = kMasterProtocolError;
                    break;
                default:  // the driver closed the connection without an answer
                    result = kMasterDriverNotReachable;
                    break;
            }
            if (result == kMasterOk || result == kMasterOpenedWithWarning) {
                handle = Table().Add(std::move(connection));
            }
        }
    }
    if (status != nullptr)
        *status = result;
    return handle;
}

void MasterClose(MasterHandle handle) {
    Table().connections.erase(handle);
}

std::uint16_t MasterGetEniSlaveCount(MasterHandle handle, std::uint16_t* count) {
    if (count == nullptr)
        return kMasterInvalidArgument;
    Request request;
    request.op = MasterExport::GetEniSlaveCount;
    Reply reply;
    bool valid = false;
    std::uint16_t status = Call(handle, request, reply, valid);
    if (valid)
        *count = static_cast<std::uint16_t>(reply.value0);
    return status;
}

std::uint16_t MasterGetOnlineSlaveCount(MasterHandle handle, std::uint16_t* count) {
    if (count == nullptr)
        return kMasterInvalidArgument;
    Request request;
    request.op = MasterExport::GetOnlineSlaveCount;
    Reply reply;
    bool valid = false;
    std::uint16_t status = Call(handle, request, reply, valid);
    if (valid)
        *count = static_cast<std::uint16_t>(reply.value0);
    return status;
}

std::uint16_t MasterGetSlaveInfo(MasterHandle handle, SlaveInfoRecord* record) {
    if (record == nullptr || record->size != sizeof(SlaveInfoRecord)) {
        return kMasterInvalidArgument;
    }
    Request request;
    request.op = MasterExport::GetSlaveInfo;
    request.arg0 = record->position;
    Reply reply;
    bool valid = false;
    std::uint16_t status = Call(handle, request, reply, valid);
    if (valid) {
        record->vendorId = reply.value0;
        record->productCode = reply.value1;
        record->revisionNo = reply.value2;
    }
    return status;
}

std::uint16_t MasterReadSlaveEeprom(MasterHandle handle, std::uint16_t selector,
                                    std::uint16_t byteOffset, std::uint16_t byteCount,
                                    std::uint32_t* value) {
    if (value == nullptr)
        return kMasterInvalidArgument;
    Request request;
    request.op = MasterExport::ReadSlaveEeprom;
    request.arg0 = selector;
    request.arg1 = byteOffset;
    request.arg2 = byteCount;
    Reply reply;
    bool valid = false;
    std::uint16_t status = Call(handle, request, reply, valid);
    if (valid)
        *value = reply.value0;
    return status;
}

std::uint16_t MasterRequestState(MasterHandle handle, std::uint16_t state) {
    Request request;
    request.op = MasterExport::RequestState;
    request.arg0 = state;
    Reply reply;
    bool valid = false;
    return Call(handle, request, reply, valid);
}

std::uint16_t MasterGetState(MasterHandle handle, std::uint16_t* requested,
                             std::uint16_t* current) {
    if (requested == nullptr || current == nullptr)
        return kMasterInvalidArgument;
    Request request;
    request.op = MasterExport::GetState;
    Reply reply;
    bool valid = false;
    std::uint16_t status = Call(handle, request, reply, valid);
    if (valid) {
        *requested = static_cast<std::uint16_t>(reply.value0);
        *current = static_cast<std::uint16_t>(reply.value1);
    }
    return status;
}
