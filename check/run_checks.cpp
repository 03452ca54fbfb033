// The check sequence: the four steps in order, stopping at the first failure,
// then the close and the verdict.
#include <cstdio>

#include "check/bus_check.h"
#include "check/report_lines.h"
#include "check/run_record.h"

std::uint32_t RunChecks() {
    MasterHandle handle = 0;
    std::uint16_t eniCount = 0;
    std::uint16_t onlineCount = 0;

    ResetCheckRecord();
    RecordStepStarted(1);
    std::uint16_t status = CheckNetworkOpen(&handle);
    RecordStepStatus(1, status);
    if (status == 0) {
        RecordStepStarted(2);
        status = CompareSlaveCounts(handle, &eniCount, &onlineCount);
        RecordStepStatus(2, status);
    }
    if (status == 0) {
        RecordStepStarted(3);
        status = CompareSlaveIdentities(handle, eniCount, onlineCount);
        RecordStepStatus(3, status);
    }
    if (status == 0) {
        RecordStepStarted(4);
        status = ConfirmStateChanges(handle, eniCount, onlineCount);
        RecordStepStatus(4, status);
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
