// Step 3: each ENI slave's identity (vendor ID, product code, revision number)
// against the values in the slave's own EEPROM. Differences, unreadable values
// and a slave whose information cannot be acquired are warnings; any other
// failed information call ends the step.
#include <cstdio>
#include <cstring>

#include "check/bus_check.h"
#include "check/report_lines.h"
#include "check/run_record.h"
#include "client/master_api.h"

namespace {

// Byte offsets of the identity in the slave information area of the EEPROM
// (words 8, 10 and 12), each value 4 bytes wide.
constexpr std::uint16_t kEepromVendorIdOffset = 0x10;
constexpr std::uint16_t kEepromProductCodeOffset = 0x14;
constexpr std::uint16_t kEepromRevisionNoOffset = 0x18;
constexpr std::uint16_t kEepromValueBytes = 4;

}  // namespace

std::uint16_t CompareSlaveIdentities(MasterHandle handle, std::uint16_t eniCount,
                                     std::uint16_t /*onlineCount*/) {
    std::printf("%s", kBlankReportLine);
    std::printf("* STEP 3: Comparison of slave information...\n");

    // Every position that the ENI defines is visited, online or not.
    for (std::uint32_t p = 0; p < eniCount; ++p) {
        const auto position = static_cast<std::uint16_t>(p);
        bool headerPending = true;

        SlaveInfoRecord record;
        std::memset(&record, 0, sizeof record);
        record.size = sizeof record;
        record.position = position;

        const std::uint16_t status = MasterGetSlaveInfo(handle, &record);
        if (status == kMasterSlaveInfoUnavailable) {
            // Compared anyway, with whatever the call left in the record.
            std::printf(
                "*         WARNING. Slave information acquisition failed. Slave-number[%ld]\n",
                static_cast<long>(position));
        } else if (status != 0) {
            PrintMasterCallError(status);
            return status;
        }

        RecordSlaveInfo(position, status == 0, record.vendorId, record.productCode,
                        record.revisionNo);
        CompareEepromValue(handle, position, kEepromVendorIdOffset, kEepromValueBytes,
                           record.vendorId, "VendorID", &headerPending);
        CompareEepromValue(handle, position, kEepromProductCodeOffset, kEepromValueBytes,
                           record.productCode, "ProductCode", &headerPending);
        CompareEepromValue(handle, position, kEepromRevisionNoOffset, kEepromValueBytes,
                           record.revisionNo, "RevisionNo", &headerPending);
    }
    return 0;
}
