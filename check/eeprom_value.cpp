// One identity value of one slave: the ENI's value against the EEPROM's.
#include <cstdio>

#include "check/bus_check.h"
#include "check/run_record.h"

namespace {

// The slave's line comes once, before its first warning about an EEPROM value.
void PrintSlaveHeaderOnce(std::uint16_t position, bool* headerPending) {
    if (*headerPending) {
        *headerPending = false;
        std::printf("*         Slave %d: \n", position);
    }
}

// The identity field stored at an EEPROM byte offset (words 8, 10, 12).
IdentityField FieldAt(std::uint16_t byteOffset) {
    switch (byteOffset) {
        case 0x10:
            return kFieldVendorId;
        case 0x14:
            return kFieldProductCode;
        case 0x18:
            return kFieldRevisionNo;
        default:
            return kIdentityFieldCount;
    }
}

}  // namespace

void CompareEepromValue(MasterHandle handle, std::uint16_t position, std::uint16_t byteOffset,
                        std::uint16_t byteCount, std::uint32_t eniValue, const char* name,
                        bool* headerPending) {
    bool ownFlag = true;
    if (headerPending == nullptr) {
        headerPending = &ownFlag;
    }
    if (name == nullptr) {
        name = "";
    }

    std::uint32_t onlineValue = 0;
    const std::uint16_t status =
        MasterReadSlaveEeprom(handle, static_cast<std::uint16_t>(position | kEepromByPosition),
                              byteOffset, byteCount, &onlineValue);
    if (status != 0) {
        // An unreadable value is reported and then compared as 0.
        PrintSlaveHeaderOnce(position, headerPending);
        std::printf("*               WARNING.  EEPROM read failed. Kestro-ECAT-StatusCode[%04XH]\n",
                    static_cast<unsigned>(status));
        onlineValue = 0;
    }
    RecordEepromValue(position, FieldAt(byteOffset), onlineValue, status);

    if (onlineValue == eniValue) {
        return;
    }
    PrintSlaveHeaderOnce(position, headerPending);
    std::printf("*               WARNING.  %-16s mismatch. ENI[%08XH], Online[%08XH]\n", name,
                static_cast<unsigned>(eniValue), static_cast<unsigned>(onlineValue));
}
