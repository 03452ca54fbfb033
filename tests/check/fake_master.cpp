#include "tests/check/fake_master.h"

#include "client/master_api.h"
#include "tests/check/fake_clock.h"

FakeMaster fakeMaster;

void ResetFakes() {
    fakeMaster = FakeMaster{};
    fakeNowMs = 0;
}

FakeSlave MatchingSlave(std::uint32_t vendor, std::uint32_t product, std::uint32_t revision) {
    FakeSlave slave;
    slave.eniVendor = slave.eeprom[0] = vendor;
    slave.eniProduct = slave.eeprom[1] = product;
    slave.eniRevision = slave.eeprom[2] = revision;
    return slave;
}

namespace {

void Record(MasterHandle handle) {
    if (handle != fakeMaster.openHandle || fakeMaster.openConnections == 0) {
        ++fakeMaster.strayCalls;
    }
}

bool Fails(std::uint16_t state) {
    return fakeMaster.failState == 0 || fakeMaster.failState == state;
}

}  // namespace

MasterHandle MasterOpen(const char* target, std::uint16_t* status) {
    fakeMaster.openedTarget = target;
    if (fakeMaster.openWritesStatus) {
        *status = fakeMaster.openStatus;
    }
    const std::uint16_t opened = fakeMaster.openWritesStatus ? fakeMaster.openStatus : 0;
    fakeMaster.openConnections += opened == 0 || opened == kMasterOpenedWithWarning;
    return fakeMaster.openHandle;
}

void MasterClose(MasterHandle handle) {
    // Closing a handle that is not open does nothing.
    if (handle == fakeMaster.openHandle && fakeMaster.openConnections > 0) {
        --fakeMaster.openConnections;
    }
}

std::uint16_t MasterGetEniSlaveCount(MasterHandle handle, std::uint16_t* count) {
    Record(handle);
    if (fakeMaster.eniCountStatus != 0) {
        return fakeMaster.eniCountStatus;
    }
    *count = fakeMaster.eniCount;
    return 0;
}

std::uint16_t MasterGetOnlineSlaveCount(MasterHandle handle, std::uint16_t* count) {
    Record(handle);
    if (fakeMaster.onlineCountStatus != 0) {
        return fakeMaster.onlineCountStatus;
    }
    *count = fakeMaster.onlineCount;
    return 0;
}

std::uint16_t MasterGetSlaveInfo(MasterHandle handle, SlaveInfoRecord* record) {
    Record(handle);
    if (record->size != sizeof(SlaveInfoRecord)) {
        return kMasterInvalidArgument;
    }
    if (record->position >= fakeMaster.slaves.size()) {
        return kMasterNoSuchSlave;
    }
    FakeSlave& slave = fakeMaster.slaves[record->position];
    ++slave.infoCalls;
    if (slave.infoStatus != 0) {
        return slave.infoStatus;
    }
    record->vendorId = slave.eniVendor;
    record->productCode = slave.eniProduct;
    record->revisionNo = slave.eniRevision;
    return 0;
}

std::uint16_t MasterReadSlaveEeprom(MasterHandle handle, std::uint16_t selector,
                                    std::uint16_t byteOffset, std::uint16_t byteCount,
                                    std::uint32_t* value) {
    Record(handle);
    if (byteCount < 1 || byteCount > 4) {
        return kMasterInvalidArgument;
    }
    const std::uint16_t position = selector & ~kEepromByPosition;
    const unsigned index = (byteOffset - 16u) / 4u;
    if ((selector & kEepromByPosition) == 0 || position >= fakeMaster.slaves.size() ||
        byteOffset < 16 || index > 2 || byteOffset % 4 != 0) {
        return kMasterNoSuchSlave;
    }
    FakeSlave& slave = fakeMaster.slaves[position];
    ++slave.eepromReads;
    if (slave.eepromStatus[index] != 0) {
        return slave.eepromStatus[index];
    }
    *value = slave.eeprom[index] & (0xFFFFFFFFu >> (32 - 8 * byteCount));  // little-endian bytes
    return 0;
}

std::uint16_t MasterRequestState(MasterHandle handle, std::uint16_t state) {
    Record(handle);
    fakeMaster.requestTimes.push_back(fakeNowMs);
    if (fakeMaster.requestStatus != 0 && Fails(state)) {
        return fakeMaster.requestStatus;
    }
    if (state != fakeMaster.pending) {
        fakeMaster.pending = state;
        fakeMaster.pendingSince = fakeNowMs;
    }
    return 0;
}

std::uint16_t MasterGetState(MasterHandle handle, std::uint16_t* requested,
                             std::uint16_t* current) {
    Record(handle);
    if (fakeMaster.getStateStatus != 0 && Fails(fakeMaster.pending)) {
        return fakeMaster.getStateStatus;
    }
    const std::uint16_t target = fakeMaster.pending;
    const bool reachable = target == kEcStateInit || target <= fakeMaster.maxState;
    if (target != 0 && reachable &&
        fakeNowMs - fakeMaster.pendingSince >= fakeMaster.transitionMs) {
        fakeMaster.state = target;
    }
    *requested = target;
    *current = fakeMaster.state;
    return 0;
}
