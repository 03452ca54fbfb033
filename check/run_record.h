// What the check sequence found, kept beside the console report for the
// result files: the steps' statuses, the slave counts, each visited slave's
// identity from the ENI and from its EEPROM, and each state change. The steps
// fill it as they print; nothing here prints.
#pragma once

#include <cstdint>

// The identity fields, in the order the report compares them.
enum IdentityField : std::uint32_t {
    kFieldVendorId = 0,
    kFieldProductCode = 1,
    kFieldRevisionNo = 2,
    kIdentityFieldCount = 3,
};

inline constexpr std::uint32_t kRecordedSteps = 4;
inline constexpr std::uint32_t kRecordedStateChanges = 4;

struct StepResult {
    bool run;              // the step began
    std::uint16_t status;  // 0: passed (warnings included)
};

struct SlaveResult {
    std::uint16_t position;
    bool infoAcquired;  // false: the master could not give the ENI's information
    std::uint32_t eniValue[kIdentityFieldCount];
    std::uint32_t onlineValue[kIdentityFieldCount];  // as compared: 0 when unreadable
    std::uint16_t readStatus[kIdentityFieldCount];   // the EEPROM read's status, 0: read
    bool compared[kIdentityFieldCount];
};

struct StateChangeResult {
    std::uint16_t state;      // 1 Init, 2 Pre-Op, 4 Safe-Op, 8 Op
    std::uint16_t status;     // 0: reached
    std::uint32_t elapsedMs;  // from the first request to the outcome
};

struct CheckRecord {
    StepResult steps[kRecordedSteps];
    bool eniCountKnown;
    bool onlineCountKnown;
    std::uint16_t eniCount;
    std::uint16_t onlineCount;
    std::uint32_t slaveCount;
    const SlaveResult* slaves;  // slaveCount entries, in the order visited
    std::uint32_t stateChangeCount;
    StateChangeResult stateChanges[kRecordedStateChanges];
};

// The record so far; valid until the next call that changes it.
CheckRecord GetCheckRecord();
void ResetCheckRecord();

// step is 1 to 4.
void RecordStepStarted(std::uint32_t step);
void RecordStepStatus(std::uint32_t step, std::uint16_t status);
void RecordEniCount(std::uint16_t count);
void RecordOnlineCount(std::uint16_t count);
// Begins the slave's entry with the ENI's identity.
void RecordSlaveInfo(std::uint16_t position, bool acquired, std::uint32_t vendorId,
                     std::uint32_t productCode, std::uint32_t revisionNo);
// One EEPROM value of the slave last begun.
void RecordEepromValue(std::uint16_t position, IdentityField field, std::uint32_t onlineValue,
                       std::uint16_t readStatus);
void RecordStateChange(std::uint16_t state, std::uint16_t status, std::uint32_t elapsedMs);
