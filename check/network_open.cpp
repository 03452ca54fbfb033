// Step 1: open the connection to the master and explain the open's status.
#include <cstdio>

#include "check/bus_check.h"
#include "check/report_lines.h"
#include "client/master_api.h"

namespace {

// Prints the explanation of a failed open with its status.
void PrintOpenError(std::uint16_t openStatus) {
    const unsigned code = openStatus;
    switch (openStatus) {
        case kMasterMaxOpenings:
            std::printf(
                "*         OPEN ERROR. The maximum number of openings has been reached and no more "
                "can be opened. Kestro-ECAT-StatusCode[%04XH]\n",
                code);
            break;
        case kMasterDriverNotFound:
        case kMasterDriverNotReachable:
            std::printf(
                "*         OPEN ERROR. Kestro-ECAT-Master driver not found. "
                "Kestro-ECAT-StatusCode[%04XH]\n",
                code);
            break;
        case kMasterTimeout:
            std::printf(
                "*         OPEN ERROR. Timed out because no response was returned from the open "
                "request. Kestro-ECAT-StatusCode[%04XH]\n",
                code);
            break;
        case kMasterEniNoSlaves:
            std::printf(
                "*         ENI-File ERROR.  The number of slaves defined in the ENI file is 0. One "
                "or more EtherCAT slave definitions are required. Kestro-ECAT-StatusCode[%04XH]\n",
                code);
            break;
        case kMasterSlaveCountFailed:
            std::printf(
                "*         OPEN ERROR. Failed to get the total number of EtherCAT slaves. "
                "Connection to the EtherCAT slave may have been broken during open. "
                "Kestro-ECAT-StatusCode[%04XH]\n",
                code);
            break;
        case kMasterCatalogFailed:
            std::printf(
                "*         OPEN ERROR. Processing of the object catalog failed; check the INtime "
                "object directory and the number of GDT slots in INtime. "
                "Kestro-ECAT-StatusCode[%04XH]\n",
                code);
            break;
        default:
            std::printf(
                "*         OPEN ERROR. An error occurred during the open process, please check the "
                "status code details from the ZU API help. Kestro-ECAT-StatusCode[%04XH]\n",
                code);
            break;
    }
}

}  // namespace

std::uint16_t CheckNetworkOpen(MasterHandle* handle) {
    std::printf("%s", kBlankReportLine);
    std::printf("* STEP 1: EtherCAT network open check...\n");

    // An open that returns without writing a status counts as success.
    std::uint16_t openStatus = 0;
    MasterHandle opened = MasterOpen("local", &openStatus);

    if (openStatus == kMasterOk || openStatus == kMasterOpenedWithWarning) {
        std::printf("*         SUCCESS.\n");
        if (handle != nullptr) {
            *handle = opened;
        }
        return 0;
    }
    PrintOpenError(openStatus);
    return openStatus;
}
