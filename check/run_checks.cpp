// The check sequence: the four steps in order, stopping at the first failure,
// then the close and the verdict.
#include <cstdio>

#include "check/bus_check.h"
#include "check/report_lines.h"

std::uint32_t RunChecks() {
    MasterHandle handle = 0;
    std::uint16_t eniCount = 0;
    std::uint16_t onlineCount = 0;

    std::uint16_t status = CheckNetworkOpen(&handle);
    if (status == 0) {
        status = CompareSlaveCounts(handle, &eniCount, &onlineCount);
    }
    if (status == 0) {
        status = CompareSlaveIdentities(handle, eniCount, onlineCount);
    }
    if (status == 0) {
        status = ConfirmStateChanges(handle, eniCount, onlineCount);
    }

    // Closed in every case; after a failed open the handle is still 0.
    MasterClose(handle);

    std::printf("%s", kBlankReportLine);
    if (status == 0) {
        std::printf("* SUCCESS. All steps have been completed.\n");
    } else {
        std::printf("* FAILED.. Step aborted due to error.\n");
    }
    return status;
}
