// Step 2: the number of slaves that the ENI defines against the number that
// answer on the network. A difference is a warning only.
#include <cstdio>

#include "check/bus_check.h"
#include "check/report_lines.h"
#include "check/run_record.h"

std::uint16_t CompareSlaveCounts(MasterHandle handle, std::uint16_t* eniCount,
                                 std::uint16_t* onlineCount) {
    std::printf("%s", kBlankReportLine);
    std::printf("* STEP 2: Comparison of number of slaves...\n");

    std::uint16_t eni = 0;
    std::uint16_t online = 0;

    std::uint16_t status = MasterGetEniSlaveCount(handle, &eni);
    if (status != 0) {
        PrintMasterCallError(status);
        return status;
    }
    RecordEniCount(eni);
    if (eniCount != nullptr) {
        *eniCount = eni;
    }

    status = MasterGetOnlineSlaveCount(handle, &online);
    if (status != 0) {
        PrintMasterCallError(status);
        return status;
    }
    RecordOnlineCount(online);
    if (onlineCount != nullptr) {
        *onlineCount = online;
    }

    if (eni == online) {
        std::printf("*         SUCCESS. ENI-Slaves count[%d] Online-Slaves count[%d] \n", eni,
                    online);
    } else {
        std::printf("*         WARNING. The number of slaves did not match. \n");
        // Indented so that the counts line up with the text after "WARNING. ".
        std::printf("*                  ENI-Slaves count[%d] Online-Slaves count[%d] \n", eni,
                    online);
    }
    return 0;
}
