#include "check/run_record.h"

#include <vector>

namespace {

CheckRecord record{};
std::vector<SlaveResult> slaves;

bool ValidStep(std::uint32_t step) {
    return step >= 1 && step <= kRecordedSteps;
}

}  // namespace

CheckRecord GetCheckRecord() {
    CheckRecord copy = record;
    copy.slaveCount = static_cast<std::uint32_t>(slaves.size());
    copy.slaves = slaves.empty() ? nullptr : slaves.data();
    return copy;
}

void ResetCheckRecord() {
    record = CheckRecord{};
    slaves.clear();
}

void RecordStepStarted(std::uint32_t step) {
    if (ValidStep(step)) {
        record.steps[step - 1].run = true;
    }
}

void RecordStepStatus(std::uint32_t step, std::uint16_t status) {
    if (ValidStep(step)) {
        record.steps[step - 1].status = status;
    }
}

void RecordEniCount(std::uint16_t count) {
    record.eniCountKnown = true;
    record.eniCount = count;
}

void RecordOnlineCount(std::uint16_t count) {
    record.onlineCountKnown = true;
    record.onlineCount = count;
}

void RecordSlaveInfo(std::uint16_t position, bool acquired, std::uint32_t vendorId,
                     std::uint32_t productCode, std::uint32_t revisionNo) {
    SlaveResult slave{};
    slave.position = position;
    slave.infoAcquired = acquired;
    slave.eniValue[kFieldVendorId] = vendorId;
    slave.eniValue[kFieldProductCode] = productCode;
    slave.eniValue[kFieldRevisionNo] = revisionNo;
    slaves.push_back(slave);
}

void RecordEepromValue(std::uint16_t position, IdentityField field, std::uint32_t onlineValue,
                       std::uint16_t readStatus) {
    if (slaves.empty() || slaves.back().position != position || field >= kIdentityFieldCount) {
        return;
    }
    SlaveResult& slave = slaves.back();
    slave.onlineValue[field] = onlineValue;
    slave.readStatus[field] = readStatus;
    slave.compared[field] = true;
}

void RecordStateChange(std::uint16_t state, std::uint16_t status, std::uint32_t elapsedMs) {
    if (record.stateChangeCount >= kRecordedStateChanges) {
        return;
    }
    record.stateChanges[record.stateChangeCount++] = {state, status, elapsedMs};
}
