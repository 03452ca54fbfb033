#include "tests/check/fake_master.h"

#include "client/master_api.h"
#include "tests/check/fake_clock.h"

FakeMaster fakeMaster;

void ResetFakes() {
    fakeMaster = FakeMaster{};
    fakeNowMs = 0;
    fakeSleeps.clear();
}

FakeSlave MatchingSlave(std::uint32_t vendor, std::uint32_t product, std::uint32_t revision) {
    FakeSlave slave;
    slave.eniVendor = slave.eeprom[0] = vendor;
    slave.eniProduct = slave.eeprom[1] = product;
    slave.eniRevision = slave.eeprom[2] = revision;
    return slave;
}

namespace {

void Record(const char* operation, MasterHandle handle) {
    fakeMaster.calls.push_back(std::string(operation) + "(" + std::to_string(handle) + ")");
}

bool Fails(std::uint16_t state) {
    return fakeMaster.failState == 0 || fakeMaster.failState == state;
}

}  // namespace

MasterHandle MasterOpen(const char* target, std::uint16_t* status) {
    fakeMaster.calls.push_back(std::string("Open(") + target + ")");
    if (fakeMaster.openWritesStatus) {
        *status = fakeMaster.openStatus;
    }
    return fakeMaster.openHandle;
}

void MasterClose(MasterHandle handle) {
    Record("Close", handle);
}

std::uint16_t MasterGetEniSlaveCount(MasterHandle handle, std::uint16_t* count) {
    Record("GetEniSlaveCount", handle);
    if (fakeMaster.eniCountStatus != 0) {
        return fakeMaster.eniCountStatus;
    }
    *count = fakeMaster.eniCount;
    return 0;
}

std::uint16_t MasterGetOnlineSlaveCount(MasterHandle handle, std::uint16_t* count) {
    Record("GetOnlineSlaveCount", handle);
    if (fakeMaster.onlineCountStatus != 0) {
        return fakeMaster.onlineCountStatus;
    }
    *count = fakeMaster.onlineCount;
    return 0;
}

std::uint16_t MasterGetSlaveInfo(MasterHandle handle, SlaveInfoRecord* record) {
    Record("GetSlaveInfo", handle);
    if (record->size != sizeof(SlaveInfoRecord)) {
        return kMasterInvalidArgument;
    }
    if (record->position >= fakeMaster.slaves.size()) {
        return kMasterNoSuchSlave;
    }
    const FakeSlave& slave = fakeMaster.slaves[record->position];
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
    Record("ReadSlaveEeprom", handle);
    fakeMaster.eepromSelectors.push_back(selector);
    fakeMaster.eepromOffsets.push_back(byteOffset);
    fakeMaster.eepromCounts.push_back(byteCount);
    const std::uint16_t position = selector & ~kEepromByPosition;
    const unsigned index = (byteOffset - 16u) / 4u;
    if ((selector & kEepromByPosition) == 0 || position >= fakeMaster.slaves.size() ||
        byteOffset < 16 || index > 2 || byteOffset % 4 != 0) {
        return kMasterNoSuchSlave;
    }
    const FakeSlave& slave = fakeMaster.slaves[position];
    if (slave.eepromStatus[index] != 0) {
        return slave.eepromStatus[index];
    }
    *value = slave.eeprom[index];
    return 0;
}

std::uint16_t MasterRequestState(MasterHandle handle, std::uint16_t state) {
    Record("RequestState", handle);
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
    Record("GetState", handle);
    fakeMaster.queryTimes.push_back(fakeNowMs);
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
