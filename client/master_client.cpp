// The eight master operations on top of the driver connection.
//
// Time bounds: MasterOpen gives up after kOpenBound (connect and answer
// together) with status 15; every other call gives up after kCallBound with
// kMasterCallTimeout. A connection that broke answers kMasterConnectionLost
// from then on. The library is meant to be used from one thread.
#include <chrono>
#include <cstring>
#include <map>

#include "client/connection.h"
#include "client/master_api.h"
#include "common/catalog_names.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

namespace {

using parvane::client::Clock;
using parvane::client::Connection;
using parvane::client::Outcome;
using parvane::ipc::MasterExport;
using parvane::ipc::Reply;
using parvane::ipc::Request;

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

// What one call on an open handle brought back. `valid` tells whether the
// reply's values go to the caller: only for a real success, not an injected
// one.
struct Answer {
    std::uint16_t status = kMasterOk;
    bool valid = false;
    Reply reply;
};

// One request/reply on an open handle.
Answer Call(MasterHandle handle, MasterExport op, std::uint32_t arg0 = 0, std::uint32_t arg1 = 0,
            std::uint32_t arg2 = 0) {
    Answer answer;
    auto found = Table().connections.find(handle);
    if (found == Table().connections.end()) {
        answer.status = kMasterInvalidHandle;
        return answer;
    }
    Request request;
    request.op = op;
    request.arg0 = arg0;
    request.arg1 = arg1;
    request.arg2 = arg2;
    Outcome outcome = found->second.Call(request, Clock::now() + kCallBound, answer.reply);
    if (outcome != Outcome::kOk) {
        answer.status = StatusOf(outcome);
        return answer;
    }
    answer.status = answer.reply.status;
    answer.valid = answer.reply.status == kMasterOk &&
                   (answer.reply.flags & parvane::ipc::kReplyInjected) == 0;
    return answer;
}

// A request without arguments whose answer is one count.
std::uint16_t SlaveCount(MasterHandle handle, MasterExport op, std::uint16_t* count) {
    if (count == nullptr)
        return kMasterInvalidArgument;
    Answer answer = Call(handle, op);
    if (answer.valid)
        *count = static_cast<std::uint16_t>(answer.reply.value0);
    return answer.status;
}

// Finds the catalogued driver and connects to its socket. 8: nothing
// catalogued; 9: the entry is stale or nobody accepts connections.
std::uint16_t ConnectToDriver(Connection& connection, Clock::time_point deadline) {
    RTHANDLE root = GetRtThreadHandles(kRtRootProcess);
    if (root == BAD_RTHANDLE)
        return kMasterDriverNotFound;
    RTHANDLE driver = LookupRtHandle(root, parvane::common::kDriverEntry, 0);
    if (driver == BAD_RTHANDLE)
        return kMasterDriverNotFound;
    if (GetRtHandleType(driver) == kRtTypeNone)
        return kMasterDriverNotReachable;
    std::filesystem::path folder = parvane::platform::ProcessFolder(driver);
    if (folder.empty())
        return kMasterDriverNotReachable;
    auto address = parvane::ipc::SocketAddress::In(folder, parvane::common::kDriverSocketName);
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
    return SlaveCount(handle, MasterExport::GetEniSlaveCount, count);
}

std::uint16_t MasterGetOnlineSlaveCount(MasterHandle handle, std::uint16_t* count) {
    return SlaveCount(handle, MasterExport::GetOnlineSlaveCount, count);
}

std::uint16_t MasterGetSlaveInfo(MasterHandle handle, SlaveInfoRecord* record) {
    if (record == nullptr || record->size != sizeof(SlaveInfoRecord)) {
        return kMasterInvalidArgument;
    }
    Answer answer = Call(handle, MasterExport::GetSlaveInfo, record->position);
    if (answer.valid) {
        record->vendorId = answer.reply.value0;
        record->productCode = answer.reply.value1;
        record->revisionNo = answer.reply.value2;
    }
    return answer.status;
}

std::uint16_t MasterReadSlaveEeprom(MasterHandle handle, std::uint16_t selector,
                                    std::uint16_t byteOffset, std::uint16_t byteCount,
                                    std::uint32_t* value) {
    if (value == nullptr)
        return kMasterInvalidArgument;
    Answer answer = Call(handle, MasterExport::ReadSlaveEeprom, selector, byteOffset, byteCount);
    if (answer.valid)
        *value = answer.reply.value0;
    return answer.status;
}

std::uint16_t MasterRequestState(MasterHandle handle, std::uint16_t state) {
    return Call(handle, MasterExport::RequestState, state).status;
}

std::uint16_t MasterGetState(MasterHandle handle, std::uint16_t* requested,
                             std::uint16_t* current) {
    if (requested == nullptr || current == nullptr)
        return kMasterInvalidArgument;
    Answer answer = Call(handle, MasterExport::GetState);
    if (answer.valid) {
        *requested = static_cast<std::uint16_t>(answer.reply.value0);
        *current = static_cast<std::uint16_t>(answer.reply.value1);
    }
    return answer.status;
}
