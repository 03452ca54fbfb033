// The ESC register map: named offsets (ADO) of the registers a master and a
// slave controller share, their bits, and small typed records for the
// structured ones (FMMU and sync manager entries, SII control/status).
#pragma once

#include <cstdint>
#include <span>

#include "ecat/byte_order.h"

namespace parvane::ecat {

namespace reg {
inline constexpr std::uint16_t kType = 0x0000;
inline constexpr std::uint16_t kRevision = 0x0001;
inline constexpr std::uint16_t kBuild = 0x0002;
inline constexpr std::uint16_t kFmmuCount = 0x0004;
inline constexpr std::uint16_t kSmCount = 0x0005;
inline constexpr std::uint16_t kRamSize = 0x0006;
inline constexpr std::uint16_t kPortDescriptor = 0x0007;
inline constexpr std::uint16_t kFeatures = 0x0008;
inline constexpr std::uint16_t kStationAddress = 0x0010;
inline constexpr std::uint16_t kStationAlias = 0x0012;
inline constexpr std::uint16_t kDlControl = 0x0100;
inline constexpr std::uint16_t kDlControlAlias = 0x0103;  // bit 0: alias addressing
inline constexpr std::uint16_t kDlStatus = 0x0110;
inline constexpr std::uint16_t kAlControl = 0x0120;
inline constexpr std::uint16_t kAlStatus = 0x0130;
inline constexpr std::uint16_t kAlStatusCode = 0x0134;
inline constexpr std::uint16_t kPdiControl = 0x0140;
inline constexpr std::uint16_t kEscConfig = 0x0141;  // bit 0: device emulation
inline constexpr std::uint16_t kEventMask = 0x0200;
inline constexpr std::uint16_t kErrorCounters = 0x0300;
inline constexpr std::uint16_t kWatchdogDivider = 0x0400;
inline constexpr std::uint16_t kPdiWatchdog = 0x0410;
inline constexpr std::uint16_t kSmWatchdog = 0x0420;
inline constexpr std::uint16_t kSmWatchdogStatus = 0x0440;   // bit 0: running
inline constexpr std::uint16_t kSmWatchdogCounter = 0x0442;  // expiries
inline constexpr std::uint16_t kSiiConfig = 0x0500;          // bit 0: EEPROM offered to the PDI
inline constexpr std::uint16_t kSiiPdiAccess = 0x0501;       // bit 0: the PDI holds the EEPROM
inline constexpr std::uint16_t kSiiControl = 0x0502;
inline constexpr std::uint16_t kSiiAddress = 0x0504;
inline constexpr std::uint16_t kSiiData = 0x0508;
inline constexpr std::uint16_t kFmmuBase = 0x0600;
inline constexpr std::uint16_t kSmBase = 0x0800;
inline constexpr std::uint16_t kDcBase = 0x0900;
// The distributed-clock unit. Receive times of ports 0 to 3 (4 bytes each,
// local time) are latched by a write to kDcReceiveTime; kDcProcessingTime
// (8 bytes) is the local time at the processing unit for the same frame.
inline constexpr std::uint16_t kDcReceiveTime = 0x0900;
inline constexpr std::uint16_t kDcSystemTime = 0x0910;
inline constexpr std::uint16_t kDcProcessingTime = 0x0918;
inline constexpr std::uint16_t kDcSystemTimeOffset = 0x0920;
inline constexpr std::uint16_t kDcSystemTimeDelay = 0x0928;
inline constexpr std::uint16_t kDcSystemTimeDifference = 0x092C;  // sign-magnitude
inline constexpr std::uint16_t kDcSpeedCounterStart = 0x0930;
inline constexpr std::uint16_t kDcSpeedCounterDiff = 0x0932;
inline constexpr std::uint16_t kDcTimeFilterDepth = 0x0934;
inline constexpr std::uint16_t kDcSpeedFilterDepth = 0x0935;
inline constexpr std::uint16_t kDcCyclicUnitControl = 0x0980;
inline constexpr std::uint16_t kDcActivation = 0x0981;
inline constexpr std::uint16_t kDcPulseLength = 0x0982;
inline constexpr std::uint16_t kDcActivationStatus = 0x0984;
inline constexpr std::uint16_t kDcSync0Status = 0x098E;
inline constexpr std::uint16_t kDcSync1Status = 0x098F;
inline constexpr std::uint16_t kDcStartTime = 0x0990;  // write: first SYNC0; read: next SYNC0
inline constexpr std::uint16_t kDcNextSync1 = 0x0998;
inline constexpr std::uint16_t kDcSync0Cycle = 0x09A0;
inline constexpr std::uint16_t kDcSync1Cycle = 0x09A4;
inline constexpr std::uint16_t kDcLatchControl = 0x09A8;
inline constexpr std::uint16_t kProcessRam = 0x1000;

inline constexpr std::uint16_t kFmmuSize = 16;
inline constexpr std::uint16_t kSmSize = 8;
inline constexpr std::uint8_t kMaxFmmus = 16;
inline constexpr std::uint8_t kMaxSms = 16;

constexpr std::uint16_t Fmmu(unsigned i) {
    return static_cast<std::uint16_t>(kFmmuBase + kFmmuSize * i);
}
constexpr std::uint16_t Sm(unsigned i) {
    return static_cast<std::uint16_t>(kSmBase + kSmSize * i);
}
// The status byte (+5) and the PDI control byte (+7) of a sync manager.
constexpr std::uint16_t SmStatus(unsigned i) {
    return static_cast<std::uint16_t>(Sm(i) + 5);
}
constexpr std::uint16_t SmActivate(unsigned i) {
    return static_cast<std::uint16_t>(Sm(i) + 6);
}
constexpr std::uint16_t SmPdiControl(unsigned i) {
    return static_cast<std::uint16_t>(Sm(i) + 7);
}
}  // namespace reg

// DC activation (0x0981) and activation status (0x0984) bits, the features
// bits of 0x0008 that tell what a slave's DC unit can do, and the
// sign bit of the system time difference (0x092C: set when the local copy of
// system time is behind the time received).
namespace dc {
inline constexpr std::uint8_t kActivateCyclic = 0x01;
inline constexpr std::uint8_t kActivateSync0 = 0x02;
inline constexpr std::uint8_t kActivateSync1 = 0x04;
inline constexpr std::uint8_t kActivateAuto = 0x08;
inline constexpr std::uint8_t kActivateExtend32 = 0x10;
inline constexpr std::uint8_t kActivatePlausibility = 0x20;
inline constexpr std::uint8_t kStatusSync0Pending = 0x01;
inline constexpr std::uint8_t kStatusSync1Pending = 0x02;
inline constexpr std::uint8_t kStatusStartOutsideNearFuture = 0x04;
inline constexpr std::uint16_t kFeatureDc = 0x0004;
inline constexpr std::uint16_t kFeatureDc64 = 0x0008;
inline constexpr std::uint16_t kFeatureEnhancedActivation = 0x0100;
inline constexpr std::uint32_t kDifferenceBehind = 0x80000000;
inline constexpr std::uint16_t kSpeedCounterReset = 0x1000;
// Seconds from 1970-01-01 to 2000-01-01, where EtherCAT system time starts.
inline constexpr std::uint64_t kEpochOffsetSeconds = 946684800;

// Decodes 0x092C into signed nanoseconds: positive when the slave is ahead.
constexpr std::int64_t DecodeDifference(std::uint32_t raw) {
    const auto magnitude = static_cast<std::int64_t>(raw & ~kDifferenceBehind);
    return (raw & kDifferenceBehind) != 0 ? -magnitude : magnitude;
}
constexpr std::uint32_t EncodeDifference(std::int64_t ns) {
    const std::uint64_t magnitude =
        ns < 0 ? static_cast<std::uint64_t>(-ns) : static_cast<std::uint64_t>(ns);
    const auto clipped =
        static_cast<std::uint32_t>(magnitude > 0x7FFFFFFF ? 0x7FFFFFFF : magnitude);
    return ns < 0 ? (clipped | kDifferenceBehind) : clipped;
}
}  // namespace dc

// SII control/status (0x0502).
namespace sii_control {
inline constexpr std::uint16_t kWriteEnable = 0x0001;
inline constexpr std::uint16_t kReadSize8 = 0x0040;  // reads return 8 bytes, else 4
inline constexpr std::uint16_t kCommandMask = 0x0700;
inline constexpr std::uint16_t kRead = 0x0100;
inline constexpr std::uint16_t kWrite = 0x0200;
inline constexpr std::uint16_t kReload = 0x0400;
inline constexpr std::uint16_t kChecksumError = 0x0800;
inline constexpr std::uint16_t kNotLoaded = 0x1000;
inline constexpr std::uint16_t kAckError = 0x2000;  // no acknowledge or bad command
inline constexpr std::uint16_t kWriteEnableError = 0x4000;
inline constexpr std::uint16_t kErrorMask = 0x7800;
inline constexpr std::uint16_t kBusy = 0x8000;
}  // namespace sii_control

// A fieldbus memory management unit entry (16 bytes at 0x0600 + 16 i): maps
// a bit range of the logical address space onto the slave's memory.
struct FmmuEntry {
    static constexpr std::uint8_t kTypeRead = 0x01;   // inputs: memory -> logical
    static constexpr std::uint8_t kTypeWrite = 0x02;  // outputs: logical -> memory

    std::uint32_t logicalStart = 0;
    std::uint16_t length = 0;  // bytes
    std::uint8_t logicalStartBit = 0;
    std::uint8_t logicalStopBit = 7;
    std::uint16_t physicalStart = 0;
    std::uint8_t physicalStartBit = 0;
    std::uint8_t type = 0;
    bool active = false;

    bool reads() const { return (type & kTypeRead) != 0; }
    bool writes() const { return (type & kTypeWrite) != 0; }

    static FmmuEntry Decode(std::span<const std::uint8_t, reg::kFmmuSize> b) {
        FmmuEntry e;
        e.logicalStart = Get32(&b[0]);
        e.length = Get16(&b[4]);
        e.logicalStartBit = b[6] & 0x07;
        e.logicalStopBit = b[7] & 0x07;
        e.physicalStart = Get16(&b[8]);
        e.physicalStartBit = b[10] & 0x07;
        e.type = b[11] & 0x03;
        e.active = (b[12] & 0x01) != 0;
        return e;
    }
    void Encode(std::span<std::uint8_t, reg::kFmmuSize> b) const {
        Put32(&b[0], logicalStart);
        Put16(&b[4], length);
        b[6] = logicalStartBit;
        b[7] = logicalStopBit;
        Put16(&b[8], physicalStart);
        b[10] = physicalStartBit;
        b[11] = type;
        b[12] = active ? 1 : 0;
        b[13] = b[14] = b[15] = 0;
    }
};

// A sync manager entry (8 bytes at 0x0800 + 8 i).
struct SmEntry {
    // Control byte: bits 1:0 mode, bits 3:2 direction, bit 6 watchdog trigger.
    static constexpr std::uint8_t kModeMask = 0x03;
    static constexpr std::uint8_t kModeBuffered = 0x00;
    static constexpr std::uint8_t kModeMailbox = 0x02;
    static constexpr std::uint8_t kDirectionMask = 0x0C;
    static constexpr std::uint8_t kMasterWrites = 0x04;  // else the master reads
    static constexpr std::uint8_t kWatchdogTrigger = 0x40;
    // Status byte: bit 3 mailbox full.
    static constexpr std::uint8_t kStatusMailboxFull = 0x08;
    // Activate byte: bit 0 enable, bit 1 repeat request.
    static constexpr std::uint8_t kActivateEnable = 0x01;
    static constexpr std::uint8_t kActivateRepeat = 0x02;
    // PDI control byte: bit 0 deactivated by the slave, bit 1 repeat acknowledge.
    static constexpr std::uint8_t kPdiRepeatAck = 0x02;

    std::uint16_t start = 0;
    std::uint16_t length = 0;
    std::uint8_t control = 0;
    std::uint8_t status = 0;
    std::uint8_t activate = 0;
    std::uint8_t pdiControl = 0;

    bool enabled() const { return (activate & kActivateEnable) != 0; }
    bool mailbox() const { return (control & kModeMask) == kModeMailbox; }
    bool masterWrites() const { return (control & kDirectionMask) == kMasterWrites; }

    static SmEntry Decode(std::span<const std::uint8_t, reg::kSmSize> b) {
        return SmEntry{Get16(&b[0]), Get16(&b[2]), b[4], b[5], b[6], b[7]};
    }
    void Encode(std::span<std::uint8_t, reg::kSmSize> b) const {
        Put16(&b[0], start);
        Put16(&b[2], length);
        b[4] = control;
        b[5] = status;
        b[6] = activate;
        b[7] = pdiControl;
    }
};

// The AL status codes (0x0134) a slave reports when it refuses a state or
// falls back, and their meaning as logs print it ("unknown AL status code"
// for others).
namespace al_code {
inline constexpr std::uint16_t kNoError = 0x0000;
inline constexpr std::uint16_t kUnspecified = 0x0001;
inline constexpr std::uint16_t kInvalidTransition = 0x0011;
inline constexpr std::uint16_t kUnknownState = 0x0012;
inline constexpr std::uint16_t kBootstrapUnsupported = 0x0013;
inline constexpr std::uint16_t kInvalidMailboxConfig = 0x0016;
inline constexpr std::uint16_t kInvalidSmConfig = 0x0017;
inline constexpr std::uint16_t kWatchdog = 0x001B;
inline constexpr std::uint16_t kInvalidOutputConfig = 0x001D;
inline constexpr std::uint16_t kInvalidInputConfig = 0x001E;
inline constexpr std::uint16_t kInvalidInputMapping = 0x0024;
inline constexpr std::uint16_t kInvalidOutputMapping = 0x0025;
inline constexpr std::uint16_t kInconsistentSettings = 0x0026;
inline constexpr std::uint16_t kSyncError = 0x001A;
inline constexpr std::uint16_t kFatalSyncError = 0x002C;
inline constexpr std::uint16_t kNoSync = 0x002D;
inline constexpr std::uint16_t kInvalidDcSyncConfig = 0x0030;
inline constexpr std::uint16_t kPllError = 0x0032;
inline constexpr std::uint16_t kEepromNoAccess = 0x0050;
inline constexpr std::uint16_t kEepromError = 0x0051;
}  // namespace al_code

const char* AlStatusCodeText(std::uint16_t code);

}  // namespace parvane::ecat
